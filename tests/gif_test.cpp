// GIF reader, load composition and writer: hand-built files for the block structure and
// the composition rules, the conformance corpus against its reference decodes and
// ImageMagick's coalesced frames, and round trips through our reader and ImageMagick.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/gif.h"
#include "codecs/giflzw.h"
#include "image/bitmap.h"
#include "image/mask.h"
#include "io/limits.h"
#include "io/params.h"
#include "io/progress.h"
#include "io/stream.h"
#include "tests/helpers.h"

using namespace tw;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

// ---- Building GIF files by hand ------------------------------------------------------

struct RGB {
    uint8_t r, g, b;
};

void Put16(Bytes& b, int v) {
    b.push_back(uint8_t(v & 0xFF));
    b.push_back(uint8_t((v >> 8) & 0xFF));
}

int TableBits(size_t entries) {
    int bits = 0;
    while ((size_t(2) << bits) < entries)
        ++bits;
    return bits;
}

void PutTable(Bytes& b, const std::vector<RGB>& table) {
    const size_t entries = size_t(2) << TableBits(table.size());
    for (size_t i = 0; i < entries; ++i) {
        RGB c = i < table.size() ? table[i] : RGB{0, 0, 0};
        b.insert(b.end(), {c.r, c.g, c.b});
    }
}

Bytes Lzw(const Bytes& indexes, int w, int h, int bits, bool interlaced) {
    TMemoryStream s;
    GifLzwEncode(s, h, w, bits, indexes.data(), interlaced);
    return s.Data();
}

// A GIF file assembled block by block.
class GifFile {
  public:
    GifFile(int sw, int sh, const std::vector<RGB>& global, int background = 0,
            const char* version = "GIF89a") {
        bytes_.assign(version, version + 6);
        Put16(bytes_, sw);
        Put16(bytes_, sh);
        bytes_.push_back(
            global.empty() ? 0 : uint8_t(0x80 | TableBits(global.size()) << 4 | TableBits(global.size())));
        bytes_.push_back(uint8_t(background));
        bytes_.push_back(0);
        if (!global.empty()) PutTable(bytes_, global);
        globalBits_ = global.empty() ? 0 : TableBits(global.size()) + 1;
    }
    GifFile& Gce(int disposal, bool transparent, int transparentIndex, int delay = 0) {
        bytes_.insert(bytes_.end(), {0x21, 0xF9, 4, uint8_t(disposal << 2 | (transparent ? 1 : 0))});
        Put16(bytes_, delay);
        bytes_.insert(bytes_.end(), {uint8_t(transparentIndex), 0});
        return *this;
    }
    GifFile& Extension(uint8_t label, const std::vector<std::string>& subBlocks) {
        bytes_.insert(bytes_.end(), {0x21, label});
        for (const std::string& s : subBlocks) {
            bytes_.push_back(uint8_t(s.size()));
            bytes_.insert(bytes_.end(), s.begin(), s.end());
        }
        bytes_.push_back(0);
        return *this;
    }
    GifFile& Comment(const std::vector<std::string>& subBlocks) { return Extension(0xFE, subBlocks); }
    GifFile& Image(int x, int y, int w, int h, const Bytes& indexes, bool interlaced = false,
                   const std::vector<RGB>& local = {}) {
        bytes_.push_back(0x2C);
        Put16(bytes_, x);
        Put16(bytes_, y);
        Put16(bytes_, w);
        Put16(bytes_, h);
        int bits = local.empty() ? globalBits_ : TableBits(local.size()) + 1;
        bytes_.push_back(
            uint8_t((local.empty() ? 0 : 0x80 | TableBits(local.size())) | (interlaced ? 0x40 : 0)));
        if (!local.empty()) PutTable(bytes_, local);
        Bytes data = Lzw(indexes, w, h, std::max(bits, 2), interlaced);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    GifFile& Raw(const Bytes& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    Bytes Done() const {
        Bytes b = bytes_;
        b.push_back(0x3B);
        return b;
    }

  private:
    Bytes bytes_;
    int globalBits_ = 0;
};

const std::vector<RGB> kFour = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

// ---- Reading --------------------------------------------------------------------------

struct Loaded {
    TIEBitmap bitmap;
    TIOParamsVals params;
    TGifReadResult result;
    bool aborted = false;
    std::string reason;
};

enum class How { Frame, Composed };

void Load(Loaded& l, const Bytes& file, How how, int index = 0, bool native = false, bool preview = false,
          bool ignoreTransparency = false, bool device = false) {
    if (device) l.bitmap.SetLocation(ieTBitmap); // as the program's working image
    TMemoryViewStream s(file.data(), file.size());
    TIEProgressRecord p;
    p.AbortFlag = &l.aborted;
    p.AbortReason = &l.reason;
    l.params.SetImageIndex(index);
    l.params.NativePixelFormat = native;
    if (how == How::Frame)
        l.result = GifReadStream(s, l.bitmap, l.params, p, preview, ignoreTransparency);
    else
        l.result = GifLoadComposed(s, l.bitmap, l.params, p);
}

// The loaded picture as RGBA bytes, top row first.
Bytes Rgba(TIEBitmap& b, const TIEMask* plane) {
    Bytes out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            TRGB c = b.GetPixelRGB(x, y);
            out.insert(out.end(), {c.r, c.g, c.b, uint8_t(plane ? plane->GetPixel(x, y) : 255)});
        }
    return out;
}

std::string Hex(const Bytes& rgba) {
    std::string s;
    char buf[12];
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
        std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x ", rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]);
        s += buf;
    }
    return s;
}

// RGBA of hand-written pixels: colours as {r, g, b, a}.
Bytes Px(std::initializer_list<std::array<int, 4>> pixels) {
    Bytes out;
    for (auto& p : pixels)
        out.insert(out.end(), {uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2]), uint8_t(p[3])});
    return out;
}

// ---- Reference images -------------------------------------------------------------------

struct RefImage {
    int w = 0, h = 0;
    Bytes rgba;
};

bool LoadPng(const std::string& path, RefImage& out) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGBA;
    out.w = int(img.width);
    out.h = int(img.height);
    out.rgba.assign(PNG_IMAGE_SIZE(img), 0);
    if (!png_image_finish_read(&img, nullptr, out.rgba.data(), 0, nullptr)) {
        png_image_free(&img);
        return false;
    }
    return true;
}

// Compares our RGBA picture (w × h) with the reference's rectangle at (x0, y0):
// alpha must match, colours only where the pixel is visible. Returns the number of
// differing pixels; a picture that does not fit the reference counts as all differing.
int64_t Differences(const Bytes& ours, int w, int h, const RefImage& ref, int x0 = 0, int y0 = 0,
                    std::string* first = nullptr) {
    int64_t diff = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int rx = x0 + x, ry = y0 + y;
            if (rx >= ref.w || ry >= ref.h) continue; // outside the reference's screen
            const uint8_t* a = &ours[(size_t(y) * size_t(w) + size_t(x)) * 4];
            const uint8_t* b = &ref.rgba[(size_t(ry) * size_t(ref.w) + size_t(rx)) * 4];
            bool same = a[3] == b[3] && (a[3] == 0 || (a[0] == b[0] && a[1] == b[1] && a[2] == b[2]));
            if (!same) {
                if (diff == 0 && first) {
                    char buf[128];
                    std::snprintf(buf, sizeof buf, "(%d,%d) ours %02x%02x%02x%02x ref %02x%02x%02x%02x", x, y,
                                  a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]);
                    *first = buf;
                }
                ++diff;
            }
        }
    return diff;
}

std::string ConvertTool() {
    static const std::string tool = [] {
        for (const char* c : {"/usr/bin/convert", "convert"}) {
            std::string cmd = std::string(c) + " -version >/dev/null 2>&1";
            if (std::system(cmd.c_str()) == 0) return std::string(c);
        }
        return std::string();
    }();
    return tool;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

} // namespace

