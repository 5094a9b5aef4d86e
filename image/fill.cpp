// Filling the whole image or a rectangle with one value. The value is a double whose
// meaning depends on the format: a level for the gray and palette formats, a float
// for ie32f, a TColor (red in the low byte) for the colour formats.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "image/bitmap.h"
#include "image/color.h"
#include "image/rowconvert.h"

namespace tw {

namespace {

// Trunc of a fill value, saturated so that no value is undefined to convert.
int64_t TruncValue(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return int64_t(std::trunc(v));
}

// One pixel of `format` holding value (not for ie1g). Returns its size in bytes.
int EncodePixel(TIEPixelFormat format, double value, bool truncFloat, uint8_t out[8]) {
    int64_t v = TruncValue(value);
    TRGB rgb = TColor2TRGB(TColor(uint64_t(v)));
    switch (format) {
    case ie8p:
    case ie8g: out[0] = uint8_t(v); return 1;
    case ie16g:
        out[0] = uint8_t(v);
        out[1] = uint8_t(v >> 8);
        return 2;
    case ie24RGB: std::memcpy(out, &rgb, 3); return 3;
    case ie32f: {
        float f = truncFloat ? float(v) : float(value);
        std::memcpy(out, &f, 4);
        return 4;
    }
    case ieCMYK: {
        TCMYK c = RGBToCMYK(rgb);
        out[0] = c.c;
        out[1] = c.m;
        out[2] = c.y;
        out[3] = c.k;
        return 4;
    }
    case ieRGB48: {
        uint16_t w[3] = {uint16_t(rgb.r * 257), uint16_t(rgb.g * 257), uint16_t(rgb.b * 257)};
        for (int i = 0; i < 3; ++i) {
            out[2 * i] = uint8_t(w[i]);
            out[2 * i + 1] = uint8_t(w[i] >> 8);
        }
        return 6;
    }
    case ieCIELab: {
        TCIELab l = RGBToLab(rgb);
        out[0] = l.l;
        out[1] = uint8_t(l.a);
        out[2] = uint8_t(l.b);
        return 3;
    }
    case ie32RGB: // the fourth byte is left as it is: only B, G, R are written
        std::memcpy(out, &rgb, 3);
        return 4;
    default: return 0;
    }
}

bool IsWhite(double value) { return (TColor(uint64_t(TruncValue(value))) & 0xFFFFFF) == 0xFFFFFF; }

} // namespace

void TIEBitmap::Fill(double value) {
    if (IsEmpty()) return;
    TIEPixelFormat f = PixelFormat();
    int w = Width(), h = Height();
    size_t rl = size_t(RowLength());
    std::vector<uint8_t> row(rl, 0);
    int64_t v = TruncValue(value);
    bool full = false;

    if (f == ie1g || f == ie8p || f == ie8g) {
        uint8_t byte = f == ie1g ? (v != 0 ? 255 : 0) : uint8_t(v);
        std::memset(row.data(), byte, rl);
        full = f == ie1g ? v != 0 : v == 255;
    } else {
        uint8_t px[8];
        int size = EncodePixel(f, value, false, px);
        if (f == ie32RGB) std::memcpy(row.data(), Scanline(0), rl); // keep row 0's fourth bytes
        for (int x = 0; x < w; ++x) std::memcpy(row.data() + size_t(x) * size_t(size), px, size_t(f == ie32RGB ? 3 : size));
        switch (f) {
        case ie16g: full = v == 65535; break;
        case ie32f: full = value == 1.0; break;
        default: full = IsWhite(value); break;
        }
    }

    TIEDataAccessSet saved = Access;
    Access = iedWrite;
    for (int y = 0; y < h; ++y) std::memcpy(Scanline(y), row.data(), rl);
    Access = saved;
    Full = full;
}

void TIEBitmap::FillRect(int x1, int y1, int x2, int y2, double value) {
    if (IsEmpty()) return;
    TIEPixelFormat f = PixelFormat();
    x1 = std::max(x1, 0);
    y1 = std::max(y1, 0);
    x2 = std::min(x2, Width() - 1);
    y2 = std::min(y2, Height() - 1);
    if (y2 < y1 || x2 < x1) return;

    if (f == ie1g) {
        bool set = TruncValue(value) != 0;
        for (int y = y1; y <= y2; ++y) {
            uint8_t* row = Scanline(y);
            for (int x = x1; x <= x2; ++x) {
                uint8_t bit = uint8_t(0x80 >> (x & 7));
                if (set) row[x >> 3] |= bit;
                else row[x >> 3] &= uint8_t(~bit);
            }
        }
        return;
    }
    uint8_t px[8];
    int size = EncodePixel(f, value, true, px);
    if (size == 0) return;
    size_t written = size_t(f == ie32RGB ? 3 : size);
    int count = x2 - x1 + 1;
    for (int y = y1; y <= y2; ++y) {
        uint8_t* p = Scanline(y) + size_t(x1) * size_t(size);
        if (size == 1) std::memset(p, px[0], size_t(count));
        else
            for (int i = 0; i < count; ++i, p += size) std::memcpy(p, px, written);
    }
}

} // namespace tw
