// Pixel access by coordinates, the alpha pixel, the Full flag and the whole-image
// tests, and the copies between masks and bitmaps.
#include <algorithm>
#include <cstring>
#include <vector>

#include "image/bitmap.h"
#include "image/color.h"
#include "image/mask.h"
#include "image/rowconvert.h"

namespace tw {

namespace {

inline uint16_t Load16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline void Store16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Bytes of a row that hold pixels: ceil(width * bits / 8).
size_t PixelRowBytes(int width, int bitsPerPixel) { return size_t((int64_t(width) * bitsPerPixel + 7) / 8); }

} // namespace

TRGB TIEBitmap::GetPixelRGB(int x, int y) {
    TIEPixelFormat f = PixelFormat();
    if (f == ieNone || f >= ieFormatCount) return TRGB{};
    const uint8_t* row = Scanline(y);
    TRGB c;
    switch (f) {
    case ie1g: {
        uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        c = TRGB{v, v, v};
        break;
    }
    case ie8p: c = PaletteColor(row[x]); break;
    default: RowToRGB(f, row + size_t(x) * size_t(PixelBytes(f)), &c, 1, nullptr); break;
    }
    return c;
}

uint8_t TIEBitmap::Pixels_ie8(int x, int y) { return Scanline(y)[x]; }

void TIEBitmap::SetPixels_ie8(int x, int y, uint8_t v) {
    Scanline(y)[x] = v;
    if (v != 255) Full = false;
}

uint16_t TIEBitmap::Pixels_ie16g(int x, int y) { return Load16(Scanline(y) + 2 * size_t(x)); }

void TIEBitmap::SetPixels_ie16g(int x, int y, uint16_t v) {
    Store16(Scanline(y) + 2 * size_t(x), v);
    if (v != 65535) Full = false;
}

float TIEBitmap::Pixels_ie32f(int x, int y) {
    float f;
    std::memcpy(&f, Scanline(y) + 4 * size_t(x), 4);
    return f;
}

void TIEBitmap::SetPixels_ie32f(int x, int y, float v) {
    std::memcpy(Scanline(y) + 4 * size_t(x), &v, 4);
    if (!(v >= 1.0f)) Full = false;
}

uint32_t TIEBitmap::Pixels_ie32(int x, int y) {
    uint32_t v;
    std::memcpy(&v, Scanline(y) + 4 * size_t(x), 4);
    return v;
}

void TIEBitmap::SetPixels_ie32(int x, int y, uint32_t v) { std::memcpy(Scanline(y) + 4 * size_t(x), &v, 4); }

TRGB TIEBitmap::Pixels_ie24RGB(int x, int y) { return *PPixels_ie24RGB(x, y); }

void TIEBitmap::SetPixels_ie24RGB(int x, int y, TRGB v) {
    *PPixels_ie24RGB(x, y) = v;
    if (!(v.r == 255 && v.g == 255 && v.b == 255)) Full = false;
}

TRGB* TIEBitmap::PPixels_ie24RGB(int x, int y) { return reinterpret_cast<TRGB*>(Scanline(y) + 3 * size_t(x)); }

void TIEBitmap::Pixels_ie48RGB(int x, int y, uint16_t& r, uint16_t& g, uint16_t& b) {
    const uint8_t* p = Scanline(y) + 6 * size_t(x);
    r = Load16(p);
    g = Load16(p + 2);
    b = Load16(p + 4);
}

void TIEBitmap::SetPixels_ie48RGB(int x, int y, uint16_t r, uint16_t g, uint16_t b) {
    uint8_t* p = Scanline(y) + 6 * size_t(x);
    Store16(p, r);
    Store16(p + 2, g);
    Store16(p + 4, b);
    if (!(r == 65535 && g == 65535 && b == 65535)) Full = false;
}

bool TIEBitmap::Pixels_ie1(int x, int y) { return Scanline(y)[x >> 3] & (0x80 >> (x & 7)); }

void TIEBitmap::SetPixels_ie1(int x, int y, bool v) {
    uint8_t* p = Scanline(y) + (x >> 3);
    uint8_t bit = uint8_t(0x80 >> (x & 7));
    if (v) *p |= bit;
    else {
        *p &= uint8_t(~bit);
        Full = false;
    }
}

// The alpha bitmap may be 1-bit after CopyFromMask; it is read as 0 or 255 then.
uint8_t TIEBitmap::AlphaPixel(int x, int y) {
    TIEBitmap* a = AlphaChannel();
    if (!a || a->IsEmpty()) return 255;
    if (a->PixelFormat() == ie1g) return a->Pixels_ie1(x, y) ? 255 : 0;
    return a->Pixels_ie8(x, y);
}

void TIEBitmap::SetAlphaPixel(int x, int y, uint8_t v) {
    TIEBitmap* a = AlphaChannel();
    if (!a || a->IsEmpty()) return;
    if (a->PixelFormat() != ie8g) a->SetPixelFormat(ie8g);
    if (a->IsEmpty()) return;
    a->SetPixels_ie8(x, y, v);
    if (v != 255) {
        a->Full = false;
        Full = false;
    }
}

// ---- whole-image tests ---------------------------------------------------------------

void TIEBitmap::UpdateFull() {
    Full = false;
    if (IsEmpty()) return;
    int w = Width(), h = Height(), bpp = BitsPerPixel();
    size_t whole = bpp == 1 ? size_t(w / 8) : PixelRowBytes(w, bpp);
    int restBits = bpp == 1 ? w % 8 : 0; // a 1-bit row's last byte counts only its pixels
    uint8_t restMask = uint8_t(0xFF00 >> restBits);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = Scanline(y);
        for (size_t i = 0; i < whole; ++i)
            if (row[i] != 255) return;
        if (restBits && (row[whole] & restMask) != restMask) return;
    }
    Full = true;
}