// ========================================================================================
// Block walker
// ========================================================================================

TEST(GifBlocks, ExtensionsAreWalkedAndCommentsCollected) {
    const Bytes one = {1};
    struct Case {
        const char* name;
        Bytes file;
        int count;
        std::vector<std::string> comments;
    };
    const Case cases[] = {
        {"comment with two sub-blocks",
         GifFile(1, 1, kFour).Comment({"first", "second"}).Image(0, 0, 1, 1, one).Done(),
         1,
         {"first", "second"}},
        {"text stops at a NUL, empty sub-blocks give no line",
         GifFile(1, 1, kFour)
             .Comment({std::string("ab\0cd", 5), std::string("\0x", 2)})
             .Image(0, 0, 1, 1, one)
             .Done(),
         1,
         {"ab"}},
        {"comments before and after the image, and between frames",
         GifFile(1, 1, kFour)
             .Comment({"a"})
             .Image(0, 0, 1, 1, one)
             .Comment({"b"})
             .Image(0, 0, 1, 1, one)
             .Comment({"c"})
             .Done(),
         2,
         {"a", "b", "c"}},
        {"application extension (looping) and XMP-like data",
         GifFile(1, 1, kFour)
             .Extension(0xFF, {"NETSCAPE2.0", std::string("\1\0\0", 3)})
             .Extension(0xFF, {"XMP DataXMP", std::string(255, 'x'), std::string(200, '\1')})
             .Image(0, 0, 1, 1, one)
             .Done(),
         1,
         {}},
        {"plain text and unknown labels",
         GifFile(1, 1, kFour)
             .Extension(0x01, {std::string(12, '\0'), "hello"})
             .Extension(0x2A, {"????"})
             .Image(0, 0, 1, 1, one)
             .Done(),
         1,
         {}},
        {"stray bytes between blocks",
         GifFile(1, 1, kFour)
             .Raw({0x00, 0x17, 0xFF})
             .Image(0, 0, 1, 1, one)
             .Raw({0x00})
             .Image(0, 0, 1, 1, one)
             .Done(),
         2,
         {}},
        {"graphic control with a longer block",
         GifFile(1, 1, kFour)
             .Raw({0x21, 0xF9, 6, 1, 0, 0, 3, 9, 9, 2, 7, 7, 0})
             .Image(0, 0, 1, 1, one)
             .Done(),
         1,
         {}},
        {"no trailer",
         [&] {
             Bytes b = GifFile(1, 1, kFour).Image(0, 0, 1, 1, one).Done();
             b.pop_back();
             return b;
         }(),
         1,
         {}},
        {"GIF87a", GifFile(1, 1, kFour, 0, "GIF87a").Image(0, 0, 1, 1, one).Done(), 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded l;
        Load(l, c.file, How::Frame);
        EXPECT_FALSE(l.aborted) << l.reason;
        EXPECT_EQ(l.result.ImageCount, c.count);
        EXPECT_EQ(l.params.GifImageCount, c.count);
        EXPECT_EQ(l.params.ImageCount, c.count);
        EXPECT_EQ(l.params.GifComments, c.comments);
        ASSERT_EQ(l.bitmap.Width(), 1);
        EXPECT_EQ(l.bitmap.GetPixelRGB(0, 0), MakeRGB(0, 255, 0));
    }
}

TEST(GifBlocks, GraphicControlBelongsToTheImageAfterIt) {
    // Frame 0 without control data, frame 1 with disposal 3, delay 7 and transparent index 2.
    const Bytes file = GifFile(4, 2, kFour)
                           .Image(0, 0, 2, 1, {0, 1})
                           .Gce(3, true, 2, 7)
                           .Image(2, 1, 2, 1, {2, 3}, true)
                           .Done();
    struct Case {
        int index;
        int x, y, delay, disposal;
        bool transparency, interlaced;
        RGB transparent;
    };
    for (const Case& c :
         {Case{0, 0, 0, 0, 0, false, false, {255, 0, 0}}, Case{1, 2, 1, 7, 3, true, true, {0, 0, 255}}}) {
        SCOPED_TRACE(c.index);
        Loaded l;
        Load(l, file, How::Frame, c.index);
        EXPECT_FALSE(l.aborted) << l.reason;
        EXPECT_EQ(l.params.GifXPos, c.x);
        EXPECT_EQ(l.params.GifYPos, c.y);
        EXPECT_EQ(l.params.GifDelayTime, c.delay);
        EXPECT_EQ(l.params.GifDisposal, c.disposal);
        EXPECT_EQ(l.params.GifHasTransparency, c.transparency);
        EXPECT_EQ(l.params.GifInterlaced, c.interlaced);
        EXPECT_EQ(l.params.GifTransparentColor, MakeRGB(c.transparent.r, c.transparent.g, c.transparent.b));
        EXPECT_EQ(l.params.Width, 2);
        EXPECT_EQ(l.params.Height, 1);
        EXPECT_EQ(l.params.GifScreenWidth, 4);
        EXPECT_EQ(l.params.GifScreenHeight, 2);
        EXPECT_EQ(l.result.ImageCount, 2);
        EXPECT_EQ(l.params.BitsPerSample, 2);
        EXPECT_EQ(l.params.SamplesPerPixel, 1);
        EXPECT_EQ(l.params.ColorMapCount(), 4);
        EXPECT_EQ(l.params.DpiX(), 300);
        EXPECT_EQ(l.params.GifVersion, "GIF89a");
    }
}

TEST(GifBlocks, FrameIndexBeyondTheCountLoadsNothing) {
    const Bytes file = GifFile(2, 1, kFour).Image(0, 0, 2, 1, {0, 1}).Done();
    Loaded l;
    Load(l, file, How::Frame, 5);
    EXPECT_FALSE(l.aborted);
    EXPECT_EQ(l.result.ImageCount, 1);
    EXPECT_TRUE(l.bitmap.IsEmpty());
    EXPECT_EQ(l.params.GifImageIndex, 5);
}

TEST(GifBlocks, PreviewFillsTheRecordOnly) {
    const Bytes file = GifFile(9, 9, kFour, 3).Gce(2, true, 1).Image(1, 2, 3, 4, Bytes(12, 1)).Done();
    Loaded l;
    Load(l, file, How::Frame, 0, false, true);
    EXPECT_FALSE(l.aborted) << l.reason;
    EXPECT_TRUE(l.bitmap.IsEmpty());
    EXPECT_EQ(l.result.Transparency, nullptr);
    EXPECT_EQ(l.params.Width, 3);
    EXPECT_EQ(l.params.Height, 4);
    EXPECT_EQ(l.params.BitsPerSample, 2);
    EXPECT_EQ(l.params.GifBackground, MakeRGB(255, 255, 255));
    EXPECT_EQ(l.result.ImageCount, 1);
}

// ========================================================================================
// Taking one image
// ========================================================================================

TEST(GifRead, PixelFormatsAndColours) {
    const std::vector<RGB> bw = {{0, 0, 0}, {255, 255, 255}};
    const std::vector<RGB> wb = {{255, 255, 255}, {0, 0, 0}};
    const Bytes nine = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    struct Case {
        const char* name;
        Bytes file;
        bool native;
        TIEPixelFormat format;
        int w, h;
        Bytes rgba;
    };
    const Case cases[] = {
        {"black and white table gives ie1g, ninth column kept",
         GifFile(9, 2, bw).Image(0, 0, 9, 2, nine).Done(), false, ie1g, 9, 2,
         Px({{255, 255, 255, 255},
             {0, 0, 0, 255},
             {255, 255, 255, 255},
             {0, 0, 0, 255},
             {255, 255, 255, 255},
             {0, 0, 0, 255},
             {255, 255, 255, 255},
             {0, 0, 0, 255},
             {255, 255, 255, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {0, 0, 0, 255},
             {255, 255, 255, 255}})},
        {"white, black table is a coloured image", GifFile(2, 1, wb).Image(0, 0, 2, 1, {0, 1}).Done(), false,
         ie24RGB, 2, 1, Px({{255, 255, 255, 255}, {0, 0, 0, 255}})},
        {"native pixel format keeps the indexes", GifFile(3, 1, kFour).Image(0, 0, 3, 1, {3, 2, 1}).Done(),
         true, ie8p, 3, 1, Px({{255, 255, 255, 255}, {0, 0, 255, 255}, {0, 255, 0, 255}})},
        {"local table wins over the global one",
         GifFile(2, 1, kFour).Image(0, 0, 2, 1, {0, 1}, false, {{10, 20, 30}, {40, 50, 60}}).Done(), false,
         ie24RGB, 2, 1, Px({{10, 20, 30, 255}, {40, 50, 60, 255}})},
        {"no colour table at all reads indexes as gray levels",
         GifFile(3, 1, {}).Raw({0x2C, 0, 0, 0, 0, 3, 0, 1, 0, 0}).Raw(Lzw({0, 1, 3}, 3, 1, 2, false)).Done(),
         false, ie24RGB, 3, 1, Px({{0, 0, 0, 255}, {1, 1, 1, 255}, {3, 3, 3, 255}})},
        {"index beyond a two-entry table shows black",
         GifFile(2, 1, {{200, 100, 50}, {1, 2, 3}})
             .Raw({0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0})
             .Raw(Lzw({3, 0}, 2, 1, 2, false))
             .Done(),
         false, ie24RGB, 2, 1, Px({{0, 0, 0, 255}, {200, 100, 50, 255}})},
        {"interlaced rows", GifFile(1, 5, kFour).Image(0, 0, 1, 5, {0, 1, 2, 3, 0}, true).Done(), false,
         ie24RGB, 1, 5,
         Px({{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}, {255, 0, 0, 255}})},
    };
    for (const Case& c : cases) {
        for (bool device : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (device ? ", device bitmap" : ""));
            Loaded l;
            Load(l, c.file, How::Frame, 0, c.native, false, false, device);
            ASSERT_FALSE(l.aborted) << l.reason;
            EXPECT_EQ(l.bitmap.PixelFormat(), c.format);
            ASSERT_EQ(l.bitmap.Width(), c.w);
            ASSERT_EQ(l.bitmap.Height(), c.h);
            EXPECT_EQ(Hex(Rgba(l.bitmap, l.result.Transparency.get())), Hex(c.rgba));
        }
    }
}

TEST(GifRead, TransparencyPlane) {
    struct Case {
        const char* name;
        Bytes file;
        bool ignore;
        bool plane;
    };
    const Bytes px = {0, 1, 2, 1};
    const Case cases[] = {
        {"flag cleared: no plane", GifFile(2, 2, kFour).Gce(0, false, 1).Image(0, 0, 2, 2, px).Done(), false,
         false},
        {"flag set, no pixel of that index: no plane",
         GifFile(2, 2, kFour).Gce(0, true, 3).Image(0, 0, 2, 2, px).Done(), false, false},
        {"flag set: pixels of the index are transparent",
         GifFile(2, 2, kFour).Gce(0, true, 1).Image(0, 0, 2, 2, px).Done(), false, true},
        {"transparency ignored", GifFile(2, 2, kFour).Gce(0, true, 1).Image(0, 0, 2, 2, px).Done(), true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded l;
        Load(l, c.file, How::Frame, 0, false, false, c.ignore);
        ASSERT_FALSE(l.aborted) << l.reason;
        ASSERT_EQ(l.result.Transparency != nullptr, c.plane);
        if (!c.plane) continue;
        const TIEMask& m = *l.result.Transparency;
        EXPECT_EQ(m.BitsPerPixel(), 8);
        EXPECT_EQ(m.GetPixel(0, 0), 255);
        EXPECT_EQ(m.GetPixel(1, 0), 0);
        EXPECT_EQ(m.GetPixel(0, 1), 255);
        EXPECT_EQ(m.GetPixel(1, 1), 0);
        EXPECT_FALSE(m.Full);
    }
}

// ========================================================================================
// Damaged and hostile files
// ========================================================================================

TEST(GifSafety, BadFilesAbortWithAReason) {
    Bytes bigFrame = GifFile(2, 2, kFour)
                         .Raw({0x2C, 0, 0, 0, 0, 0x40, 0x1F, 0x40, 0x1F, 0})
                         .Raw({2, 2, 0x4C, 0x01, 0})
                         .Done();
    Bytes codeSize11 =
        GifFile(2, 1, kFour).Raw({0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0}).Raw({11, 2, 0, 8, 0}).Done();
    // m = 2: clear (4), literal 0, then code 7, above the next free code 6.
    Bytes badCode =
        GifFile(2, 1, kFour).Raw({0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0}).Raw({2, 2, 0xC4, 0x01, 0}).Done();
    Bytes hugeScreen = GifFile(65535, 65535, kFour).Image(0, 0, 1, 1, {1}).Image(0, 0, 1, 1, {2}).Done();
    Bytes overLimit = GifFile(2, 2, kFour)
                          .Raw({0x2C, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0})
                          .Raw({2, 2, 0x4C, 0x01, 0})
                          .Done();
    Bytes zeroOnly = GifFile(1, 1, kFour).Raw({0x2C, 0, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0}).Done();
    struct Case {
        const char* name;
        Bytes file;
        How how;
        const char* reason;
    };
    const Case cases[] = {
        {"not a GIF", {'G', 'I', 'X', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0}, How::Frame, "GIF signature"},
        {"cut inside the screen descriptor",
         {'G', 'I', 'F', '8', '9', 'a', 1, 0},
         How::Frame,
         "screen descriptor"},
        {"nothing after the header",
         {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0},
         How::Composed,
         "ends after the screen descriptor"},
        {"no image at all", GifFile(1, 1, kFour).Comment({"x"}).Done(), How::Composed, "holds no image"},
        {"8000 x 8000 frame from 2 bytes of data", bigFrame, How::Frame, "can fill at most"},
        {"65535 x 65535 frame is over the pixel limit", overLimit, How::Frame, "exceeds the limit"},
        {"LZW minimum code size 11", codeSize11, How::Frame, "minimum code size of 11"},
        {"LZW code above the next free code", badCode, How::Frame, "LZW data of image 0 is damaged"},
        {"65535 x 65535 screen for two 1 x 1 frames", hugeScreen, How::Composed,
         "logical screen: image of 65535 x 65535"},
        {"the only image has no pixels", zeroOnly, How::Composed, "only image is 0 x 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded l;
        Load(l, c.file, c.how);
        EXPECT_TRUE(l.aborted);
        EXPECT_NE(l.reason.find(c.reason), std::string::npos) << l.reason;
        EXPECT_EQ(l.reason.rfind("GIF: ", 0), 0u) << l.reason;
    }
}

TEST(GifSafety, AHugeScreenAroundOneImageYieldsTheImage) {
    // A single-image file is delivered without a canvas, so the screen size costs nothing.
    Loaded l;
    Load(l, GifFile(65535, 65535, kFour).Image(70, 80, 2, 1, {1, 2}).Done(), How::Composed);
    ASSERT_FALSE(l.aborted) << l.reason;
    EXPECT_EQ(l.bitmap.Width(), 2);
    EXPECT_EQ(l.bitmap.Height(), 1);
    EXPECT_EQ(l.params.GifXPos, 70);
    EXPECT_EQ(l.params.GifScreenWidth, 65535);
}

TEST(GifSafety, TruncatedFilesAtEveryLength) {
    std::mt19937 rng(7);
    Bytes noisy(40 * 30);
    for (auto& v : noisy)
        v = uint8_t(rng() % 16);
    const Bytes file = GifFile(40, 30,
                               {{1, 2, 3},
                                {4, 5, 6},
                                {7, 8, 9},
                                {10, 11, 12},
                                {13, 14, 15},
                                {16, 17, 18},
                                {19, 20, 21},
                                {22, 23, 24},
                                {25, 26, 27},
                                {28, 29, 30},
                                {31, 32, 33},
                                {34, 35, 36},
                                {37, 38, 39},
                                {40, 41, 42},
                                {43, 44, 45},
                                {46, 47, 48}})
                           .Extension(0xFF, {"NETSCAPE2.0", std::string("\1\0\0", 3)})
                           .Comment({"hello"})
                           .Gce(2, true, 3)
                           .Image(0, 0, 40, 30, noisy, true)
                           .Gce(1, true, 0)
                           .Image(5, 5, 20, 10, Bytes(noisy.begin(), noisy.begin() + 200), false, kFour)
                           .Done();
    int aborted = 0, partial = 0;
    for (size_t len = 0; len <= file.size(); ++len) {
        SCOPED_TRACE(len);
        const Bytes cut(file.begin(), file.begin() + long(len));
        for (How how : {How::Frame, How::Composed}) {
            Loaded l;
            Load(l, cut, how, 1);
            if (l.aborted) {
                ++aborted;
                EXPECT_EQ(l.reason.rfind("GIF: ", 0), 0u) << l.reason;
                continue;
            }
            ++partial;
            if (l.bitmap.IsEmpty()) continue; // frame 1 not reached: nothing loaded
            EXPECT_LE(l.bitmap.Width(), 40);
            EXPECT_LE(l.bitmap.Height(), 30);
            if (l.result.Transparency) {
                EXPECT_EQ(l.result.Transparency->Width(), l.bitmap.Width());
                EXPECT_EQ(l.result.Transparency->Height(), l.bitmap.Height());
            }
        }
    }
    std::printf("[ truncation ] %d cut reads aborted, %d gave a partial or empty result\n", aborted, partial);
    EXPECT_GT(aborted, 0);
    EXPECT_GT(partial, 0);
}

TEST(GifSafety, ThousandsOfFramesCostOnlyTheFramesComposed) {
    GifFile g(4, 4, kFour);
    for (int i = 0; i < 5000; ++i)
        g.Gce(1, false, 0).Image(i % 4, (i / 4) % 4, 1, 1, {uint8_t(i % 4)});
    const Bytes file = g.Done();
    for (int index : {0, 4999, 100000}) {
        SCOPED_TRACE(index);
        Loaded l;
        Load(l, file, How::Composed, index);
        ASSERT_FALSE(l.aborted) << l.reason;
        EXPECT_EQ(l.result.ImageCount, 5000);
        EXPECT_EQ(l.params.GifImageIndex, index);
        ASSERT_EQ(l.bitmap.Width(), 4);
        // Frame i sits at (i % 4, (i / 4) % 4) with colour i % 4; the last frame drawn
        // at (0, 0) is a multiple of 16, so red.
        EXPECT_EQ(l.bitmap.GetPixelRGB(0, 0), MakeRGB(255, 0, 0));
        if (index > 0) {
            EXPECT_EQ(l.bitmap.GetPixelRGB(3, 3), MakeRGB(255, 255, 255));
        }
    }
}

TEST(GifSafety, DamagedBytesNeverCrash) {
    // Random byte changes in a small animated file: every read either aborts with a
    // reason or delivers a picture no larger than its screen and frames allow.
    Bytes noisy(12 * 9);
    std::mt19937 rng(99);
    for (auto& v : noisy)
        v = uint8_t(rng() % 4);
    const Bytes file = GifFile(12, 9, kFour, 1)
                           .Comment({"c"})
                           .Gce(2, true, 0)
                           .Image(0, 0, 12, 9, noisy, true)
                           .Gce(3, true, 1)
                           .Image(2, 3, 5, 4, Bytes(noisy.begin(), noisy.begin() + 20), false, kFour)
                           .Gce(1, false, 0)
                           .Image(4, 4, 3, 3, Bytes(9, 2))
                           .Done();
    int aborted = 0;
    for (int round = 0; round < 1500; ++round) {
        Bytes b = file;
        const int changes = 1 + int(rng() % 4);
        for (int k = 0; k < changes; ++k)
            b[rng() % b.size()] = uint8_t(rng());
        for (How how : {How::Frame, How::Composed}) {
            Loaded l;
            Load(l, b, how, int(rng() % 4));
            if (l.aborted) {
                ++aborted;
                EXPECT_EQ(l.reason.rfind("GIF: ", 0), 0u) << l.reason;
                continue;
            }
            if (l.bitmap.IsEmpty()) continue;
            // A damaged size field can describe up to 65535 x 65535. A frame is decoded
            // only as far as its few hundred bytes of data can fill it; a composed picture
            // is the logical screen, which only the pixel limits bound.
            const int64_t pixels = int64_t(l.bitmap.Width()) * l.bitmap.Height();
            if (how == How::Frame) {
                EXPECT_LE(pixels, int64_t(1) << 18);
            } else {
                EXPECT_LE(uint64_t(pixels), ImageLimits().MaxPixels);
            }
        }
    }
    std::printf("[ damaged ] %d of 3000 damaged reads aborted\n", aborted);
}

// ========================================================================================
// Composition on the logical screen
// ========================================================================================

namespace {
// Screen pixels worked out by hand. T is a transparent screen pixel: the canvas holds the
// background colour (blue, index 2) with alpha 0.
constexpr std::array<int, 4> R{255, 0, 0, 255}, G{0, 255, 0, 255}, B{0, 0, 255, 255}, W{255, 255, 255, 255},
    T{0, 0, 255, 0};
} // namespace

TEST(GifCompose, PositionTransparencyAndDisposal) {
    // Screen 3 x 2, background blue.
    // 0: (0,0) 2x1 red green, keep.   1: (1,1) 2x1 white + transparent, restore background.
    // 2: (2,0) 1x2 green green.
    const Bytes file = GifFile(3, 2, kFour, 2)
                           .Gce(1, false, 0)
                           .Image(0, 0, 2, 1, {0, 1})
                           .Gce(2, true, 0)
                           .Image(1, 1, 2, 1, {3, 0})
                           .Gce(0, false, 0)
                           .Image(2, 0, 1, 2, {1, 1})
                           .Done();
    struct Case {
        int index;
        Bytes rgba;
    };
    const Case cases[] = {
        {0, Px({R, G, T, T, T, T})},
        {1, Px({R, G, T, T, W, T})},
        {2, Px({R, G, G, T, T, G})}, // frame 1's rectangle back to transparent background first
        {7, Px({R, G, G, T, T, G})}, // beyond the last frame: all frames composed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        Loaded l;
        Load(l, file, How::Composed, c.index);
        ASSERT_FALSE(l.aborted) << l.reason;
        EXPECT_EQ(l.result.ImageCount, 3);
        ASSERT_EQ(l.bitmap.Width(), 3);
        ASSERT_EQ(l.bitmap.Height(), 2);
        EXPECT_EQ(l.bitmap.PixelFormat(), ie24RGB);
        EXPECT_EQ(Hex(Rgba(l.bitmap, l.result.Transparency.get())), Hex(c.rgba));
        EXPECT_EQ(l.params.GifXPos, 0);
        EXPECT_EQ(l.params.GifYPos, 0);
        EXPECT_EQ(l.params.GifDisposal, 2);
        EXPECT_EQ(l.params.Width, 3);
        EXPECT_EQ(l.params.Height, 2);
        EXPECT_EQ(l.params.GifImageIndex, c.index);
        EXPECT_EQ(l.params.FileType, 2);
    }
}

TEST(GifCompose, EveryDisposalOfTheMiddleFrame) {
    // 0: 3x2 all red, keep.  1: (1,1) 2x1 white, disposal d.  2: (0,0) 1x1 green.
    struct Case {
        int disposal;
        Bytes rgba;
    };
    const Case cases[] = {
        {0, Px({G, R, R, R, W, W})}, // none: left in place
        {1, Px({G, R, R, R, W, W})}, // keep
        {2, Px({G, R, R, R, T, T})}, // background, transparent
        {3, Px({G, R, R, R, R, R})}, // previous picture restored
        {5, Px({G, R, R, R, W, W})}, // undefined values are kept
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disposal);
        const Bytes file = GifFile(3, 2, kFour, 2)
                               .Gce(1, false, 0)
                               .Image(0, 0, 3, 2, Bytes(6, 0))
                               .Gce(c.disposal, false, 0)
                               .Image(1, 1, 2, 1, {3, 3})
                               .Image(0, 0, 1, 1, {1})
                               .Done();
        Loaded l;
        Load(l, file, How::Composed, 2);
        ASSERT_FALSE(l.aborted) << l.reason;
        EXPECT_EQ(Hex(Rgba(l.bitmap, l.result.Transparency.get())), Hex(c.rgba));
    }
}

TEST(GifCompose, FramesOutsideOrLargerThanTheScreen) {
    struct Case {
        const char* name;
        Bytes file;
        int index, w, h;
        Bytes rgba;
    };
    const Case cases[] = {
        {"frame far outside the screen draws nothing",
         GifFile(2, 1, kFour, 2).Image(0, 0, 2, 1, {0, 1}).Image(65000, 65000, 1, 1, {3}).Done(), 1, 2, 1,
         Px({R, G})},
        {"frame beyond the right edge, restore previous, then a zero-width frame",
         GifFile(2, 1, kFour, 2)
             .Image(0, 0, 2, 1, {0, 1})
             .Gce(3, false, 0)
             .Image(5, 0, 1, 1, {3})
             .Raw({0x2C, 0, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0})
             .Done(),
         2, 2, 1, Px({R, G})},
        {"frame overlapping the screen edge is clipped",
         GifFile(2, 2, kFour, 2).Image(0, 0, 1, 1, {0}).Image(1, 1, 2, 2, {3, 1, 1, 1}).Done(), 1, 2, 2,
         Px({R, T, T, W})},
        {"frame larger than the screen grows the canvas, new area opaque background",
         GifFile(2, 1, kFour, 2)
             .Image(0, 0, 1, 1, {0})
             .Gce(0, true, 0)
             .Image(0, 0, 3, 2, {3, 3, 0, 3, 0, 3})
             .Done(),
         1, 3, 2, Px({W, W, B, W, B, W})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded l;
        Load(l, c.file, How::Composed, c.index);
        ASSERT_FALSE(l.aborted) << l.reason;
        ASSERT_EQ(l.bitmap.Width(), c.w);
        ASSERT_EQ(l.bitmap.Height(), c.h);
        EXPECT_EQ(Hex(Rgba(l.bitmap, l.result.Transparency.get())), Hex(c.rgba));
    }
}

TEST(GifCompose, ResultFormatFollowsTheFrameWhenNothingIsLost) {
    const std::vector<RGB> bw = {{0, 0, 0}, {255, 255, 255}};
    struct Case {
        const char* name;
        Bytes file;
        bool native;
        TIEPixelFormat format;
    };
    const Case cases[] = {
        {"black-and-white animation on a black background stays ie1g",
         GifFile(2, 1, bw, 0).Image(0, 0, 2, 1, {0, 1}).Image(0, 0, 1, 1, {1}).Done(), false, ie1g},
        {"black-and-white frame over a coloured one is kept in colour",
         GifFile(2, 1, bw, 0).Image(0, 0, 2, 1, {0, 1}, false, kFour).Image(0, 0, 1, 1, {1}).Done(), false,
         ie24RGB},
        {"native pixel format gives ie8p",
         GifFile(2, 1, kFour).Image(0, 0, 2, 1, {0, 1}).Image(1, 0, 1, 1, {3}).Done(), true, ie8p},
    };
    for (const Case& c : cases) {
        for (bool device : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (device ? ", device bitmap" : ""));
            Loaded l;
            Load(l, c.file, How::Composed, 1, c.native, false, false, device);
            ASSERT_FALSE(l.aborted) << l.reason;
            EXPECT_EQ(l.bitmap.PixelFormat(), c.format);
            EXPECT_EQ(l.bitmap.GetPixelRGB(0, 0),
                      c.format == ie8p ? MakeRGB(255, 0, 0) : MakeRGB(255, 255, 255));
        }
    }
    // The ie8p picture keeps every colour.
    Loaded l;
    Load(l, cases[2].file, How::Composed, 1, true);
    EXPECT_EQ(l.bitmap.GetPixelRGB(0, 0), MakeRGB(255, 0, 0));
    EXPECT_EQ(l.bitmap.GetPixelRGB(1, 0), MakeRGB(255, 255, 255));
}

TEST(GifCompose, ProgressOfTheFirstFrameReachesTheCaller) {
    const Bytes file = GifFile(2, 1, kFour).Image(0, 0, 2, 1, {0, 1}).Image(0, 0, 1, 1, {1}).Done();
    for (int index : {0, 1}) {
        SCOPED_TRACE(index);
        TIOParamsVals params;
        params.SetImageIndex(index);
        TIEBitmap bitmap;
        bool aborted = false;
        std::vector<int> seen;
        TIEProgressRecord p;
        p.AbortFlag = &aborted;
        p.Handler = [&](void*, int percent) { seen.push_back(percent); };
        TMemoryViewStream s(file.data(), file.size());
        GifLoadComposed(s, bitmap, params, p);
        ASSERT_FALSE(aborted);
        // Frame 0's own read reports 0, 30, 70, 100 only when it is the selected frame;
        // the composition reports i * 100 / N after each frame.
        const std::vector<int> expected =
            index == 0 ? std::vector<int>{0, 30, 70, 100, 0} : std::vector<int>{0, 50};
        EXPECT_EQ(seen, expected);
    }
}

// ========================================================================================
// Conformance corpus
// ========================================================================================

namespace {

// Files our rules read differently from the references, or refuse, with the reason.
struct CorpusNote {
    const char* file;
    const char* failure; // substring of the abort reason; null when the file loads
    const char* why;
    // The suite's oracle shows several images without graphic control between them as
    // one frame; our frames are images, so the oracle matches the composition up to this
    // image index.
    int oracleIndex = 0;
};

const CorpusNote kCorpusNotes[] = {
    {"pil__issue_2811.gif", "minimum code size of 11", "LZW minimum code size 11; our decoder allows 2..9"},
    {"igif__samples-set_hsts.gif", "minimum code size of 1 ",
     "LZW minimum code size 1; our decoder allows 2..9"},
    {"pygif__max-height.gif", "a side above 65000 pixels",
     "a 1 x 65535 coloured image in a 405-byte file is refused"},
    {"pygif__invalid-code.gif", "damaged", "the suite expects an error"},
    {"pygif__invalid-colors.gif", "minimum code size of 12", "the suite expects an error"},
    {"pygif__max-size.gif", "holds no image", "the suite expects an error"},
    {"pygif__zero-size.gif", "holds no image", "the suite expects an error"},
    {"irs__regression-gif-zero-loop-count.gif", "holds no image", "both references fail"},
    {"pygif__image-zero-size.gif", "only image is 0 x 0",
     "a single image is delivered alone, and it has no pixels"},
    {"pygif__image-zero-width.gif", "only image is 0 x 1",
     "a single image is delivered alone, and it has no pixels"},
    {"igif__crashtest-issue-96-small-codesize.gif", "only image is 0 x 0", "crash case"},
    {"igif__crashtest-issue-96-small-codesize-2.gif", "can fill at most",
     "64311 x 56 from 251 bytes, code size 0"},
    {"igif__stall-issue-101-infinite-empty-loop.gif", "only image is 0 x 9984", "stall case"},
    {"pil__decompression_bomb.gif", "can fill at most", "65535 x 1321 pixels from no data"},
    {"pygif__high-color.gif", nullptr, "oracle frame = images 0..3", 3},
    {"pygif__images-combine.gif", nullptr, "oracle frame = images 0..3", 3},
    {"pygif__images-overlap.gif", nullptr, "oracle frame = images 0..1", 1},
};

const CorpusNote* NoteFor(const std::string& name) {
    for (const CorpusNote& n : kCorpusNotes)
        if (name == n.file) return &n;
    return nullptr;
}

// ImageMagick's coalesced frames of a file: each frame drawn on the logical screen
// after the previous frame's disposal, "restore background" clearing to transparent and
// "restore previous" undoing the frame, as our composition does. (Pillow restores to the
// opaque background colour, so its frame N is not comparable.)
bool Coalesce(const std::string& gif, const twtest::TempDir& dir, std::vector<RefImage>& frames) {
    const std::string tool = ConvertTool();
    if (tool.empty()) return false;
    const std::string pattern = dir.file("frame-%d.png");
    const std::string cmd =
        tool + " " + Quote(gif) + " -coalesce PNG32:" + Quote(pattern) + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    for (int i = 0;; ++i) {
        RefImage r;
        if (!LoadPng(dir.file("frame-" + std::to_string(i) + ".png"), r)) break;
        frames.push_back(std::move(r));
    }
    return !frames.empty();
}

// Compares a composed picture with an ImageMagick frame. Where a screen pixel has never
// been drawn (or was restored to the background), ours is transparent while ImageMagick
// shows either transparency or, for files without a transparent colour, the opaque
// background colour; both are accepted there. Drawn pixels must match exactly.
int64_t DifferencesFromMagick(const Bytes& ours, int w, int h, const RefImage& ref, TRGB background,
                              std::string* first) {
    if (ref.w != w || ref.h != h) {
        if (first) *first = "size " + std::to_string(ref.w) + " x " + std::to_string(ref.h);
        return int64_t(w) * h;
    }
    int64_t diff = 0;
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        const uint8_t* a = &ours[i * 4];
        const uint8_t* b = &ref.rgba[i * 4];
        bool same;
        if (a[3] == 0)
            same = b[3] == 0 ||
                   (b[3] == 255 && b[0] == background.r && b[1] == background.g && b[2] == background.b);
        else
            same = a[3] == b[3] && a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
        if (!same) {
            if (diff == 0 && first) {
                char buf[128];
                std::snprintf(buf, sizeof buf, "(%d,%d) ours %02x%02x%02x%02x magick %02x%02x%02x%02x",
                              int(i % size_t(w)), int(i / size_t(w)), a[0], a[1], a[2], a[3], b[0], b[1],
                              b[2], b[3]);
                *first = buf;
            }
            ++diff;
        }
    }
    return diff;
}

} // namespace

TEST(GifCorpus, FilesMatchTheirReferences) {
    const std::string corpus = twtest::CorpusDir();
    if (corpus.empty() || !fs::is_directory(corpus + "/files/gif")) GTEST_SKIP() << "corpus not present";
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(corpus + "/files/gif"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    const bool magick = !ConvertTool().empty();

    int matched = 0, refused = 0, framesCompared = 0, unchecked = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = corpus + "/files/gif/" + name;
        const Bytes file = twtest::ReadFile(path);
        const CorpusNote* note = NoteFor(name);
        Loaded l;
        Load(l, file, How::Composed);
        if (note && note->failure) {
            EXPECT_TRUE(l.aborted) << note->why;
            EXPECT_NE(l.reason.find(note->failure), std::string::npos) << l.reason;
            std::printf("[ corpus ] %-52s refused: %s (%s)\n", name.c_str(), l.reason.c_str(), note->why);
            ++refused;
            continue;
        }
        EXPECT_FALSE(l.aborted) << l.reason;
        if (l.aborted) {
            std::printf("[ corpus ] %-52s FAILED: %s\n", name.c_str(), l.reason.c_str());
            continue;
        }
        const int count = l.result.ImageCount;
        const bool animated = count > 1;
        twtest::TempDir dir;
        std::vector<RefImage> frames;
        const bool coalesced = animated && magick && Coalesce(path, dir, frames);

        // The first picture against the suite's oracle when there is one; else a single
        // image against the Pillow decode (our image is the reference's rectangle at the
        // image position, since a single image is delivered without the screen), and an
        // animation against ImageMagick's first coalesced frame.
        RefImage ref;
        std::string against = "oracle";
        const int oracleIndex = note ? note->oracleIndex : 0;
        bool haveRef = LoadPng(corpus + "/oracle/gif/" + name + ".png", ref);
        if (!haveRef && !animated) {
            against = "Pillow";
            haveRef = LoadPng(corpus + "/ref/gif/" + name + ".png", ref);
        }
        std::string first;
        int64_t diff = -1;
        if (haveRef) {
            Loaded o;
            Load(o, file, How::Composed, oracleIndex);
            const Bytes ours = Rgba(o.bitmap, o.result.Transparency.get());
            const int x0 = animated ? 0 : o.params.GifXPos, y0 = animated ? 0 : o.params.GifYPos;
            diff = Differences(ours, o.bitmap.Width(), o.bitmap.Height(), ref, x0, y0, &first);
        } else if (coalesced) {
            against = "ImageMagick";
            diff = DifferencesFromMagick(Rgba(l.bitmap, l.result.Transparency.get()), l.bitmap.Width(),
                                         l.bitmap.Height(), frames[0], l.params.GifBackground, &first);
        }
        if (diff < 0) {
            ++unchecked;
            std::printf("[ corpus ] %-52s no reference to compare with\n", name.c_str());
            continue;
        }
        EXPECT_EQ(diff, 0) << "against " << against << ": " << first;
        if (diff == 0) ++matched;
        std::printf("[ corpus ] %-52s %dx%d %s, %s: %lld differing\n", name.c_str(), l.bitmap.Width(),
                    l.bitmap.Height(), animated ? "composed" : "single", against.c_str(), (long long)diff);

        // Frames of animated files against ImageMagick's coalesced frames.
        if (!coalesced) continue;
        for (int index : std::set<int>{0, 1, count / 2, count - 1}) {
            if (index >= int(frames.size())) continue;
            SCOPED_TRACE("frame " + std::to_string(index));
            Loaded f;
            Load(f, file, How::Composed, index);
            ASSERT_FALSE(f.aborted) << f.reason;
            std::string where;
            EXPECT_EQ(DifferencesFromMagick(Rgba(f.bitmap, f.result.Transparency.get()), f.bitmap.Width(),
                                            f.bitmap.Height(), frames[size_t(index)], f.params.GifBackground,
                                            &where),
                      0)
                << where;
            ++framesCompared;
        }
    }
    std::printf("[ corpus ] %zu GIF files: %d match their reference, %d refused as noted, %d unchecked; "
                "%d composed frames compared with ImageMagick\n",
                names.size(), matched, refused, unchecked, framesCompared);
}

// ========================================================================================
// Writer
// ========================================================================================

namespace {

struct Written {
    Bytes file;
    bool aborted = false;
    std::string reason;
};

Written Write(TIEBitmap& bitmap, TIOParamsVals& params) {
    Written w;
    TMemoryStream s;
    TIEProgressRecord p;
    p.AbortFlag = &w.aborted;
    p.AbortReason = &w.reason;
    GifWriteStream(s, bitmap, params, p);
    w.file = s.Data();
    return w;
}

// A 24-bit image from a pixel function, with an alpha channel when alphaOf is given.
template <class ColorOf> void Make24(TIEBitmap& b, int w, int h, ColorOf colorOf) {
    ASSERT_TRUE(b.Allocate(w, h, ie24RGB));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetPixels_ie24RGB(x, y, colorOf(x, y));
}

std::string PillowPython() {
    static const std::string py = [] {
        for (const char* c : {"/usr/bin/python3", "python3"}) {
            std::string cmd = std::string(c) + " -c \"import PIL.Image\" >/dev/null 2>&1";
            if (std::system(cmd.c_str()) == 0) return std::string(c);
        }
        return std::string();
    }();
    return py;
}

// Decodes a GIF file with ImageMagick and with Pillow into RGBA; false when the tool is
// missing or fails.
bool DecodeWithMagick(const Bytes& gif, RefImage& out) {
    if (ConvertTool().empty()) return false;
    twtest::TempDir dir;
    twtest::WriteFile(dir.file("a.gif"), gif);
    const std::string cmd = ConvertTool() + " " + Quote(dir.file("a.gif")) +
                            " PNG32:" + Quote(dir.file("a.png")) + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 && LoadPng(dir.file("a.png"), out);
}

bool DecodeWithPillow(const Bytes& gif, RefImage& out) {
    if (PillowPython().empty()) return false;
    twtest::TempDir dir;
    twtest::WriteFile(dir.file("a.gif"), gif);
    twtest::WriteFile(dir.file("d.py"), "import sys\nfrom PIL import Image\n"
                                        "Image.open(sys.argv[1]).convert('RGBA').save(sys.argv[2])\n");
    const std::string cmd = PillowPython() + " " + Quote(dir.file("d.py")) + " " + Quote(dir.file("a.gif")) +
                            " " + Quote(dir.file("a.png")) + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 && LoadPng(dir.file("a.png"), out);
}

TRGB Rainbow(int x, int y) {
    return MakeRGB(uint8_t(x * 2 + y), uint8_t(y * 4), uint8_t(255 - x * 2));
}

} // namespace

TEST(GifWrite, RoundTripsThroughOurReaderAndIndependentDecoders) {
    // Sixteen and 256 distinct colours, two colours, black and white, and a gradient of
    // thousands of colours (quantised). Every case is written plain and interlaced.
    const std::vector<TRGB> sixteen = [] {
        std::vector<TRGB> v;
        for (int i = 0; i < 16; ++i)
            v.push_back(MakeRGB(uint8_t(i * 16), uint8_t(255 - i * 9), uint8_t(i * i)));
        return v;
    }();
    struct Case {
        const char* name;
        int bits;
        int w, h;
        std::function<TRGB(int, int)> color;
        bool alpha;
        bool exact; // every colour survives
        TIEPixelFormat readFormat;
    };
    const Case cases[] = {
        {"2 colours, red and white", 1, 13, 7,
         [](int x, int y) { return (x + y) % 3 ? MakeRGB(255, 0, 0) : MakeRGB(255, 255, 255); }, false, true,
         ie24RGB},
        {"black and white", 1, 17, 5,
         [](int x, int y) { return (x * y) % 5 ? MakeRGB(0, 0, 0) : MakeRGB(255, 255, 255); }, false, true,
         ie1g},
        {"16 colours", 4, 31, 9, [&](int x, int y) { return sixteen[size_t(x + y) % 16]; }, false, true,
         ie24RGB},
        {"256 colours", 8, 64, 4,
         [](int x, int y) { return MakeRGB(uint8_t(x + 64 * y), uint8_t(3 * (x + 64 * y)), 7); }, false, true,
         ie24RGB},
        {"true colour, quantised", 8, 90, 60, Rainbow, false, false, ie24RGB},
        {"16 colours with alpha", 4, 20, 20, [&](int x, int y) { return sixteen[size_t(x * y) % 15]; }, true,
         true, ie24RGB},
        {"true colour with alpha", 8, 40, 30, Rainbow, true, false, ie24RGB},
        {"2 colours with alpha", 1, 9, 9,
         [](int x, int) { return x % 2 ? MakeRGB(0, 0, 255) : MakeRGB(255, 255, 0); }, true, true, ie24RGB},
    };
    const bool magick = !ConvertTool().empty(), pillow = !PillowPython().empty();
    int independent = 0;
    for (const Case& c : cases) {
        for (bool interlaced : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (interlaced ? ", interlaced" : ""));
            TIEBitmap src;
            Make24(src, c.w, c.h, c.color);
            if (c.alpha) {
                for (int y = 0; y < c.h; ++y)
                    for (int x = 0; x < c.w; ++x)
                        src.SetAlphaPixel(x, y, (x + 2 * y) % 4 == 0 ? 0 : 255);
            }
            TIOParamsVals params;
            params.BitsPerSample = c.bits;
            params.GifInterlaced = interlaced;
            Written out = Write(src, params);
            ASSERT_FALSE(out.aborted) << out.reason;
            EXPECT_EQ(params.GifHasTransparency, c.alpha);

            Loaded back;
            Load(back, out.file, How::Frame);
            ASSERT_FALSE(back.aborted) << back.reason;
            ASSERT_EQ(back.bitmap.Width(), c.w);
            ASSERT_EQ(back.bitmap.Height(), c.h);
            EXPECT_EQ(back.bitmap.PixelFormat(), c.readFormat);
            EXPECT_EQ(back.params.GifInterlaced, interlaced);
            const Bytes ours = Rgba(back.bitmap, back.result.Transparency.get());

            // Against the source: exact, or close for a quantised image.
            int64_t wrong = 0, error = 0;
            for (int y = 0; y < c.h; ++y)
                for (int x = 0; x < c.w; ++x) {
                    const uint8_t* p = &ours[(size_t(y) * size_t(c.w) + size_t(x)) * 4];
                    const uint8_t a = c.alpha ? src.AlphaPixel(x, y) : 255;
                    if (p[3] != a) ++wrong;
                    if (a == 0) continue;
                    const TRGB s = c.color(x, y);
                    const int d = std::abs(p[0] - s.r) + std::abs(p[1] - s.g) + std::abs(p[2] - s.b);
                    if (d != 0) ++wrong;
                    error += d;
                }
            if (c.exact) {
                EXPECT_EQ(wrong, 0);
            } else {
                // 256 colours for a smooth gradient: within 8 levels per channel on average.
                EXPECT_LT(double(error) / (c.w * c.h), 24.0) << "mean error of the quantised colours";
            }

            // Independent decoders see exactly what our reader sees.
            RefImage ref;
            if (magick) {
                ASSERT_TRUE(DecodeWithMagick(out.file, ref));
                std::string first;
                EXPECT_EQ(Differences(ours, c.w, c.h, ref, 0, 0, &first), 0) << "ImageMagick: " << first;
                EXPECT_EQ(ref.w, c.w);
                ++independent;
            }
            if (pillow) {
                ASSERT_TRUE(DecodeWithPillow(out.file, ref));
                std::string first;
                EXPECT_EQ(Differences(ours, c.w, c.h, ref, 0, 0, &first), 0) << "Pillow: " << first;
                ++independent;
            }
        }
    }
    std::printf("[ writer ] %d decodes by ImageMagick or Pillow agreed with our reader\n", independent);
}

