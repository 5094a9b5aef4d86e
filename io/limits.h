// Resource limits applied before any pixel memory is taken.
//
// A decoded image may hold at most TARNWICK_MAX_PIXELS pixels (default 2^28) and at
// most TARNWICK_MAX_SIDE pixels on either side (default 2^24). Both are read from the
// environment once per process.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

struct TIEImageLimits {
    uint64_t MaxPixels = uint64_t(1) << 28;
    int64_t MaxSide = int64_t(1) << 24;
};

// The limits in force (environment read on first use).
const TIEImageLimits& ImageLimits();

// Empty when a width x height image is allowed; otherwise a one-line message that
// names the limit and how to raise it. Non-positive sides are reported too.
std::string CheckImageSize(int64_t width, int64_t height);

// Overflow-checked product of non-negative factors; false when it does not fit in 63 bits.
bool CheckedMul(int64_t a, int64_t b, int64_t& result);

} // namespace tw
