// PNG codec: conformance against the PngSuite references, round trips, hostile input.
#include <png.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/png.h"
#include "helpers.h"
#include "image/bitmap.h"
#include "image/errors.h"
#include "image/mask.h"
#include "io/params.h"
#include "io/progress.h"
#include "io/stream.h"

using namespace tw;
using twtest::CorpusDir;
using twtest::ReadFile;
using twtest::ReadTsv;
using twtest::TTsvRow;

namespace {

// ---- an independent decode path: libpng's simplified API, RGBA 8-bit -------------

struct TRgbaImage {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Pixels; // R, G, B, A per pixel, rows top-down
};

bool LoadReferenceRgba(const std::string& path, TRgbaImage& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGBA;
    out.Width = int(image.width);
    out.Height = int(image.height);
    out.Pixels.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, out.Pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

// Our bitmap as RGBA 8-bit (16-bit gray by its high byte, as the references do).
TRgbaImage BitmapToRgba(TIEBitmap& bmp) {
    TRgbaImage out;
    out.Width = bmp.Width();
    out.Height = bmp.Height();
    out.Pixels.assign(size_t(out.Width) * size_t(out.Height) * 4, 255);
    TIEBitmap* alpha = bmp.HasAlphaChannel() ? bmp.AlphaChannel() : nullptr;
    for (int y = 0; y < out.Height; ++y) {
        const uint8_t* row = bmp.Scanline(y);
        uint8_t* o = out.Pixels.data() + size_t(y) * size_t(out.Width) * 4;
        for (int x = 0; x < out.Width; ++x, o += 4) {
            uint8_t r = 0, g = 0, b = 0;
            switch (bmp.PixelFormat()) {
            case ie1g: r = g = b = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0; break;
            case ie8g: r = g = b = row[x]; break;
            case ie16g: r = g = b = row[2 * x + 1]; break;
            case ie8p: {
                TRGB c = bmp.PaletteColor(row[x]);
                r = c.r, g = c.g, b = c.b;
                break;
            }
            case ie24RGB: b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2]; break;
            default: ADD_FAILURE() << "unexpected pixel format " << int(bmp.PixelFormat()); return out;
            }
            o[0] = r, o[1] = g, o[2] = b;
        }
        if (alpha) {
            const uint8_t* a = alpha->Scanline(y);
            for (int x = 0; x < out.Width; ++x) out.Pixels[(size_t(y) * size_t(out.Width) + size_t(x)) * 4 + 3] = a[x];
        }
    }
    return out;
}

// First difference between two RGBA images as text; empty when they agree.
// colour / alpha select which channels take part.
std::string CompareRgba(const TRgbaImage& got, const TRgbaImage& want, bool colour = true, bool alpha = true) {
    if (got.Width != want.Width || got.Height != want.Height)
        return "size " + std::to_string(got.Width) + "x" + std::to_string(got.Height) + " vs " +
               std::to_string(want.Width) + "x" + std::to_string(want.Height);
    for (size_t i = 0; i < got.Pixels.size(); ++i) {
        size_t c = i % 4;
        if ((c == 3 && !alpha) || (c < 3 && !colour)) continue;
        if (got.Pixels[i] != want.Pixels[i]) {
            size_t p = i / 4;
            std::ostringstream s;
            s << "pixel (" << p % size_t(got.Width) << ", " << p / size_t(got.Width) << ") channel " << c << ": "
              << int(got.Pixels[i]) << " vs " << int(want.Pixels[i]);
            return s.str();
        }
    }
    return {};
}

// One decode through PngReadStream with a fresh record and progress record.
struct TDecodeResult {
    bool Aborted = false;
    std::string Reason;
    std::unique_ptr<TIOParamsVals> Params = std::make_unique<TIOParamsVals>();
    int LastPercent = -1;
    int Counter = 0;
};

// A colour no file in these tests uses as its background, to see bKGD taking effect.
const TRGB PresetBackground = MakeRGB(1, 2, 3);

TDecodeResult Decode(const std::vector<uint8_t>& data, TIEBitmap& bmp, bool native = false, bool paramsOnly = false) {
    TDecodeResult res;
    res.Params->NativePixelFormat = native;
    res.Params->PngBackground = PresetBackground;
    TIEProgressRecord progress;
    progress.AbortFlag = &res.Aborted;
    progress.AbortReason = &res.Reason;
    progress.Handler = [&res](void*, int percent) { res.LastPercent = percent; };
    TMemoryViewStream stream(data.data(), data.size());
    PngReadStream(stream, bmp, *res.Params, paramsOnly, progress);
    res.Counter = progress.Counter;
    return res;
}

struct TManifestRow {
    std::string Name;   // file name under files/png
    std::string Expect; // valid, broken
    std::string What;
};

std::vector<TManifestRow> PngManifest(const std::string& corpus) {
    std::vector<TManifestRow> rows;
    for (TTsvRow& row : ReadTsv(corpus + "/MANIFEST.tsv")) {
        if (row["format"] != "png") continue;
        const std::string& file = row["file"];
        rows.push_back({file.substr(file.rfind('/') + 1), row["expect"], row["what_it_exercises"]});
    }
    return rows;
}

// Files whose two references disagree in a way our rules decide.
struct TReferenceRule {
    const char* Name;
    bool AlphaFromB; // colour from reference A (Pillow), alpha from B (ImageMagick)
    bool OnlyB;      // compare with B alone
    const char* Why;
};
const TReferenceRule ReferenceRules[] = {
    {"pngsuite__tbwn0g16.png", true, false,
     "tRNS on 16-bit gray: Pillow ignores it, ImageMagick applies it as we do; Pillow keeps the high byte"},
    {"ipng__bugfixes-cicp_pq.png", false, true, "Pillow cannot open it (CRC errors in ancillary chunks)"},
    {"ipng__bugfixes-invalid_palette_index.png", false, true,
     "indices beyond the palette: libpng and ImageMagick give black, Pillow white"},
};

const TReferenceRule* RuleFor(const std::string& name) {
    for (const auto& r : ReferenceRules)
        if (name == r.Name) return &r;
    return nullptr;
}

// ---- hand-made files -----------------------------------------------------------------

// Builds PNG files chunk by chunk, so that every byte of a test file is known.
class TPngBuilder {
  public:
    TPngBuilder() { Bytes = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }

    TPngBuilder& Chunk(const char* type, const std::vector<uint8_t>& data) {
        Put32(uint32_t(data.size()));
        size_t start = Bytes.size();
        Bytes.insert(Bytes.end(), type, type + 4);
        Bytes.insert(Bytes.end(), data.begin(), data.end());
        Put32(uint32_t(crc32(0, Bytes.data() + start, uInt(Bytes.size() - start))));
        return *this;
    }
    TPngBuilder& IHDR(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0) {
        std::vector<uint8_t> d;
        Append32(d, w);
        Append32(d, h);
        d.insert(d.end(), {uint8_t(depth), uint8_t(colorType), 0, 0, uint8_t(interlace)});
        return Chunk("IHDR", d);
    }
    // rows: the bytes of each row without its filter byte (filter 0 is added).
    TPngBuilder& IDAT(const std::vector<std::vector<uint8_t>>& rows) {
        std::vector<uint8_t> raw;
        for (const auto& r : rows) {
            raw.push_back(0);
            raw.insert(raw.end(), r.begin(), r.end());
        }
        return IDATRaw(raw);
    }
    TPngBuilder& IDATRaw(const std::vector<uint8_t>& raw) { return Chunk("IDAT", Deflate(raw)); }
    TPngBuilder& IEND() { return Chunk("IEND", {}); }

