// Flip and crop: rearranging pixels without interpolation.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "image/errors.h"
#include "proc/geometry_impl.h"

namespace tw::proc {

namespace {

// Mirrors one 1-bit row of W pixels from src into dst (both ceil(W / 8) bytes): the
// bytes in reverse order with their bits reversed, then shifted left over the spare
// bits of the last source byte so they do not enter the image.
void MirrorBits(const uint8_t* src, uint8_t* dst, int W) {
    const int B = (W + 7) / 8;
    const int s = 8 * B - W;
    for (int k = 0; k < B; ++k) dst[k] = kBitReverse[src[B - 1 - k]];
    if (s == 0) return;
    for (int k = 0; k < B; ++k) {
        const uint8_t next = k + 1 < B ? dst[k + 1] : 0;
        dst[k] = uint8_t((dst[k] << s) | (next >> (8 - s)));
    }
}

// Mirrors a row of W pixels of P bytes.
void MirrorPixels(const uint8_t* src, uint8_t* dst, int W, int P) {
    switch (P) {
    case 1:
        for (int x = 0; x < W; ++x) dst[x] = src[W - 1 - x];
        return;
    case 3:
        for (int x = 0; x < W; ++x) {
            const uint8_t* p = src + 3 * size_t(W - 1 - x);
            dst[3 * x] = p[0];
            dst[3 * x + 1] = p[1];
            dst[3 * x + 2] = p[2];
        }
        return;
    default:
        for (int x = 0; x < W; ++x)
            std::memcpy(dst + size_t(x) * size_t(P), src + size_t(W - 1 - x) * size_t(P), size_t(P));
        return;
    }
}

} // namespace

static constexpr std::array<uint8_t, 256> MakeBitReverse() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t r = 0;
        for (int b = 0; b < 8; ++b) r = uint8_t(r | (((i >> b) & 1) << (7 - b)));
        t[size_t(i)] = r;
    }
    return t;
}
constinit const std::array<uint8_t, 256> kBitReverse = MakeBitReverse();

void FlipBitmap(TIEBitmap& image, TIEFlipDirection direction) {
    const int W = image.Width(), H = image.Height();
    const TIEPixelFormat f = image.PixelFormat();
    const size_t rl = size_t(image.RowLength());
    if (W <= 0 || H <= 0 || rl == 0) return;
    std::vector<uint8_t> a(rl), b(rl);
    if (direction == flipVertical) {
        // Two rows at a time through copies, so every location sees one row view at a time.
        for (int y = 0; y < H / 2; ++y) {
            std::memcpy(a.data(), image.Scanline(y), rl);
            uint8_t* bottom = image.Scanline(H - 1 - y);
            std::memcpy(b.data(), bottom, rl);
            std::memcpy(bottom, a.data(), rl);
            std::memcpy(image.Scanline(y), b.data(), rl);
        }
        return;
    }
    for (int y = 0; y < H; ++y) {
        uint8_t* row = image.Scanline(y);
        std::memcpy(a.data(), row, rl);
        if (f == ie1g) MirrorBits(a.data(), row, W);
        else MirrorPixels(a.data(), row, W, PixelBytes(f));
    }
}

// Copies the part of source that lies inside the rectangle starting at (left, top)
// into target at (0, 0); pixels of target outside the source are left alone.
static void CopyFromRect(TIEBitmap& source, TIEBitmap& target, int64_t left, int64_t top) {
    const int64_t W = source.Width(), H = source.Height(), Wt = target.Width(), Ht = target.Height();
    const int64_t x0 = std::max<int64_t>(0, -left), y0 = std::max<int64_t>(0, -top);
    const int64_t x1 = std::min<int64_t>(Wt, W - left), y1 = std::min<int64_t>(Ht, H - top);
    if (x1 <= x0 || y1 <= y0) return;
    const TIEPixelFormat f = source.PixelFormat();
    const int P = f == ie1g ? 0 : PixelBytes(f);
    TAccessScope read(source, iedRead);
    for (int64_t y = y0; y < y1; ++y) {
        const uint8_t* s = source.Scanline(int(y + top));
        uint8_t* d = target.Scanline(int(y));
        if (P == 0) {
            for (int64_t x = x0; x < x1; ++x) SetBit(d, x, GetBit(s, x + left));
        } else {
            std::memcpy(d + size_t(x0) * size_t(P), s + size_t(x0 + left) * size_t(P), size_t(x1 - x0) * size_t(P));
        }
    }
}

bool CropBitmap(TIEBitmap& image, const TIERect& rect, int64_t limitBytes) {
    const int64_t w = int64_t(rect.Right) + 1 - rect.Left, h = int64_t(rect.Bottom) + 1 - rect.Top;
    if (w < 1 || h < 1) return false;
    const TIEPixelFormat f = image.PixelFormat();
    CheckImageSize(w, h, f, limitBytes);

    TIEBitmap scratch;
    AllocateOrThrow(scratch, int(w), int(h), f);
    CopyFromRect(image, scratch, rect.Left, rect.Top);
    CopyPalette(image, scratch);

    std::unique_ptr<TIEBitmap> newAlpha;
    bool alphaFull = false;
    if (image.HasAlphaChannel()) {
        TIEBitmap* alpha = image.AlphaChannel();
        std::unique_ptr<TIEBitmap> holder;
        TIEBitmap& a = AlphaAsBytes(*alpha, holder);
        alphaFull = alpha->Full;
        newAlpha = std::make_unique<TIEBitmap>();
        AllocateOrThrow(*newAlpha, int(w), int(h), ie8g);
        const uint8_t opaque = 255;
        FillBitmap(*newAlpha, &opaque);
        CopyFromRect(a, *newAlpha, rect.Left, rect.Top);
    }

    image.AssignImage(scratch);
    if (newAlpha) {
        TIEBitmap* alpha = image.AlphaChannel();
        alpha->AssignImage(*newAlpha);
        alpha->Full = alphaFull;
    }
    return true;
}

} // namespace tw::proc
