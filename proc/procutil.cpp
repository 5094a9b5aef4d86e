#include "proc/procutil.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "image/errors.h"

namespace tw::proc {

int64_t AlignedRowBytes(int64_t width, int bitsPerPixel) {
    if (width < 0 || bitsPerPixel <= 0 || width > INT32_MAX) return -1;
    int64_t bytes = ((width * bitsPerPixel + 31) / 32) * 4;
    return bytes > INT32_MAX ? -1 : bytes;
}

int64_t ImageBytesLimit(TIEBitmap& forBitmap) {
    // Beyond this even a file-backed image is not a sensible request.
    constexpr int64_t fileLimit = int64_t(1) << 36;
    int64_t memory = std::max<int64_t>(forBitmap.MemoryThreshold, 0);
    return forBitmap.Location() == ieTBitmap ? memory : std::max(memory, fileLimit);
}

int64_t WorkBytesLimit() { return DefaultMemoryThreshold(); }

static std::string SizeText(int64_t w, int64_t h) { return std::to_string(w) + "x" + std::to_string(h); }

void CheckImageSize(int64_t width, int64_t height, TIEPixelFormat format, int64_t limitBytes) {
    int64_t row = AlignedRowBytes(width, BitsPerPixelOf(format));
    bool ok = width >= 1 && height >= 1 && width <= INT32_MAX && height <= INT32_MAX && row > 0 &&
              height <= limitBytes / row;
    if (!ok)
        throw EIELimitError("Image too large: " + SizeText(width, height) + " " + PixelFormatName(format));
}

TIEPixelFormat AllocateOrThrow(TIEBitmap& bitmap, int width, int height, TIEPixelFormat format) {
    if (!bitmap.Allocate(width, height, format) || bitmap.IsEmpty())
        throw EIELimitError("Not enough memory for a " + SizeText(width, height) + " " +
                            PixelFormatName(format) + " image");
    return bitmap.PixelFormat();
}

void CheckWorkSize(int64_t width, int64_t height, int64_t bytesPerPixel) {
    bool ok = width >= 1 && height >= 1 && width <= INT32_MAX && height <= INT32_MAX &&
              width <= WorkBytesLimit() / bytesPerPixel / height;
    if (!ok) throw EIELimitError("Image too large: work buffer of " + SizeText(width, height));
}

void AllocateWork(TIEWorkBitmap& work, int width, int height, int bitsPerPixel) {
    CheckWorkSize(width, height, std::max(1, bitsPerPixel / 8));
    work.Allocate(width, height, bitsPerPixel);
    if (work.Width != width || work.Height != height || !work.Bits())
        throw EIELimitError("Not enough memory for a " + SizeText(width, height) + " work buffer");
}

TRowSet::TRowSet(TIEBitmap& bitmap) {
    int h = bitmap.Height();
    rows_.resize(size_t(std::max(h, 0)));
    if (h <= 0) return;
    if (bitmap.Location() != ieFile) {
        for (int y = 0; y < h; ++y) rows_[size_t(y)] = bitmap.Scanline(y);
        return;
    }
    // A file image is read into memory whole: refuse what memory cannot hold.
    size_t rl = size_t(bitmap.RowLength());
    CheckWorkSize(int64_t(rl), h, 1);
    copy_.resize(rl * size_t(h));
    TAccessScope read(bitmap, iedRead);
    for (int y = 0; y < h; ++y) {
        std::memcpy(copy_.data() + rl * size_t(y), bitmap.Scanline(y), rl);
        rows_[size_t(y)] = copy_.data() + rl * size_t(y);
    }
}

TIEBitmap& AlphaAsBytes(TIEBitmap& alpha, std::unique_ptr<TIEBitmap>& holder) {
    if (alpha.PixelFormat() != ie1g) return alpha;
    int w = alpha.Width(), h = alpha.Height();
    holder = std::make_unique<TIEBitmap>();
    AllocateOrThrow(*holder, w, h, ie8g);
    TAccessScope read(alpha, iedRead);
    TAccessScope write(*holder, iedWrite);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = alpha.Scanline(y);
        uint8_t* d = holder->Scanline(y);
        for (int x = 0; x < w; ++x) d[x] = GetBit(s, x) ? 255 : 0;
    }
    holder->Full = alpha.Full;
    return *holder;
}

void CopyAllRows(TIEBitmap& source, TIEBitmap& target) {
    int h = std::min(source.Height(), target.Height());
    size_t bytes = size_t(std::min(source.RowLength(), target.RowLength()));
    TAccessScope read(source, iedRead);
    TAccessScope write(target, iedWrite);
    for (int y = 0; y < h; ++y) std::memcpy(target.Scanline(y), source.Scanline(y), bytes);
}

void FillPixels(uint8_t* row, int width, const uint8_t* pixel, int bytes) {
    if (width <= 0) return;
    if (bytes == 1) {
        std::memset(row, pixel[0], size_t(width));
        return;
    }
    std::memcpy(row, pixel, size_t(bytes));
    // Doubling copies: each memcpy copies what is already there.
    size_t done = size_t(bytes), total = size_t(width) * size_t(bytes);
    while (done < total) {
        size_t n = std::min(done, total - done);
        std::memcpy(row + done, row, n);
        done += n;
    }
}

void FillBitmap(TIEBitmap& bitmap, const uint8_t* pixel) {
    int w = bitmap.Width(), h = bitmap.Height();
    TIEPixelFormat f = bitmap.PixelFormat();
    TAccessScope write(bitmap, iedWrite);
    size_t rl = size_t(bitmap.RowLength());
    for (int y = 0; y < h; ++y) {
        uint8_t* d = bitmap.Scanline(y);
        if (f == ie1g) std::memset(d, pixel[0] ? 0xFF : 0, rl);
        else FillPixels(d, w, pixel, PixelBytes(f));
    }
}

} // namespace tw::proc