    static std::vector<uint8_t> Deflate(const std::vector<uint8_t>& raw) {
        uLongf size = compressBound(uLong(raw.size()));
        std::vector<uint8_t> z(size);
        compress2(z.data(), &size, raw.data(), uLong(raw.size()), 9);
        z.resize(size);
        return z;
    }
    static void Append32(std::vector<uint8_t>& d, uint32_t v) {
        d.insert(d.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }

    std::vector<uint8_t> Bytes;

  private:
    void Put32(uint32_t v) { Append32(Bytes, v); }
};

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// RGBA pixels written out by hand, one row top-down.
using TRgbaList = std::vector<std::array<uint8_t, 4>>;

TRgbaImage FromList(int w, int h, const TRgbaList& list) {
    TRgbaImage img;
    img.Width = w;
    img.Height = h;
    for (const auto& p : list) img.Pixels.insert(img.Pixels.end(), p.begin(), p.end());
    return img;
}

} // namespace

// ---- conformance -----------------------------------------------------------------

TEST(PngCorpus, ValidFilesMatchReferencesAndBrokenFilesFailCleanly) {
    std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "corpus absent";
    auto rows = PngManifest(corpus);
    ASSERT_FALSE(rows.empty());
    int validMatched = 0, validTotal = 0, brokenFailed = 0, brokenTotal = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name + " (" + row.What + ")");
        auto data = ReadFile(corpus + "/files/png/" + row.Name);
        if (row.Expect == "broken") {
            ++brokenTotal;
            TIEBitmap bmp;
            auto res = Decode(data, bmp);
            EXPECT_TRUE(res.Aborted);
            EXPECT_EQ(res.Reason.rfind("PNG: ", 0), 0u) << res.Reason;
            if (res.Aborted && !res.Reason.empty()) ++brokenFailed;
            continue;
        }
        ++validTotal;
        const TReferenceRule* rule = RuleFor(row.Name);
        TRgbaImage refA, refB;
        bool haveA = !(rule && rule->OnlyB) && LoadReferenceRgba(corpus + "/ref/png/" + row.Name + ".png", refA);
        bool needB = rule != nullptr;
        bool haveB = needB && LoadReferenceRgba(corpus + "/ref-im/png/" + row.Name + ".png", refB);
        ASSERT_TRUE(haveA || haveB) << "no reference";
        if (rule) SCOPED_TRACE(rule->Why);
        bool allMatch = true;
        for (bool native : {false, true}) {
            SCOPED_TRACE(native ? "NativePixelFormat" : "default");
            TIEBitmap bmp;
            auto res = Decode(data, bmp, native);
            ASSERT_FALSE(res.Aborted) << res.Reason;
            EXPECT_EQ(res.LastPercent, 100);
            TRgbaImage got = BitmapToRgba(bmp);
            std::string diff;
            if (rule && rule->OnlyB)
                diff = CompareRgba(got, refB);
            else if (rule && rule->AlphaFromB) {
                diff = CompareRgba(got, refA, true, false);
                if (diff.empty()) diff = CompareRgba(got, refB, false, true);
            } else
                diff = CompareRgba(got, refA);
            EXPECT_EQ(diff, "");
            allMatch = allMatch && diff.empty();
        }
        if (allMatch) ++validMatched;
    }
    std::printf("[ PNG corpus ] valid files matching their reference: %d of %d; broken files failing cleanly: %d of %d\n",
                validMatched, validTotal, brokenFailed, brokenTotal);
}

// ---- pixel layouts of every colour type ---------------------------------------------

namespace {

std::vector<uint8_t> Be16(std::initializer_list<int> values) {
    std::vector<uint8_t> d;
    for (int v : values) d.insert(d.end(), {uint8_t(v >> 8), uint8_t(v)});
    return d;
}

const std::vector<uint8_t> Plte3 = {10, 20, 30, 40, 50, 60, 70, 80, 90};

struct TLayoutCase {
    const char* Name;
    std::vector<uint8_t> File;
    bool Native;
    bool Device; // decode into a device bitmap (ieTBitmap)
    TIEPixelFormat Format;
    bool Alpha;
    int Width;
    TRgbaList Pixels;
};

std::vector<uint8_t> File(TPngBuilder b) { return b.Bytes; }

} // namespace

