// Option lookup over the program's arguments and the integer reading of option values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/filenames.h"

namespace tw {

// The arguments after the program name; the first one is the input name and is scanned
// like every other argument.
using TArguments = std::vector<std::string>;


// The value of the first argument whose first two characters, lower-cased and trimmed,
// equal the lower-cased, trimmed option: that argument from its third character on,
// unchanged. Empty when no argument matches.
std::string FindOptionValue(const TArguments& args, std::string_view option);

// True when some argument, lower-cased and trimmed, begins with the lower-cased, trimmed
// option.
bool HasOption(const TArguments& args, std::string_view option);

// Reads a 32-bit integer: optional leading blanks, an optional sign, then decimal digits,
// or hexadecimal digits after "$", "x", "X", "0x" or "0X". Anything else anywhere, no
// digits at all, or a value outside the 32-bit range gives nothing.
std::optional<int32_t> TryStrToInt(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t fallback);

} // namespace tw
