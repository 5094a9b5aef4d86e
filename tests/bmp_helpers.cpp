#include "tests/bmp_helpers.h"

#include <cstring>

#include "codecs/bmp.h"
#include "io/stream.h"

using namespace tw;

namespace twtest {

namespace {

void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = uint8_t(x);
    v[at + 1] = uint8_t(x >> 8);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + size_t(i)] = uint8_t(x >> (8 * i));
}
void Append32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

} // namespace

std::vector<uint8_t> BuildBmp(const BmpSpec& s) {
    std::vector<uint8_t> f(14, 0);
    f[0] = 'B';
    f[1] = 'M';
    std::vector<uint8_t> h(s.headerSize, 0);
    if (s.headerSize >= 4) Put32(h, 0, s.headerSize);
    if (s.headerSize == 12) {
        Put16(h, 4, uint32_t(s.width));
        Put16(h, 6, uint32_t(s.height));
        Put16(h, 8, 1);
        Put16(h, 10, s.bitCount);
    } else {
        // Fields that do not fit a short header are left out.
        auto field32 = [&](size_t at, uint32_t x) {
            if (at + 4 <= h.size()) Put32(h, at, x);
        };
        auto field16 = [&](size_t at, uint32_t x) {
            if (at + 2 <= h.size()) Put16(h, at, x);
        };
        field32(4, uint32_t(s.width));
        field32(8, uint32_t(s.height));
        field16(12, 1);
        field16(14, s.bitCount);
        field32(16, s.compression);
        field32(20, s.imageSize);
        field32(24, uint32_t(s.xPelsPerMeter));
        field32(28, uint32_t(s.yPelsPerMeter));
        field32(32, s.colorsUsed);
        if (s.headerSize >= 52)
            for (size_t i = 0; i < s.masks.size() && i < 4; ++i)
                field32(40 + 4 * i, s.masks[i]);
    }
    f.insert(f.end(), h.begin(), h.end());
    if (s.headerSize < 52)
        for (uint32_t m : s.masks)
            Append32(f, m);
    for (const TRGB& c : s.palette) {
        f.push_back(c.b);
        f.push_back(c.g);
        f.push_back(c.r);
        if (s.headerSize != 12) f.push_back(0);
    }
    size_t offset = s.dataOffset >= 0 ? size_t(s.dataOffset) : f.size();
    if (offset > f.size()) f.resize(offset, 0);
    Put32(f, 10, uint32_t(offset));
    f.resize(offset);
    f.insert(f.end(), s.pixels.begin(), s.pixels.end());
    Put32(f, 2, s.fileSize >= 0 ? uint32_t(s.fileSize) : uint32_t(f.size()));
    return f;
}

std::vector<uint8_t> PadRows(const std::vector<std::vector<uint8_t>>& rows) {
    std::vector<uint8_t> out;
    for (const auto& r : rows) {
        out.insert(out.end(), r.begin(), r.end());
        out.resize(out.size() + (4 - r.size() % 4) % 4, 0);
    }
    return out;
}

std::unique_ptr<BmpDecoded> DecodeBmp(const std::vector<uint8_t>& file, const BmpDecodeOptions& options) {
    auto d = std::make_unique<BmpDecoded>();
    {
        TMemoryStream headers(file.data(), file.size());
        BmpReadHeader(headers, d->info);
    }
    if (options.deviceBitmap) d->bitmap.SetLocation(ieTBitmap);
    if (options.fileBitmap) d->bitmap.MemoryThreshold = 0;
    d->params.NativePixelFormat = options.native;
    TMemoryStream stream(file.data(), file.size());
    bool aborted = false;
    std::string reason;
    TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    progress.AbortReason = &reason;
    progress.Handler = [&d](void*, int percent) { d->progress.push_back(percent); };
    auto mask = BmpReadStream(stream, d->bitmap, d->params, progress, options.headerOnly, options.useAlpha);
    if (mask) {
        for (int y = 0; y < mask->Height(); ++y)
            d->alpha.insert(d->alpha.end(), mask->Scanline(y), mask->Scanline(y) + mask->Width());
    }
    d->ok = !aborted;
    d->reason = reason;
    return d;
}

TRGB Px(TIEBitmap& b, int x, int y) {
    const uint8_t* r = b.Scanline(y);
    switch (b.PixelFormat()) {
    case ie1g:
        return (r[x >> 3] & (0x80 >> (x & 7))) ? TRGB{255, 255, 255} : TRGB{0, 0, 0};
    case ie8p:
        return b.PaletteColor(r[x]);
    case ie8g:
        return TRGB{r[x], r[x], r[x]};
    case ie24RGB:
        return TRGB{r[3 * x], r[3 * x + 1], r[3 * x + 2]};
    case ie32RGB:
        return TRGB{r[4 * x], r[4 * x + 1], r[4 * x + 2]};
    default:
        return TRGB{};
    }
}

std::string Show(TRGB c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

} // namespace twtest