TEST(PngRead, EveryColourTypeLandsInItsBitmapFormat) {
    const uint8_t W = 255;
    std::vector<TLayoutCase> cases = {
        {"1-bit gray stays packed", File(TPngBuilder().IHDR(10, 1, 1, 0).IDAT({{0xAC, 0x00}}).IEND()), false, false, ie1g,
         false, 10,
         {{W, W, W, W}, {0, 0, 0, W}, {W, W, W, W}, {0, 0, 0, W}, {W, W, W, W}, {W, W, W, W}, {0, 0, 0, W},
          {0, 0, 0, W}, {0, 0, 0, W}, {0, 0, 0, W}}},
        {"1-bit gray with tRNS keeps its transparency",
         File(TPngBuilder().IHDR(3, 1, 1, 0).Chunk("tRNS", Be16({1})).IDAT({{0xA0}}).IEND()), false, false, ie1g, true, 3,
         {{W, W, W, 0}, {0, 0, 0, W}, {W, W, W, 0}}},
        {"1-bit palette with tRNS keeps its transparency",
         File(TPngBuilder().IHDR(4, 1, 1, 3).Chunk("PLTE", {255, 0, 0, 0, 0, 255}).Chunk("tRNS", {0}).IDAT({{0x50}}).IEND()),
         false, false, ie24RGB, true, 4, {{W, 0, 0, 0}, {0, 0, W, W}, {W, 0, 0, 0}, {0, 0, W, W}}},
        {"2-bit gray is expanded", File(TPngBuilder().IHDR(4, 1, 2, 0).IDAT({{0x1B}}).IEND()), false, false, ie24RGB, false, 4,
         {{0, 0, 0, W}, {85, 85, 85, W}, {170, 170, 170, W}, {W, W, W, W}}},
        {"4-bit palette is expanded", File(TPngBuilder().IHDR(3, 1, 4, 3).Chunk("PLTE", Plte3).IDAT({{0x01, 0x20}}).IEND()),
         false, false, ie24RGB, false, 3, {{10, 20, 30, W}, {40, 50, 60, W}, {70, 80, 90, W}}},
        {"8-bit palette, native", File(TPngBuilder().IHDR(3, 1, 8, 3).Chunk("PLTE", Plte3).IDAT({{2, 0, 1}}).IEND()), true,
         false, ie8p, false, 3, {{70, 80, 90, W}, {10, 20, 30, W}, {40, 50, 60, W}}},
        {"8-bit palette with tRNS, native",
         File(TPngBuilder().IHDR(3, 1, 8, 3).Chunk("PLTE", Plte3).Chunk("tRNS", {128, 0}).IDAT({{2, 0, 1}}).IEND()), true,
         false, ie8p, true, 3, {{70, 80, 90, W}, {10, 20, 30, 128}, {40, 50, 60, 0}}},
        {"8-bit palette with tRNS",
         File(TPngBuilder().IHDR(3, 1, 8, 3).Chunk("PLTE", Plte3).Chunk("tRNS", {128, 0}).IDAT({{2, 0, 1}}).IEND()), false,
         false, ie24RGB, true, 3, {{70, 80, 90, W}, {10, 20, 30, 128}, {40, 50, 60, 0}}},
        {"8-bit gray with tRNS", File(TPngBuilder().IHDR(3, 1, 8, 0).Chunk("tRNS", Be16({0x80})).IDAT({{0x80, 0, W}}).IEND()),
         false, false, ie24RGB, true, 3, {{128, 128, 128, 0}, {0, 0, 0, W}, {W, W, W, W}}},
        {"8-bit gray with tRNS, native",
         File(TPngBuilder().IHDR(3, 1, 8, 0).Chunk("tRNS", Be16({0x80})).IDAT({{0x80, 0, W}}).IEND()), true, false, ie8g,
         true, 3, {{128, 128, 128, 0}, {0, 0, 0, W}, {W, W, W, W}}},
        {"16-bit gray keeps the high byte", File(TPngBuilder().IHDR(2, 1, 16, 0).IDAT({Be16({0x1234, 0xFF01})}).IEND()),
         false, false, ie24RGB, false, 2, {{0x12, 0x12, 0x12, W}, {W, W, W, W}}},
        {"16-bit gray, native", File(TPngBuilder().IHDR(2, 1, 16, 0).IDAT({Be16({0x1234, 0xFF01})}).IEND()), true, false,
         ie16g, false, 2, {{0x12, 0x12, 0x12, W}, {W, W, W, W}}},
        {"16-bit gray with tRNS, native",
         File(TPngBuilder().IHDR(2, 1, 16, 0).Chunk("tRNS", Be16({0x1234})).IDAT({Be16({0x1234, 0xFF01})}).IEND()), true,
         false, ie16g, true, 2, {{0x12, 0x12, 0x12, 0}, {W, W, W, W}}},
        {"16-bit tRNS compares all 16 bits",
         File(TPngBuilder().IHDR(2, 1, 16, 0).Chunk("tRNS", Be16({0x12FF})).IDAT({Be16({0x1234, 0x12FF})}).IEND()), false,
         false, ie24RGB, true, 2, {{0x12, 0x12, 0x12, W}, {0x12, 0x12, 0x12, 0}}},
        {"16-bit gray, native, in a device bitmap",
         File(TPngBuilder().IHDR(2, 1, 16, 0).IDAT({Be16({0x1234, 0xFF01})}).IEND()), true, true, ie8g, false, 2,
         {{0x12, 0x12, 0x12, W}, {W, W, W, W}}},
        {"16-bit gray with tRNS, native, in a device bitmap",
         File(TPngBuilder().IHDR(2, 1, 16, 0).Chunk("tRNS", Be16({0x1234})).IDAT({Be16({0x1234, 0xFF01})}).IEND()), true,
         true, ie8g, true, 2, {{0x12, 0x12, 0x12, 0}, {W, W, W, W}}},
        {"RGB with tRNS",
         File(TPngBuilder().IHDR(2, 1, 8, 2).Chunk("tRNS", Be16({1, 2, 3})).IDAT({{1, 2, 3, 4, 5, 6}}).IEND()), false, false,
         ie24RGB, true, 2, {{1, 2, 3, 0}, {4, 5, 6, W}}},
        {"16-bit RGB keeps the high bytes",
         File(TPngBuilder().IHDR(1, 1, 16, 2).IDAT({Be16({0xABCD, 0x1234, 0x5678})}).IEND()), false, false, ie24RGB, false, 1,
         {{0xAB, 0x12, 0x56, W}}},
        {"gray+alpha", File(TPngBuilder().IHDR(2, 1, 8, 4).IDAT({{10, 20, 200, W}}).IEND()), false, false, ie24RGB, true, 2,
         {{10, 10, 10, 20}, {200, 200, 200, W}}},
        {"16-bit RGBA", File(TPngBuilder().IHDR(1, 1, 16, 6).IDAT({Be16({0xAB00, 0x1200, 0x5600, 0x80FF})}).IEND()), false,
         false, ie24RGB, true, 1, {{0xAB, 0x12, 0x56, 0x80}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TIEBitmap bmp;
        if (c.Device) bmp.SetLocation(ieTBitmap);
        auto res = Decode(c.File, bmp, c.Native);
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(bmp.PixelFormat(), c.Format);
        EXPECT_EQ(bmp.HasAlphaChannel(), c.Alpha);
        EXPECT_EQ(CompareRgba(BitmapToRgba(bmp), FromList(c.Width, 1, c.Pixels)), "");
        if (c.Format == ie16g) {
            const uint8_t* row = bmp.Scanline(0);
            EXPECT_EQ(row[0] | row[1] << 8, 0x1234);
            EXPECT_EQ(row[2] | row[3] << 8, 0xFF01);
        }
        if (c.Format == ie8p) {
            EXPECT_EQ(bmp.PaletteLength(), 256);
        }
    }
}

// ---- header chunks -------------------------------------------------------------------

TEST(PngRead, BackgroundIsScaledFromTheChunkDepthToEightBits) {
    struct Case {
        const char* Name;
        TPngBuilder Head; // signature and IHDR (+ PLTE)
        std::vector<uint8_t> Bkgd;
        int RowBytes;
        TRGB Expected;
    };
    std::vector<Case> cases = {
        {"palette entry", TPngBuilder().IHDR(1, 1, 8, 3).Chunk("PLTE", Plte3), {1}, 1, MakeRGB(40, 50, 60)},
        {"1-bit gray", TPngBuilder().IHDR(1, 1, 1, 0), Be16({1}), 1, MakeRGB(255, 255, 255)},
        {"4-bit gray", TPngBuilder().IHDR(1, 1, 4, 0), Be16({5}), 1, MakeRGB(85, 85, 85)},
        {"8-bit gray", TPngBuilder().IHDR(1, 1, 8, 0), Be16({0x42}), 1, MakeRGB(0x42, 0x42, 0x42)},
        {"16-bit gray", TPngBuilder().IHDR(1, 1, 16, 0), Be16({0x80FF}), 2, MakeRGB(0x80, 0x80, 0x80)},
        {"8-bit RGB", TPngBuilder().IHDR(1, 1, 8, 2), Be16({10, 20, 30}), 3, MakeRGB(10, 20, 30)},
        {"16-bit RGBA", TPngBuilder().IHDR(1, 1, 16, 6), Be16({0x1234, 0x5678, 0x9ABC}), 8, MakeRGB(0x12, 0x56, 0x9A)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<uint8_t> row(size_t(c.RowBytes), 0);
        auto file = c.Head.Chunk("bKGD", c.Bkgd).IDAT({row}).IEND().Bytes;
        TIEBitmap bmp;
        auto res = Decode(file, bmp);
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(res.Params->PngBackground, c.Expected);
    }
    TIEBitmap bmp;
    auto res = Decode(TPngBuilder().IHDR(1, 1, 8, 0).IDAT({{0}}).IEND().Bytes, bmp);
    EXPECT_EQ(res.Params->PngBackground, PresetBackground) << "no bKGD leaves PngBackground as it was";
}

TEST(PngRead, ResolutionOnlyFromPhysInMetres) {
    struct Case {
        const char* Name;
        uint32_t X, Y;
        uint8_t Unit;
        int DpiX, DpiY;
    };
    const Case cases[] = {
        {"3780 per metre is 96 dpi", 3780, 3780, 1, 96, 96},
        {"2835 per metre is 72 dpi", 2835, 2835, 1, 72, 72},
        {"non-square pixels", 3780, 7559, 1, 96, 192},
        {"unit 0 gives the default resolution", 3780, 3780, 0, DefaultDpiX, DefaultDpiY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<uint8_t> phys;
        TPngBuilder::Append32(phys, c.X);
        TPngBuilder::Append32(phys, c.Y);
        phys.push_back(c.Unit);
        TIEBitmap bmp;
        auto res = Decode(TPngBuilder().IHDR(1, 1, 8, 0).Chunk("pHYs", phys).IDAT({{0}}).IEND().Bytes, bmp);
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(res.Params->DpiX(), c.DpiX);
        EXPECT_EQ(res.Params->DpiY(), c.DpiY);
    }
}

TEST(PngRead, TextChunksOfEveryKindBeforeAndAfterTheImage) {
    std::vector<uint8_t> ztxt = Text("Comment");
    ztxt.insert(ztxt.end(), {0, 0});
    auto packed = TPngBuilder::Deflate(Text("packed text"));
    ztxt.insert(ztxt.end(), packed.begin(), packed.end());
    std::vector<uint8_t> itxt = Text("Author");
    itxt.insert(itxt.end(), {0, 0, 0}); // keyword end, uncompressed, method 0
    itxt.insert(itxt.end(), {0, 0});    // no language, no translated keyword
    auto author = Text("J\xc3\xb6rg");
    itxt.insert(itxt.end(), author.begin(), author.end());
    auto tEXt = Text("Title");
    tEXt.push_back(0);
    auto title = Text("A title");
    tEXt.insert(tEXt.end(), title.begin(), title.end());
    auto file = TPngBuilder()
                    .IHDR(1, 1, 8, 0)
                    .Chunk("tEXt", tEXt)
                    .Chunk("zTXt", ztxt)
                    .IDAT({{0}})
                    .Chunk("iTXt", itxt)
                    .IEND()
                    .Bytes;
    TIEBitmap bmp;
    auto res = Decode(file, bmp);
    ASSERT_FALSE(res.Aborted) << res.Reason;
    EXPECT_EQ(res.Params->PngTextKeys, (std::vector<std::string>{"Title", "Comment", "Author"}));
    EXPECT_EQ(res.Params->PngTextValues, (std::vector<std::string>{"A title", "packed text", "J\xc3\xb6rg"}));
}

// ---- hostile input ---------------------------------------------------------------

namespace {

// A file written by libpng's simplified API (independent of our writer).
std::vector<uint8_t> SimplePng(int w, int h, png_uint_32 format) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(w);
    image.height = png_uint_32(h);
    image.format = format;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 7 + i / 13);
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
    std::vector<uint8_t> out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr));
    out.resize(size);
    return out;
}

// Offset just past the last IDAT chunk (its CRC included).
size_t EndOfLastIdat(const std::vector<uint8_t>& f) {
    size_t pos = 8, end = 0;
    while (pos + 12 <= f.size()) {
        size_t len = size_t(f[pos]) << 24 | size_t(f[pos + 1]) << 16 | size_t(f[pos + 2]) << 8 | f[pos + 3];
        if (std::memcmp(&f[pos + 4], "IDAT", 4) == 0) end = pos + 12 + len;
        pos += 12 + len;
    }
    return end;
}

// Throws the way a failing file stream does once `limit` bytes were read.
class TFailingStream : public TMemoryViewStream {
  public:
    TFailingStream(const std::vector<uint8_t>& d, int64_t limit) : TMemoryViewStream(d.data(), d.size()), limit_(limit) {}
    int64_t Read(void* buffer, int64_t count) override {
        if (Position() + count > limit_) throw EReadError("Stream read error");
        return TMemoryViewStream::Read(buffer, count);
    }

  private:
    int64_t limit_;
};

} // namespace

