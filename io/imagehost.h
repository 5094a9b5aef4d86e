// TImageHost: owns the working image of the program and hands out the I/O component and
// the processing component bound to it. The image lives in the device-bitmap location,
// created as a 24-bit device bitmap with the host.
#pragma once

#include <memory>

#include "image/bitmap.h"
#include "io/imageio.h"
#include "proc/imageproc.h"

namespace tw {

class TImageHost final : public TIEImageHostLink {
  public:
    TImageHost();
    ~TImageHost() override;

    TIEBitmap& Bitmap() { return bitmap_; }
    // Created on first request, bound to this host's bitmap.
    TImageIO& IO();
    TImageProc& Proc();

    // Resolution of the image, updated after every load.
    int DpiX;
    int DpiY;
    TColor BackgroundColor = clBlack;

    // TIEImageHostLink
    TIEBitmap& HostBitmap() override { return bitmap_; }
    TColor HostBackground() override { return BackgroundColor; }
    void SetHostResolution(int dpiX, int dpiY) override;
    void HostImageChanged() override {}

  private:
    TIEBitmap bitmap_;
    std::unique_ptr<TImageIO> io_;
    std::unique_ptr<TImageProc> proc_;
};

} // namespace tw