TEST(GifWrite, PaletteImagesKeepTheirIndexes) {
    TIEBitmap src;
    ASSERT_TRUE(src.Allocate(4, 2, ie8p));
    for (int i = 0; i < 256; ++i)
        src.SetPaletteColor(i, MakeRGB(uint8_t(i), uint8_t(255 - i), 9));
    const uint8_t px[8] = {5, 200, 0, 255, 17, 17, 254, 1};
    for (int i = 0; i < 8; ++i)
        src.SetPixels_ie8(i % 4, i / 4, px[i]);
    TIOParamsVals params;
    Written out = Write(src, params);
    ASSERT_FALSE(out.aborted) << out.reason;
    Loaded back;
    Load(back, out.file, How::Frame, 0, true);
    ASSERT_FALSE(back.aborted) << back.reason;
    ASSERT_EQ(back.bitmap.PixelFormat(), ie8p);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(back.bitmap.Pixels_ie8(i % 4, i / 4), px[i]) << i;
        EXPECT_EQ(back.bitmap.GetPixelRGB(i % 4, i / 4), src.PaletteColor(px[i])) << i;
    }
}

TEST(GifWrite, FileLayout) {
    TIEBitmap src;
    Make24(src, 3, 2, [](int x, int) { return x == 0 ? MakeRGB(10, 20, 30) : MakeRGB(200, 100, 0); });
    src.SetAlphaPixel(2, 1, 0);
    TIOParamsVals params;
    params.GifVersion = "GIF87a-and-more";
    params.GifComments = {"first line", "", std::string(300, 'z')};
    params.GifDelayTime = 0x1234;
    params.GifDisposal = 1;
    params.GifBackground = MakeRGB(200, 100, 0);
    params.GifXPos = 5;
    params.GifYPos = 1;
    Written out = Write(src, params);
    ASSERT_FALSE(out.aborted) << out.reason;
    const Bytes& f = out.file;
    ASSERT_GT(f.size(), 13u + 768 + 8 + 10);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 6), "GIF87a");
    EXPECT_EQ(f[6] | f[7] << 8, 8) << "screen width = position + width";
    EXPECT_EQ(f[8] | f[9] << 8, 3);
    EXPECT_EQ(f[10], 0xF7) << "global table of 256 entries, 8 bits";
    EXPECT_EQ(f[12], 0) << "aspect byte";
    // The two colours come first in the quantised palette; the background is one of them.
    const int bg = f[11];
    ASSERT_LT(bg, 255);
    EXPECT_EQ((std::array<int, 3>{f[13 + 3 * bg], f[14 + 3 * bg], f[15 + 3 * bg]}),
              (std::array<int, 3>{200, 100, 0}));
    const size_t gce = 13 + 768;
    EXPECT_EQ(Bytes(f.begin() + long(gce), f.begin() + long(gce) + 8),
              (Bytes{0x21, 0xF9, 4, 1 << 2 | 1, 0x34, 0x12, 255, 0}));
    EXPECT_TRUE(params.GifHasTransparency);
    const size_t desc = gce + 8;
    EXPECT_EQ(Bytes(f.begin() + long(desc), f.begin() + long(desc) + 10),
              (Bytes{0x2C, 5, 0, 1, 0, 3, 0, 2, 0, 0}));
    // Comment extension at the end: one sub-block per non-empty line, 255 bytes at most.
    Bytes tail;
    tail.insert(tail.end(), {0x21, 0xFE, 10});
    tail.insert(tail.end(), {'f', 'i', 'r', 's', 't', ' ', 'l', 'i', 'n', 'e'});
    tail.push_back(255);
    tail.insert(tail.end(), 255, 'z');
    tail.insert(tail.end(), {0, 0x3B});
    ASSERT_GT(f.size(), tail.size());
    EXPECT_EQ(Bytes(f.end() - long(tail.size()), f.end()), tail);

    // Read back: the picture, the comments and the control data.
    Loaded back;
    Load(back, f, How::Frame);
    ASSERT_FALSE(back.aborted) << back.reason;
    EXPECT_EQ(back.params.GifComments, (std::vector<std::string>{"first line", std::string(255, 'z')}));
    EXPECT_EQ(back.params.GifDelayTime, 0x1234);
    EXPECT_EQ(back.params.GifDisposal, 1);
    EXPECT_EQ(back.params.GifXPos, 5);
    EXPECT_EQ(Hex(Rgba(back.bitmap, back.result.Transparency.get())), Hex(Px({{10, 20, 30, 255},
                                                                              {200, 100, 0, 255},
                                                                              {200, 100, 0, 255},
                                                                              {10, 20, 30, 255},
                                                                              {200, 100, 0, 255},
                                                                              {0, 0, 0, 0}})));
}