TEST(PngHostile, TruncatedFilesFailCleanlyUntilOnlyTrailingChunksAreMissing) {
    struct Source {
        std::string Name;
        std::vector<uint8_t> Data;
    };
    std::vector<Source> sources = {{"RGBA 17 x 11", SimplePng(17, 11, PNG_FORMAT_RGBA)},
                                   {"gray 9 x 5", SimplePng(9, 5, PNG_FORMAT_GRAY)}};
    std::string corpus = CorpusDir();
    if (!corpus.empty())
        for (const char* n : {"pngsuite__basi6a08.png", "pngsuite__basi3p02.png", "pngsuite__ct1n0g04.png"})
            sources.push_back({n, ReadFile(corpus + "/files/png/" + n)});
    for (const auto& src : sources) {
        SCOPED_TRACE(src.Name);
        TIEBitmap full;
        ASSERT_FALSE(Decode(src.Data, full).Aborted);
        TRgbaImage want = BitmapToRgba(full);
        size_t boundary = EndOfLastIdat(src.Data);
        ASSERT_GT(boundary, 0u);
        for (size_t len = 0; len < src.Data.size(); ++len) {
            SCOPED_TRACE("first " + std::to_string(len) + " bytes");
            std::vector<uint8_t> part(src.Data.begin(), src.Data.begin() + std::ptrdiff_t(len));
            TIEBitmap bmp;
            auto res = Decode(part, bmp);
            if (len < boundary) {
                EXPECT_TRUE(res.Aborted);
                EXPECT_EQ(res.Reason.rfind("PNG: ", 0), 0u) << res.Reason;
            } else {
                EXPECT_FALSE(res.Aborted) << res.Reason;
                EXPECT_EQ(CompareRgba(BitmapToRgba(bmp), want), "");
            }
        }
    }
}

