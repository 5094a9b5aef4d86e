// Making the pixel aspect square after a load (AutoAdjustDPI).
#include <cmath>

#include "io/imageio.h"
#include "proc/imageproc.h"

namespace tw {

void TImageIO::AdjustDpi() {
    int dx = Params.DpiX(), dy = Params.DpiY();
    if (dx == dy || dx <= 0 || dy <= 0 || bitmap_->IsEmpty()) return;
    if (Params.Height < Params.Width) {
        Params.Height = int32_t(std::trunc(double(Params.Height) / dy * dx));
        Params.SetDpiY(dx);
    } else {
        Params.Width = int32_t(std::trunc(double(Params.Width) / dx * dy));
        Params.SetDpiX(dy);
    }
    TImageProc proc(bitmap_);
    if (FilteredAdjustDPI) {
        bitmap_->SetPixelFormat(ie24RGB);
        proc.Resample(Params.Width, Params.Height, rfFastLinear);
    } else {
        proc.Resample(Params.Width, Params.Height, rfNone);
    }
}

} // namespace tw
