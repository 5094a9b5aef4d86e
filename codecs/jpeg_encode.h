// The JPEG encoding core: drives libjpeg to write a 24-bit bitmap with given settings
// and segments. JpegWriteStream (codecs/jpeg.h) maps the parameter record onto it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/bitmap.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

class TIOParamsVals;

// A segment to write: marker code and payload (at most 65533 bytes).
struct TJpegMarkerRef {
    uint8_t Code = 0;
    const uint8_t* Data = nullptr;
    size_t Length = 0;
};

struct TJpegEncodeOptions {
    int ColorSpace = 2;      // jcs* value of the file; other values write RGB
    int Quality = 80;        // clamped to 1..100 by the library
    int DCTMethod = 1;       // 0 slow integer, 1 fast integer, 2 floating point
    bool OptimizeCoding = false;
    int Smoothing = 0;       // 0..100
    bool Progressive = false;
    int DpiX = 300, DpiY = 300; // JFIF density in dots per inch
    std::vector<TJpegMarkerRef> Markers; // APPn and COM written in this order after the headers; APP14 and other codes are skipped
    TIOParamsVals* Params = nullptr;     // handed to ColorConvertHook
};

// Encodes an ie24RGB bitmap. A bitmap without pixels sets the abort flag and writes
// nothing; a short write sets it and stops; a library error raises EIEJpegException
// after setting it.
void JpegEncode(TStream& stream, TIEBitmap& bitmap, const TJpegEncodeOptions& options, TIEProgressRecord& progress);

} // namespace tw
