// GIF writer: one image with a global colour table.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/gif.h"
#include "image/convert.h"
#include "quant/quantizer.h"

namespace tw {

namespace {

constexpr int kMaxSide = 65535; // sizes and positions are 16-bit fields

// Writes through CheckedWrite and names the failure when the stream takes fewer bytes.
class TGifOutput {
  public:
    TGifOutput(TStream& stream, TIEProgressRecord& progress)
        : stream_(stream), progress_(progress), flag_(progress.AbortFlag ? progress.AbortFlag : &localFlag_) {
    }

    bool Failed() const { return *flag_; }

    void Put(const void* data, int64_t count) {
        if (Failed()) return;
        CheckedWrite(stream_, flag_, data, count);
        if (Failed()) progress_.Abort("GIF: the output stream accepted fewer bytes than were written");
    }
    void Byte(int v) {
        const auto b = uint8_t(v);
        Put(&b, 1);
    }
    void Word(int v) {
        const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        Put(b, 2);
    }

  private:
    TStream& stream_;
    TIEProgressRecord& progress_;
    bool localFlag_ = false;
    bool* flag_;
};

// A stream that hands every write to a TGifOutput, so that the LZW encoder's writes are
// checked like the writer's own.
class TCheckedSink : public TStream {
  public:
    explicit TCheckedSink(TGifOutput& out) : out_(out) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        out_.Put(buffer, count);
        written_ += count;
        return out_.Failed() ? 0 : count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return written_; }

