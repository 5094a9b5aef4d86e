// Row-wise pixel conversions shared by the conversion matrix, the pixel accessors
// and the quantiser. Every function works on one row of `width` pixels and switches
// on the format once per row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/types.h"

namespace tw {

class TIEBitmap;

// The gray formats: ie1g, ie8g, ie16g, ie32f.
inline bool IsGrayFormat(TIEPixelFormat f) { return f == ie1g || f == ie8g || f == ie16g || f == ie32f; }

// Bytes per pixel of the byte-aligned formats (0 for ieNone and ie1g).
int PixelBytes(TIEPixelFormat f);

// Float gray to 8 and 16 bits: Trunc(f * 255) and Trunc(f * 65535), limited to the
// range of the result (values outside 0..1 and NaN do not wrap around).
uint8_t FloatGrayTo8(float f);
uint16_t FloatGrayTo16(float f);

// One row of any format read as colours, the way GetPixelRGB reads a pixel: ie1g 0 or
// 255, gray formats replicated (ie16g its high byte, ie32f Trunc(f * 255)), ie8p the
// palette entry, ieRGB48 the high bytes, ie32RGB the first three bytes, ieCMYK and
// ieCIELab through the colour formulas, ieNone black.
void RowToRGB(TIEPixelFormat format, const uint8_t* src, TRGB* dst, int width, const TRGB* palette);

// Writes colours as one row of `format`. Every format except ie1g and ie8p (which
// need the whole image: thresholding and quantising).
void RowFromRGB(TIEPixelFormat format, const TRGB* src, uint8_t* dst, int width);

// Rows of a gray format (ie1g, ie8g, ie16g, ie32f) as 8-bit, 16-bit and float gray.
void GrayRowTo8(TIEPixelFormat format, const uint8_t* src, uint8_t* dst, int width);
void GrayRowTo16(TIEPixelFormat format, const uint8_t* src, uint16_t* dst, int width);
void GrayRowToFloat(TIEPixelFormat format, const uint8_t* src, float* dst, int width);

// Reads row y of a bitmap as colours (dst holds Width() entries).
void ReadRowRGB(TIEBitmap& bitmap, int y, TRGB* dst);

} // namespace tw