TEST(GifWrite, ControlAndCommentExtensionsAreAlwaysWritten) {
    TIEBitmap src;
    Make24(src, 1, 1, [](int, int) { return MakeRGB(1, 2, 3); });
    TIOParamsVals params;
    params.BitsPerSample = 2;
    Written out = Write(src, params);
    ASSERT_FALSE(out.aborted) << out.reason;
    const Bytes& f = out.file;
    EXPECT_EQ(std::string(f.begin(), f.begin() + 6), "GIF89a");
    EXPECT_EQ(f[10], 0x80 | 1 << 4 | 1);
    // Without transparency the transparent index still names the entry nearest to
    // GifTransparentColor (black): an unused entry, left black, at index 1.
    EXPECT_EQ(Bytes(f.begin() + 25, f.begin() + 33), (Bytes{0x21, 0xF9, 4, 2 << 2, 0, 0, 1, 0}));
    EXPECT_EQ(Bytes(f.end() - 4, f.end()), (Bytes{0x21, 0xFE, 0, 0x3B}));
}

namespace {
// Accepts only the first `room` bytes.
class ShortStream : public TMemoryStream {
  public:
    explicit ShortStream(int64_t room) : room_(room) {}
    int64_t Write(const void* buffer, int64_t count) override {
        const int64_t n = std::min(count, room_);
        room_ -= n;
        return n > 0 ? TMemoryStream::Write(buffer, n) : 0;
    }

