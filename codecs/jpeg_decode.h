// The JPEG decoding core: drives libjpeg from the start-of-image marker to the last
// row, filling a bitmap and a plain description of what the file holds. JpegReadStream
// (codecs/jpeg.h) maps the parameter record onto it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

class TIOParamsVals;

// Colour spaces as the parameter record numbers them (JpegColorSpace).
enum : int { jcsRGB = 0, jcsGray = 1, jcsYCbCr = 2, jcsCMYK = 3, jcsYCCK = 4 };

// One APPn or COM segment: marker code and the bytes after the length field.
struct TJpegSegment {
    uint8_t Code = 0;
    std::vector<uint8_t> Data;
    friend bool operator==(const TJpegSegment&, const TJpegSegment&) = default;
};

struct TJpegDecodeOptions {
    bool NativeFormat = false; // keep gray and CMYK instead of converting to ie24RGB
    int32_t MaxRows = -1;      // rows to decode; -1 = all
    bool InvertCmyk = false;   // CMYK samples are stored as ink amounts
    bool RawYCbCr = false;     // YCbCr samples are delivered unconverted
    bool ParamsOnly = false;   // read the header only
    int DCTMethod = 1;         // 0 slow integer, 1 fast integer, 2 floating point
    int Scale = 1;             // 0 automatic, 1 full, 2 half, 3 quarter, 4 eighth
    int32_t RequestWidth = 0;  // wanted size for automatic scaling
    int32_t RequestHeight = 0;
    TIOParamsVals* Params = nullptr; // handed to ColorConvertHook
};

struct TJpegDecodeResult {
    bool HeaderRead = false;   // the fields below the line are valid
    int32_t Rows = 0;          // rows decoded
    int WarningCount = 0;      // library warnings (corrupt or missing data)
    int LastWarning = 0;       // message code of the last warning
    std::vector<TJpegSegment> Markers; // kept APPn and COM segments in file order
    // ----
    int ColorSpace = -1;       // jcs* value; -1 when the library does not know it
    int SamplesPerPixel = 0;
    int DensityUnit = 0;       // JFIF density: 0 none/aspect, 1 per inch, 2 per cm
    int XDensity = 0, YDensity = 0;
    bool Progressive = false;
    int32_t OriginalWidth = 0, OriginalHeight = 0; // frame header size
    int ScaleUsed = 1;         // scale denominator applied
    int32_t Width = 0, Height = 0; // decoded size (header size in ParamsOnly mode)
};

// Decodes the datastream at the stream's position (the start-of-image marker must
// be there). Tables, when given and not the same stream, is read first as an
// abbreviated datastream of table definitions; a library error there raises
// EIEJpegException. Every other problem sets the abort flag with a reason and
// returns with what was decoded.
void JpegDecode(TStream& stream, TStream* tables, TIEBitmap& bitmap, const TJpegDecodeOptions& options,
                TIEProgressRecord& progress, TJpegDecodeResult& result);

} // namespace tw
