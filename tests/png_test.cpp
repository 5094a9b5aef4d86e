// PNG codec: conformance against the PngSuite references, round trips, hostile input.
#include <png.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/pngdecode.h"
#include "helpers.h"
#include "image/bitmap.h"
#include "io/progress.h"
#include "io/stream.h"

using namespace tw;
using twtest::CorpusDir;
using twtest::ReadFile;

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

// One decode with a fresh progress record.
struct TDecodeResult {
    bool Aborted = false;
    std::string Reason;
    TPngFileInfo Info;
    int LastPercent = -1;
    int Reports = 0;
};

TDecodeResult Decode(const std::vector<uint8_t>& data, TIEBitmap& bmp, bool native = false) {
    TDecodeResult res;
    TIEProgressRecord progress;
    progress.AbortFlag = &res.Aborted;
    progress.AbortReason = &res.Reason;
    progress.Handler = [&res](void*, int percent) {
        res.LastPercent = percent;
        ++res.Reports;
    };
    TMemoryViewStream stream(data.data(), data.size());
    TPngDecodeOptions options;
    options.NativePixelFormat = native;
    PngDecode(stream, bmp, options, res.Info, progress);
    return res;
}

struct TManifestRow {
    std::string Name;   // file name under files/png
    std::string Expect; // valid, broken
    std::string What;
};

std::vector<TManifestRow> PngManifest(const std::string& corpus) {
    std::vector<TManifestRow> rows;
    std::ifstream in(corpus + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t')) f.push_back(cell);
        if (f.size() < 6 || f[1] != "png") continue;
        rows.push_back({f[0].substr(f[0].rfind('/') + 1), f[5], f[4]});
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