TEST(PngHostile, HugeHeadersInTinyFilesAreRefusedBeforeAllocation) {
    struct Case {
        const char* Name;
        uint32_t W, H;
        const char* ReasonPart;
    };
    const Case cases[] = {
        {"100000 x 100000 exceeds the pixel limit", 100000, 100000, "exceeds the limit"},
        {"16000 x 16000 cannot come from a few bytes", 16000, 16000, "bytes left in the file"},
        {"2000000 x 1 cannot come from a few bytes", 2000000, 1, "bytes left in the file"},
        {"beyond the side limit, where libpng speaks first", 20000000, 1, "exceeds user limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto file = TPngBuilder().IHDR(c.W, c.H, 8, 2).IDATRaw(std::vector<uint8_t>(64, 0)).IEND().Bytes;
        TIEBitmap bmp;
        auto res = Decode(file, bmp);
        EXPECT_TRUE(res.Aborted);
        EXPECT_NE(res.Reason.find(c.ReasonPart), std::string::npos) << res.Reason;
        EXPECT_TRUE(bmp.IsEmpty());
    }
}

TEST(PngHostile, ChunksLongerThanTheFileStopBeforeTheirDataIsAllocated) {
    // A chunk header declaring `declared` bytes of which only a few follow.
    auto cut = [](TPngBuilder b, const char* type, uint32_t declared) {
        TPngBuilder::Append32(b.Bytes, declared);
        b.Bytes.insert(b.Bytes.end(), type, type + 4);
        b.Bytes.insert(b.Bytes.end(), {'T', 'i', 't', 'l', 'e', 0, 'x'});
        return b.Bytes;
    };
    auto image = [] { return TPngBuilder().IHDR(2, 2, 8, 0); };
    struct Case {
        const char* Name;
        std::vector<uint8_t> File;
        bool Aborted;
        const char* Reason;
    };
    const Case cases[] = {
        {"tEXt declaring 2 GB before the image data", cut(image(), "tEXt", 0x789C0038), true,
         "PNG: the tEXt chunk runs past the end of the file"},
        {"iCCP one byte longer than the file", cut(image(), "iCCP", 8), true,
         "PNG: the iCCP chunk runs past the end of the file"},
        {"tEXt declaring 2 GB after the image data", cut(image().IDAT({{1, 2}, {3, 4}}), "tEXt", 0x7FFFFFFF), false,
         ""},
        // IDAT is read in pieces as libpng needs them: no early stop, the end of the file comes first.
        {"IDAT declaring more than the file holds", [&image] {
             auto b = image().IDAT({{1, 2}, {3, 4}}).Bytes;
             b[33 + 3] = 0xFF; // the IDAT length field follows the 8-byte signature and 25-byte IHDR
             return b;
         }(), true, "PNG: unexpected end of file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TIEBitmap bmp;
        auto res = Decode(c.File, bmp);
        EXPECT_EQ(res.Aborted, c.Aborted) << res.Reason;
        if (c.Aborted) {
            EXPECT_EQ(res.Reason, c.Reason);
        } else {
            EXPECT_EQ(CompareRgba(BitmapToRgba(bmp), FromList(2, 2, {{1, 1, 1, 255}, {2, 2, 2, 255},
                                                                     {3, 3, 3, 255}, {4, 4, 4, 255}})),
                      "");
        }
    }
}

TEST(PngHostile, ImageDataThatInflatesFarBeyondTheImageStops) {
    // 1 x 1 gray pixel followed by 20 MB more of zeros in the same zlib stream.
    std::vector<uint8_t> raw(20u << 20, 0);
    auto file = TPngBuilder().IHDR(1, 1, 8, 0).IDATRaw(raw).IEND().Bytes;
    TIEBitmap bmp;
    auto res = Decode(file, bmp);
    EXPECT_EQ(bmp.Width(), 1);
    EXPECT_EQ(bmp.Height(), 1);
    if (res.Aborted) {
        EXPECT_EQ(res.Reason.rfind("PNG: ", 0), 0u) << res.Reason;
    }
}

TEST(PngHostile, StreamExceptionsPassThroughLibpngUntouched) {
    auto file = SimplePng(17, 11, PNG_FORMAT_RGBA);
    for (int64_t limit : {int64_t(4), int64_t(40), int64_t(file.size() / 2)}) {
        SCOPED_TRACE("fails after " + std::to_string(limit) + " bytes");
        TFailingStream stream(file, limit);
        TIEBitmap bmp;
        bool aborted = false;
        TIEProgressRecord progress;
        progress.AbortFlag = &aborted;
        TIOParamsVals params;
        EXPECT_THROW(PngReadStream(stream, bmp, params, false, progress), EReadError);
    }
}

TEST(PngRead, ParamsDescribeTheFileAsStored) {
    std::vector<uint8_t> plte16;
    for (int i = 0; i < 16; ++i) plte16.insert(plte16.end(), {uint8_t(i), uint8_t(16 * i), uint8_t(255 - i)});
    auto pal4 = TPngBuilder().IHDR(2, 1, 4, 3).Chunk("PLTE", plte16).IDAT({{0x1F}}).IEND().Bytes;
    for (bool paramsOnly : {false, true}) {
        SCOPED_TRACE(paramsOnly ? "parameters only" : "full read");
        TIEBitmap bmp;
        auto res = Decode(pal4, bmp, false, paramsOnly);
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(res.Params->Width, 2);
        EXPECT_EQ(res.Params->Height, 1);
        EXPECT_EQ(res.Params->BitsPerSample, 4);
        EXPECT_EQ(res.Params->SamplesPerPixel, 1);
        ASSERT_EQ(res.Params->ColorMapCount(), 16);
        EXPECT_EQ(res.Params->ColorMap[15], MakeRGB(15, 240, 240)); // stored B, G, R
        EXPECT_FALSE(res.Params->PngInterlaced);
        if (paramsOnly) {
            EXPECT_TRUE(bmp.IsEmpty());
        } else {
            EXPECT_EQ(bmp.PixelFormat(), ie24RGB);
            EXPECT_EQ(CompareRgba(BitmapToRgba(bmp), FromList(2, 1, {{1, 16, 254, 255}, {15, 240, 240, 255}})), "");
        }
    }
    // A gray file releases the palette of an earlier read.
    TIEBitmap bmp;
    auto res = Decode(TPngBuilder().IHDR(1, 1, 16, 4).IDAT({{0, 0, 0, 0}}).IEND().Bytes, bmp);
    EXPECT_EQ(res.Params->ColorMapCount(), 0);
    EXPECT_EQ(res.Params->BitsPerSample, 16);
    EXPECT_EQ(res.Params->SamplesPerPixel, 2);
}

TEST(PngRead, InterlacedFilesReportProgressOverSevenPasses) {
    std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "corpus absent";
    TIEBitmap inter, plain;
    auto a = Decode(ReadFile(corpus + "/files/png/pngsuite__basi4a08.png"), inter);
    auto b = Decode(ReadFile(corpus + "/files/png/pngsuite__basn4a08.png"), plain);
    ASSERT_FALSE(a.Aborted || b.Aborted);
    EXPECT_TRUE(a.Params->PngInterlaced);
    EXPECT_FALSE(b.Params->PngInterlaced);
    EXPECT_EQ(a.Counter, 7 * 32);
    EXPECT_EQ(a.LastPercent, 100);
    EXPECT_EQ(CompareRgba(BitmapToRgba(inter), BitmapToRgba(plain)), "");
}

// ---- writing --------------------------------------------------------------------------

namespace {

struct TEncodeResult {
    std::vector<uint8_t> Bytes;
    bool Aborted = false;
    std::string Reason;
    int Counter = 0;
    int LastPercent = -1;
};

TEncodeResult Encode(TIEBitmap& bmp, TIOParamsVals& params, const TIEMask* mask) {
    TEncodeResult res;
    TIEProgressRecord progress;
    progress.AbortFlag = &res.Aborted;
    progress.AbortReason = &res.Reason;
    progress.Handler = [&res](void*, int percent) { res.LastPercent = percent; };
    TMemoryStream stream;
    PngWriteStream(stream, bmp, params, mask, progress);
    res.Bytes = stream.Data();
    res.Counter = progress.Counter;
    return res;
}

// The data of the first chunk of that type; empty when absent.
std::vector<uint8_t> ChunkData(const std::vector<uint8_t>& f, const char* type, int nth = 0) {
    size_t pos = 8;
    while (pos + 12 <= f.size()) {
        size_t len = size_t(f[pos]) << 24 | size_t(f[pos + 1]) << 16 | size_t(f[pos + 2]) << 8 | f[pos + 3];
        if (std::memcmp(&f[pos + 4], type, 4) == 0 && nth-- == 0)
            return {f.begin() + std::ptrdiff_t(pos + 8), f.begin() + std::ptrdiff_t(pos + 8 + len)};
        pos += 12 + len;
    }
    return {};
}
int ChunkCount(const std::vector<uint8_t>& f, const char* type) {
    int n = 0;
    while (!ChunkData(f, type, n).empty()) ++n;
    return n;
}

bool DecodeIndependently(const std::vector<uint8_t>& f, TRgbaImage& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, f.data(), f.size())) return false;
    image.format = PNG_FORMAT_RGBA;
    out.Width = int(image.width);
    out.Height = int(image.height);
    out.Pixels.assign(PNG_IMAGE_SIZE(image), 0);
    bool ok = png_image_finish_read(&image, nullptr, out.Pixels.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

// Fully transparent pixels keep no colour: set it to zero on both sides before comparing.
TRgbaImage VisibleOnly(TRgbaImage img) {
    for (size_t i = 0; i < img.Pixels.size(); i += 4)
        if (img.Pixels[i + 3] == 0) img.Pixels[i] = img.Pixels[i + 1] = img.Pixels[i + 2] = 0;
    return img;
}

// Test images, 6 x 4. Colours are chosen so that every format can hold them.
std::unique_ptr<TIEBitmap> MakeImage(TIEPixelFormat f) {
    auto b = std::make_unique<TIEBitmap>(6, 4, f);
    static const TRGB colours[] = {MakeRGB(255, 0, 0), MakeRGB(0, 128, 0), MakeRGB(0, 0, 255),
                                   MakeRGB(255, 255, 0), MakeRGB(10, 20, 30), MakeRGB(255, 255, 255)};
    if (f == ie8p)
        for (int i = 0; i < 6; ++i) b->SetPaletteColor(i, colours[i]);
    for (int y = 0; y < 4; ++y) {
        uint8_t* row = b->Scanline(y);
        for (int x = 0; x < 6; ++x) {
            int k = (x + y) % 6;
            switch (f) {
            case ie1g:
                if (k % 2) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
                else row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
                break;
            case ie8p: row[x] = uint8_t(k); break;
            case ie8g: row[x] = uint8_t(k * 50); break;
            case ie16g: row[2 * x] = uint8_t(k * 17), row[2 * x + 1] = uint8_t(k * 40); break;
            default: std::memcpy(row + 3 * x, &colours[k], 3); break;
            }
        }
    }
    return b;
}

std::unique_ptr<TIEBitmap> Solid(TRGB c) {
    auto b = std::make_unique<TIEBitmap>(6, 4, ie24RGB);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) std::memcpy(b->Scanline(y) + 3 * x, &c, 3);
    return b;
}

// A mask with fully transparent, translucent and opaque pixels.
std::unique_ptr<TIEMask> MakeMask(int w, int h) {
    auto m = std::make_unique<TIEMask>(w, h, 8);
    static const uint8_t values[] = {255, 0, 128, 255, 255, 30, 255};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) m->SetPixel(x, y, values[size_t(x + 2 * y) % 7]);
    return m;
}

// The bitmap with the mask as alpha, as RGBA.
TRgbaImage Expected(TIEBitmap& bmp, const TIEMask* mask) {
    TRgbaImage img = BitmapToRgba(bmp);
    if (mask)
        for (int y = 0; y < img.Height; ++y)
            for (int x = 0; x < img.Width; ++x)
                img.Pixels[(size_t(y) * size_t(img.Width) + size_t(x)) * 4 + 3] = uint8_t(mask->GetPixel(x, y));
    return img;
}

// The 16-bit gray samples of a file, by libpng's simplified reader (no gamma: none in the file).
std::vector<uint16_t> Gray16Independently(const std::vector<uint8_t>& f) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    std::vector<uint16_t> out;
    if (!png_image_begin_read_from_memory(&image, f.data(), f.size())) return out;
    image.format = PNG_FORMAT_LINEAR_Y;
    out.assign(PNG_IMAGE_SIZE(image) / 2, 0);
    if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) out.clear();
    png_image_free(&image);
    return out;
}

} // namespace

