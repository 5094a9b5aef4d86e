// Pixel-format conversion (placeholder until the conversion matrix lands).
#include "image/bitmap.h"

namespace tw {

void TIEBitmap::SetPixelFormat(TIEPixelFormat format) { (void)format; }
void TIEBitmap::CopyConvertFrom(TIEBitmap& source) { (void)source; }

} // namespace tw
