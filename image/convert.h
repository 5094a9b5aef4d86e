// Pixel-format conversion helpers beyond TIEBitmap::SetPixelFormat and
// TIEBitmap::CopyConvertFrom: thresholding to black and white and the two-colour test.
#pragma once

#include <memory>

#include "image/bitmap.h"

namespace tw {

// Converts every pixel of source into target, which is already allocated with
// source's size in its own format. Neither bitmap's alpha channel is touched and
// source is left as it is. Does nothing when the sizes differ.
void ConvertPixels(TIEBitmap& source, TIEBitmap& target);

// Fills target, an allocated ie1g bitmap of source's size: white where a pixel's gray
// level is at least the gray level of the image's mean colour, black elsewhere. An
// ie1g source is copied.
void ThresholdToBW(TIEBitmap& source, TIEBitmap& target);

// When source holds exactly two distinct colours, returns an ie1g bitmap in which bit
// 0 marks the darker colour (color0) and bit 1 the other (color1); otherwise none.
std::unique_ptr<TIEBitmap> TwoColorBitmap(TIEBitmap& source, TRGB& color0, TRGB& color1);

} // namespace tw