  private:
    TGifOutput& out_;
    int64_t written_ = 0;
};

// The working image: what the pixels are taken from, with the palette for ie1g.
struct TWorkImage {
    TIEBitmap* Image = nullptr;
    TIEBitmap Converted;
    std::unique_ptr<TIEBitmap> TwoColors;
    TRGB Color0 = MakeRGB(0, 0, 0), Color1 = MakeRGB(255, 255, 255);
};

void PrepareWorkImage(TIEBitmap& bitmap, int bits, TWorkImage& work) {
    const TIEPixelFormat f = bitmap.PixelFormat();
    work.Image = &bitmap;
    if (bits == 1) {
        if (f == ie1g) return;
        TRGB c0, c1;
        work.TwoColors = TwoColorBitmap(bitmap, c0, c1);
        if (work.TwoColors) {
            work.Image = work.TwoColors.get();
            work.Color0 = c0;
            work.Color1 = c1;
            return;
        }
        if (work.Converted.Allocate(bitmap.Width(), bitmap.Height(), ie1g)) {
            ConvertPixels(bitmap, work.Converted);
            work.Image = &work.Converted;
        }
    } else if (f == ie1g) {
        if (work.Converted.Allocate(bitmap.Width(), bitmap.Height(), ie24RGB)) {
            ConvertPixels(bitmap, work.Converted);
            work.Image = &work.Converted;
        }
    }
}

// The entry of palette[0 .. count) nearest to c by the sum of absolute differences;
// the lowest index wins ties.
int NearestIndex(const TRGB* palette, int count, TRGB c) {
    int best = 0, bestDistance = INT32_MAX;
    for (int i = 0; i < count; ++i) {
        const int d =
            std::abs(palette[i].r - c.r) + std::abs(palette[i].g - c.g) + std::abs(palette[i].b - c.b);
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

// Palette indexes of every pixel, rows top to bottom; transparent pixels get index
// `colors` when the image has an alpha channel.
struct TIndexedImage {
    std::vector<uint8_t> Indexes;
    TRGB Palette[256] = {};
    std::unique_ptr<TIEQuantizer> Quantizer;
};

void IndexPixels(TIEBitmap& source, TWorkImage& work, int colors, bool hasAlpha, TIndexedImage& out) {
    TIEBitmap& img = *work.Image;
    const int w = img.Width(), h = img.Height();
    out.Indexes.assign(size_t(w) * size_t(h), 0);
    const TIEPixelFormat f = img.PixelFormat();
    if (f == ie1g) {
        out.Palette[0] = work.Color0;
        out.Palette[1] = work.Color1;
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = img.Scanline(y);
            uint8_t* dst = &out.Indexes[size_t(y) * size_t(w)];
            for (int x = 0; x < w; ++x)
                dst[x] = (row[x >> 3] & (0x80 >> (x & 7))) ? 1 : 0;
        }
    } else {
        out.Quantizer = std::make_unique<TIEQuantizer>(img, colors, out.Palette);
        std::vector<TRGB> rgb(static_cast<size_t>(w));
        for (int y = 0; y < h; ++y) {
            uint8_t* dst = &out.Indexes[size_t(y) * size_t(w)];
            const uint8_t* row = img.Scanline(y);
            if (f == ie24RGB) {
                out.Quantizer->MapRow(reinterpret_cast<const TRGB*>(row), dst, w);
            } else {
                for (int x = 0; x < w; ++x)
                    rgb[size_t(x)] = img.GetPixelRGB(x, y);
                out.Quantizer->MapRow(rgb.data(), dst, w);
            }
            for (int x = 0; x < w; ++x) {
                // A palette image keeps its own indexes where the palette written holds
                // the same colour there.
                if (f == ie8p && row[x] < colors && out.Palette[row[x]] == img.PaletteColor(row[x])) {
                    dst[x] = row[x];
                    continue;
                }
                if (dst[x] >= colors) {
                    const TRGB c = f == ie24RGB ? reinterpret_cast<const TRGB*>(row)[x] : rgb[size_t(x)];
                    dst[x] = uint8_t(NearestIndex(out.Palette, colors, c));
                }
            }
        }
    }
    if (hasAlpha) {
        TIEBitmap* alpha = source.AlphaChannel();
        for (int y = 0; y < h; ++y) {
            const uint8_t* a = alpha->Scanline(y);
            uint8_t* dst = &out.Indexes[size_t(y) * size_t(w)];
            for (int x = 0; x < w; ++x)
                if (a[x] < 255) dst[x] = uint8_t(colors);
        }
    }
}

// The index written for a colour (background, transparent colour).
int IndexOfColor(const TIndexedImage& img, TIEPixelFormat workFormat, int colors, TRGB c) {
    if (workFormat == ie24RGB && img.Quantizer) {
        const int i = img.Quantizer->PaletteIndexOf(c);
        if (i >= 0 && i < colors) return i;
    }
    return NearestIndex(img.Palette, colors, c);
}

std::string SignatureOf(const std::string& version) {
    if (version.size() >= 6 && version.compare(0, 3, "GIF") == 0) return version.substr(0, 6);
    return "GIF89a";
}

} // namespace

void GifWriteStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, TIEProgressRecord& progress) {
    progress.Report(0);
    if (progress.Aborted()) return;
    const int w = bitmap.Width(), h = bitmap.Height();
    if (bitmap.IsEmpty() || w <= 0 || h <= 0) {
        progress.Abort("GIF: the image to write is empty");
        return;
    }
    if (w > kMaxSide || h > kMaxSide) {
        progress.Abort("GIF: an image of " + std::to_string(w) + " x " + std::to_string(h) +
                       " pixels is larger than a GIF image can be (65535 x 65535)");
        return;
    }
    TGifLzwCompressor encode = params.GifLzwCompressor ? params.GifLzwCompressor : DefaultGifLzwCompressor;

    // Depth, working image and colour count.
    int bits = std::clamp(params.BitsPerSample, 1, 8);
    const bool hasAlpha = bitmap.HasAlphaChannel();
    TWorkImage work;
    PrepareWorkImage(bitmap, bits, work);
    if (bits == 1 && hasAlpha) bits = 2; // two colours and the transparent index
    int colors = 1 << bits;
    if (hasAlpha) {
        colors -= 1;
        params.GifHasTransparency = true;
    }

    TIndexedImage indexed;
    IndexPixels(bitmap, work, colors, hasAlpha, indexed);
    const TIEPixelFormat workFormat = work.Image->PixelFormat();
    if (hasAlpha) indexed.Palette[colors] = params.GifTransparentColor;
    const int backgroundIndex = IndexOfColor(indexed, workFormat, colors, params.GifBackground);
    const int transparentIndex =
        hasAlpha ? colors : IndexOfColor(indexed, workFormat, colors, params.GifTransparentColor);

    progress.Report(30);
    if (progress.Aborted()) return;

    // The image lies on the screen: the screen is as large as position plus size.
    const int left = std::clamp(params.GifXPos, 0, kMaxSide - w);
    const int top = std::clamp(params.GifYPos, 0, kMaxSide - h);

    TGifOutput out(stream, progress);
    const std::string signature = SignatureOf(params.GifVersion);
    out.Put(signature.data(), 6);
    out.Word(left + w);
    out.Word(top + h);
    out.Byte(0x80 | (bits - 1) << 4 | (bits - 1));
    out.Byte(backgroundIndex);
    out.Byte(0);

    uint8_t table[768];
    const int entries = 1 << bits;
    for (int i = 0; i < entries; ++i) {
        table[3 * i] = indexed.Palette[i].r;
        table[3 * i + 1] = indexed.Palette[i].g;
        table[3 * i + 2] = indexed.Palette[i].b;
    }
    out.Put(table, int64_t(entries) * 3);

    const uint8_t gce[8] = {0x21,
                            0xF9,
                            4,
                            uint8_t((params.GifDisposal & 7) << 2 | (params.GifHasTransparency ? 1 : 0)),
                            uint8_t(std::clamp(params.GifDelayTime, 0, 65535)),
                            uint8_t(std::clamp(params.GifDelayTime, 0, 65535) >> 8),
                            uint8_t(transparentIndex),
                            0};
    out.Put(gce, sizeof gce);

    out.Byte(0x2C);
    out.Word(left);
    out.Word(top);
    out.Word(w);
    out.Word(h);
    out.Byte(params.GifInterlaced ? 0x40 : 0);

    progress.Report(70);
    if (progress.Aborted()) return;
    if (!encode) {
        progress.Abort("GIF: no LZW encoder is installed");
        return;
    }
    TCheckedSink sink(out);
    encode(sink, h, w, bits, indexed.Indexes.data(), params.GifInterlaced);

    out.Byte(0x21);
    out.Byte(0xFE);
    for (const std::string& line : params.GifComments) {
        if (line.empty()) continue;
        const size_t n = std::min<size_t>(line.size(), 255);
        out.Byte(int(n));
        out.Put(line.data(), int64_t(n));
    }
    out.Byte(0);
    out.Byte(0x3B);
    if (!progress.Aborted()) progress.Report(100);
}

} // namespace tw
