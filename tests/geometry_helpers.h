// Test helpers for the geometric operations: build small bitmaps from pixel lists and
// read pixels back, through Scanline only.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "image/bitmap.h"

namespace twgeo {

using namespace tw;

inline int PixelSize(TIEPixelFormat f) { return BitsPerPixelOf(f) / 8; }

// Raw bytes of pixel (x, y) (formats of 8 bits or more).
inline std::vector<uint8_t> Pixel(TIEBitmap& b, int x, int y) {
    const int p = PixelSize(b.PixelFormat());
    const uint8_t* r = b.Scanline(y) + size_t(x) * size_t(p);
    return std::vector<uint8_t>(r, r + p);
}
inline void SetPixel(TIEBitmap& b, int x, int y, const std::vector<uint8_t>& v) {
    std::memcpy(b.Scanline(y) + size_t(x) * v.size(), v.data(), v.size());
}
inline bool Bit(TIEBitmap& b, int x, int y) { return (b.Scanline(y)[x >> 3] >> (7 - (x & 7))) & 1; }
inline void SetBit(TIEBitmap& b, int x, int y, bool v) {
    uint8_t* r = b.Scanline(y);
    uint8_t m = uint8_t(0x80u >> (x & 7));
    r[x >> 3] = v ? uint8_t(r[x >> 3] | m) : uint8_t(r[x >> 3] & ~m);
}

// TRGB helpers for ie24RGB.
inline TRGB RGBAt(TIEBitmap& b, int x, int y) {
    const uint8_t* p = b.Scanline(y) + 3 * x;
    return TRGB{p[0], p[1], p[2]};
}
inline void SetRGB(TIEBitmap& b, int x, int y, TRGB c) {
    uint8_t* p = b.Scanline(y) + 3 * x;
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
}
inline TRGB Gray(uint8_t v) { return TRGB{v, v, v}; }

// An 8-bit gray image from rows of values.
inline void FillGray(TIEBitmap& b, const std::vector<std::vector<int>>& rows) {
    b.Allocate(int(rows[0].size()), int(rows.size()), ie8g);
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t x = 0; x < rows[y].size(); ++x) b.Scanline(int(y))[x] = uint8_t(rows[y][x]);
}

// Every pixel of an image of 8 bits or more gets a distinct, position-derived value.
inline void FillDistinct(TIEBitmap& b, int seed = 0) {
    const int p = PixelSize(b.PixelFormat());
    for (int y = 0; y < b.Height(); ++y) {
        uint8_t* r = b.Scanline(y);
        for (int x = 0; x < b.Width(); ++x)
            for (int k = 0; k < p; ++k) r[size_t(x) * size_t(p) + size_t(k)] = uint8_t(seed + 37 * y + 11 * x + 101 * k + 1);
    }
}

inline void FillRandom(TIEBitmap& b, uint32_t seed) {
    std::mt19937 rng(seed);
    const size_t bytes = size_t((int64_t(b.Width()) * b.BitsPerPixel() + 7) / 8);
    for (int y = 0; y < b.Height(); ++y) {
        uint8_t* r = b.Scanline(y);
        for (size_t i = 0; i < bytes; ++i) r[i] = uint8_t(rng());
    }
}

// True when both images have the same size, format and pixel bytes (padding ignored).
inline bool SamePixels(TIEBitmap& a, TIEBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
    const int64_t bits = int64_t(a.Width()) * a.BitsPerPixel();
    const size_t whole = size_t(bits / 8);
    const int rest = int(bits % 8);
    std::vector<uint8_t> ra(size_t(a.RowLength()));
    for (int y = 0; y < a.Height(); ++y) {
        std::memcpy(ra.data(), a.Scanline(y), ra.size());
        const uint8_t* rb = b.Scanline(y);
        if (std::memcmp(ra.data(), rb, whole) != 0) return false;
        if (rest) {
            uint8_t m = uint8_t(0xFF00 >> rest);
            if ((ra[whole] & m) != (rb[whole] & m)) return false;
        }
    }
    return true;
}

} // namespace twgeo
