// BMP pixel decoding: uncompressed rows of every depth, bit fields and RLE, into
// whatever pixel format the bitmap ends up with after allocation.
#include <algorithm>
#include <cstring>

#include "codecs/bmp_core.h"
#include "io/limits.h"

namespace tw {

namespace {

// The pixel data of an uncompressed image may be missing at most this much: a file
// whose data covers less than a quarter of what the header claims is refused before
// anything is allocated, so a tiny file cannot ask for a huge image.
constexpr int64_t kMaxTruncation = 4;
// An RLE stream may describe at most this many pixels per byte: runs give 127 per
// byte, the rest leaves room for deltas and an early end of bitmap.
constexpr int64_t kMaxRlePixelsPerByte = 256;
// Small images are never refused for either reason.
constexpr int64_t kSmallImageBytes = 65536;

std::string Dims(const TBmpInfo& info) {
    return std::to_string(info.Width) + " x " + std::to_string(info.Height);
}

bool IsBlack(TRGB c) {
    return c.r == 0 && c.g == 0 && c.b == 0;
}
bool IsWhite(TRGB c) {
    return c.r == 255 && c.g == 255 && c.b == 255;
}

// 1-bit images load as black and white when the colour table is black and white (in
// either order); any other table is honoured through the palette.
bool OneBitIsColor(const TBmpInfo& info) {
    if (info.ColorMap.size() < 2) return true;
    TRGB c0 = info.ColorMap[0], c1 = info.ColorMap[1];
    return !((IsBlack(c0) && IsWhite(c1)) || (IsWhite(c0) && IsBlack(c1)));
}

bool OneBitInverted(const TBmpInfo& info) {
    return info.ColorMap.size() >= 2 && IsWhite(info.ColorMap[0]) && IsBlack(info.ColorMap[1]);
}

std::string Unsupported(const TBmpInfo& info) {
    uint32_t c = info.Compression;
    bool ok = false;
    switch (info.BitCount) {
    case 1:
        ok = c == bmpRGB;
        break;
    case 4:
        ok = c == bmpRGB || c == bmpRLE4;
        break;
    case 8:
        ok = c == bmpRGB || c == bmpRLE8;
        break;
    case 16:
    case 24:
    case 32:
        ok = c == bmpRGB || c == bmpBitFields;
        break;
    default:
        return "BMP: unsupported bit depth " + std::to_string(info.BitCount);
    }
    if (!ok)
        return "BMP: unsupported compression " + std::to_string(c) + " for " + std::to_string(info.BitCount) +
               " bits per pixel";
    return {};
}

// One bit-field channel: the mask, its lowest set bit and the run of set bits there.
struct TChannel {
    uint32_t mask = 0;
    int low = 0, width = 0;

    explicit TChannel(uint32_t m) : mask(m) {
        if (!m) return;
        while (!(m & (1u << low)))
            ++low;
        while (low + width < 32 && (m & (1u << (low + width))))
            ++width;
    }
    uint8_t Get(uint32_t p) const {
        if (width == 0) return 0;
        uint32_t v = (p & mask) >> low;
        if (width < 32) v &= (1u << width) - 1;
        return uint8_t(width >= 8 ? v >> (width - 8) : v << (8 - width));
    }
};

// The bitmap being filled: row selection, palette lookup and storing in the pixel
// format the bitmap actually has.
class TBmpTarget : public TBmpIndexSink {
  public:
    TBmpTarget(TIEBitmap& bitmap, const TBmpInfo& info, TIEProgressRecord& progress)
        : bitmap_(bitmap), info_(info), progress_(progress) {
        for (size_t i = 0; i < std::min<size_t>(256, info.ColorMap.size()); ++i)
            palette_[i] = info.ColorMap[i];
        format_ = bitmap.PixelFormat();
        width_ = bitmap.Width();
        rowLength_ = bitmap.RowLength();
    }

    TIEPixelFormat Format() const { return format_; }
    int BitmapRow(int fileRow) const { return info_.TopDown ? fileRow : info_.Height - 1 - fileRow; }

