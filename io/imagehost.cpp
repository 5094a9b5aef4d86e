#include "io/imagehost.h"

namespace tw {

TImageHost::TImageHost() : DpiX(DefaultDpiX), DpiY(DefaultDpiY) {
    bitmap_.SetLocation(ieTBitmap);
    bitmap_.DeviceBitmap()->SetDepth(24);
}

TImageHost::~TImageHost() = default;

TImageIO& TImageHost::IO() {
    if (!io_) io_ = std::make_unique<TImageIO>(this);
    return *io_;
}

TImageProc& TImageHost::Proc() {
    if (!proc_) {
        proc_ = std::make_unique<TImageProc>(&bitmap_);
        proc_->Background = BackgroundColor;
    }
    return *proc_;
}

void TImageHost::SetHostResolution(int dpiX, int dpiY) {
    DpiX = dpiX;
    DpiY = dpiY;
}

} // namespace tw
