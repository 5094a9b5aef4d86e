// The conversion run: everything the program does after the command line has passed
// validation.
#pragma once

#include "cli/lineout.h"
#include "cli/runstate.h"

namespace tw {

// Loads state.InputName, applies the requested operations and saves, printing one line per
// step on out. state.UserParamsPath names the saved writer options. Returns the exit code
// the process ends with; any exception it raises ends the process through the program's
// guard (exit 99).
int ConversionRun(const TRunState& state, TLineWriter& out);

} // namespace tw