    void Row(int fileRow) override { row_ = bitmap_.Scanline(BitmapRow(fileRow)); }

    void Put(int x, uint8_t index) override {
        if (x < 0 || x >= width_) return;
        switch (format_) {
        case ie8p:
        case ie8g:
            row_[x] = index;
            break;
        case ie24RGB:
            std::memcpy(row_ + 3 * x, &palette_[index], 3);
            break;
        case ie32RGB:
            std::memcpy(row_ + 4 * x, &palette_[index], 3);
            row_[4 * x + 3] = 255;
            break;
        case ie1g: {
            TRGB c = palette_[index];
            uint8_t bit = uint8_t(0x80 >> (x & 7));
            if (int(c.r) + c.g + c.b >= 384)
                row_[x >> 3] |= bit;
            else
                row_[x >> 3] &= uint8_t(~bit);
            break;
        }
        default:
            break;
        }
    }

    bool Continue(int rowsDone) override {
        progress_.Counter = rowsDone;
        progress_.Report(int(int64_t(rowsDone) * 100 / info_.Height));
        return !progress_.Aborted();
    }

    void StoreIndices(const uint8_t* indices, int count) {
        if (format_ == ie8p || format_ == ie8g) {
            std::memcpy(row_, indices, size_t(std::min(count, width_)));
            return;
        }
        for (int x = 0; x < count; ++x)
            Put(x, indices[x]);
    }

    void StoreBGR(const uint8_t* bgr, int count) {
        count = std::min(count, width_);
        if (format_ == ie24RGB) {
            std::memcpy(row_, bgr, size_t(count) * 3);
        } else if (format_ == ie32RGB) {
            for (int x = 0; x < count; ++x) {
                std::memcpy(row_ + 4 * x, bgr + 3 * x, 3);
                row_[4 * x + 3] = 255;
            }
        }
    }

    // Copies packed 1-bit bytes into an ie1g row, inverting when asked; bits past
    // the image's width are cleared.
    void StoreBits(const uint8_t* bits, int64_t bytes, bool invert) {
        int64_t n = std::min<int64_t>(bytes, rowLength_);
        for (int64_t i = 0; i < n; ++i)
            row_[i] = invert ? uint8_t(~bits[i]) : bits[i];
        int64_t full = width_ / 8;
        if (n > full && (width_ & 7)) row_[full] &= uint8_t(0xFF00 >> (width_ & 7));
        for (int64_t i = full + ((width_ & 7) ? 1 : 0); i < n; ++i)
            row_[i] = 0;
    }