TEST(PngWrite, ColourTypeDepthAndPaletteFollowTheImageAndParameters) {
    struct Case {
        const char* Name;
        std::function<std::unique_ptr<TIEBitmap>()> Image;
        bool Mask;
        int Samples, Bits;
        int ColorType, Depth;
        bool Trns;
        bool Native;               // read back with NativePixelFormat
        TIEPixelFormat ReadFormat; // what our reader gives back
    };
    auto img = [](TIEPixelFormat f) { return [f] { return MakeImage(f); }; };
    auto gray24 = [] {
        auto b = MakeImage(ie24RGB);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 18; ++x) b->Scanline(y)[x] = uint8_t(x * 13 + y);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) b->Scanline(y)[3 * x + 1] = b->Scanline(y)[3 * x + 2] = b->Scanline(y)[3 * x];
        return b;
    };
    const std::vector<Case> cases = {
        {"RGB", img(ie24RGB), false, 3, 8, 2, 8, false, false, ie24RGB},
        {"RGB with alpha", img(ie24RGB), true, 3, 8, 6, 8, false, false, ie24RGB},
        {"RGB with alpha as palette", img(ie24RGB), true, 1, 8, 3, 8, true, false, ie24RGB},
        {"RGB with alpha as palette, read natively", img(ie24RGB), true, 1, 8, 3, 8, true, true, ie8p},
        {"palette image with alpha", img(ie8p), true, 1, 8, 3, 8, true, true, ie8p},
        {"palette image", img(ie8p), false, 1, 8, 3, 8, false, true, ie8p},
        {"RGB as palette", img(ie24RGB), false, 1, 8, 3, 8, false, false, ie24RGB},
        {"gray 8", img(ie8g), false, 1, 8, 0, 8, false, true, ie8g},
        {"gray 16", img(ie16g), false, 1, 16, 0, 16, false, true, ie16g},
        {"gray pixels in 24 bits", gray24, false, 1, 8, 0, 8, false, false, ie24RGB},
        {"1-bit", img(ie1g), false, 1, 1, 0, 1, false, false, ie1g},
        {"1-bit image as RGB", img(ie1g), false, 3, 8, 2, 8, false, false, ie24RGB},
        {"gray 8 as RGB", img(ie8g), false, 3, 8, 2, 8, false, false, ie24RGB},
        {"4 bits per sample become an 8-bit palette", img(ie24RGB), false, 1, 4, 3, 8, false, false, ie24RGB},
        {"a 16-bit palette cannot exist: 8-bit palette", img(ie24RGB), false, 1, 16, 3, 8, false, false, ie24RGB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto bmp = c.Image();
        auto mask = c.Mask ? MakeMask(6, 4) : nullptr;
        TIOParamsVals params;
        params.SamplesPerPixel = c.Samples;
        params.BitsPerSample = c.Bits;
        auto res = Encode(*bmp, params, mask.get());
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(res.LastPercent, 100);
        auto ihdr = ChunkData(res.Bytes, "IHDR");
        ASSERT_EQ(ihdr.size(), 13u);
        EXPECT_EQ(ihdr[9], c.ColorType);
        EXPECT_EQ(ihdr[8], c.Depth);
        EXPECT_EQ(ChunkCount(res.Bytes, "tRNS"), c.Trns ? 1 : 0);
        if (c.Bits == 4) {
            EXPECT_EQ(params.BitsPerSample, 8);
        }

        TRgbaImage want = VisibleOnly(Expected(*bmp, mask.get()));
        if (c.Depth == 16) {
            std::vector<uint16_t> words;
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 6; ++x) words.push_back(uint16_t(bmp->Scanline(y)[2 * x] | bmp->Scanline(y)[2 * x + 1] << 8));
            EXPECT_EQ(Gray16Independently(res.Bytes), words) << "libpng's simplified reader";
        } else {
            TRgbaImage independent;
            ASSERT_TRUE(DecodeIndependently(res.Bytes, independent));
            EXPECT_EQ(CompareRgba(VisibleOnly(independent), want), "") << "libpng's simplified reader";
        }
        TIEBitmap back;
        auto read = Decode(res.Bytes, back, c.Native);
        ASSERT_FALSE(read.Aborted) << read.Reason;
        EXPECT_EQ(back.PixelFormat(), c.ReadFormat);
        EXPECT_EQ(CompareRgba(VisibleOnly(BitmapToRgba(back)), want), "") << "our reader";
        if (c.ReadFormat == ie16g || (c.ReadFormat == ie8p && !c.Mask)) {
            size_t bytes = c.ReadFormat == ie16g ? 12 : 6; // the words, or the palette indices
            for (int y = 0; y < 4; ++y)
                EXPECT_EQ(std::memcmp(back.Scanline(y), bmp->Scanline(y), bytes), 0) << "row " << y;
        }
    }
}

