// TBitmap: the in-process "device bitmap" behind the ieTBitmap storage location.
// It offers exactly what the bitmap store needs: depth (1, 8, 24, 32 bits), size with
// the overlap kept on resize, row addresses (top-down, rows padded to 32 bits), a
// colour table of up to 256 entries, and drawing another bitmap at 0,0.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/memblock.h"
#include "image/types.h"

namespace tw {

class TBitmap {
  public:
    static constexpr int DefaultDepth = 24;

    TBitmap() = default;
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Depth() const { return depth_; }
    int RowBytes() const { return rowBytes_; }

    // Changes the depth (0 means the device default). Pixels are reset to zero
    // unless the depth is unchanged. Returns false when memory cannot be had.
    bool SetDepth(int bits);
    // Changes the size, keeping the top-left overlap; new pixels are zero.
    // Returns false (and keeps the old size) when memory cannot be had.
    bool SetSize(int width, int height);

    uint8_t* Row(int y) { return pixels_.Data() + size_t(y) * size_t(rowBytes_); }
    const uint8_t* Row(int y) const { return pixels_.Data() + size_t(y) * size_t(rowBytes_); }

    // Colour table (meaningful for 1- and 8-bit depths).
    int ColorCount() const { return int(colors_.size()); }
    TRGB Color(int i) const { return colors_[size_t(i)]; }
    void SetColors(const TRGB* colors, int count);
    bool IsGrayRamp() const;

    // Copies the overlapping part of source (same depth) to this bitmap at 0,0.
    void Draw(const TBitmap& source);

    // Raised whenever depth, size or colour table change.
    uint64_t Version() const { return version_; }

  private:
    bool Reshape(int width, int height, int depth, bool keep);

    int width_ = 0, height_ = 0, depth_ = DefaultDepth, rowBytes_ = 0;
    TIEMemoryBlock pixels_;
    std::vector<TRGB> colors_;
    uint64_t version_ = 1;
    mutable int grayCache_ = -1; // -1 unknown, 0 no, 1 yes
};

} // namespace tw