  private:
    TIEBitmap& bitmap_;
    const TBmpInfo& info_;
    TIEProgressRecord& progress_;
    TRGB palette_[256] = {};
    TIEPixelFormat format_ = ieNone;
    int width_ = 0;
    int rowLength_ = 0;
    uint8_t* row_ = nullptr;
};

void Unpack(const uint8_t* src, int bits, int count, uint8_t* indices) {
    for (int x = 0; x < count; ++x) {
        switch (bits) {
        case 1:
            indices[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
            break;
        case 4:
            indices[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
            break;
        default:
            indices[x] = src[x];
            break;
        }
    }
}

// Reads the uncompressed rows; a short file leaves the pixels it lacks untouched.
void DecodeRows(TStream& stream, const TBmpInfo& info, TBmpTarget& target, int64_t stride, bool wantAlpha,
                std::vector<uint8_t>& alpha) {
    const int w = info.Width, bpp = info.BitCount;
    std::vector<uint8_t> raw(static_cast<size_t>(stride));
    std::vector<uint8_t> unit(size_t(w) * 3);
    const bool invert = OneBitInverted(info);
    const bool oneBitCopy = bpp == 1 && target.Format() == ie1g;

    uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (info.Compression == bmpBitFields) std::copy(info.Masks, info.Masks + 3, masks);
    const TChannel red(masks[0]), green(masks[1]), blue(masks[2]);
    const bool maskedColors = (bpp == 16) || (bpp == 32 && info.Compression == bmpBitFields);
    // Alpha of 32-bit pixels: the header's alpha mask when bit fields give one, else the
    // fourth byte, unless the colour masks use that byte.
    const bool bitFields32 = bpp == 32 && info.Compression == bmpBitFields;
    const TChannel alphaChannel(bitFields32 && info.AlphaMask ? info.AlphaMask : 0xFF000000u);
    const bool hasAlpha =
        !(bitFields32 && !info.AlphaMask && ((masks[0] | masks[1] | masks[2]) & 0xFF000000u));
    if (wantAlpha && bpp == 32 && hasAlpha) alpha.assign(size_t(w) * size_t(info.Height), 255);

    for (int k = 0; k < info.Height; ++k) {
        if (!target.Continue(k)) break;
        int64_t got = stream.Read(raw.data(), stride);
        if (got <= 0) break;
        const int pixels = int(std::min<int64_t>(w, got * 8 / bpp));
        target.Row(k);
        if (oneBitCopy) {
            target.StoreBits(raw.data(), got, invert);
        } else if (bpp <= 8) {
            Unpack(raw.data(), bpp, pixels, unit.data());
            target.StoreIndices(unit.data(), pixels);
        } else if (bpp == 24) {
            target.StoreBGR(raw.data(), pixels);
        } else {
            const int bytes = bpp / 8;
            uint8_t* a = alpha.empty() ? nullptr : alpha.data() + size_t(target.BitmapRow(k)) * size_t(w);
            for (int x = 0; x < pixels; ++x) {
                const uint8_t* s = raw.data() + size_t(x) * size_t(bytes);
                uint8_t* d = unit.data() + size_t(x) * 3;
                uint32_t p = bytes == 2 ? uint32_t(s[0] | (s[1] << 8))
                                        : uint32_t(s[0]) | (uint32_t(s[1]) << 8) | (uint32_t(s[2]) << 16) |
                                              (uint32_t(s[3]) << 24);
                if (maskedColors) {
                    d[0] = blue.Get(p);
                    d[1] = green.Get(p);
                    d[2] = red.Get(p);
                } else {
                    std::memcpy(d, s, 3);
                }
                if (a) a[x] = alphaChannel.Get(p);
            }
            target.StoreBGR(unit.data(), pixels);
        }
        if (got < stride) break;
    }

    if (!alpha.empty()) {
        bool all255 = std::all_of(alpha.begin(), alpha.end(), [](uint8_t v) { return v == 255; });
        bool all0 = !all255 && std::all_of(alpha.begin(), alpha.end(), [](uint8_t v) { return v == 0; });
        if (all255 || all0) alpha.clear();
    }
}

// The byte count of the RLE data: up to the length limit (the caller's, else the
// file-size field), else the image-size field; never more than the stream holds.
int64_t RleDataSize(TStream& stream, const TBmpInfo& info, int64_t lengthLimit) {
    int64_t remaining = std::max<int64_t>(0, stream.Size() - info.DataPosition);
    int64_t limit = lengthLimit > 0 ? lengthLimit : int64_t(info.FileSize);
    int64_t size = limit > 0 ? info.Start + limit - info.DataPosition : int64_t(info.ImageSize);
    if (size <= 0 && limit > 0) size = info.ImageSize;
    if (size <= 0) size = remaining;
    return std::min(size, remaining);
}

} // namespace

TIEPixelFormat BmpTargetFormat(const TBmpInfo& info, bool nativePixelFormat) {
    if (info.BitCount == 1) {
        if (!OneBitIsColor(info)) return ie1g;
        return nativePixelFormat ? ie8p : ie24RGB;
    }
    if ((info.BitCount == 4 || info.BitCount == 8) && nativePixelFormat) return ie8p;
    return ie24RGB;
}

bool BmpDecodeImage(TStream& stream, const TBmpInfo& info, TIEBitmap& bitmap, TIEProgressRecord& progress,
                    bool nativePixelFormat, bool wantAlpha, int64_t lengthLimit,
                    std::vector<uint8_t>& alpha) {
    alpha.clear();
    auto fail = [&progress](const std::string& reason) {
        progress.Abort(reason);
        return false;
    };
    if (info.Width <= 0 || info.Height <= 0) return fail("BMP: the image has no pixels (" + Dims(info) + ")");
    std::string why = Unsupported(info);
    if (!why.empty()) return fail(why);
    why = CheckImageSize(info.Width, info.Height);
    if (!why.empty()) return fail("BMP: " + why);

    const TIEPixelFormat wanted = BmpTargetFormat(info, nativePixelFormat);
    const int64_t stride = ((int64_t(info.Width) * info.BitCount + 31) / 32) * 4;
    const int64_t bitmapRow = ((int64_t(info.Width) * BitsPerPixelOf(wanted) + 31) / 32) * 4;
    if (stride > INT32_MAX || bitmapRow > INT32_MAX)
        return fail("BMP: rows of " + std::to_string(info.Width) + " pixels are too long");

    const int64_t size = stream.Size();
    if (info.DataPosition >= size) {
        if (info.DataOffset != 0)
            return fail("BMP: pixel data offset " + std::to_string(info.DataOffset) +
                        " lies beyond the end of the file");
        return fail("BMP: the file ends before the pixel data");
    }
    const int64_t available = size - info.DataPosition;
    const bool rle = info.Compression == bmpRLE8 || info.Compression == bmpRLE4;
    std::vector<uint8_t> rleData;
    if (rle) {
        int64_t dataSize = RleDataSize(stream, info, lengthLimit);
        int64_t pixels = int64_t(info.Width) * info.Height;
        if (pixels > dataSize * kMaxRlePixelsPerByte + kSmallImageBytes)
            return fail("BMP: " + Dims(info) + " pixels cannot come from " + std::to_string(dataSize) +
                        " bytes of RLE data");
        stream.Seek(info.DataPosition, TSeekOrigin::Begin);
        rleData.resize(size_t(dataSize));
        int64_t got = dataSize > 0 ? stream.Read(rleData.data(), dataSize) : 0;
        rleData.resize(size_t(std::max<int64_t>(got, 0)));
    } else {
        int64_t needed = stride * info.Height;
        if (needed > available * kMaxTruncation + kSmallImageBytes)
            return fail("BMP: " + Dims(info) + " pixels at " + std::to_string(info.BitCount) + " bits need " +
                        std::to_string(needed) + " bytes, the file holds " + std::to_string(available));
    }

    // A fresh allocation even when the bitmap already has this size and format, so that
    // pixels the file does not supply are zero and never show an earlier image.
    bitmap.Dirty = true;
    if (!bitmap.Allocate(info.Width, info.Height, wanted))
        return fail("BMP: cannot allocate a " + Dims(info) + " image");
    TIEPixelFormat got = bitmap.PixelFormat();
    if (got == ie8p)
        for (size_t i = 0; i < std::min<size_t>(256, info.ColorMap.size()); ++i)
            bitmap.SetPaletteColor(int(i), info.ColorMap[i]);
    got = bitmap.PixelFormat();
    if (bitmap.Width() != info.Width || bitmap.Height() != info.Height ||
        (got != ie1g && got != ie8p && got != ie8g && got != ie24RGB && got != ie32RGB))
        return fail("BMP: the bitmap cannot hold a " + Dims(info) + " image");

    progress.Begin(info.Height);
    TBmpTarget target(bitmap, info, progress);
    if (rle) {
        BmpDecodeRle(rleData.data(), rleData.size(), info.Compression == bmpRLE4, info.Width, info.Height,
                     target);
    } else {
        stream.Seek(info.DataPosition, TSeekOrigin::Begin);
        DecodeRows(stream, info, target, stride, wantAlpha, alpha);
    }
    return !progress.Aborted();
}

} // namespace tw
