// The BMP entry points: the parameter record on one side, the codec core on the other.
#include "codecs/bmp.h"

#include <cstring>

#include "codecs/bmp_core.h"
#include "image/convert.h"
#include "quant/quantizer.h"

namespace tw {

// ---- reading ------------------------------------------------------------------------------

std::unique_ptr<TIEMask> BmpReadStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                                       TIEProgressRecord& progress, bool headerOnly, bool useAlpha,
                                       int64_t lengthLimit) {
    TBmpInfo info;
    std::string err = BmpReadHeader(stream, info);
    if (info.HeaderSize != 0) params.ColorMap.clear(); // the signature was right
    if (!err.empty()) {
        progress.Abort(err);
        return nullptr;
    }

    params.Width = info.Width;
    params.Height = info.Height;
    params.SetDpiX(info.DpiX != 0 ? info.DpiX : DefaultDpiX);
    params.SetDpiY(info.DpiY != 0 ? info.DpiY : DefaultDpiY);
    params.ColorMap = info.ColorMap;
    params.BmpVersion = uint8_t(info.Version);
    if (info.Compression == bmpRGB || info.Compression == bmpBitFields)
        params.BmpCompression = 0;
    else if (info.Compression == bmpRLE8 || info.Compression == bmpRLE4)
        params.BmpCompression = 1;
    switch (info.BitCount) {
    case 1:
        params.BitsPerSample = 1, params.SamplesPerPixel = 1;
        break;
    case 4:
        params.BitsPerSample = 4, params.SamplesPerPixel = 1;
        break;
    case 8:
        params.BitsPerSample = 8, params.SamplesPerPixel = 1;
        break;
    case 16:
        params.BitsPerSample = 5, params.SamplesPerPixel = 3;
        break;
    case 24:
        params.BitsPerSample = 8, params.SamplesPerPixel = 3;
        break;
    case 32:
        params.BitsPerSample = 8, params.SamplesPerPixel = 4;
        break;
    default:
        break;
    }
    if (headerOnly || info.Width == 0 || info.Height == 0) return nullptr;

    std::vector<uint8_t> alpha;
    BmpDecodeImage(stream, info, bitmap, progress, params.NativePixelFormat, useAlpha, lengthLimit, alpha);
    if (alpha.empty()) return nullptr;
    auto mask = std::make_unique<TIEMask>(info.Width, info.Height, 8);
    if (mask->Width() != info.Width || mask->Height() != info.Height) return nullptr;
    for (int y = 0; y < info.Height; ++y)
        std::memcpy(mask->Scanline(y), alpha.data() + size_t(y) * size_t(info.Width), size_t(info.Width));
    mask->UpdateFull();
    mask->UpdateBoundingBox();
    return mask;
}

// ---- writing ------------------------------------------------------------------------------

