// The built-in load and save operations: one row per file type code, binding the
// format's reader and writer to the dispatch with the few things that differ per format.
#pragma once

#include <cstdint>
#include <memory>

#include "image/mask.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

class TImageIO;

struct TIEBuiltinFormat {
    int32_t Code;
    // Reading: a buffered view of this many bytes in front of the file (0 = none).
    int ReadBuffer = 0;
    bool RelativeBuffer = false;
    bool ResolutionFix = true;       // DPI below 2 becomes the default resolution
    bool AutoAdjust = true;          // AutoAdjustDPI applies
    bool HostTakesResolution = true; // the host takes DpiX/DpiY after the load
    // Reads one image from the stream into io.Bitmap(); may return a transparency mask.
    std::unique_ptr<TIEMask> (*Read)(TImageIO& io, TStream& stream, TIEProgressRecord& progress) = nullptr;
    // Writing: convert a bitmap that is neither ie24RGB nor ie1g to ie24RGB first,
    // except for the formats listed here as kept.
    bool ConvertTo24 = false;
    bool KeepRGB48 = false;
    void (*Write)(TImageIO& io, TStream& stream, TIEProgressRecord& progress) = nullptr;
    // Prepares the record before writing (the JPEG marker list).
    void (*PrepareSave)(TImageIO& io) = nullptr;
};

// The row for a file type code, or null when the format has no built-in operation
// in this build (it is then treated as a format left out: the load or save aborts).
const TIEBuiltinFormat* BuiltinFormat(int32_t code);

} // namespace tw
