// What the codec harnesses share: small image limits, a progress record that only
// collects the abort flag and reason, and a walk over every row of a decoded image so
// that a bitmap whose rows are shorter than it claims is caught by AddressSanitizer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/bitmap.h"
#include "image/mask.h"
#include "io/progress.h"

namespace tw::fuzz {

// Decoded images stay small so that executions stay fast: at most 4 million pixels (or
// the number given) and 16384 pixels per side. Must run before the engine reads the
// limits (once per process), so every harness calls it from LLVMFuzzerInitialize.
inline void LimitImageSizes(const char* maxPixels = "4000000") {
    setenv("TARNWICK_MAX_PIXELS", maxPixels, 1);
    setenv("TARNWICK_MAX_SIDE", "16384", 1);
}

// A progress record with nobody listening, keeping the abort flag and reason.
struct TFuzzProgress {
    bool Aborted = false;
    std::string Reason;
    TIEProgressRecord Record;

    TFuzzProgress() {
        Record.AbortFlag = &Aborted;
        Record.AbortReason = &Reason;
    }
    TFuzzProgress(const TFuzzProgress&) = delete;
    TFuzzProgress& operator=(const TFuzzProgress&) = delete;
};

// Reads every byte of every row of the bitmap and of its alpha channel. The sum is
// returned so that the reads are not optimised away.
inline uint32_t TouchRows(TIEBitmap& bitmap) {
    uint32_t sum = 0;
    const int h = bitmap.Height();
    const int len = bitmap.RowLength();
    if (bitmap.Width() > 0 && h > 0 && len > 0) {
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = bitmap.Scanline(y);
            if (!row) std::abort(); // a bitmap that has a size but no rows
            for (int i = 0; i < len; ++i) sum += row[i];
        }
    }
    if (bitmap.HasAlphaChannel()) sum += TouchRows(*bitmap.AlphaChannel());
    return sum;
}

inline uint32_t TouchRows(const TIEMask* mask) {
    uint32_t sum = 0;
    if (!mask || mask->Width() <= 0 || mask->Height() <= 0) return sum;
    for (int y = 0; y < mask->Height(); ++y) {
        const uint8_t* row = mask->Scanline(y);
        for (int i = 0; i < mask->RowLength(); ++i) sum += row[i];
    }
    return sum;
}

// Keeps a value alive so the compiler cannot drop the reads that produced it.
inline void Keep(uint32_t value) {
    static volatile uint32_t sink;
    sink = sink + value;
}

} // namespace tw::fuzz
