// Conversion between the eleven pixel formats. Every pair without a rule of its own
// goes through 24-bit colour one row at a time; the gray formats convert among
// themselves directly so that no precision is lost on the way.
#include "image/convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "image/color.h"
#include "image/rowconvert.h"
#include "quant/quantizer.h"

namespace tw {

namespace {

inline void Store16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline uint16_t Load16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// Narrows the access of a source to reading and of a target to writing for as long
// as it lives, so file-backed rows are neither read nor written back needlessly.
class TAccessScope {
  public:
    TAccessScope(TIEBitmap& source, TIEBitmap& target)
        : source_(source), target_(target), sa_(source.Access), ta_(target.Access) {
        source.Access = iedRead;
        target.Access = iedWrite;
    }
    ~TAccessScope() {
        source_.Access = sa_;
        target_.Access = ta_;
    }
    TAccessScope(const TAccessScope&) = delete;
    TAccessScope& operator=(const TAccessScope&) = delete;

  private:
    TIEBitmap &source_, &target_;
    TIEDataAccessSet sa_, ta_;
};

void SetGrayRampPalette(TIEBitmap& b) {
    for (int i = 0; i < 256; ++i) b.SetPaletteColor(i, TRGB{uint8_t(i), uint8_t(i), uint8_t(i)});
}

// A gray format into ie8g, ie8p (gray ramp), ie16g, ie32f, ieRGB48, ie24RGB, ie32RGB.
void ConvertFromGray(TIEBitmap& source, TIEBitmap& target) {
    TIEPixelFormat sf = source.PixelFormat(), tf = target.PixelFormat();
    int w = source.Width(), h = source.Height();
    if (tf == ie8p) {
        if (sf == ie1g) {
            target.SetPaletteColor(0, TRGB{0, 0, 0});
            target.SetPaletteColor(1, TRGB{255, 255, 255});
        } else {
            SetGrayRampPalette(target);
        }
    }
    std::vector<uint8_t> g8(static_cast<size_t>(w));
    std::vector<uint16_t> g16(static_cast<size_t>(w));
    std::vector<float> gf(static_cast<size_t>(w));
    TAccessScope scope(source, target);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = source.Scanline(y);
        uint8_t* dst = target.Scanline(y);
        switch (tf) {
        case ie8p:
            if (sf == ie1g)
                for (int x = 0; x < w; ++x) dst[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 1 : 0;
            else
                GrayRowTo8(sf, src, dst, w);
            break;
        case ie8g: GrayRowTo8(sf, src, dst, w); break;
        case ie16g:
            GrayRowTo16(sf, src, g16.data(), w);
            for (int x = 0; x < w; ++x) Store16(dst + 2 * x, g16[size_t(x)]);
            break;
        case ie32f:
            GrayRowToFloat(sf, src, gf.data(), w);
            std::memcpy(dst, gf.data(), size_t(w) * 4);
            break;
        case ieRGB48:
            GrayRowTo16(sf, src, g16.data(), w);
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) Store16(dst + 6 * x + 2 * c, g16[size_t(x)]);
            break;
        case ie24RGB:
            if (sf == ie1g) { // eight ready-made pixels per byte
                RowToRGB(sf, src, reinterpret_cast<TRGB*>(dst), w, nullptr);
                break;
            }
            GrayRowTo8(sf, src, g8.data(), w);
            for (int x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = g8[size_t(x)];
            break;
        case ie32RGB:
            GrayRowTo8(sf, src, g8.data(), w);
            for (int x = 0; x < w; ++x) {
                dst[4 * x] = dst[4 * x + 1] = dst[4 * x + 2] = g8[size_t(x)];
                dst[4 * x + 3] = 255;
            }
            break;
        default: break;
        }
    }
}

// ieRGB48 into ie16g and ie32f, which have formulas of their own.
void ConvertFromRGB48(TIEBitmap& source, TIEBitmap& target) {
    TIEPixelFormat tf = target.PixelFormat();
    int w = source.Width(), h = source.Height();
    TAccessScope scope(source, target);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = source.Scanline(y);
        uint8_t* dst = target.Scanline(y);
        for (int x = 0; x < w; ++x, src += 6) {
            int64_t r = Load16(src), g = Load16(src + 2), b = Load16(src + 4);
            if (tf == ie16g) {
                Store16(dst + 2 * x, uint16_t((r * 212 + g * 713 + b * 75) / 1000));
            } else {
                float f = float((r * 0.2126 / 256 + g * 0.7152 / 256 + b * 0.0722 / 256) / 255);
                std::memcpy(dst + 4 * x, &f, 4);
            }
        }
    }
}

// Any format into any format but ie1g and ie8p, one row of colours at a time.
void ConvertThroughRGB(TIEBitmap& source, TIEBitmap& target) {
    TIEPixelFormat sf = source.PixelFormat(), tf = target.PixelFormat();
    int w = source.Width(), h = source.Height();
    const TRGB* palette = sf == ie8p ? source.Palette() : nullptr;
    std::vector<TRGB> row(tf == ie24RGB ? 0 : size_t(w));
    TAccessScope scope(source, target);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = source.Scanline(y);
        uint8_t* dst = target.Scanline(y);
        if (tf == ie24RGB) {
            RowToRGB(sf, src, reinterpret_cast<TRGB*>(dst), w, palette);
        } else if (sf == ie24RGB) {
            RowFromRGB(tf, reinterpret_cast<const TRGB*>(src), dst, w);
        } else {
            RowToRGB(sf, src, row.data(), w, palette);
            RowFromRGB(tf, row.data(), dst, w);
        }
    }
}

