// BMP file writing: headers, colour table, rows (plain or RLE) and the final patch
// of the header fields that are only known at the end.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "codecs/bmp_core.h"

namespace tw {

namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// The important-colours field written for each depth.
uint32_t ImportantColors(int depth) {
    switch (depth) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    case 24:
        return 16777216;
    default:
        return 1;
    }
}

// Dots per inch to pixels per metre, rounding half to even and saturating at the
// field's range.
int32_t PelsPerMeter(int dpi) {
    double ppm = std::nearbyint(double(dpi) / 2.54 * 100.0);
    return int32_t(std::clamp(ppm, double(INT32_MIN), double(INT32_MAX)));
}

// Writes through CheckedWrite and turns a short write into an abort with a reason.
class TCheckedWriter {
  public:
    TCheckedWriter(TStream& stream, TIEProgressRecord& progress)
        : stream_(stream), progress_(progress), flag_(progress.AbortFlag ? progress.AbortFlag : &local_) {}

    bool Write(const void* data, int64_t count) {
        bool before = *flag_;
        CheckedWrite(stream_, flag_, data, count);
        if (*flag_ && !before) progress_.Abort("BMP: the output stream accepted fewer bytes than written");
        return !*flag_;
    }
    bool Aborted() const { return *flag_; }

  private:
    TStream& stream_;
    TIEProgressRecord& progress_;
    bool local_ = false;
    bool* flag_;
};

// Packs one row of units (indices or colour bytes) into the file's row layout.
void PackRow(const uint8_t* unit, int width, int depth, uint8_t* out, size_t stride) {
    std::memset(out, 0, stride);
    switch (depth) {
    case 1:
        for (int x = 0; x < width; ++x)
            if (unit[x] & 1) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
        break;
    case 4:
        for (int x = 0; x < width; ++x)
            out[x >> 1] |= uint8_t((unit[x] & 0x0F) << ((x & 1) ? 0 : 4));
        break;
    case 8:
        std::memcpy(out, unit, size_t(width));
        break;
    case 24:
        std::memcpy(out, unit, size_t(width) * 3);
        break;
    case 32:
        std::memcpy(out, unit, size_t(width) * 4);
        break;
    default:
        break;
    }
}

} // namespace

bool BmpWriteImage(TStream& stream, int width, int height, const TBmpWriteOptions& options,
                   const TBmpRowSource& rows, TIEProgressRecord& progress) {
    const int depth = options.Depth;
    if (width <= 0 || height <= 0) {
        progress.Abort("BMP: cannot write an empty image");
        return false;
    }
    if (depth != 1 && depth != 4 && depth != 8 && depth != 24 && depth != 32) {
        progress.Abort("BMP: cannot write " + std::to_string(depth) + " bits per pixel");
        return false;
    }
    const bool core = options.Version == 2;
    if (core && (width > 65535 || height > 65535)) {
        progress.Abort("BMP: a core header holds at most 65535 x 65535 pixels, not " + std::to_string(width) +
                       " x " + std::to_string(height));
        return false;
    }
    const int64_t stride = ((int64_t(width) * depth + 31) / 32) * 4;
    if (stride > INT32_MAX) {
        progress.Abort("BMP: rows of " + std::to_string(width) + " pixels are too long");
        return false;
    }
    const bool rle = options.Rle && !core && (depth == 4 || depth == 8);
    const uint32_t compression = rle ? (depth == 4 ? bmpRLE4 : bmpRLE8) : bmpRGB;
    const uint32_t headerSize = core ? 12 : options.Version == 3 ? 64 : 40;
    const int colors = depth <= 8 ? 1 << depth : 0;

    TCheckedWriter out(stream, progress);
    const int64_t start = stream.Position();

    uint8_t fileHeader[14] = {'B', 'M'};
    if (!out.Write(fileHeader, 14)) return false;

    uint8_t info[64] = {};
    Put32(info, headerSize);
    if (core) {
        Put16(info + 4, uint32_t(width));
        Put16(info + 6, uint32_t(height));
        Put16(info + 8, 1);
    } else {
        Put32(info + 4, uint32_t(width));
        Put32(info + 8, uint32_t(height));
        Put16(info + 12, 1);
        Put32(info + 16, compression);
        Put32(info + 24, uint32_t(PelsPerMeter(options.DpiX)));
        Put32(info + 28, uint32_t(PelsPerMeter(options.DpiY)));
        Put32(info + 32, uint32_t(colors));
        Put32(info + 36, ImportantColors(depth));
    }
    if (!out.Write(info, headerSize)) return false;

    if (colors > 0) {
        const int entryBytes = core ? 3 : 4;
        std::vector<uint8_t> table(size_t(colors) * size_t(entryBytes), 0);
        for (int i = 0; i < colors && size_t(i) < options.Palette.size(); ++i) {
            uint8_t* e = table.data() + size_t(i) * size_t(entryBytes);
            e[0] = options.Palette[size_t(i)].b;
            e[1] = options.Palette[size_t(i)].g;
            e[2] = options.Palette[size_t(i)].r;
        }
        if (!out.Write(table.data(), int64_t(table.size()))) return false;
    }
    const int64_t dataStart = stream.Position();

    const size_t unitBytes = depth == 32 ? 4 : depth == 24 ? 3 : 1;
    std::vector<uint8_t> unit(size_t(width) * unitBytes);
    std::vector<uint8_t> packed(static_cast<size_t>(stride));
    std::vector<uint8_t> encoded;
    progress.Begin(height);
    for (int k = 0; k < height; ++k) {
        progress.Counter = k;
        progress.Report(int(int64_t(k) * 100 / height));
        if (progress.Aborted() || out.Aborted()) return false;
        rows(height - 1 - k, unit.data());
        if (rle) {
            encoded.clear();
            if (depth == 8)
                BmpEncodeRle8Row(unit.data(), width, encoded);
            else
                BmpEncodeRle4Row(unit.data(), width, encoded);
            if (!out.Write(encoded.data(), int64_t(encoded.size()))) return false;
        } else {
            PackRow(unit.data(), width, depth, packed.data(), packed.size());
            if (!out.Write(packed.data(), stride)) return false;
        }
    }
    if (rle) {
        const uint8_t endOfBitmap[2] = {0, 1};
        if (!out.Write(endOfBitmap, 2)) return false;
    }

    // Patch the sizes, the pixel-data offset and the bit count.
    const int64_t end = stream.Position();
    Put32(fileHeader + 2, uint32_t(end - start));
    Put32(fileHeader + 10, uint32_t(dataStart - start));
    stream.Seek(start, TSeekOrigin::Begin);
    if (!out.Write(fileHeader, 14)) return false;
    if (core) {
        Put16(info + 10, uint32_t(depth));
    } else {
        Put16(info + 14, uint32_t(depth));
        Put32(info + 20, uint32_t(end - dataStart));
    }
    if (!out.Write(info, headerSize)) return false;
    stream.Seek(end, TSeekOrigin::Begin);
    return true;
}

} // namespace tw
