// BMP reader and writer (.bmp, .dib, .rle): the OS/2 core header and every Windows
// info header, 1/4/8/16/24/32 bits per pixel, bit fields, RLE4 and RLE8, top-down rows;
// written with 1/4/8/24/32 bits, 12-, 40- or 64-byte headers and optional RLE.
#pragma once

#include <cstdint>
#include <memory>

#include "image/bitmap.h"
#include "image/mask.h"
#include "io/params.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

// Reads one image starting at the stream's position into bitmap and fills the record's
// size, depth, resolution, colour map and BMP fields. headerOnly fills the record and
// reads no pixels. With useAlpha (the caller passes BmpUseAlpha) a 32-bit file with
// real transparency returns its alpha as an 8-bit mask (255 = opaque); otherwise null.
// lengthLimit bounds the image's length in bytes when the caller knows it (0: the
// file's own size field). Bad data is reported through progress.Abort.
std::unique_ptr<TIEMask> BmpReadStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                                       TIEProgressRecord& progress, bool headerOnly, bool useAlpha,
                                       int64_t lengthLimit = 0);

// Writes bitmap as one BMP image at the stream's position, in the depth, header and
// compression the record asks for; with useAlpha (the caller passes BmpUseAlpha) a
// 32-bit image carries the alpha channel in its fourth bytes. A short write aborts.
void BmpWriteStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, TIEProgressRecord& progress,
                    bool useAlpha);

} // namespace tw
