#include "cli/program.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <unistd.h>

#include "cli/run.h"
#include "cli/startup.h"
#include "cli/validate.h"

namespace tw {

namespace {

void ReportUnexpected(TLineWriter& out, const char* message) noexcept {
    try {
        out.Line("Unexpected error: ", message, ". Please run Tarnwik to get help");
    } catch (...) {
        // Nothing more can be said; the exit code still tells.
    }
}

// The command line as one text: the arguments joined by single blanks, program path first.
std::string CommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) line += ' ';
        line += argv[i];
    }
    return line;
}

int Program(int argc, char** argv, TLineWriter& out) {
    const TStartupConfig config = RunStartupConfiguration();
    TRunState state;
    state.UserParamsPath = config.UserParamsPath;

    const TArguments args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (auto code = ValidateCommandLine(args, CommandLine(argc, argv), state, out)) return *code;
    return ConversionRun(state, out);
}

} // namespace

int RunGuarded(TLineWriter& out, const std::function<int()>& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        ReportUnexpected(out, e.what());
    } catch (...) {
        ReportUnexpected(out, "unknown error");
    }
    return exitUnexpected;
}

void ExitProgram(int code) {
    (void)std::fclose(stdout); // flushes
    ::_exit(code);
}

void TarnwickMain(int argc, char** argv) {
    // A reader that went away must not kill the run half-way; lost lines are simply lost.
    std::signal(SIGPIPE, SIG_IGN);
    TFileLineWriter out(stdout);
    ExitProgram(RunGuarded(out, [&] { return Program(argc, argv, out); }));
}

} // namespace tw
