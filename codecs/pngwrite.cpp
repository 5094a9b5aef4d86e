// PngWriteStream: chooses colour type, bit depth and palette for the bitmap and the
// parameters, then drives libpng row by row.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "codecs/png.h"
#include "codecs/pnglib.h"
#include "image/color.h"
#include "image/convert.h"
#include "image/mask.h"
#include "io/params.h"
#include "quant/quantizer.h"

namespace tw {

namespace {

// The rows the writer hands to libpng.
enum class TPngOutKind {
    Bits1,        // packed ie1g rows, gray 1-bit
    Gray8,        // gray 8-bit
    Gray16,       // gray 16-bit, big-endian samples
    Palette,      // indices of an ie8p source or of the quantiser
    PaletteAlpha, // indices of the colour-and-alpha palette
    RGB,          // B, G, R (libpng swaps to R, G, B)
    RGBA,         // B, G, R, alpha
};

// Everything decided before libpng is called.
struct TPngPlan {
    TPngOutKind Kind = TPngOutKind::RGB;
    int ColorType = PNG_COLOR_TYPE_RGB;
    int BitDepth = 8;
    TIEBitmap* Source = nullptr;             // the bitmap the rows come from
    std::vector<TRGB> SourcePalette;         // its palette, when it is ie8p
    std::unique_ptr<TIEBitmap> Scratch;      // a converted copy, when one was needed
    std::unique_ptr<TIEQuantizer> Quantizer; // palette and gray output from 24-bit rows
    std::vector<png_color> Palette;
    std::vector<png_byte> Trans;             // tRNS for the first palette entries
    std::unordered_map<uint32_t, uint8_t> AlphaIndex; // PaletteAlpha: colour and alpha -> index
    bool AlphaByQuantizer = false;           // PaletteAlpha: index = quantiser index + 1, 0 transparent
    bool HasBackground = false;
    png_color_16 Background{};
};

// ---- the source and its alpha ------------------------------------------------------

// One row of the mask as 8-bit alpha over the bitmap's width; pixels the mask does
// not cover are opaque.
void MaskRow(const TIEMask& mask, int y, int width, uint8_t* out) {
    std::fill(out, out + width, uint8_t(255));
    if (y >= mask.Height()) return;
    const uint8_t* m = mask.Scanline(y);
    int w = std::min(width, mask.Width());
    if (mask.BitsPerPixel() == 8)
        std::memcpy(out, m, size_t(std::max(w, 0)));
    else
        for (int x = 0; x < w; ++x) out[x] = (m[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
}

// A mask counts as alpha when it is usable and some pixel is below 255.
bool MaskHasTransparency(const TIEMask* mask, int width, int height) {
    if (!mask || (mask->BitsPerPixel() != 1 && mask->BitsPerPixel() != 8) || mask->Width() < 1 ||
        mask->Height() < 1)
        return false;
    std::vector<uint8_t> row(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        MaskRow(*mask, y, width, row.data());
        if (std::any_of(row.begin(), row.end(), [](uint8_t a) { return a != 255; })) return true;
    }
    return false;
}

std::unique_ptr<TIEBitmap> ConvertedCopy(TIEBitmap& source, TIEPixelFormat format) {
    auto copy = std::make_unique<TIEBitmap>();
    if (!copy->Allocate(source.Width(), source.Height(), format) || copy->PixelFormat() != format)
        throw EIEException("PNG: not enough memory to convert the image");
    ConvertPixels(source, *copy);
    return copy;
}

// The palette of an ie8p source, read once.
void TakePalette(TPngPlan& plan) {
    plan.SourcePalette.clear();
    if (plan.Source->PixelFormat() != ie8p) return;
    plan.SourcePalette.resize(256);
    for (int i = 0; i < 256; ++i) plan.SourcePalette[size_t(i)] = plan.Source->PaletteColor(i);
}

// Uses the bitmap itself when it has one of the given formats, else an ie24RGB copy.
void UseSource(TPngPlan& plan, TIEBitmap& bitmap, std::initializer_list<TIEPixelFormat> usable) {
    TIEPixelFormat f = bitmap.PixelFormat();
    if (std::find(usable.begin(), usable.end(), f) != usable.end()) {
        plan.Source = &bitmap;
    } else {
        plan.Scratch = ConvertedCopy(bitmap, ie24RGB);
        plan.Source = plan.Scratch.get();
    }
    TakePalette(plan);
}

// The colour of pixel x in a row of an ie24RGB or ie8p source.
inline TRGB PixelColor(const TPngPlan& plan, const uint8_t* row, int x) {
    if (!plan.SourcePalette.empty()) return plan.SourcePalette[row[x]];
    return TRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
}

inline uint32_t ColorAlphaKey(TRGB c, uint8_t a) {
    return uint32_t(c.r) << 24 | uint32_t(c.g) << 16 | uint32_t(c.b) << 8 | a;
}

// ---- choosing the output -------------------------------------------------------------

// 1-bit gray: the bitmap itself, its two colours (the darker as 0), or a threshold.
void PlanBits1(TPngPlan& plan, TIEBitmap& bitmap) {
    plan.Kind = TPngOutKind::Bits1;
    plan.ColorType = PNG_COLOR_TYPE_GRAY;
    plan.BitDepth = 1;
    if (bitmap.PixelFormat() == ie1g) {
        plan.Source = &bitmap;
        return;
    }
    TRGB c0, c1;
    plan.Scratch = TwoColorBitmap(bitmap, c0, c1);
    if (!plan.Scratch) {
        plan.Scratch = std::make_unique<TIEBitmap>();
        if (!plan.Scratch->Allocate(bitmap.Width(), bitmap.Height(), ie1g) || plan.Scratch->PixelFormat() != ie1g)
            throw EIEException("PNG: not enough memory to convert the image");
        // A one-colour image is black or white by its own gray level; a threshold at
        // the image's mean would make any such image white.
        TRGB first = bitmap.GetPixelRGB(0, 0);
        bool single = true;
        for (int y = 0; y < bitmap.Height() && single; ++y)
            for (int x = 0; x < bitmap.Width() && single; ++x) single = bitmap.GetPixelRGB(x, y) == first;
        if (single)
            plan.Scratch->Fill(GrayLevel(first) >= 128 ? 1 : 0);
        else
            ThresholdToBW(bitmap, *plan.Scratch);
    }
    plan.Source = plan.Scratch.get();
}

// Palette with transparency. When the image has at most 255 distinct colour and
// alpha pairs (all fully transparent pixels counting as one), every pair gets its
// own entry with its own tRNS value, so colours and alpha survive exactly. Entry 0
// is PngBackground, fully transparent. Larger images are quantised to 255 colours
// and every pixel below 255 alpha becomes entry 0.
void PlanPaletteAlpha(TPngPlan& plan, TIEBitmap& bitmap, const TIEMask& mask, TRGB background) {
    plan.Kind = TPngOutKind::PaletteAlpha;
    plan.ColorType = PNG_COLOR_TYPE_PALETTE;
    plan.BitDepth = 8;
    UseSource(plan, bitmap, {ie24RGB, ie8p});
    TIEBitmap& src = *plan.Source;
    const int w = src.Width(), h = src.Height();

    std::vector<uint32_t> order; // distinct visible pairs in order of appearance
    std::unordered_map<uint32_t, uint8_t> seen;
    std::vector<uint8_t> alpha(static_cast<size_t>(w));
    bool exact = true;
    for (int y = 0; y < h && exact; ++y) {
        MaskRow(mask, y, w, alpha.data());
        const uint8_t* row = src.Scanline(y);
        for (int x = 0; x < w; ++x) {
            if (alpha[size_t(x)] == 0) continue;
            uint32_t key = ColorAlphaKey(PixelColor(plan, row, x), alpha[size_t(x)]);
            if (seen.emplace(key, 0).second) {
                if (order.size() == 255) {
                    exact = false;
                    break;
                }
                order.push_back(key);
            }
        }
    }

    plan.Palette.push_back({background.r, background.g, background.b});
    plan.Trans.push_back(0);
    if (exact) {
        // Translucent entries first, so that tRNS stays short.
        std::stable_partition(order.begin(), order.end(), [](uint32_t k) { return (k & 0xFF) != 255; });
        for (uint32_t k : order) {
            uint8_t index = uint8_t(plan.Palette.size());
            plan.AlphaIndex[k] = index;
            plan.Palette.push_back({png_byte(k >> 24), png_byte(k >> 16), png_byte(k >> 8)});
            if ((k & 0xFF) != 255) plan.Trans.push_back(png_byte(k & 0xFF));
        }
        return;
    }
    // Too many pairs for one palette.
    if (src.PixelFormat() != ie24RGB) {
        plan.Scratch = ConvertedCopy(src, ie24RGB);
        plan.Source = plan.Scratch.get();
        TakePalette(plan);
    }
    TRGB colors[255] = {};
    plan.Quantizer = std::make_unique<TIEQuantizer>(*plan.Source, 255, colors);
    for (const TRGB& c : colors) plan.Palette.push_back({c.r, c.g, c.b});
    plan.AlphaByQuantizer = true;
}

// Palette or gray without transparency: an ie8p source keeps its indices, gray
// images become gray, everything else is quantised to 256 colours.
void PlanPaletteOrGray(TPngPlan& plan, TIEBitmap& bitmap, int bitsPerSample) {
    UseSource(plan, bitmap, {ie24RGB, ie8p, ie8g, ie16g});
    TIEBitmap& src = *plan.Source;
    bool gray = src.PixelFormat() == ie8g || src.PixelFormat() == ie16g;
    TRGB colors[256] = {};
    if (!gray) {
        plan.Quantizer = std::make_unique<TIEQuantizer>(src, 256, colors);
        gray = plan.Quantizer->Grayscale();
    }
    if (gray) {
        plan.ColorType = PNG_COLOR_TYPE_GRAY;
        plan.BitDepth = bitsPerSample == 16 ? 16 : 8;
        plan.Kind = plan.BitDepth == 16 ? TPngOutKind::Gray16 : TPngOutKind::Gray8;
        return;
    }
    // Palette samples are at most 8 bits deep.
    plan.ColorType = PNG_COLOR_TYPE_PALETTE;
    plan.BitDepth = 8;
    plan.Kind = TPngOutKind::Palette;
    for (const TRGB& c : colors) plan.Palette.push_back({c.r, c.g, c.b});
}

// bKGD at the output's sample depth.
void PlanBackground(TPngPlan& plan, TRGB bg) {
    plan.HasBackground = true;
    png_color_16& b = plan.Background;
    switch (plan.ColorType) {
    case PNG_COLOR_TYPE_PALETTE:
        if (plan.Kind == TPngOutKind::PaletteAlpha) {
            b.index = 0; // entry 0 holds PngBackground itself
        } else {
            // The entry the quantiser gives the colour, else the nearest entry.
            int best = plan.Quantizer ? plan.Quantizer->PaletteIndexOf(bg) : -1;
            if (best < 0 || best >= int(plan.Palette.size()) || plan.Palette[size_t(best)].red != bg.r ||
                plan.Palette[size_t(best)].green != bg.g || plan.Palette[size_t(best)].blue != bg.b) {
                long bestDistance = std::numeric_limits<long>::max();
                for (size_t i = 0; i < plan.Palette.size(); ++i) {
                    long dr = long(plan.Palette[i].red) - bg.r, dg = long(plan.Palette[i].green) - bg.g,
                         db = long(plan.Palette[i].blue) - bg.b;
                    long d = dr * dr + dg * dg + db * db;
                    if (d < bestDistance) bestDistance = d, best = int(i);
                }
            }
            b.index = png_byte(best);
        }
        break;
    case PNG_COLOR_TYPE_GRAY: {
        uint8_t g = GrayLevel(bg);
        b.gray = plan.BitDepth == 1 ? (g >= 128 ? 1 : 0) : plan.BitDepth == 16 ? png_uint_16(g << 8) : g;
        break;
    }
    default:
        b.red = bg.r;
        b.green = bg.g;
        b.blue = bg.b;
        break;
    }
}

// ---- rows ------------------------------------------------------------------------------

// The gray level of each pixel of a gray source row (palette colours and 24-bit
// gray pixels by their red channel, which equals the others).
void GraySamples(const TPngPlan& plan, const uint8_t* row, int w, uint16_t* out) {
    switch (plan.Source->PixelFormat()) {
    case ie8g:
        for (int x = 0; x < w; ++x) out[x] = uint16_t(row[x] << 8);
        break;
    case ie16g:
        for (int x = 0; x < w; ++x) out[x] = uint16_t(row[2 * x] | row[2 * x + 1] << 8);
        break;
    case ie8p:
        for (int x = 0; x < w; ++x) out[x] = uint16_t(plan.SourcePalette[row[x]].r << 8);
        break;
    default:
        for (int x = 0; x < w; ++x) out[x] = uint16_t(row[3 * x + 2] << 8);
        break;
    }
}

class TPngRowBuilder {
  public:
    TPngRowBuilder(TPngPlan& plan, const TIEMask* mask)
        : plan_(plan), mask_(mask), width_(plan.Source->Width()) {
        size_t bytes = 0;
        switch (plan.Kind) {
        case TPngOutKind::Bits1: bytes = (size_t(width_) + 7) / 8; break;
        case TPngOutKind::Gray8:
        case TPngOutKind::Palette:
        case TPngOutKind::PaletteAlpha: bytes = size_t(width_); break;
        case TPngOutKind::Gray16: bytes = size_t(width_) * 2; break;
        case TPngOutKind::RGB: bytes = size_t(width_) * 3; break;
        case TPngOutKind::RGBA: bytes = size_t(width_) * 4; break;
        }
        row_.resize(bytes);
        if (mask_) alpha_.resize(size_t(width_));
        if (plan.Kind == TPngOutKind::Gray8 || plan.Kind == TPngOutKind::Gray16) gray_.resize(size_t(width_));
        if (plan.Kind == TPngOutKind::Palette && plan.Source->PixelFormat() == ie24RGB) colors_.resize(size_t(width_));
    }

    uint8_t* Build(int y) {
        TIEBitmap& src = *plan_.Source;
        const uint8_t* in = src.Scanline(y);
        uint8_t* out = row_.data();
        const int w = width_;
        if (mask_) MaskRow(*mask_, y, w, alpha_.data());
        switch (plan_.Kind) {
        case TPngOutKind::Bits1:
        case TPngOutKind::RGB: std::memcpy(out, in, row_.size()); break;
        case TPngOutKind::RGBA:
            for (int x = 0; x < w; ++x) {
                std::memcpy(out + 4 * x, in + 3 * x, 3);
                out[4 * x + 3] = alpha_[size_t(x)];
            }
            break;
        case TPngOutKind::Gray8:
        case TPngOutKind::Gray16:
            GraySamples(plan_, in, w, gray_.data());
            if (plan_.Kind == TPngOutKind::Gray8)
                for (int x = 0; x < w; ++x) out[x] = uint8_t(gray_[size_t(x)] >> 8);
            else
                for (int x = 0; x < w; ++x) {
                    out[2 * x] = uint8_t(gray_[size_t(x)] >> 8);
                    out[2 * x + 1] = uint8_t(gray_[size_t(x)]);
                }
            break;
        case TPngOutKind::Palette:
            if (src.PixelFormat() == ie8p)
                std::memcpy(out, in, size_t(w));
            else {
                std::memcpy(colors_.data(), in, size_t(w) * 3);
                plan_.Quantizer->MapRow(colors_.data(), out, w);
            }
            break;
        case TPngOutKind::PaletteAlpha:
            for (int x = 0; x < w; ++x) {
                uint8_t a = alpha_[size_t(x)];
                TRGB c = PixelColor(plan_, in, x);
                if (plan_.AlphaByQuantizer) {
                    out[x] = a < 255 ? 0 : uint8_t(std::clamp(plan_.Quantizer->PaletteIndexOf(c), 0, 254) + 1);
                } else if (a == 0) {
                    out[x] = 0;
                } else {
                    auto it = plan_.AlphaIndex.find(ColorAlphaKey(c, a));
                    out[x] = it != plan_.AlphaIndex.end() ? it->second : 0;
                }
            }
            break;
        }
        return out;
    }

  private:
    TPngPlan& plan_;
    const TIEMask* mask_;
    int width_;
    std::vector<uint8_t> row_, alpha_;
    std::vector<uint16_t> gray_;
    std::vector<TRGB> colors_;
};

// Resolution in pixels per metre: dpi * 100 / 2.54 rounded half to even; 0 when
// it cannot be stored.
png_uint_32 PixelsPerMetre(int32_t dpi) {
    if (dpi <= 0) return 0;
    double v = std::nearbyint(double(int64_t(dpi) * 100) / 2.54);
    return v > double(PNG_UINT_31_MAX) ? 0 : png_uint_32(v);
}

// A keyword libpng accepts: at least one printable Latin-1 character.
bool UsableKeyword(const std::string& key) {
    return std::any_of(key.begin(), key.end(), [](char ch) {
        auto c = uint8_t(ch);
        return (c > 32 && c < 127) || c > 160;
    });
}

[[noreturn]] void WriterFailed(TPngContext& context) {
    if (context.Pending) std::rethrow_exception(context.Pending);
    throw EInvalidGraphic("Error on creating PNG");
}

} // namespace

void PngWriteStream(TStream& Stream, TIEBitmap& Bitmap, TIOParamsVals& Params, const TIEMask* Alpha,
                    TIEProgressRecord& Progress) {
    if (Bitmap.IsEmpty()) {
        Progress.Abort("PNG: the image is empty");
        return;
    }
    TPngContext context;
    context.Stream = &Stream;
    context.AbortFlag = Progress.AbortFlag;
    TPngWriteHandle handle(context);
    if (!handle.Valid()) throw EInvalidGraphic("Error on creating PNG");
    png_structp png = handle.png;
    png_infop info = handle.info;

    if (Params.SamplesPerPixel == 1 && Params.BitsPerSample != 1 && Params.BitsPerSample != 8 &&
        Params.BitsPerSample != 16)
        Params.BitsPerSample = 8;

    const int width = Bitmap.Width(), height = Bitmap.Height();
    const bool hasAlpha = MaskHasTransparency(Alpha, width, height);
    TPngPlan plan;
    if (Params.SamplesPerPixel == 1 && Params.BitsPerSample == 1)
        PlanBits1(plan, Bitmap);
    else if (Params.SamplesPerPixel == 1 && hasAlpha)
        PlanPaletteAlpha(plan, Bitmap, *Alpha, Params.PngBackground);
    else if (Params.SamplesPerPixel == 1)
        PlanPaletteOrGray(plan, Bitmap, Params.BitsPerSample);
    else {
        UseSource(plan, Bitmap, {ie24RGB});
        plan.Kind = hasAlpha ? TPngOutKind::RGBA : TPngOutKind::RGB;
        plan.ColorType = hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    }
    PlanBackground(plan, Params.PngBackground);

    std::vector<png_text> texts;
    size_t textCount = std::min(Params.PngTextKeys.size(), Params.PngTextValues.size());
    for (size_t i = 0; i < textCount; ++i) {
        if (!UsableKeyword(Params.PngTextKeys[i])) continue;
        png_text t{};
        t.compression = PNG_TEXT_COMPRESSION_NONE;
        t.key = const_cast<png_charp>(Params.PngTextKeys[i].c_str());
        t.text = const_cast<png_charp>(Params.PngTextValues[i].c_str());
        t.text_length = Params.PngTextValues[i].size();
        texts.push_back(t);
    }
    const png_uint_32 xppm = PixelsPerMetre(Params.DpiX()), yppm = PixelsPerMetre(Params.DpiY());
    int filters = 0;
    switch (Params.PngFilter) {
    case 0: filters = PNG_FILTER_NONE; break;
    case 1: filters = PNG_FILTER_SUB; break;
    case 2: filters = PNG_FILTER_PAETH; break;
    default: break; // libpng's own choice
    }
    const int level = Params.PngCompression < 0 ? -1 : std::min<int32_t>(Params.PngCompression, 9);
    const int interlace = Params.PngInterlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;

    int passes = 1;
    bool ok = PngGuard(png, [&] {
        PngSetWriteFn(png, context);
        png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), plan.BitDepth, plan.ColorType, interlace,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (!plan.Palette.empty()) png_set_PLTE(png, info, plan.Palette.data(), int(plan.Palette.size()));
        if (!plan.Trans.empty()) png_set_tRNS(png, info, plan.Trans.data(), int(plan.Trans.size()), nullptr);
        if (xppm && yppm) png_set_pHYs(png, info, xppm, yppm, PNG_RESOLUTION_METER);
        if (filters) png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
        if (plan.HasBackground) png_set_bKGD(png, info, &plan.Background);
        png_set_compression_level(png, level);
        if (plan.ColorType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
        if (!texts.empty()) png_set_text(png, info, texts.data(), int(texts.size()));
        png_write_info(png, info);
        passes = png_set_interlace_handling(png);
    });
    if (!ok) WriterFailed(context);

    TPngRowBuilder rows(plan, hasAlpha ? Alpha : nullptr);
    Progress.Begin(int64_t(height) * passes);
    for (int pass = 0; pass < passes && !Progress.Aborted(); ++pass) {
        for (int y = 0; y < height && !Progress.Aborted(); ++y) {
            uint8_t* row = rows.Build(y);
            if (!PngGuard(png, [&] { png_write_row(png, row); })) WriterFailed(context);
            Progress.Step();
        }
    }
    if (!Progress.Aborted() && !PngGuard(png, [&] { png_write_end(png, nullptr); })) WriterFailed(context);
    if (context.ShortWrite) Progress.Abort("PNG: the stream accepted fewer bytes than were written");
}

} // namespace tw
