// Copying clipped rectangles between bitmaps and changing the canvas size.
#include <algorithm>
#include <cstring>
#include <vector>

#include "image/bitmap.h"
#include "image/rowconvert.h"

namespace tw {

namespace {

inline bool GetBit(const uint8_t* row, int64_t i) { return row[i >> 3] & (0x80 >> (i & 7)); }
inline void PutBit(uint8_t* row, int64_t i, bool v) {
    uint8_t bit = uint8_t(0x80 >> (i & 7));
    if (v) row[i >> 3] |= bit;
    else row[i >> 3] &= uint8_t(~bit);
}

// Copies n bits from bit `from` of src to bit `to` of dst (most significant bit
// first), leaving dst's other bits alone. src and dst must not overlap.
void CopyBits(const uint8_t* src, int64_t from, uint8_t* dst, int64_t to, int64_t n) {
    // Single bits up to the next byte boundary of the target.
    while (n > 0 && (to & 7) != 0) {
        PutBit(dst, to++, GetBit(src, from++));
        --n;
    }
    // Whole target bytes, each assembled from one or two source bytes.
    int shift = int(from & 7);
    for (; n >= 8; n -= 8, from += 8, to += 8) {
        const uint8_t* s = src + (from >> 3);
        dst[to >> 3] = shift == 0 ? s[0] : uint8_t((s[0] << shift) | (s[1] >> (8 - shift)));
    }
    while (n-- > 0) PutBit(dst, to++, GetBit(src, from++));
}

// The clipped rectangle of a copy.
struct TClip {
    int sx, sy, tx, ty, w, h;
};

TClip ClipRectangle(int srcW, int srcH, int tgtW, int tgtH, int sourceX, int sourceY, int targetX, int targetY,
                    int rectWidth, int rectHeight) {
    TClip c;
    c.tx = std::min(std::max(targetX, 0), tgtW - 1);
    c.ty = std::min(std::max(targetY, 0), tgtH - 1);
    int64_t sx = int64_t(sourceX) + (targetX < 0 ? -int64_t(targetX) : 0);
    int64_t sy = int64_t(sourceY) + (targetY < 0 ? -int64_t(targetY) : 0);
    c.sx = int(std::clamp<int64_t>(sx, 0, srcW - 1));
    c.sy = int(std::clamp<int64_t>(sy, 0, srcH - 1));
    int64_t w = int64_t(rectWidth) + (targetX < 0 ? targetX : 0);
    int64_t h = int64_t(rectHeight) + (targetY < 0 ? targetY : 0);
    if (c.sx + w > srcW) w = srcW - c.sx;
    if (c.tx + w > tgtW) w = tgtW - c.tx;
    if (c.sy + h > srcH) h = srcH - c.sy;
    if (c.ty + h > tgtH) h = tgtH - c.ty;
    c.w = int(std::max<int64_t>(w, 0));
    c.h = int(std::max<int64_t>(h, 0));
    return c;
}

} // namespace

void TIEBitmap::CopyRectangleTo(TIEBitmap& target, int sourceX, int sourceY, int targetX, int targetY,
                                int rectWidth, int rectHeight) {
    if (IsEmpty() || target.IsEmpty()) return;
    TIEPixelFormat sf = PixelFormat(), tf = target.PixelFormat();
    enum { Bits, BitsToRGB, Bytes } mode;
    if (sf == ie1g && tf == ie1g) mode = Bits;
    else if (sf == ie1g && tf == ie24RGB) mode = BitsToRGB;
    else if (sf == tf) mode = Bytes;
    else return;

    TClip c = ClipRectangle(Width(), Height(), target.Width(), target.Height(), sourceX, sourceY, targetX, targetY,
                            rectWidth, rectHeight);
    if (c.h <= 0 || c.w <= 0) return;

    // Within one bitmap a row is staged in a buffer (a file row view does not survive
    // the next Scanline), and rows are walked so that none is overwritten before read.
    bool self = &target == this;
    size_t stageBytes = mode == Bytes ? size_t(c.w) * size_t(PixelBytes(sf)) : size_t(RowLength());
    std::vector<uint8_t> stage(self ? stageBytes + 1 : 0);
    bool upwards = self && c.ty > c.sy;
    for (int k = 0; k < c.h; ++k) {
        int i = upwards ? c.h - 1 - k : k;
        const uint8_t* src = Scanline(c.sy + i);
        if (self) {
            if (mode == Bytes) std::memcpy(stage.data(), src + size_t(c.sx) * size_t(PixelBytes(sf)), stageBytes);
            else std::memcpy(stage.data(), src, stageBytes);
        }
        uint8_t* dst = target.Scanline(c.ty + i);
        switch (mode) {
        case Bits: CopyBits(self ? stage.data() : src, c.sx, dst, c.tx, c.w); break;
        case BitsToRGB: {
            auto* out = reinterpret_cast<TRGB*>(dst) + c.tx;
            for (int x = 0; x < c.w; ++x) {
                uint8_t v = GetBit(self ? stage.data() : src, int64_t(c.sx) + x) ? 255 : 0;
                out[x] = TRGB{v, v, v};
            }
            break;
        }
        case Bytes: {
            size_t p = size_t(PixelBytes(sf));
            std::memcpy(dst + size_t(c.tx) * p, self ? stage.data() : src + size_t(c.sx) * p, size_t(c.w) * p);
            break;
        }
        }
    }
}

namespace {

// Moves the block (x, y, w, h) of b to (nx, ny): copies it aside, fills its old place
// with `fill` and copies it back at the new corner (clipped).
void MoveBlock(TIEBitmap& b, int x, int y, int w, int h, int nx, int ny, double fill) {
    if (w <= 0 || h <= 0 || b.IsEmpty()) return;
    TIEBitmap scratch;
    if (!scratch.Allocate(w, h, b.PixelFormat())) return;
    b.CopyRectangleTo(scratch, x, y, 0, 0, w, h);
    b.FillRect(x, y, x + w - 1, y + h - 1, fill);
    scratch.CopyRectangleTo(b, 0, 0, nx, ny, w, h);
}

void ShrinkCanvas(TIEBitmap& b, int oldW, int oldH, int newW, int newH, int hAlign, int vAlign, double fill) {
    if (newW < oldW) {
        if (hAlign == 1) MoveBlock(b, (oldW - newW) / 2, 0, newW, oldH, 0, 0, fill);
        else if (hAlign == 2) MoveBlock(b, oldW - newW, 0, newW, oldH, 0, 0, fill);
    }
    if (newH < oldH) {
        if (vAlign == 1) MoveBlock(b, 0, (oldH - newH) / 2, oldW, newH, 0, 0, fill);
        else if (vAlign == 2) MoveBlock(b, 0, oldH - newH, oldW, newH, 0, 0, fill);
    }
}

void GrowCanvas(TIEBitmap& b, int oldW, int oldH, int newW, int newH, int hAlign, int vAlign, double fill) {
    if (oldW < newW) {
        b.FillRect(oldW, 0, newW - 1, newH - 1, fill);
        if (hAlign == 1) MoveBlock(b, 0, 0, oldW, oldH, (newW - oldW) / 2, 0, fill);
        else if (hAlign == 2) MoveBlock(b, 0, 0, oldW, oldH, newW - oldW, 0, fill);
    }
    if (oldH < newH) {
        b.FillRect(0, oldH, newW - 1, newH - 1, fill);
        if (vAlign == 1) MoveBlock(b, 0, 0, newW, oldH, 0, (newH - oldH) / 2, fill);
        else if (vAlign == 2) MoveBlock(b, 0, 0, newW, oldH, 0, newH - oldH, fill);
    }
}

} // namespace

void TIEBitmap::ResizeCanvas(int newWidth, int newHeight, double background, double alphaFill, int horizontalAlign,
                             int verticalAlign) {
    int w = Width(), h = Height();
    ShrinkCanvas(*this, w, h, newWidth, newHeight, horizontalAlign, verticalAlign, background);
    if (alpha_) ShrinkCanvas(*alpha_, w, h, newWidth, newHeight, horizontalAlign, verticalAlign, alphaFill);
    SetWidth(newWidth);
    SetHeight(newHeight);
    GrowCanvas(*this, w, h, newWidth, newHeight, horizontalAlign, verticalAlign, background);
    if (alpha_) GrowCanvas(*alpha_, w, h, newWidth, newHeight, horizontalAlign, verticalAlign, alphaFill);
}

} // namespace tw
