#include "image/rowconvert.h"

#include <array>
#include <cstring>

#include "image/bitmap.h"
#include "image/color.h"

namespace tw {

namespace {

inline uint16_t Load16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline void Store16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline float LoadFloat(const uint8_t* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}
inline void StoreFloat(uint8_t* p, float f) { std::memcpy(p, &f, 4); }
inline bool Bit(const uint8_t* row, int x) { return row[x >> 3] & (0x80 >> (x & 7)); }

// Eight ready-made 24-bit pixels for every byte of a 1-bit row.
const std::array<std::array<uint8_t, 24>, 256>& BitExpansionTable() {
    static const auto table = [] {
        std::array<std::array<uint8_t, 24>, 256> t{};
        for (int v = 0; v < 256; ++v)
            for (int i = 0; i < 8; ++i) {
                uint8_t c = (v & (0x80 >> i)) ? 255 : 0;
                t[size_t(v)][size_t(i * 3)] = t[size_t(v)][size_t(i * 3 + 1)] = t[size_t(v)][size_t(i * 3 + 2)] = c;
            }
        return t;
    }();
    return table;
}

} // namespace

int PixelBytes(TIEPixelFormat f) {
    switch (f) {
    case ie8p:
    case ie8g: return 1;
    case ie16g: return 2;
    case ie24RGB:
    case ieCIELab: return 3;
    case ie32f:
    case ieCMYK:
    case ie32RGB: return 4;
    case ieRGB48: return 6;
    default: return 0;
    }
}

uint8_t FloatGrayTo8(float f) {
    double v = double(f) * 255;
    if (!(v > 0)) return 0;
    return v >= 255 ? 255 : uint8_t(v);
}

uint16_t FloatGrayTo16(float f) {
    double v = double(f) * 65535;
    if (!(v > 0)) return 0;
    return v >= 65535 ? 65535 : uint16_t(v);
}

void RowToRGB(TIEPixelFormat format, const uint8_t* src, TRGB* dst, int width, const TRGB* palette) {
    switch (format) {
    case ie1g: {
        const auto& table = BitExpansionTable();
        int whole = width / 8;
        uint8_t* out = reinterpret_cast<uint8_t*>(dst);
        for (int i = 0; i < whole; ++i, out += 24) std::memcpy(out, table[src[i]].data(), 24);
        for (int x = whole * 8; x < width; ++x) {
            uint8_t c = Bit(src, x) ? 255 : 0;
            dst[x] = TRGB{c, c, c};
        }
        break;
    }
    case ie8p:
        if (palette)
            for (int x = 0; x < width; ++x) dst[x] = palette[src[x]];
        else
            for (int x = 0; x < width; ++x) dst[x] = TRGB{};
        break;
    case ie8g:
        for (int x = 0; x < width; ++x) dst[x] = TRGB{src[x], src[x], src[x]};
        break;
    case ie16g:
        for (int x = 0; x < width; ++x) {
            uint8_t v = src[2 * x + 1];
            dst[x] = TRGB{v, v, v};
        }
        break;
    case ie24RGB: std::memcpy(dst, src, size_t(width) * 3); break;
    case ie32f:
        for (int x = 0; x < width; ++x) {
            uint8_t v = FloatGrayTo8(LoadFloat(src + 4 * x));
            dst[x] = TRGB{v, v, v};
        }
        break;
    case ieCMYK: CmykConverter().CmykToRgb(src, dst, width); break;
    case ieRGB48:
        for (int x = 0; x < width; ++x, src += 6) dst[x] = TRGB{src[5], src[3], src[1]};
        break;
    case ieCIELab: LabToRGBRow(src, dst, width); break;
    case ie32RGB:
        for (int x = 0; x < width; ++x, src += 4) dst[x] = TRGB{src[0], src[1], src[2]};
        break;
    default:
        for (int x = 0; x < width; ++x) dst[x] = TRGB{};
        break;
    }
}

void RowFromRGB(TIEPixelFormat format, const TRGB* src, uint8_t* dst, int width) {
    switch (format) {
    case ie8g:
        for (int x = 0; x < width; ++x) dst[x] = GrayLevel(src[x]);
        break;
    case ie16g:
        for (int x = 0; x < width; ++x) {
            int64_t v = (int64_t(src[x].r) * 54484 + int64_t(src[x].g) * 183241 + int64_t(src[x].b) * 19275) / 1000;
            Store16(dst + 2 * x, uint16_t(v));
        }
        break;
    case ie24RGB: std::memcpy(dst, src, size_t(width) * 3); break;
    case ie32f:
        for (int x = 0; x < width; ++x) {
            long double v = (src[x].r * 0.2126L + src[x].g * 0.7152L + src[x].b * 0.0722L) / 255;
            StoreFloat(dst + 4 * x, float(v));
        }
        break;
    case ieCMYK: CmykConverter().RgbToCmyk(src, dst, width); break;
    case ieRGB48:
        for (int x = 0; x < width; ++x, dst += 6) {
            Store16(dst, uint16_t(src[x].r * 257));
            Store16(dst + 2, uint16_t(src[x].g * 257));
            Store16(dst + 4, uint16_t(src[x].b * 257));
        }
        break;
    case ieCIELab: RGBToLabRow(src, dst, width); break;
    case ie32RGB:
        for (int x = 0; x < width; ++x, dst += 4) {
            dst[0] = src[x].b;
            dst[1] = src[x].g;
            dst[2] = src[x].r;
            dst[3] = 255;
        }
        break;
    default: break;
    }
}

void GrayRowTo8(TIEPixelFormat format, const uint8_t* src, uint8_t* dst, int width) {
    switch (format) {
    case ie1g:
        for (int x = 0; x < width; ++x) dst[x] = Bit(src, x) ? 255 : 0;
        break;
    case ie8g: std::memcpy(dst, src, size_t(width)); break;
    case ie16g:
        for (int x = 0; x < width; ++x) dst[x] = src[2 * x + 1];
        break;
    case ie32f:
        for (int x = 0; x < width; ++x) dst[x] = FloatGrayTo8(LoadFloat(src + 4 * x));
        break;
    default: std::memset(dst, 0, size_t(width)); break;
    }
}

void GrayRowTo16(TIEPixelFormat format, const uint8_t* src, uint16_t* dst, int width) {
    switch (format) {
    case ie1g:
        for (int x = 0; x < width; ++x) dst[x] = Bit(src, x) ? 65535 : 0;
        break;
    case ie8g:
        for (int x = 0; x < width; ++x) dst[x] = uint16_t(src[x] * 257);
        break;
    case ie16g:
        for (int x = 0; x < width; ++x) dst[x] = Load16(src + 2 * x);
        break;
    case ie32f:
        for (int x = 0; x < width; ++x) dst[x] = FloatGrayTo16(LoadFloat(src + 4 * x));
        break;
    default: std::memset(dst, 0, size_t(width) * 2); break;
    }
}

void GrayRowToFloat(TIEPixelFormat format, const uint8_t* src, float* dst, int width) {
    switch (format) {
    case ie1g:
        for (int x = 0; x < width; ++x) dst[x] = Bit(src, x) ? 1.0f : 0.0f;
        break;
    case ie8g:
        for (int x = 0; x < width; ++x) dst[x] = float(src[x] / 255.0);
        break;
    case ie16g:
        for (int x = 0; x < width; ++x) dst[x] = float(Load16(src + 2 * x) / 65535.0);
        break;
    case ie32f: std::memcpy(dst, src, size_t(width) * 4); break;
    default:
        for (int x = 0; x < width; ++x) dst[x] = 0;
        break;
    }
}

void ReadRowRGB(TIEBitmap& bitmap, int y, TRGB* dst) {
    TIEPixelFormat f = bitmap.PixelFormat();
    RowToRGB(f, bitmap.Scanline(y), dst, bitmap.Width(), f == ie8p ? bitmap.Palette() : nullptr);
}

} // namespace tw