// Colour into ie8p through a quantiser asking for the target's ColorCount colours.
void Quantize(TIEBitmap& source, TIEBitmap& target) {
    TIEBitmap converted;
    TIEBitmap* rgb = &source;
    if (source.PixelFormat() != ie24RGB) {
        if (!converted.Allocate(source.Width(), source.Height(), ie24RGB)) return;
        ConvertThroughRGB(source, converted);
        rgb = &converted;
    }
    TRGB palette[256] = {};
    int count = std::clamp(target.ColorCount, 1, 256);
    TIEQuantizer quantizer(*rgb, count, palette);
    for (int i = 0; i < 256; ++i) target.SetPaletteColor(i, palette[i]);
    int w = rgb->Width(), h = rgb->Height();
    TAccessScope scope(*rgb, target);
    for (int y = 0; y < h; ++y) {
        const TRGB* src = reinterpret_cast<const TRGB*>(rgb->Scanline(y));
        uint8_t* dst = target.Scanline(y);
        quantizer.MapRow(src, dst, w);
    }
}

void CopySameFormat(TIEBitmap& source, TIEBitmap& target) {
    int h = source.Height();
    size_t bytes = size_t(std::min(source.RowLength(), target.RowLength()));
    {
        TAccessScope scope(source, target);
        for (int y = 0; y < h; ++y) std::memcpy(target.Scanline(y), source.Scanline(y), bytes);
    }
    for (int i = 0; i < std::min(source.PaletteLength(), target.PaletteLength()); ++i)
        target.SetPaletteColor(i, source.PaletteColor(i));
}

} // namespace

void ConvertPixels(TIEBitmap& source, TIEBitmap& target) {
    if (&source == &target || source.IsEmpty() || target.IsEmpty()) return;
    if (source.Width() != target.Width() || source.Height() != target.Height()) return;
    TIEPixelFormat sf = source.PixelFormat(), tf = target.PixelFormat();
    if (sf == tf) CopySameFormat(source, target);
    else if (tf == ie1g) ThresholdToBW(source, target);
    else if (IsGrayFormat(sf) && tf != ieCMYK && tf != ieCIELab) ConvertFromGray(source, target);
    else if (tf == ie8p) Quantize(source, target);
    else if (sf == ieRGB48 && (tf == ie16g || tf == ie32f)) ConvertFromRGB48(source, target);
    else ConvertThroughRGB(source, target);
}

void TIEBitmap::CopyConvertFrom(TIEBitmap& source) {
    if (&source == this || location_ == ieTBitmap) return;
    if (Width() != source.Width() || Height() != source.Height()) return;
    ConvertPixels(source, *this);
    if (source.alpha_) {
        alpha_ = std::move(source.alpha_);
        alpha_->isAlpha_ = true;
    }
}

