// The program: start-up configuration, command-line validation and the conversion run,
// all inside one exception guard, ending through the exit routine.
#pragma once

#include <functional>

#include "cli/lineout.h"

namespace tw {

// Runs the whole program and ends the process; never returns.
[[noreturn]] void TarnwickMain(int argc, char** argv);

// Runs body and returns its exit code. Any exception whatever ends in the line
// "Unexpected error: <message>. Please run Tarnwik to get help" and exit code 99.
int RunGuarded(TLineWriter& out, const std::function<int()>& body) noexcept;

// The exit routine: flushes and closes standard output, then ends the process at once,
// without running destructors or exit handlers.
[[noreturn]] void ExitProgram(int code);

} // namespace tw
