#include "cli/validate.h"

#include "io/filenames.h"

namespace tw {

namespace {

constexpr std::string_view kParametersError = "Parameters error! Please run Tarnwick to get help.";

bool OneOf123(const std::string& s) {
    return s == "1" || s == "2" || s == "3";
}

bool ValidDegrees(const std::string& s) {
    return s == "-90" || s == "90" || s == "180" || s == "270";
}

// The extension test of the output name: a substring test, so ".jp", "." and even an
// empty extension pass here; the save then finds (or does not find) a writer.
bool AcceptedExtension(const std::string& outputName) {
    const std::string ext = Trim(LowerCase(ExtractFileExt(outputName)));
    return kOutputExtensions.find(ext) != std::string_view::npos;
}

} // namespace

void ParseArguments(const TArguments& args, TRunState& state) {
    state.InputName = args.empty() ? std::string() : args.front();
    state.OutputName = FindOptionValue(args, "-O");
    state.ResizeMode = FindOptionValue(args, "-P");
    if (HasOption(args, "-W")) state.Width = StrToIntDef(FindOptionValue(args, "-W"), 800);
    if (HasOption(args, "-H")) state.Height = StrToIntDef(FindOptionValue(args, "-H"), 600);
    if (HasOption(args, "-F")) state.Filter = FindOptionValue(args, "-F");
    state.Degrees = FindOptionValue(args, "-D");
    state.Mirror = HasOption(args, "-R");
    state.UpsideDown = HasOption(args, "-V");
    state.SaveName = state.OutputName;
}

std::optional<int> ValidateCommandLine(const TArguments& args, const std::string& commandLine,
                                       TRunState& state, TLineWriter& out) {
    if (args.empty()) {
        PrintUsage(out);
        return exitUsage;
    }
    if (args.size() > 8) {
        out.Line(kParametersError);
        return exitParameters;
    }
    out.Line("Command: ", commandLine);

    ParseArguments(args, state);

    const bool hasOutput = !state.OutputName.empty();
    if (hasOutput && !AcceptedExtension(state.OutputName)) {
        out.Line("Output filename errors: ", state.OutputName);
        return exitOutputName;
    }
    if (!FileExists(state.InputName)) {
        out.Line("Input image does not be found: ", state.InputName);
        return exitInputNotFound;
    }
    if (hasOutput && !DirectoryExists(ExtractFilePath(state.OutputName))) {
        out.Line("Output path does not be found: ", state.OutputName);
        return exitOutputFolder;
    }
    if (!state.ResizeMode.empty() && !OneOf123(state.ResizeMode)) {
        out.Line("Resize Parameter must be 1,2,3.");
        return exitResizeMode;
    }
    if (!state.Filter.empty() && !OneOf123(state.Filter)) {
        out.Line("Resize Filter must be 1,2,3.");
        return exitFilter;
    }
    if (!state.Degrees.empty() && !ValidDegrees(state.Degrees))
        out.Line("Degree rotate must be -90,90,180,270"); // a warning: no rotation happens later

    if (state.ResizeMode == "1") out.Line("Crop image to selected size");
    if (state.ResizeMode == "2") out.Line("Shrink or enlarge images to the selected size.");
    if (state.ResizeMode == "3") out.Line("Fit image to selected size.");
    if (state.Filter == "1") out.Line("Using Nearest methor to Resample Filter.");
    if (state.Filter == "2") out.Line("Using Bilinear methor to Resample Filter.");
    if (state.Filter == "3") out.Line("Using Lanczos methor to Resample Filter.");
    if (state.Mirror) out.Line("The image horizontally.");
    if (state.UpsideDown) out.Line("The image vertically.");

    // At most one of rotation (any degrees text, valid or not), mirror and upside-down.
    const int transformations = int(!state.Degrees.empty()) + int(state.Mirror) + int(state.UpsideDown);
    if (transformations > 1) {
        out.Line(kParametersError);
        return exitParameters;
    }
    return std::nullopt;
}

} // namespace tw