namespace {

// The depth written: BitsPerSample 1 or 4, else 8 for one sample, else 32 when the
// image has an alpha channel, else 24.
int OutputDepth(TIEBitmap& bitmap, const TIOParamsVals& params) {
    if (params.BitsPerSample == 1 || params.BitsPerSample == 4) return params.BitsPerSample;
    if (params.SamplesPerPixel == 1) return 8;
    return bitmap.HasAlphaChannel() ? 32 : 24;
}

// bitmap itself when it has the format, else a converted copy of its pixels in copy;
// null when the conversion fails.
TIEBitmap* InFormat(TIEBitmap& bitmap, TIEPixelFormat format, TIEBitmap& copy) {
    if (bitmap.PixelFormat() == format) return &bitmap;
    copy.AssignImage(bitmap);
    copy.SetPixelFormat(format);
    return copy.PixelFormat() == format && !copy.IsEmpty() ? &copy : nullptr;
}

void BitsToIndices(const uint8_t* row, int width, uint8_t* out) {
    for (int x = 0; x < width; ++x)
        out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// Depth 1: black and white for ie1g images; the two colours of a two-colour image,
// darker first; black and white after thresholding otherwise.
bool PrepareOneBit(TIEBitmap& bitmap, TBmpWriteOptions& options, TBmpRowSource& rows,
                   std::unique_ptr<TIEBitmap>& keep) {
    TIEBitmap* bits = nullptr;
    options.Palette = {TRGB{0, 0, 0}, TRGB{255, 255, 255}};
    if (bitmap.PixelFormat() == ie1g) {
        bits = &bitmap;
    } else {
        TRGB c0, c1;
        keep = TwoColorBitmap(bitmap, c0, c1);
        if (keep) {
            options.Palette = {c0, c1};
        } else {
            keep = std::make_unique<TIEBitmap>();
            if (!InFormat(bitmap, ie1g, *keep)) return false;
        }
        bits = keep.get();
    }
    const int width = bitmap.Width();
    rows = [bits, width](int y, uint8_t* out) { BitsToIndices(bits->Scanline(y), width, out); };
    return true;
}

// Depths 4 and 8: a palette of 2^depth colours from the quantiser; ie8p images keep
// their own palette and indices.
bool PrepareIndexed(TIEBitmap& bitmap, int depth, TBmpWriteOptions& options, TBmpRowSource& rows,
                    std::unique_ptr<TIEBitmap>& keep, std::unique_ptr<TIEQuantizer>& quantizer) {
    TIEBitmap* src = &bitmap;
    const TIEPixelFormat f = bitmap.PixelFormat();
    if (f != ie8p && f != ie8g && f != ie24RGB) {
        keep = std::make_unique<TIEBitmap>();
        src = InFormat(bitmap, ie24RGB, *keep);
        if (!src) return false;
    }
    const int colors = 1 << depth;
    options.Palette.assign(size_t(colors), TRGB{0, 0, 0});
    quantizer = std::make_unique<TIEQuantizer>(*src, colors, options.Palette.data());
    const int width = src->Width();
    const TIEPixelFormat sf = src->PixelFormat();
    const TIEQuantizer* q = quantizer.get();
    auto colorsRow = std::make_shared<std::vector<TRGB>>(size_t(width));
    rows = [src, width, sf, q, colorsRow](int y, uint8_t* out) {
        const uint8_t* r = src->Scanline(y);
        if (sf == ie8p) {
            std::memcpy(out, r, size_t(width));
            return;
        }
        TRGB* c = colorsRow->data();
        if (sf == ie8g)
            for (int x = 0; x < width; ++x)
                c[x] = TRGB{r[x], r[x], r[x]};
        else
            std::memcpy(c, r, size_t(width) * 3);
        q->MapRow(c, out, width);
    };
    return true;
}

// Depths 24 and 32: colour rows of an ie24RGB image (a converted copy for any other
// format); 32-bit pixels take the alpha channel as fourth byte with useAlpha, else 255.
bool PrepareTrueColor(TIEBitmap& bitmap, int depth, bool useAlpha, TBmpRowSource& rows,
                      std::unique_ptr<TIEBitmap>& keep) {
    keep = std::make_unique<TIEBitmap>();
    TIEBitmap* src = InFormat(bitmap, ie24RGB, *keep);
    if (!src) return false;
    const int width = src->Width();
    if (depth == 24) {
        rows = [src, width](int y, uint8_t* out) { std::memcpy(out, src->Scanline(y), size_t(width) * 3); };
        return true;
    }
    TIEBitmap* alpha = useAlpha && bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
    if (alpha && (alpha->Width() < width || alpha->Height() < src->Height() ||
                  (alpha->PixelFormat() != ie8g && alpha->PixelFormat() != ie1g)))
        alpha = nullptr;
    rows = [src, width, alpha](int y, uint8_t* out) {
        const uint8_t* c = src->Scanline(y);
        const uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
        const bool bits = alpha && alpha->PixelFormat() == ie1g;
        for (int x = 0; x < width; ++x) {
            std::memcpy(out + 4 * x, c + 3 * x, 3);
            out[4 * x + 3] = !a ? 255 : bits ? ((a[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0) : a[x];
        }
    };
    return true;
}

} // namespace

void BmpWriteStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, TIEProgressRecord& progress,
                    bool useAlpha) {
    if (bitmap.IsEmpty()) {
        progress.Abort("BMP: cannot write an empty image");
        return;
    }
    TBmpWriteOptions options;
    options.Depth = OutputDepth(bitmap, params);
    options.Version = params.BmpVersion;
    options.Rle = params.BmpCompression == 1;
    options.DpiX = params.DpiX();
    options.DpiY = params.DpiY();

    TBmpRowSource rows;
    std::unique_ptr<TIEBitmap> keep;
    std::unique_ptr<TIEQuantizer> quantizer;
    bool ready = false;
    switch (options.Depth) {
    case 1:
        ready = PrepareOneBit(bitmap, options, rows, keep);
        break;
    case 4:
    case 8:
        ready = PrepareIndexed(bitmap, options.Depth, options, rows, keep, quantizer);
        break;
    default:
        ready = PrepareTrueColor(bitmap, options.Depth, useAlpha, rows, keep);
        break;
    }
    if (!ready) {
        progress.Abort(std::string("BMP: cannot convert the ") + PixelFormatName(bitmap.PixelFormat()) +
                       " image for writing");
        return;
    }
    if (options.Depth <= 8) params.ColorMap = options.Palette;
    BmpWriteImage(stream, bitmap.Width(), bitmap.Height(), options, rows, progress);
}

} // namespace tw
