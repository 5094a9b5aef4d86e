#include "codecs/pngdecode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "codecs/pnglib.h"
#include "io/limits.h"

namespace tw {

namespace {

// How one row, after the libpng transformations, lands in the bitmap.
enum class TPngRowKind {
    Bits1,       // packed 1-bit gray -> ie1g (alpha from a tRNS gray value)
    Index8,      // 8-bit palette index -> ie8p (alpha from the tRNS table)
    Gray8,       // -> ie8g
    Gray16,      // little-endian words -> ie16g
    GrayAlpha8,  // gray, alpha -> ie8g + alpha
    GrayAlpha16, // little-endian gray word, alpha word -> ie16g + alpha (high byte)
    BGR,         // -> ie24RGB
    BGRA,        // -> ie24RGB + alpha
};

size_t RowBytesOf(TPngRowKind kind, size_t width) {
    switch (kind) {
    case TPngRowKind::Bits1: return (width + 7) / 8;
    case TPngRowKind::Index8:
    case TPngRowKind::Gray8: return width;
    case TPngRowKind::Gray16:
    case TPngRowKind::GrayAlpha8: return width * 2;
    case TPngRowKind::BGR: return width * 3;
    case TPngRowKind::GrayAlpha16:
    case TPngRowKind::BGRA: return width * 4;
    }
    return 0;
}

bool HasAlphaSamples(TPngRowKind kind) {
    return kind == TPngRowKind::GrayAlpha8 || kind == TPngRowKind::GrayAlpha16 || kind == TPngRowKind::BGRA;
}

// Transparency that the adapter applies itself (rows that libpng leaves untouched).
struct TPngKeyedAlpha {
    int GrayBit = -1;     // Bits1: the transparent bit value, -1 none
    uint8_t Alpha[256];   // Index8: alpha of each palette index
};

// Moves one decoded row into bitmap row `dst` and alpha row `alpha` (may be null).
void StoreRow(TPngRowKind kind, const uint8_t* src, size_t width, uint8_t* dst, uint8_t* alpha,
              const TPngKeyedAlpha& keyed) {
    switch (kind) {
    case TPngRowKind::Bits1:
        std::memcpy(dst, src, RowBytesOf(kind, width));
        if (alpha)
            for (size_t x = 0; x < width; ++x) {
                int bit = (src[x >> 3] >> (7 - (x & 7))) & 1;
                alpha[x] = bit == keyed.GrayBit ? 0 : 255;
            }
        return;
    case TPngRowKind::Index8:
        std::memcpy(dst, src, width);
        if (alpha)
            for (size_t x = 0; x < width; ++x) alpha[x] = keyed.Alpha[src[x]];
        return;
    case TPngRowKind::Gray8:
    case TPngRowKind::Gray16:
    case TPngRowKind::BGR: std::memcpy(dst, src, RowBytesOf(kind, width)); return;
    case TPngRowKind::GrayAlpha8:
        for (size_t x = 0; x < width; ++x) {
            dst[x] = src[2 * x];
            alpha[x] = src[2 * x + 1];
        }
        return;
    case TPngRowKind::GrayAlpha16:
        for (size_t x = 0; x < width; ++x) {
            dst[2 * x] = src[4 * x];
            dst[2 * x + 1] = src[4 * x + 1];
            alpha[x] = src[4 * x + 3];
        }
        return;
    case TPngRowKind::BGRA:
        for (size_t x = 0; x < width; ++x) {
            std::memcpy(dst + 3 * x, src + 4 * x, 3);
            alpha[x] = src[4 * x + 3];
        }
        return;
    }
}

// The reverse of StoreRow, used before each row of an interlaced image: libpng
// fills in only the pixels of the current pass and keeps the rest of the buffer.
void LoadRow(TPngRowKind kind, uint8_t* buf, size_t width, const uint8_t* dst, const uint8_t* alpha) {
    switch (kind) {
    case TPngRowKind::Bits1:
    case TPngRowKind::Index8:
    case TPngRowKind::Gray8:
    case TPngRowKind::Gray16:
    case TPngRowKind::BGR: std::memcpy(buf, dst, RowBytesOf(kind, width)); return;
    case TPngRowKind::GrayAlpha8:
        for (size_t x = 0; x < width; ++x) {
            buf[2 * x] = dst[x];
            buf[2 * x + 1] = alpha[x];
        }
        return;
    case TPngRowKind::GrayAlpha16:
        for (size_t x = 0; x < width; ++x) {
            buf[4 * x] = dst[2 * x];
            buf[4 * x + 1] = dst[2 * x + 1];
            buf[4 * x + 2] = alpha[x];
            buf[4 * x + 3] = alpha[x];
        }
        return;
    case TPngRowKind::BGRA:
        for (size_t x = 0; x < width; ++x) {
            std::memcpy(buf + 4 * x, dst + 3 * x, 3);
            buf[4 * x + 3] = alpha[x];
        }
        return;
    }
}

// What png_read_info left in the info structure. Plain data only: it is filled
// inside a guarded region. The pointers belong to libpng's info structure.
struct TPngRawHeader {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colorType = 0, interlace = 0, compression = 0, filter = 0;
    png_byte channels = 0;
    png_textp text = nullptr;
    int textCount = 0;
    png_color_16p background = nullptr;
    png_colorp palette = nullptr;
    int paletteCount = 0;
    bool hasTrns = false;
    png_bytep transAlpha = nullptr;
    int transCount = 0;
    png_color_16p transColor = nullptr;
    png_uint_32 xppm = 0, yppm = 0;
};

void GetRawHeader(png_structp png, png_infop info, TPngRawHeader& h) {
    png_get_IHDR(png, info, &h.width, &h.height, &h.bitDepth, &h.colorType, &h.interlace, &h.compression,
                 &h.filter);
    h.channels = png_get_channels(png, info);
    if (!png_get_text(png, info, &h.text, &h.textCount)) h.textCount = 0;
    if (!png_get_bKGD(png, info, &h.background)) h.background = nullptr;
    if (!png_get_PLTE(png, info, &h.palette, &h.paletteCount)) h.paletteCount = 0;
    if (png_get_valid(png, info, PNG_INFO_tRNS)) {
        h.hasTrns = png_get_tRNS(png, info, &h.transAlpha, &h.transCount, &h.transColor) != 0;
    }
    h.xppm = png_get_x_pixels_per_meter(png, info);
    h.yppm = png_get_y_pixels_per_meter(png, info);
}

// A sample of the given bit depth scaled to 8 bits.
uint8_t SampleTo8(unsigned value, int bitDepth) {
    if (bitDepth == 16) return uint8_t(value >> 8);
    unsigned max = (1u << bitDepth) - 1;
    if (value >= max) return 255;
    return uint8_t(value * 255 / max);
}

void AppendTexts(const TPngRawHeader& h, int from, TPngFileInfo& info) {
    for (int i = std::max(from, 0); i < h.textCount; ++i) {
        const png_text& t = h.text[i];
        info.Texts.emplace_back(t.key ? t.key : "", t.text ? t.text : "");
    }
}

void CopyHeader(const TPngRawHeader& h, TPngFileInfo& info) {
    info.HeaderRead = true;
    info.Width = h.width;
    info.Height = h.height;
    info.BitDepth = h.bitDepth;
    info.ColorType = h.colorType;
    switch (h.colorType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE: info.SamplesPerPixel = 1; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: info.SamplesPerPixel = 2; break;
    case PNG_COLOR_TYPE_RGB: info.SamplesPerPixel = 3; break;
    default: info.SamplesPerPixel = 4; break;
    }
    info.Interlaced = h.interlace != PNG_INTERLACE_NONE;
    info.Palette.clear();
    for (int i = 0; i < h.paletteCount; ++i)
        info.Palette.push_back(MakeRGB(h.palette[i].red, h.palette[i].green, h.palette[i].blue));
    // bKGD: libpng fills red/green/blue from the palette entry for palette images,
    // and with the gray value for gray images; samples are at the file's bit depth.
    info.HasBackground = h.background != nullptr;
    if (h.background) {
        const png_color_16& b = *h.background;
        if (h.colorType == PNG_COLOR_TYPE_PALETTE)
            info.Background = MakeRGB(uint8_t(b.red), uint8_t(b.green), uint8_t(b.blue));
        else if (h.colorType & PNG_COLOR_MASK_COLOR)
            info.Background = MakeRGB(SampleTo8(b.red, h.bitDepth), SampleTo8(b.green, h.bitDepth),
                                      SampleTo8(b.blue, h.bitDepth));
        else {
            uint8_t g = SampleTo8(b.gray, h.bitDepth);
            info.Background = MakeRGB(g, g, g);
        }
    }
    info.XPixelsPerMetre = h.xppm;
    info.YPixelsPerMetre = h.yppm;
    info.Texts.clear();
    AppendTexts(h, 0, info);
}

// Turns what the guarded region recorded into the outcome: engine exceptions are
// rethrown, library errors set the abort flag with libpng's message.
void ReportFailure(TPngContext& context, TIEProgressRecord& progress) {
    if (context.Pending) std::rethrow_exception(context.Pending);
    std::string reason = "PNG: ";
    reason += context.Message[0] ? context.Message : "the decoder failed";
    // libpng checks IHDR by warning about each fault and failing with a generic text.
    if (reason.find("IHDR") != std::string::npos && context.LastWarning[0])
        reason += std::string(" (") + context.LastWarning + ")";
    progress.Abort(reason);
}

std::string SizeText(uint32_t w, uint32_t h) { return std::to_string(w) + " x " + std::to_string(h); }

} // namespace

int PngDpiFromPixelsPerMetre(uint32_t pixelsPerMetre) {
    return int(std::nearbyint(double(pixelsPerMetre) / 100.0 * 2.54));
}

void PngDecode(TStream& stream, TIEBitmap& bitmap, const TPngDecodeOptions& options, TPngFileInfo& info,
               TIEProgressRecord& progress) {
    TPngContext context;
    context.Stream = &stream;
    TPngReadHandle handle(context);
    if (!handle.Valid()) {
        progress.Abort("PNG: cannot create the decoder");
        return;
    }
    png_structp png = handle.png;
    png_infop pinfo = handle.info;

    // Header chunks.
    TPngRawHeader raw;
    bool ok = PngGuard(png, [&] {
        PngSetReadFn(png, context);
        // libpng keeps its own side limit (a million pixels) unless ours is higher, so that
        // raising TARNWICK_MAX_SIDE raises both; within it our own check speaks first.
        const auto side = png_uint_32(std::clamp<int64_t>(ImageLimits().MaxSide, 1000000, 0x7fffffff));
        png_set_user_limits(png, side, side);
        png_set_chunk_cache_max(png, PngChunkCacheMax);
        png_set_chunk_malloc_max(png, PngChunkMallocMax);
        png_read_info(png, pinfo);
        GetRawHeader(png, pinfo, raw);
    });
    if (!ok) {
        ReportFailure(context, progress);
        return;
    }
    CopyHeader(raw, info);
    if (options.HeaderOnly) return;

    const uint32_t width = raw.width, height = raw.height;
    const int bitDepth = raw.bitDepth, colorType = raw.colorType;

    // Refuse sizes the engine will not decode, and sizes this file cannot fill,
    // before anything is allocated.
    std::string tooLarge = CheckImageSize(width, height);
    if (!tooLarge.empty()) {
        progress.Abort("PNG: " + tooLarge);
        return;
    }
    {
        uint64_t fileRowBytes = (uint64_t(width) * raw.channels * unsigned(bitDepth) + 7) / 8;
        uint64_t rawBytes = (fileRowBytes + 1) * height;
        int64_t left = std::max<int64_t>(stream.Size() - stream.Position(), 0);
        if (rawBytes > PngMaxInflateRatio * (uint64_t(left) + 1)) {
            progress.Abort("PNG: " + SizeText(width, height) + " pixels cannot come from the " +
                           std::to_string(left) + " bytes left in the file");
            return;
        }
    }

    // Bitmap format and row layout.
    const bool gray = colorType == PNG_COLOR_TYPE_GRAY;
    const bool palette = colorType == PNG_COLOR_TYPE_PALETTE;
    const bool native = options.NativePixelFormat && (bitDepth == 8 || bitDepth == 16) && (gray || palette);
    TIEPixelFormat wanted = ie24RGB;
    if (gray && bitDepth == 1)
        wanted = ie1g;
    else if (native && palette)
        wanted = ie8p;
    else if (native)
        wanted = bitDepth == 16 ? ie16g : ie8g;

    if (!bitmap.Allocate(int(width), int(height), wanted)) {
        progress.Abort("PNG: not enough memory for " + SizeText(width, height) + " pixels");
        return;
    }
    TIEPixelFormat got = bitmap.PixelFormat();
    // A bitmap that cannot hold 16-bit gray (a device bitmap) gets 8-bit gray.
    if (got != wanted && !(wanted == ie16g && got == ie8g)) {
        progress.Abort(std::string("PNG: the bitmap cannot hold ") + PixelFormatName(wanted) + " pixels");
        return;
    }
    if (got == ie8p) {
        for (size_t i = 0; i < info.Palette.size() && i < 256; ++i) bitmap.SetPaletteColor(int(i), info.Palette[i]);
        bitmap.ColorCount = 1 << bitDepth;
    }

    TPngKeyedAlpha keyed;
    std::fill(std::begin(keyed.Alpha), std::end(keyed.Alpha), uint8_t(255));
    TPngRowKind kind = TPngRowKind::BGR;
    bool keyedAlpha = false;
    if (got == ie1g) {
        kind = TPngRowKind::Bits1;
        if (raw.hasTrns && raw.transColor) {
            keyed.GrayBit = raw.transColor->gray <= 1 ? int(raw.transColor->gray) : -1;
            keyedAlpha = true;
        }
    } else if (got == ie8p) {
        kind = TPngRowKind::Index8;
        if (raw.hasTrns && raw.transAlpha) {
            for (int i = 0; i < raw.transCount && i < 256; ++i) keyed.Alpha[i] = raw.transAlpha[i];
            keyedAlpha = true;
        }
    } else if (got == ie8g)
        kind = raw.hasTrns ? TPngRowKind::GrayAlpha8 : TPngRowKind::Gray8;
    else if (got == ie16g)
        kind = raw.hasTrns ? TPngRowKind::GrayAlpha16 : TPngRowKind::Gray16;

    // Transformations. Transparency (tRNS) becomes alpha for every colour type.
    int passes = 1;
    size_t rowBytes = 0;
    png_byte channels = 0;
    ok = PngGuard(png, [&] {
        if (kind == TPngRowKind::BGR) {
            if (palette || (gray && bitDepth < 8) || raw.hasTrns) png_set_expand(png);
            if (bitDepth == 16) png_set_strip_16(png);
            if (!(colorType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
            png_set_bgr(png);
        } else if (kind != TPngRowKind::Bits1 && kind != TPngRowKind::Index8) {
            if (raw.hasTrns) png_set_tRNS_to_alpha(png);
            if (bitDepth == 16) {
                if (got == ie16g)
                    png_set_swap(png);
                else
                    png_set_strip_16(png);
            }
        }
        passes = png_set_interlace_handling(png);
        png_read_update_info(png, pinfo);
        rowBytes = png_get_rowbytes(png, pinfo);
        channels = png_get_channels(png, pinfo);
    });
    if (!ok) {
        ReportFailure(context, progress);
        return;
    }
    if (kind == TPngRowKind::BGR && channels == 4) kind = TPngRowKind::BGRA;
    if (rowBytes != RowBytesOf(kind, width)) {
        progress.Abort("PNG: unexpected decoded row layout");
        return;
    }

    TIEBitmap* alpha = nullptr;
    if (HasAlphaSamples(kind) || keyedAlpha) {
        alpha = bitmap.AlphaChannel();
        if (!alpha || alpha->IsEmpty()) {
            progress.Abort("PNG: not enough memory for the alpha channel");
            return;
        }
        alpha->Full = false;
    }

    std::vector<uint8_t> row(rowBytes);
    progress.Begin(int64_t(height) * passes);
    for (int pass = 0; pass < passes && !progress.Aborted(); ++pass) {
        for (uint32_t r = 0; r < height && !progress.Aborted(); ++r) {
            uint8_t* dst = bitmap.Scanline(int(r));
            uint8_t* arow = alpha ? alpha->Scanline(int(r)) : nullptr;
            if (passes > 1) LoadRow(kind, row.data(), width, dst, arow);
            uint8_t* buffer = row.data();
            if (!PngGuard(png, [&] { png_read_row(png, buffer, nullptr); })) {
                ReportFailure(context, progress);
                return;
            }
            StoreRow(kind, buffer, width, dst, arow, keyed);
            progress.Step();
        }
    }
    if (progress.Aborted()) return;

    // The chunks after the image data; text found there is kept as well. A file
    // that merely lacks its last chunks still holds the whole image.
    int textsBefore = raw.textCount;
    ok = PngGuard(png, [&] {
        png_read_end(png, pinfo);
        if (!png_get_text(png, pinfo, &raw.text, &raw.textCount)) raw.textCount = 0;
    });
    if (!ok) {
        if (context.EndOfStream && !context.Pending) return;
        ReportFailure(context, progress);
        return;
    }
    AppendTexts(raw, textsBefore, info);
}

} // namespace tw