void TIEBitmap::SetPixelFormat(TIEPixelFormat format) {
    if (format == PixelFormat()) return;
    if (location_ == ieTBitmap) {
        // The device bitmap holds ie1g, ie8p, ie8g, ie24RGB and ie32RGB (ie16g as
        // ie8g): convert through a memory scratch and hand the result back. Other
        // formats cannot live here and leave the image as it is.
        if (!device_ || device_->Width() == 0 || device_->Height() == 0) {
            if (device_ && (format == ie1g || format == ie24RGB)) device_->SetDepth(format == ie1g ? 1 : 24);
            Sync();
            return;
        }
        TIEPixelFormat held = format == ie16g ? ie8g : format;
        if (held == PixelFormat()) return;
        if (held != ie1g && held != ie8p && held != ie8g && held != ie24RGB && held != ie32RGB) return;
        TIEBitmap scratch;
        scratch.location_ = ieMemory;
        scratch.ColorCount = ColorCount;
        if (!scratch.Allocate(Width(), Height(), held)) return;
        ConvertPixels(*this, scratch);
        AssignImage(scratch);
        return;
    }
    TIEBitmap scratch;
    TransferStorageTo(scratch);
    Allocate(scratch.Width(), scratch.Height(), format);
    if (scratch.PixelFormat() != ieNone) CopyConvertFrom(scratch);
}

// ---- black and white --------------------------------------------------------------------

void ThresholdToBW(TIEBitmap& source, TIEBitmap& target) {
    if (&source == &target || source.IsEmpty() || target.IsEmpty()) return;
    if (target.PixelFormat() != ie1g || source.Width() != target.Width() || source.Height() != target.Height())
        return;
    int w = source.Width(), h = source.Height();
    if (source.PixelFormat() == ie1g) {
        CopySameFormat(source, target);
        return;
    }
    std::vector<TRGB> row(static_cast<size_t>(w));
    // Threshold: the gray level of the mean colour, the mean taken row by row.
    int64_t sum[3] = {0, 0, 0};
    for (int y = 0; y < h; ++y) {
        ReadRowRGB(source, y, row.data());
        int64_t rs[3] = {0, 0, 0};
        for (const TRGB& c : row) {
            rs[0] += c.r;
            rs[1] += c.g;
            rs[2] += c.b;
        }
        for (int i = 0; i < 3; ++i) sum[i] += rs[i] / w;
    }
    int threshold = GrayLevel(int(sum[0] / h), int(sum[1] / h), int(sum[2] / h));

    TAccessScope scope(source, target);
    int bytes = (w + 7) / 8;
    for (int y = 0; y < h; ++y) {
        ReadRowRGB(source, y, row.data());
        uint8_t* dst = target.Scanline(y);
        std::memset(dst, 0, size_t(bytes));
        for (int x = 0; x < w; ++x)
            if (GrayLevel(row[size_t(x)]) >= threshold) dst[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
}

std::unique_ptr<TIEBitmap> TwoColorBitmap(TIEBitmap& source, TRGB& color0, TRGB& color1) {
    if (source.IsEmpty()) return nullptr;
    int w = source.Width(), h = source.Height();
    auto result = std::make_unique<TIEBitmap>();
    if (!result->Allocate(w, h, ie1g)) return nullptr;
    std::vector<TRGB> row(static_cast<size_t>(w));
    int seen = 0; // distinct colours so far (only the first two are kept)
    int bytes = (w + 7) / 8;
    for (int y = 0; y < h && seen <= 2; ++y) {
        ReadRowRGB(source, y, row.data());
        uint8_t* dst = result->Scanline(y);
        std::memset(dst, 0, size_t(bytes));
        for (int x = 0; x < w; ++x) {
            const TRGB& c = row[size_t(x)];
            if (seen == 0) {
                color0 = c;
                seen = 1;
            } else if (!(c == color0) && (seen < 2 || !(c == color1))) {
                if (seen == 1) color1 = c;
                seen = std::min(seen + 1, 3);
            }
            if (!(c == color0)) dst[x >> 3] |= uint8_t(0x80 >> (x & 7));
        }
    }
    if (seen != 2) return nullptr;
    auto luma = [](TRGB c) { return std::nearbyint((c.r * 21 + c.g * 71 + c.b * 8) / 100.0); };
    if (luma(color1) < luma(color0)) {
        for (int y = 0; y < h; ++y) {
            uint8_t* p = result->Scanline(y);
            for (int i = 0; i < bytes; ++i) p[i] = uint8_t(~p[i]);
        }
        std::swap(color0, color1);
    }
    return result;
}

} // namespace tw
