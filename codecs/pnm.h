// Portable anymap (PBM, PGM, PPM) and wireless bitmap codecs.
#pragma once

#include <string>

#include "io/stream.h"

namespace tw {

// The next header token of a portable anymap: a run of letters and digits (the byte
// that ends it is consumed), or "#" plus a trimmed comment line; empty at the end.
std::string PnmReadToken(TStream& stream);

} // namespace tw
