#include "image/devicebitmap.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tw {

static int RowBytesFor(int width, int depth) {
    return int(((int64_t(width) * depth + 31) / 32) * 4);
}

bool TBitmap::Reshape(int width, int height, int depth, bool keep) {
    if (width < 0 || height < 0) return false;
    int rb = RowBytesFor(width, depth);
    size_t bytes = size_t(rb) * size_t(height);
    TIEMemoryBlock np;
    if (bytes > 0 && !np.Allocate(bytes)) return false;
    if (keep && pixels_.Data() && np.Data() && depth == depth_) {
        int copyRows = std::min(height, height_);
        size_t copyBytes = size_t(std::min(rb, rowBytes_));
        for (int y = 0; y < copyRows; ++y)
            std::memcpy(np.Data() + size_t(y) * rb, pixels_.Data() + size_t(y) * rowBytes_, copyBytes);
    }
    pixels_ = std::move(np);
    width_ = width;
    height_ = height;
    if (depth != depth_) {
        depth_ = depth;
        colors_.clear();
        if (depth <= 8) colors_.assign(size_t(1) << depth, TRGB{});
        if (depth == 1) colors_[1] = TRGB{255, 255, 255};
        grayCache_ = -1;
    }
    rowBytes_ = rb;
    ++version_;
    return true;
}

bool TBitmap::SetDepth(int bits) {
    if (bits == 0) bits = DefaultDepth;
    if (bits != 1 && bits != 8 && bits != 24 && bits != 32) return false;
    if (bits == depth_ && (pixels_.Data() || width_ == 0 || height_ == 0)) return true;
    return Reshape(width_, height_, bits, false);
}

bool TBitmap::SetSize(int width, int height) {
    if (width == width_ && height == height_ && (pixels_.Data() || width == 0 || height == 0)) return true;
    return Reshape(width, height, depth_, true);
}

void TBitmap::SetColors(const TRGB* colors, int count) {
    if (depth_ > 8) return;
    int n = std::min<int>(count, int(colors_.size()));
    for (int i = 0; i < n; ++i) colors_[size_t(i)] = colors[i];
    grayCache_ = -1;
    ++version_;
}

bool TBitmap::IsGrayRamp() const {
    if (grayCache_ < 0) {
        bool gray = depth_ == 8 && colors_.size() == 256;
        for (size_t i = 0; gray && i < colors_.size(); ++i) {
            const TRGB& c = colors_[i];
            gray = c.r == i && c.g == i && c.b == i;
        }
        grayCache_ = gray ? 1 : 0;
    }
    return grayCache_ == 1;
}

void TBitmap::Draw(const TBitmap& source) {
    if (source.depth_ != depth_ || !pixels_.Data() || !source.pixels_.Data()) return;
    int rows = std::min(height_, source.height_);
    int64_t bits = int64_t(std::min(width_, source.width_)) * depth_;
    size_t whole = size_t(bits / 8);
    int rest = int(bits % 8);
    for (int y = 0; y < rows; ++y) {
        uint8_t* d = Row(y);
        const uint8_t* s = source.Row(y);
        std::memcpy(d, s, whole);
        if (rest) {
            uint8_t mask = uint8_t(0xFF00 >> rest);
            d[whole] = uint8_t((d[whole] & ~mask) | (s[whole] & mask));
        }
    }
}

} // namespace tw