TEST(PngWrite, OneBitOutputOnlyWhenNothingIsLost) {
    struct Case {
        const char* Name;
        std::unique_ptr<TIEBitmap> Image;
        int BitDepth, ColorType; // of the file written
        TRgbaList FirstRow;      // expected first row after writing and reading back
    };
    const uint8_t W = 255;
    auto redWhite = Solid(MakeRGB(255, 255, 255));
    for (int x = 0; x < 6; x += 2) std::memcpy(redWhite->Scanline(0) + 3 * x, "\x00\x00\xff", 3); // red (B, G, R)
    auto blackWhite = Solid(MakeRGB(255, 255, 255));
    for (int x = 0; x < 6; x += 2) std::memcpy(blackWhite->Scanline(0) + 3 * x, "\x00\x00\x00", 3);
    std::vector<Case> cases;
    // Colours other than black and white (a 1-bit palette file brings such a request with
    // it) go out as a palette instead of turning into black and white.
    cases.push_back({"red and white keep their colours", std::move(redWhite), 8, 3,
                     {{W, 0, 0, W}, {W, W, W, W}, {W, 0, 0, W}, {W, W, W, W}, {W, 0, 0, W}, {W, W, W, W}}});
    cases.push_back({"solid dark blue stays dark blue", Solid(MakeRGB(0, 0, 200)), 8, 3, TRgbaList(6, {0, 0, 200, W})});
    cases.push_back({"black and white", std::move(blackWhite), 1, 0,
                     {{0, 0, 0, W}, {W, W, W, W}, {0, 0, 0, W}, {W, W, W, W}, {0, 0, 0, W}, {W, W, W, W}}});
    cases.push_back({"solid black stays black", Solid(MakeRGB(0, 0, 0)), 1, 0, TRgbaList(6, {0, 0, 0, W})});
    cases.push_back({"solid white stays white", Solid(MakeRGB(255, 255, 255)), 1, 0, TRgbaList(6, {W, W, W, W})});
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TIOParamsVals params;
        params.SamplesPerPixel = 1;
        params.BitsPerSample = 1;
        auto res = Encode(*c.Image, params, nullptr);
        ASSERT_FALSE(res.Aborted) << res.Reason;
        auto ihdr = ChunkData(res.Bytes, "IHDR");
        EXPECT_EQ(ihdr[8], c.BitDepth);
        EXPECT_EQ(ihdr[9], c.ColorType);
        TIEBitmap back;
        ASSERT_FALSE(Decode(res.Bytes, back).Aborted);
        TRgbaImage got = BitmapToRgba(back);
        got.Height = 1;
        got.Pixels.resize(6 * 4);
        EXPECT_EQ(CompareRgba(got, FromList(6, 1, c.FirstRow)), "");
    }
}

TEST(PngWrite, PaletteWithTooManyColourAlphaPairsStillKeepsTransparency) {
    // 500 visible distinct colours: more than one palette holds, so the image is quantised and
    // every pixel below full opacity becomes the transparent entry 0.
    TIEBitmap bmp(30, 20, ie24RGB);
    TIEMask mask(30, 20, 8);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            int k = y * 30 + x;
            uint8_t* p = bmp.Scanline(y) + 3 * x;
            p[0] = uint8_t(k), p[1] = uint8_t(k >> 8) * 100, p[2] = uint8_t(255 - k % 256);
            mask.SetPixel(x, y, x < 5 ? 0 : x < 8 ? 200 : 255);
        }
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    auto res = Encode(bmp, params, &mask);
    ASSERT_FALSE(res.Aborted) << res.Reason;
    EXPECT_EQ(ChunkData(res.Bytes, "IHDR")[9], 3);
    EXPECT_EQ(ChunkData(res.Bytes, "tRNS"), std::vector<uint8_t>{0});
    EXPECT_EQ(ChunkData(res.Bytes, "PLTE").size(), 256u * 3);
    TIEBitmap back;
    ASSERT_FALSE(Decode(res.Bytes, back).Aborted);
    ASSERT_TRUE(back.HasAlphaChannel());
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) ASSERT_EQ(back.AlphaChannel()->Scanline(y)[x], x < 8 ? 0 : 255) << x << "," << y;
}

TEST(PngWrite, ResolutionTextAndBackgroundRoundTrip) {
    auto bmp = MakeImage(ie24RGB);
    TIOParamsVals params;
    params.SetDpiX(96);
    params.SetDpiY(300);
    params.PngBackground = MakeRGB(10, 20, 30);
    params.PngTextKeys = {"Title", "", "Author", "Extra"};
    params.PngTextValues = {"A picture", "no keyword", "Someone"};
    auto res = Encode(*bmp, params, nullptr);
    ASSERT_FALSE(res.Aborted) << res.Reason;
    EXPECT_EQ(ChunkData(res.Bytes, "pHYs"), (std::vector<uint8_t>{0, 0, 0x0E, 0xC4, 0, 0, 0x2E, 0x23, 1}));
    EXPECT_EQ(ChunkData(res.Bytes, "bKGD"), (std::vector<uint8_t>{0, 10, 0, 20, 0, 30}));
    EXPECT_EQ(ChunkCount(res.Bytes, "tEXt"), 2) << "three keys and two values give two pairs, one without keyword";
    TIEBitmap back;
    auto read = Decode(res.Bytes, back);
    ASSERT_FALSE(read.Aborted);
    EXPECT_EQ(read.Params->DpiX(), 96);
    EXPECT_EQ(read.Params->DpiY(), 300);
    EXPECT_EQ(read.Params->PngBackground, MakeRGB(10, 20, 30));
    EXPECT_EQ(read.Params->PngTextKeys, (std::vector<std::string>{"Title", "Author"}));
    EXPECT_EQ(read.Params->PngTextValues, (std::vector<std::string>{"A picture", "Someone"}));
}

