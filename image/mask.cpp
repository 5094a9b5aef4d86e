#include "image/mask.h"

#include <algorithm>
#include <cstring>

namespace tw {

void TIEMask::EmptyTheBox() {
    x1_ = y1_ = EmptyBox;
    x2_ = y2_ = 0;
}

void TIEMask::Free() {
    bits_.clear();
    bits_.shrink_to_fit();
    width_ = height_ = bitsPerPixel_ = rowLength_ = 0;
    EmptyTheBox();
    Full = false;
}

void TIEMask::Allocate(int width, int height, int bitsPerPixel) {
    Free();
    if (width < 1 || height < 1 || (bitsPerPixel != 1 && bitsPerPixel != 8)) return;
    int64_t rl = ((int64_t(width) * bitsPerPixel + 31) / 32) * 4;
    if (rl > INT32_MAX) return;
    bits_.assign(size_t(rl) * size_t(height), 0);
    width_ = width;
    height_ = height;
    bitsPerPixel_ = bitsPerPixel;
    rowLength_ = int(rl);
}

void TIEMask::SetPixel(int x, int y, int value) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    uint8_t* row = Scanline(y);
    if (bitsPerPixel_ == 1) {
        uint8_t bit = uint8_t(0x80 >> (x & 7));
        if (value) row[x >> 3] |= bit;
        else {
            row[x >> 3] &= uint8_t(~bit);
            Full = false; // a cleared bit is a transparent pixel
        }
    } else {
        row[x] = uint8_t(value);
        Full = Full && uint8_t(value) == 255;
    }
    if (value) {
        x1_ = std::min(x1_, x);
        y1_ = std::min(y1_, y);
        x2_ = std::max(x2_, x);
        y2_ = std::max(y2_, y);
    }
}

int TIEMask::GetPixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    const uint8_t* row = Scanline(y);
    if (bitsPerPixel_ == 1) return (row[x >> 3] & (0x80 >> (x & 7))) ? 1 : 0;
    return row[x];
}

void TIEMask::Fill(int value) {
    if (bits_.empty()) return;
    uint8_t byte = bitsPerPixel_ == 1 ? (value ? 255 : 0) : uint8_t(value);
    std::memset(bits_.data(), byte, bits_.size());
    Full = bitsPerPixel_ == 1 ? value != 0 : byte == 255;
    if (byte) {
        x1_ = y1_ = 0;
        x2_ = width_ - 1;
        y2_ = height_ - 1;
    } else {
        EmptyTheBox();
    }
}

void TIEMask::UpdateFull() {
    Full = false;
    if (bits_.empty()) return;
    for (int y = 0; y < height_; ++y) {
        const uint8_t* row = Scanline(y);
        if (bitsPerPixel_ == 8) {
            for (int x = 0; x < width_; ++x)
                if (row[x] != 255) return;
        } else {
            int whole = width_ / 8;
            for (int i = 0; i < whole; ++i)
                if (row[i] != 255) return;
            if (int rest = width_ % 8) {
                uint8_t m = uint8_t(0xFF00 >> rest);
                if ((row[whole] & m) != m) return;
            }
        }
    }
    Full = true;
}

} // namespace tw

namespace tw {

void TIEMask::UpdateBoundingBox() {
    EmptyTheBox();
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x)
            if (GetPixel(x, y)) {
                x1_ = std::min(x1_, x);
                y1_ = std::min(y1_, y);
                x2_ = std::max(x2_, x);
                y2_ = std::max(y2_, y);
            }
}

} // namespace tw
