// The component's canvas resize: changes the image size without scaling. Kept in its
// own file because it is built on the bitmap's ResizeCanvas.
#include "proc/imageproc.h"

namespace tw {

void TImageProc::ImageResize(int newWidth, int newHeight, int alphaFill, int horizontalAlign, int verticalAlign) {
    if (!CheckFormat(0) || !HasImage()) return;
    if (newWidth == 0 || newHeight == 0) return;
    if (newWidth == bitmap_->Width() && newHeight == bitmap_->Height()) return;
    if (alphaFill < 255) bitmap_->AlphaChannel();
    bitmap_->ResizeCanvas(newWidth, newHeight, double(Background), double(alphaFill), horizontalAlign, verticalAlign);
    Changed();
    Finish();
}

} // namespace tw