// Only the bytes (and for ie1g the bits) that hold pixels are looked at: the padding
// at the end of a row has no defined content.
bool TIEBitmap::IsAllZero() {
    if (IsEmpty()) return true;
    int w = Width(), h = Height(), bpp = BitsPerPixel();
    size_t whole = bpp == 1 ? size_t(w / 8) : PixelRowBytes(w, bpp);
    int restBits = bpp == 1 ? w % 8 : 0;
    uint8_t restMask = uint8_t(0xFF00 >> restBits);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = Scanline(y);
        for (size_t i = 0; i < whole; ++i)
            if (row[i]) return false;
        if (restBits && (row[whole] & restMask)) return false;
    }
    return true;
}

bool TIEBitmap::IsGrayscale() {
    TIEPixelFormat f = PixelFormat();
    if (IsGrayFormat(f) || f == ieNone || IsEmpty()) return true;
    if (f == ie8p) {
        for (int i = 0; i < PaletteLength(); ++i) {
            TRGB c = palette_[size_t(i)];
            if (c.r != c.g || c.g != c.b) return false;
        }
        return true;
    }
    int w = Width(), h = Height();
    if (f == ieRGB48) {
        for (int y = 0; y < h; ++y) {
            const uint8_t* p = Scanline(y);
            for (int x = 0; x < w; ++x, p += 6)
                if (Load16(p) != Load16(p + 2) || Load16(p + 2) != Load16(p + 4)) return false;
        }
        return true;
    }
    // ie24RGB, and the colour formats read as colours (ie32RGB, ieCMYK, ieCIELab).
    std::vector<TRGB> row(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
        const TRGB* p;
        if (f == ie24RGB) p = reinterpret_cast<const TRGB*>(Scanline(y));
        else {
            ReadRowRGB(*this, y, row.data());
            p = row.data();
        }
        for (int x = 0; x < w; ++x)
            if (p[x].r != p[x].g || p[x].g != p[x].b) return false;
    }
    return true;
}

// ---- masks ------------------------------------------------------------------------------

void TIEBitmap::CopyFromMask(const TIEMask* mask) {
    if (!mask) {
        Fill(255);
        return;
    }
    TIEPixelFormat f;
    if (mask->BitsPerPixel() == 1) f = ie1g;
    else if (mask->BitsPerPixel() == 8) f = ie8g;
    else return;
    if (!Allocate(mask->Width(), mask->Height(), f)) return;
    size_t bytes = size_t(std::min(RowLength(), mask->RowLength()));
    TIEDataAccessSet saved = Access;
    Access = iedWrite;
    for (int y = 0; y < Height(); ++y) std::memcpy(Scanline(y), mask->Scanline(y), bytes);
    Access = saved;
    Full = mask->Full;
}

void TIEBitmap::CopyToMask(TIEMask& mask) {
    TIEPixelFormat f = PixelFormat();
    if (IsEmpty()) return;
    int w = Width(), h = Height();
    switch (f) {
    case ie1g:
    case ie8g: {
        mask.Allocate(w, h, f == ie1g ? 1 : 8);
        if (mask.Width() != w) return;
        size_t bytes = size_t(std::min(RowLength(), mask.RowLength()));
        for (int y = 0; y < h; ++y) std::memcpy(mask.Scanline(y), Scanline(y), bytes);
        mask.Full = Full;
        mask.UpdateBoundingBox();
        break;
    }
    case ie24RGB: {
        mask.Allocate(w, h, 8);
        if (mask.Width() != w) return;
        for (int y = 0; y < h; ++y) {
            const TRGB* p = reinterpret_cast<const TRGB*>(Scanline(y));
            uint8_t* m = mask.Scanline(y);
            for (int x = 0; x < w; ++x) m[x] = uint8_t(GrayLevel(p[x]) >> 2);
        }
        mask.UpdateBoundingBox();
        break;
    }
    default: break;
    }
}

} // namespace tw