  private:
    int64_t room_;
};
} // namespace

TEST(GifWrite, FailuresAreReported) {
    TIEBitmap src;
    Make24(src, 40, 40, Rainbow);
    for (int64_t room : {0, 5, 13, 100, 800, 900}) {
        SCOPED_TRACE(room);
        ShortStream s(room);
        TIOParamsVals params;
        bool aborted = false;
        std::string reason;
        TIEProgressRecord p;
        p.AbortFlag = &aborted;
        p.AbortReason = &reason;
        GifWriteStream(s, src, params, p);
        EXPECT_TRUE(aborted);
        EXPECT_NE(reason.find("accepted fewer bytes"), std::string::npos) << reason;
    }

    struct Case {
        const char* name;
        int w, h;
        const char* reason;
    };
    for (const Case& c :
         {Case{"empty bitmap", 0, 0, "empty"}, Case{"65536 pixels wide", 65536, 1, "larger than"}}) {
        SCOPED_TRACE(c.name);
        TIEBitmap b;
        if (c.w > 0) {
            ASSERT_TRUE(b.Allocate(c.w, c.h, ie24RGB));
        }
        TIOParamsVals params;
        Written out = Write(b, params);
        EXPECT_TRUE(out.aborted);
        EXPECT_NE(out.reason.find(c.reason), std::string::npos) << out.reason;
        EXPECT_TRUE(out.file.empty());
    }

    // No encoder in the record and none installed.
    const TGifLzwCompressor saved = DefaultGifLzwCompressor;
    DefaultGifLzwCompressor = nullptr;
    TIOParamsVals params;
    params.GifLzwCompressor = nullptr;
    Written out = Write(src, params);
    DefaultGifLzwCompressor = saved;
    EXPECT_TRUE(out.aborted);
    EXPECT_NE(out.reason.find("no LZW encoder"), std::string::npos) << out.reason;
}