TEST(PngWrite, BackgroundRoundTripsForEveryOutputKind) {
    struct Case {
        const char* Name;
        TIEPixelFormat Format;
        bool Mask;
        int Samples, Bits;
        TRGB Background, ReadBack;
    };
    const Case cases[] = {
        {"palette: a colour of the image", ie24RGB, false, 1, 8, MakeRGB(255, 255, 0), MakeRGB(255, 255, 0)},
        {"palette: the nearest entry", ie24RGB, false, 1, 8, MakeRGB(250, 250, 5), MakeRGB(255, 255, 0)},
        {"palette with alpha: entry 0 itself", ie24RGB, true, 1, 8, MakeRGB(7, 8, 9), MakeRGB(7, 8, 9)},
        {"gray 8", ie8g, false, 1, 8, MakeRGB(77, 77, 77), MakeRGB(77, 77, 77)},
        {"gray 16", ie16g, false, 1, 16, MakeRGB(200, 200, 200), MakeRGB(200, 200, 200)},
        {"1-bit, light", ie1g, false, 1, 1, MakeRGB(200, 200, 200), MakeRGB(255, 255, 255)},
        {"RGB with alpha", ie24RGB, true, 3, 8, MakeRGB(1, 2, 250), MakeRGB(1, 2, 250)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto bmp = MakeImage(c.Format);
        auto mask = c.Mask ? MakeMask(6, 4) : nullptr;
        TIOParamsVals params;
        params.SamplesPerPixel = c.Samples;
        params.BitsPerSample = c.Bits;
        params.PngBackground = c.Background;
        auto res = Encode(*bmp, params, mask.get());
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(ChunkCount(res.Bytes, "bKGD"), 1);
        TIEBitmap back;
        auto read = Decode(res.Bytes, back);
        EXPECT_EQ(read.Params->PngBackground, c.ReadBack);
    }
}

TEST(PngWrite, InterlacingCompressionAndFiltersChangeOnlyTheEncoding) {
    auto bmp = MakeImage(ie24RGB);
    auto mask = MakeMask(6, 4);
    TRgbaImage want = Expected(*bmp, mask.get());
    struct Case {
        const char* Name;
        bool Interlaced;
        int32_t Compression;
        uint8_t Filter;
    };
    const Case cases[] = {
        {"defaults", false, 5, 0}, {"interlaced", true, 5, 0},     {"no compression", false, 0, 0},
        {"level 9", false, 9, 0},  {"level -1", false, -1, 0},     {"level 42", false, 42, 0},
        {"Sub", false, 5, 1},      {"Paeth", false, 5, 2},         {"libpng's choice", false, 5, 7},
        {"interlaced Paeth", true, 9, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TIOParamsVals params;
        params.PngInterlaced = c.Interlaced;
        params.PngCompression = c.Compression;
        params.PngFilter = c.Filter;
        auto res = Encode(*bmp, params, mask.get());
        ASSERT_FALSE(res.Aborted) << res.Reason;
        EXPECT_EQ(ChunkData(res.Bytes, "IHDR")[12], c.Interlaced ? 1 : 0);
        EXPECT_EQ(res.Counter, c.Interlaced ? 7 * 4 : 4);
        EXPECT_EQ(res.LastPercent, 100);
        TRgbaImage independent;
        ASSERT_TRUE(DecodeIndependently(res.Bytes, independent));
        EXPECT_EQ(CompareRgba(independent, want), "");
        TIEBitmap back;
        auto read = Decode(res.Bytes, back);
        ASSERT_FALSE(read.Aborted);
        EXPECT_EQ(read.Params->PngInterlaced, c.Interlaced);
        EXPECT_EQ(CompareRgba(BitmapToRgba(back), want), "");
    }
}

namespace {

// Accepts only the first `capacity` bytes.
class TFullStream : public TMemoryStream {
  public:
    explicit TFullStream(int64_t capacity) : capacity_(capacity) {}
    int64_t Write(const void* buffer, int64_t count) override {
        int64_t n = std::min(count, std::max<int64_t>(capacity_ - Size(), 0));
        return n > 0 ? TMemoryStream::Write(buffer, n) : 0;
    }

  private:
    int64_t capacity_;
};

class TBrokenStream : public TMemoryStream {
  public:
    int64_t Write(const void*, int64_t) override { throw EWriteError("Stream write error"); }
};

} // namespace

TEST(PngWrite, FailuresAreReportedTheirOwnWay) {
    auto bmp = MakeImage(ie24RGB);
    {
        SCOPED_TRACE("a stream that fills up: abort flag with a reason, no exception");
        TIEBitmap noise(200, 200, ie24RGB); // incompressible, so image data is written row by row
        uint32_t seed = 12345;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 600; ++x) noise.Scanline(y)[x] = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
        TFullStream stream(20000);
        TIOParamsVals params;
        bool aborted = false;
        std::string reason;
        TIEProgressRecord progress;
        progress.AbortFlag = &aborted;
        progress.AbortReason = &reason;
        PngWriteStream(stream, noise, params, nullptr, progress);
        EXPECT_TRUE(aborted);
        EXPECT_EQ(reason.rfind("PNG: ", 0), 0u) << reason;
        EXPECT_EQ(stream.Size(), 20000);
        EXPECT_LT(progress.Counter, 200) << "the row loop stops after the short write";
    }
    {
        SCOPED_TRACE("an empty bitmap: abort flag, nothing written");
        TIEBitmap empty;
        TIOParamsVals params;
        auto res = Encode(empty, params, nullptr);
        EXPECT_TRUE(res.Aborted);
        EXPECT_TRUE(res.Bytes.empty());
    }
    {
        SCOPED_TRACE("a size libpng refuses: EInvalidGraphic");
        TIEBitmap wide(1000001, 1, ie1g);
        TIOParamsVals params;
        params.SamplesPerPixel = 1;
        params.BitsPerSample = 1;
        try {
            Encode(wide, params, nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), "Error on creating PNG");
        }
    }
    {
        SCOPED_TRACE("a stream exception passes through libpng unchanged");
        TBrokenStream stream;
        TIOParamsVals params;
        bool aborted = false;
        TIEProgressRecord progress;
        progress.AbortFlag = &aborted;
        EXPECT_THROW(PngWriteStream(stream, *bmp, params, nullptr, progress), EWriteError);
    }
}

TEST(PngSignature, FirstFourBytesDecideAndThePositionIsKept) {
    struct Case {
        const char* Name;
        std::vector<uint8_t> Bytes;
        bool Expected;
    };
    const Case cases[] = {
        {"full signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0}, true},
        {"only the first four bytes count", {0x89, 'P', 'N', 'G', 0, 0, 0, 0, 0}, true},
        {"not PNG", {0x89, 'P', 'N', 'X', 0x0D, 0x0A, 0x1A, 0x0A, 0}, false},
        {"too short", {0x89, 'P', 'N', 'G'}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TMemoryStream stream(c.Bytes.data(), c.Bytes.size());
        stream.SetPosition(0);
        EXPECT_EQ(PngCheckSignature(stream), c.Expected);
        EXPECT_EQ(stream.Position(), 0);
    }
}
