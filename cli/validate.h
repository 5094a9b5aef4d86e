// Command-line parsing and the checks made before any work starts.
#pragma once

#include <optional>
#include <string>

#include "cli/lineout.h"
#include "cli/options.h"
#include "cli/runstate.h"

namespace tw {

// Exit codes of the program; the process never ends with any other code by itself.
enum TExitCode : int {
    exitSuccess = 0,
    exitUsage = 1,
    exitParameters = 2,
    exitInputNotFound = 3,
    exitResizeMode = 5,
    exitFilter = 6,
    exitOutputFolder = 16,
    exitOutputName = 17,
    exitUnexpected = 99,
};

// The output extensions accepted. An extension passes when it occurs anywhere in this
// text, so ".jp" and ".t" pass too and the writer choice decides later.
inline constexpr std::string_view kOutputExtensions = ".jpg.bmp.png.jp2.gif.ico.tif.tga.pcx";

// Fills the option-derived items of the state from the arguments (argument 1 first).
void ParseArguments(const TArguments& args, TRunState& state);

// Runs every check in order, printing what each prints. Returns the exit code when the
// run must end here, nothing when the conversion run may start. commandLine is the whole
// command line, program path included, as echoed in the "Command: " line.
std::optional<int> ValidateCommandLine(const TArguments& args, const std::string& commandLine,
                                       TRunState& state, TLineWriter& out);

// The 32-line help printed for a run without arguments.
void PrintUsage(TLineWriter& out);

} // namespace tw
