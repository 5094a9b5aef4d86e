// Internal interface of the rotation, flip and crop algorithms. Each works on one
// bitmap in place (a result is built in a scratch and copied back with AssignImage,
// so the bitmap's alpha channel is left alone: the caller treats it separately).
#pragma once

#include <array>
#include <cstdint>

#include "image/bitmap.h"
#include "proc/imageproc.h"
#include "proc/procutil.h"

namespace tw::proc {

// Copies ie8p palettes (and nothing else) from source to target.
void CopyPalette(TIEBitmap& source, TIEBitmap& target);

// Exact turn by ccwTurns counter-clockwise quarter turns (1..3) of any format into
// target, which is allocated here (same format). limitBytes caps the result.
void QuarterTurn(TIEBitmap& source, TIEBitmap& target, int ccwTurns, int64_t limitBytes);
// The same on the bitmap itself (rebuilt at the turned size; its alpha channel is
// dropped, the caller turns that separately).
void QuarterTurnInPlace(TIEBitmap& image, int ccwTurns, int64_t limitBytes);

// Number of counter-clockwise quarter turns (0..3) when angle is a whole multiple of
// 90 degrees, else -1.
int QuarterTurnsOf(double angle);

// Quarter turns plus three-shear rotation, for ie24RGB (3-byte background) or ie8g
// (1-byte background).
void RotateShear(TIEBitmap& image, double angle, bool antialias, const uint8_t* background, TProgress& progress,
                 int64_t limitBytes);
// Nearest-neighbour rotation of ie1g (background: 0 or 1) or ie8g (a byte).
void RotateNearest(TIEBitmap& image, double angle, uint8_t background, TProgress& progress, int64_t limitBytes);
// Nearest-neighbour rotation with a 3-pixel background border, whole pixels of any
// format of 8 bits or more.
void RotatePadded(TIEBitmap& image, double angle, const uint8_t* background, TProgress& progress,
                  int64_t limitBytes);
// Inverse-mapped rotation with bilinear or bicubic interpolation, ie24RGB or ie8g.
void RotateInverse(TIEBitmap& image, double angle, bool bicubic, const uint8_t* background, TProgress& progress,
                   int64_t limitBytes);

// Mirrors the bitmap in place.
void FlipBitmap(TIEBitmap& image, TIEFlipDirection direction);
// Replaces the bitmap by the inclusive rectangle (clipped copy; outside stays zero).
// Returns false when the rectangle is empty.
bool CropBitmap(TIEBitmap& image, const TIERect& rect, int64_t limitBytes);

// The 256-entry bit-reversal table.
extern const std::array<uint8_t, 256> kBitReverse;

} // namespace tw::proc
