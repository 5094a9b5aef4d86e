// BMP reader and writer: hand-made files for every header, depth and compression,
// RLE escapes, hostile input, and round trips through the writer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codecs/bmp.h"
#include "codecs/bmp_core.h"
#include "io/stream.h"
#include "tests/bmp_helpers.h"

using namespace tw;
using namespace twtest;

namespace {

const TRGB kBlack{0, 0, 0}, kWhite{255, 255, 255};

// The colours of a whole bitmap, top row first.
std::vector<TRGB> Colors(TIEBitmap& b) {
    std::vector<TRGB> out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            out.push_back(Px(b, x, y));
    return out;
}

// Palette indices of an ie8p bitmap as hex digits, one string per row, top row first.
std::vector<std::string> IndexRows(TIEBitmap& b) {
    std::vector<std::string> rows;
    const char* hex = "0123456789ABCDEF";
    for (int y = 0; y < b.Height(); ++y) {
        std::string s;
        const uint8_t* r = b.Scanline(y);
        for (int x = 0; x < b.Width(); ++x)
            s += r[x] < 16 ? hex[r[x]] : '?';
        rows.push_back(s);
    }
    return rows;
}

std::vector<TRGB> GrayPalette(int n) {
    std::vector<TRGB> p;
    for (int i = 0; i < n; ++i)
        p.push_back(Rgb(uint8_t(i * 10), uint8_t(i * 10 + 1), uint8_t(i * 10 + 2)));
    return p;
}

// ---- headers ---------------------------------------------------------------------------

// A 2 x 2 8-bit image with a three-colour table, in every header size.
TEST(BmpRead, EveryHeaderSize) {
    const std::vector<TRGB> pal = {Rgb(10, 20, 30), Rgb(40, 50, 60), Rgb(70, 80, 90)};
    struct Row {
        uint32_t headerSize;
        int version;
        int dpiX, dpiY;
    };
    const Row rows[] = {{12, 2, 300, 300}, {16, 0, 300, 300}, {40, 1, 96, 72},
                        {52, 0, 96, 72},   {56, 0, 96, 72},   {64, 3, 96, 72},
                        {66, 0, 96, 72},   {108, 0, 96, 72},  {124, 0, 96, 72}};
    for (const Row& r : rows) {
        SCOPED_TRACE("header size " + std::to_string(r.headerSize));
        BmpSpec s;
        s.headerSize = r.headerSize;
        s.width = 2;
        s.height = 2;
        s.bitCount = 8;
        s.xPelsPerMeter = 3780;
        s.yPelsPerMeter = 2835;
        s.palette = pal;
        if (r.headerSize == 12)
            s.palette.resize(256); // core tables always have 2^bits entries
        else if (r.headerSize >= 36)
            s.colorsUsed = 3;
        else
            s.palette.resize(256);
        s.pixels = PadRows({{1, 2}, {2, 0}}); // bottom row first
        auto d = DecodeBmp(BuildBmp(s));
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(d->params.BmpVersion, r.version);
        EXPECT_EQ(d->params.DpiX(), r.dpiX);
        EXPECT_EQ(d->params.DpiY(), r.dpiY);
        EXPECT_EQ(d->params.Width, 2);
        EXPECT_EQ(d->params.Height, 2);
        ASSERT_EQ(d->bitmap.PixelFormat(), ie24RGB);
        std::vector<TRGB> want = {pal[2], pal[0], pal[1], pal[2]};
        EXPECT_EQ(Colors(d->bitmap), want);
    }
}

TEST(BmpRead, ResolutionFromPixelsPerMetre) {
    struct Row {
        int32_t ppm;
        int dpi;
    };
    // 2500 ppm is 63.5 dpi and 7500 ppm 190.5 dpi: ties go to the even neighbour.
    const Row rows[] = {{0, 300},   {3780, 96},  {2835, 72},   {11811, 300},
                        {2500, 64}, {7500, 190}, {-3780, -96}, {1, 300}};
    for (const Row& r : rows) {
        SCOPED_TRACE("ppm " + std::to_string(r.ppm));
        BmpSpec s;
        s.xPelsPerMeter = r.ppm;
        s.yPelsPerMeter = r.ppm;
        s.pixels = PadRows({{1, 2, 3}});
        auto d = DecodeBmp(BuildBmp(s), {.headerOnly = true});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(d->params.DpiX(), r.dpi);
        EXPECT_EQ(d->params.DpiY(), r.dpi);
        EXPECT_EQ(d->params.ExifXResolution(), double(r.dpi));
    }
}

// What the reader leaves in the parameter record for each kind of file.
TEST(BmpRead, RecordFields) {
    struct Row {
        const char* name;
        uint16_t bits;
        uint32_t compression;
        int bitsPerSample, samplesPerPixel, bmpCompression, colorMapCount;
    };
    const Row rows[] = {
        {"1 bit", 1, 0, 1, 1, 0, 2},
        {"4 bits", 4, 0, 4, 1, 0, 16},
        {"4 bits RLE", 4, 2, 4, 1, 1, 16},
        {"8 bits", 8, 0, 8, 1, 0, 256},
        {"8 bits RLE", 8, 1, 8, 1, 1, 256},
        {"16 bits", 16, 0, 5, 3, 0, 0},
        {"16 bit fields", 16, 3, 5, 3, 0, 0},
        {"24 bits", 24, 0, 8, 3, 0, 0},
        {"32 bits", 32, 0, 8, 4, 0, 0},
        // Unknown compressions and depths leave the fields as they were (then fail).
        {"24 bits, compression 4", 24, 4, 8, 3, 7, 0},
        {"2 bits", 2, 0, 99, 99, 0, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BmpSpec s;
        s.width = 1;
        s.bitCount = r.bits;
        s.compression = r.compression;
        if (r.compression == 3) s.masks = {0xF800, 0x07E0, 0x001F};
        s.palette = GrayPalette(r.colorMapCount);
        s.pixels = {0, 1, 0, 0};
        auto file = BuildBmp(s);
        for (bool headerOnly : {true, false}) {
            SCOPED_TRACE(headerOnly ? "header only" : "whole image");
            TIOParamsVals params;
            params.BitsPerSample = params.SamplesPerPixel = 99;
            params.BmpCompression = 7;
            params.ColorMap = GrayPalette(3);
            TIEBitmap bitmap;
            TMemoryStream stream(file.data(), file.size());
            bool aborted = false;
            TIEProgressRecord progress;
            progress.AbortFlag = &aborted;
            BmpReadStream(stream, bitmap, params, progress, headerOnly, false);
            EXPECT_EQ(params.Width, 1);
            EXPECT_EQ(params.Height, 1);
            EXPECT_EQ(params.BitsPerSample, r.bitsPerSample);
            EXPECT_EQ(params.SamplesPerPixel, r.samplesPerPixel);
            EXPECT_EQ(params.BmpCompression, r.bmpCompression);
            EXPECT_EQ(params.ColorMapCount(), r.colorMapCount);
            EXPECT_EQ(params.ColorMap, s.palette);
            EXPECT_EQ(bitmap.IsEmpty(), headerOnly || aborted);
        }
    }
}

TEST(BmpRead, ReportsProgressPerRow) {
    BmpSpec s;
    s.width = 1;
    s.height = 3;
    s.pixels = PadRows({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    auto d = DecodeBmp(BuildBmp(s));
    ASSERT_TRUE(d->ok);
    EXPECT_EQ(d->progress, (std::vector<int>{0, 33, 66}));
}

TEST(BmpRead, SignatureFailureKeepsTheRecord) {
    TIOParamsVals params;
    params.ColorMap = GrayPalette(3);
    params.Width = 5;
    TIEBitmap bitmap;
    const char text[] = "just some text, not an image";
    TMemoryStream stream(text, sizeof text);
    bool aborted = false;
    std::string reason;
    TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    progress.AbortReason = &reason;
    EXPECT_EQ(BmpReadStream(stream, bitmap, params, progress, false, true), nullptr);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(reason, "BMP: no \"BM\" signature");
    EXPECT_EQ(params.ColorMapCount(), 3);
    EXPECT_EQ(params.Width, 5);
}

// ---- palette depths ----------------------------------------------------------------------

TEST(BmpRead, OneBitTables) {
    // Ten pixels 1010000011.
    const std::vector<uint8_t> row = {0xA0, 0xC0};
    const TRGB red = Rgb(255, 0, 0), blue = Rgb(0, 0, 255);
    struct Row {
        const char* name;
        uint32_t headerSize;
        std::vector<TRGB> table;
        TIEPixelFormat format;
        TRGB one, zero; // colours of bits 1 and 0
    };
    const Row rows[] = {
        {"black, white", 40, {kBlack, kWhite}, ie1g, kWhite, kBlack},
        {"white, black: inverted", 40, {kWhite, kBlack}, ie1g, kBlack, kWhite},
        {"red, blue: colours kept", 40, {red, blue}, ie24RGB, blue, red},
        {"one entry: index 1 lies beyond the table", 40, {red}, ie24RGB, kBlack, red},
        {"core header, black, white", 12, {kBlack, kWhite}, ie1g, kWhite, kBlack},
        {"core header, white, black", 12, {kWhite, kBlack}, ie1g, kBlack, kWhite},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BmpSpec s;
        s.headerSize = r.headerSize;
        s.width = 10;
        s.height = 1;
        s.bitCount = 1;
        s.palette = r.table;
        s.colorsUsed = uint32_t(r.table.size());
        s.pixels = PadRows({row});
        auto d = DecodeBmp(BuildBmp(s));
        ASSERT_TRUE(d->ok) << d->reason;
        ASSERT_EQ(d->bitmap.PixelFormat(), r.format);
        const char* bits = "1010000011";
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(Px(d->bitmap, x, 0), bits[x] == '1' ? r.one : r.zero) << "x=" << x;
        if (r.format == ie1g) {
            // Bits past the width are cleared, also after inversion.
            EXPECT_EQ(d->bitmap.Scanline(0)[1] & 0x3F, 0);
        }
    }
}

TEST(BmpRead, ColourOneBitInNativeModeKeepsIndices) {
    BmpSpec s;
    s.width = 3;
    s.bitCount = 1;
    s.palette = {Rgb(255, 0, 0), Rgb(0, 0, 255)};
    s.pixels = PadRows({{0x40}}); // 010
    auto d = DecodeBmp(BuildBmp(s), {.native = true});
    ASSERT_TRUE(d->ok) << d->reason;
    ASSERT_EQ(d->bitmap.PixelFormat(), ie8p);
    EXPECT_EQ(IndexRows(d->bitmap), std::vector<std::string>{"010"});
    EXPECT_EQ(d->bitmap.PaletteColor(1), Rgb(0, 0, 255));
}

TEST(BmpRead, FourBitsWithShortTable) {
    // Pixels 1 2 0 5 2; index 5 lies beyond the three-entry table and reads as black.
    const std::vector<TRGB> pal = {Rgb(1, 2, 3), Rgb(4, 5, 6), Rgb(7, 8, 9)};
    BmpSpec s;
    s.width = 5;
    s.height = 1;
    s.bitCount = 4;
    s.colorsUsed = 3;
    s.palette = pal;
    s.pixels = PadRows({{0x12, 0x05, 0x20}});
    auto d = DecodeBmp(BuildBmp(s));
    ASSERT_TRUE(d->ok) << d->reason;
    std::vector<TRGB> want = {pal[1], pal[2], pal[0], kBlack, pal[2]};
    EXPECT_EQ(Colors(d->bitmap), want);

    auto n = DecodeBmp(BuildBmp(s), {.native = true});
    ASSERT_TRUE(n->ok) << n->reason;
    ASSERT_EQ(n->bitmap.PixelFormat(), ie8p);
    EXPECT_EQ(IndexRows(n->bitmap), std::vector<std::string>{"12052"});
    EXPECT_EQ(n->bitmap.PaletteColor(2), pal[2]);
}

TEST(BmpRead, EightBitsNativeAndTopDown) {
    const auto pal = GrayPalette(4);
    BmpSpec s;
    s.width = 3;
    s.height = -2; // top-down
    s.bitCount = 8;
    s.colorsUsed = 4;
    s.palette = pal;
    s.pixels = PadRows({{0, 1, 2}, {3, 2, 1}});
    auto d = DecodeBmp(BuildBmp(s), {.native = true});
    ASSERT_TRUE(d->ok) << d->reason;
    EXPECT_TRUE(d->info.TopDown);
    EXPECT_EQ(d->info.Height, 2);
    EXPECT_EQ(IndexRows(d->bitmap), (std::vector<std::string>{"012", "321"}));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(d->bitmap.PaletteColor(i), pal[size_t(i)]);
}

// The working image of the program lives in a device bitmap, and very large images in
// a temporary file; decoding into either gives the same pixels whatever format the
// bitmap settles on.
TEST(BmpRead, IntoDeviceAndFileBitmaps) {
    const auto pal = GrayPalette(4);
    BmpSpec plain;
    plain.width = 3;
    plain.height = 2;
    plain.bitCount = 8;
    plain.colorsUsed = 4;
    plain.palette = pal;
    plain.pixels = PadRows({{0, 1, 2}, {3, 2, 1}});
    BmpSpec rle = plain;
    rle.compression = 1;
    rle.pixels = {1, 0, 1, 1, 1, 2, 0, 0, 1, 3, 1, 2, 1, 1, 0, 1};
    const std::vector<TRGB> want = {pal[3], pal[2], pal[1], pal[0], pal[1], pal[2]};
    for (bool device : {true, false})
        for (const BmpSpec* s : {&plain, &rle})
            for (bool native : {false, true}) {
                SCOPED_TRACE(std::string(device ? "device" : "file") + (s == &rle ? " RLE" : "") +
                             (native ? " native" : ""));
                auto d = DecodeBmp(BuildBmp(*s),
                                   {.native = native, .deviceBitmap = device, .fileBitmap = !device});
                ASSERT_TRUE(d->ok) << d->reason;
                EXPECT_EQ(d->bitmap.Location(), device ? ieTBitmap : ieFile);
                EXPECT_EQ(Colors(d->bitmap), want);
            }
    BmpSpec one;
    one.width = 10;
    one.bitCount = 1;
    one.palette = {kWhite, kBlack};
    one.pixels = PadRows({{0xA0, 0xC0}});
    for (bool device : {true, false}) {
        auto d = DecodeBmp(BuildBmp(one), {.deviceBitmap = device, .fileBitmap = !device});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(d->bitmap.PixelFormat(), ie1g);
        EXPECT_EQ(Px(d->bitmap, 0, 0), kBlack);
        EXPECT_EQ(Px(d->bitmap, 1, 0), kWhite);
    }
}

// ---- 16, 24 and 32 bits ---------------------------------------------------------------------

TEST(BmpRead, SixteenBitMasks) {
    struct Pixel {
        uint16_t word;
        TRGB want;
    };
    struct Row {
        const char* name;
        uint32_t headerSize;
        uint32_t compression;
        std::vector<uint32_t> masks;
        std::vector<Pixel> pixels;
    };
    const Row rows[] = {
        {"5-5-5 default",
         40,
         0,
         {},
         {{0x7C00, Rgb(248, 0, 0)},
          {0x03E0, Rgb(0, 248, 0)},
          {0x001F, Rgb(0, 0, 248)},
          {0x4210, Rgb(128, 128, 128)},
          {0xFFFF, Rgb(248, 248, 248)}}},
        {"5-6-5 after a 40-byte header",
         40,
         3,
         {0xF800, 0x07E0, 0x001F},
         {{0xF800, Rgb(248, 0, 0)},
          {0x07E0, Rgb(0, 252, 0)},
          {0x001F, Rgb(0, 0, 248)},
          {0x8410, Rgb(128, 128, 128)}}},
        {"5-6-5 inside a V4 header",
         108,
         3,
         {0xF800, 0x07E0, 0x001F},
         {{0xF800, Rgb(248, 0, 0)}, {0x07E0, Rgb(0, 252, 0)}, {0x001F, Rgb(0, 0, 248)}}},
        {"5-5-5 inside a V3 header",
         56,
         3,
         {0x7C00, 0x03E0, 0x001F, 0x8000},
         {{0xFC00, Rgb(248, 0, 0)}, {0x03E0, Rgb(0, 248, 0)}}},
        {"4-4-4",
         56,
         3,
         {0x0F00, 0x00F0, 0x000F, 0xF000},
         {{0x0F00, Rgb(240, 0, 0)}, {0x0ABC, Rgb(160, 176, 192)}, {0xF000, Rgb(0, 0, 0)}}},
        {"blue high, red low",
         40,
         3,
         {0x001F, 0x03E0, 0x7C00},
         {{0x001F, Rgb(248, 0, 0)}, {0x7C00, Rgb(0, 0, 248)}}},
        {"no green mask", 40, 3, {0xF800, 0, 0x001F}, {{0xFFFF, Rgb(248, 0, 248)}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BmpSpec s;
        s.headerSize = r.headerSize;
        s.width = int32_t(r.pixels.size());
        s.bitCount = 16;
        s.compression = r.compression;
        s.masks = r.masks;
        std::vector<uint8_t> row;
        for (const Pixel& p : r.pixels) {
            row.push_back(uint8_t(p.word));
            row.push_back(uint8_t(p.word >> 8));
        }
        s.pixels = PadRows({row});
        auto d = DecodeBmp(BuildBmp(s));
        ASSERT_TRUE(d->ok) << d->reason;
        for (size_t x = 0; x < r.pixels.size(); ++x)
            EXPECT_EQ(Show(Px(d->bitmap, int(x), 0)), Show(r.pixels[x].want)) << "x=" << x;
    }
}

TEST(BmpRead, SixteenBitMasksBeforeColourTable) {
    // A 40-byte header with bit fields and a colour table: masks come first.
    BmpSpec s;
    s.width = 1;
    s.bitCount = 16;
    s.compression = 3;
    s.masks = {0xF800, 0x07E0, 0x001F};
    s.colorsUsed = 2;
    s.palette = {Rgb(1, 1, 1), Rgb(2, 2, 2)};
    s.pixels = PadRows({{0x00, 0xF8}});
    auto d = DecodeBmp(BuildBmp(s));
    ASSERT_TRUE(d->ok) << d->reason;
    EXPECT_EQ(Px(d->bitmap, 0, 0), Rgb(248, 0, 0));
    EXPECT_EQ(d->info.ColorMap, s.palette);
}

TEST(BmpRead, TwentyFourBits) {
    for (int32_t h : {2, -2}) {
        SCOPED_TRACE(h < 0 ? "top-down" : "bottom-up");
        BmpSpec s;
        s.width = 3;
        s.height = h;
        // B, G, R per pixel; stride 12.
        std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        std::vector<uint8_t> second = {11, 12, 13, 14, 15, 16, 17, 18, 19};
        s.pixels = PadRows({first, second});
        auto d = DecodeBmp(BuildBmp(s));
        ASSERT_TRUE(d->ok) << d->reason;
        int firstRow = h < 0 ? 0 : 1;
        EXPECT_EQ(Px(d->bitmap, 0, firstRow), Rgb(3, 2, 1));
        EXPECT_EQ(Px(d->bitmap, 2, firstRow), Rgb(9, 8, 7));
        EXPECT_EQ(Px(d->bitmap, 1, 1 - firstRow), Rgb(16, 15, 14));
    }
}

TEST(BmpRead, ThirtyTwoBitsAndAlpha) {
    // 2 x 2 pixels, B G R A.
    struct Row {
        const char* name;
        int32_t height;
        std::vector<uint8_t> fourth; // per pixel in file order
        bool useAlpha;
        std::vector<uint8_t> wantAlpha; // top row first; empty = no plane
    };
    const Row rows[] = {
        {"mixed, bottom-up", 2, {10, 20, 30, 40}, true, {30, 40, 10, 20}},
        {"mixed, top-down", -2, {10, 20, 30, 40}, true, {10, 20, 30, 40}},
        {"mixed, alpha not asked for", 2, {10, 20, 30, 40}, false, {}},
        {"all 255", 2, {255, 255, 255, 255}, true, {}},
        {"all 0", 2, {0, 0, 0, 0}, true, {}},
        {"0 and 255", -2, {0, 255, 255, 0}, true, {0, 255, 255, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BmpSpec s;
        s.width = 2;
        s.height = r.height;
        s.bitCount = 32;
        s.pixels = {1, 2, 3, r.fourth[0], 4,  5,  6,  r.fourth[1],
                    7, 8, 9, r.fourth[2], 10, 11, 12, r.fourth[3]};
        auto d = DecodeBmp(BuildBmp(s), {.useAlpha = r.useAlpha});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(d->alpha, r.wantAlpha);
        int firstRow = r.height < 0 ? 0 : 1;
        EXPECT_EQ(Px(d->bitmap, 0, firstRow), Rgb(3, 2, 1));
        EXPECT_EQ(Px(d->bitmap, 1, 1 - firstRow), Rgb(12, 11, 10));
    }
}

TEST(BmpRead, ThirtyTwoBitFields) {
    struct Row {
        const char* name;
        uint32_t headerSize;
        std::vector<uint32_t> masks;
        uint32_t pixel;
        TRGB want;
        bool alpha; // the fourth byte (0x80 here) comes back as alpha
    };
    const Row rows[] = {
        {"standard order", 40, {0xFF0000, 0xFF00, 0xFF}, 0x80112233, Rgb(0x11, 0x22, 0x33), true},
        {"red in the low byte",
         124,
         {0xFF, 0xFF00, 0xFF0000, 0xFF000000},
         0x80112233,
         Rgb(0x33, 0x22, 0x11),
         true},
        {"11-11-10", 40, {0xFFE00000, 0x001FFC00, 0x000003FF}, 0x801FFE00, Rgb(128, 255, 128), false},
        {"in a V2 header", 52, {0xFF0000, 0xFF00, 0xFF}, 0x80445566, Rgb(0x44, 0x55, 0x66), true},
        {"alpha mask in the third byte",
         56,
         {0xFF000000, 0xFF00, 0xFF, 0xFF0000},
         0x11802233,
         Rgb(0x11, 0x22, 0x33),
         true},
        {"alpha mask of 4 bits",
         124,
         {0xFF0000, 0xFF00, 0xFF, 0x0F000000},
         0x08112233,
         Rgb(0x11, 0x22, 0x33),
         true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BmpSpec s;
        s.headerSize = r.headerSize;
        s.width = 2;
        s.height = 1;
        s.bitCount = 32;
        s.compression = 3;
        s.masks = r.masks;
        // The second pixel is opaque: every alpha bit set.
        const uint32_t opaque = r.masks.size() > 3 ? r.masks[3] : 0xFF000000u;
        for (int i = 0; i < 2; ++i)
            for (int b = 0; b < 4; ++b)
                s.pixels.push_back(uint8_t((i == 0 ? r.pixel : opaque) >> (8 * b)));
        auto d = DecodeBmp(BuildBmp(s), {.useAlpha = true});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(Show(Px(d->bitmap, 0, 0)), Show(r.want));
        // A 4-bit alpha of 8 widens to 128 and 15 to 240, as colour channels do.
        const uint8_t full = r.masks.size() > 3 && r.masks[3] == 0x0F000000 ? 240 : 255;
        EXPECT_EQ(d->alpha, (r.alpha ? std::vector<uint8_t>{0x80, full} : std::vector<uint8_t>{}));
    }
}

// ---- RLE ----------------------------------------------------------------------------------

struct RleCase {
    const char* name;
    bool rle4;
    int width, height;
    std::vector<uint8_t> data;
    std::vector<std::string> want; // palette indices, top row first
};

TEST(BmpRead, RleEscapes) {
    const RleCase cases[] = {
        {"RLE8 runs, literal with padding, end of line, end of bitmap",
         false,
         5,
         3,
         {3, 1, 2, 2, 0, 0, 0, 3, 5, 6, 7, 0, 1, 8, 1, 9, 0, 0, 5, 4, 0, 1},
         {"44444", "56789", "11122"}},
        {"RLE8 delta in the middle of a row",
         false,
         5,
         2,
         {1, 1, 0, 2, 2, 0, 1, 2, 0, 0, 2, 3, 0, 1},
         {"33000", "10020"}},
        {"RLE8 delta to the next row", false, 4, 3, {1, 1, 0, 2, 1, 1, 1, 2, 0, 1}, {"0000", "0020", "1000"}},
        {"RLE8 literal past the right edge lands on the last pixel",
         false,
         3,
         1,
         {2, 1, 0, 3, 4, 5, 6, 0, 0, 1},
         {"116"}},
        {"RLE8 run past the right edge", false, 3, 1, {2, 1, 5, 7, 0, 1}, {"117"}},
        {"RLE8 delta past the right edge", false, 3, 1, {0, 2, 10, 0, 1, 5, 0, 1}, {"005"}},
        {"RLE8 delta below the image stops", false, 2, 2, {1, 1, 0, 2, 0, 5, 1, 2, 0, 1}, {"00", "10"}},
        {"RLE8 rows beyond the height are ignored", false, 2, 1, {1, 1, 0, 0, 1, 2, 0, 0}, {"10"}},
        {"RLE8 run without its value", false, 3, 1, {3}, {"000"}},
        {"RLE8 literal cut short", false, 3, 1, {0, 5, 1, 2}, {"120"}},
        {"RLE8 delta cut short", false, 3, 1, {1, 3, 0, 2, 1}, {"300"}},
        {"RLE8 without end of bitmap", false, 2, 2, {2, 1, 0, 0, 2, 2}, {"22", "11"}},
        {"RLE4 runs alternate, literal of 5 with padding",
         true,
         5,
         2,
         {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1},
         {"34567", "12121"}},
        {"RLE4 run past the right edge is dropped", true, 3, 1, {2, 0x11, 4, 0x23, 0, 1}, {"112"}},
        {"RLE4 literal past the right edge is dropped", true, 3, 1, {0, 4, 0x12, 0x34, 0, 1}, {"123"}},
        {"RLE4 literal of 3 without padding",
         true,
         4,
         2,
         {0, 3, 0x12, 0x30, 0, 0, 1, 0x50, 0, 1},
         {"5000", "1230"}},
        {"RLE4 rows beyond the height are ignored", true, 2, 1, {2, 0x11, 0, 0, 2, 0x22, 0, 1}, {"11"}},
        {"RLE4 delta", true, 4, 2, {1, 0x10, 0, 2, 2, 1, 1, 0x20, 0, 1}, {"0002", "1000"}},
        {"RLE4 delta below the image stops", true, 2, 1, {0, 2, 0, 1, 1, 0x20}, {"00"}},
    };
    for (const RleCase& c : cases) {
        SCOPED_TRACE(c.name);
        BmpSpec s;
        s.width = c.width;
        s.height = c.height;
        s.bitCount = c.rle4 ? 4 : 8;
        s.compression = c.rle4 ? 2 : 1;
        s.colorsUsed = 16;
        s.palette = GrayPalette(16);
        s.pixels = c.data;
        auto d = DecodeBmp(BuildBmp(s), {.native = true});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(IndexRows(d->bitmap), c.want);
    }
}

TEST(BmpRead, RleSkippedPixelsStayBlack) {
    // Colour entry 0 is not black; pixels a delta skips keep the bitmap's zero.
    BmpSpec s;
    s.width = 4;
    s.height = 1;
    s.bitCount = 8;
    s.compression = 1;
    s.colorsUsed = 2;
    s.palette = {Rgb(9, 9, 9), Rgb(200, 0, 0)};
    s.pixels = {1, 1, 0, 2, 2, 0, 1, 0, 0, 1};
    auto d = DecodeBmp(BuildBmp(s));
    ASSERT_TRUE(d->ok) << d->reason;
    std::vector<TRGB> want = {Rgb(200, 0, 0), kBlack, kBlack, Rgb(9, 9, 9)};
    EXPECT_EQ(Colors(d->bitmap), want);
}

// The data size comes from the file-size field; a field that points before the data
// falls back to the image-size field, then to what the file holds.
TEST(BmpRead, RleDataSize) {
    BmpSpec s;
    s.width = 4;
    s.height = 1;
    s.bitCount = 8;
    s.compression = 1;
    s.colorsUsed = 16;
    s.palette = GrayPalette(16);
    s.pixels = {2, 1, 2, 3, 0, 1};
    struct Row {
        const char* name;
        int64_t fileSize;
        uint32_t imageSize;
        std::string want;
    };
    const size_t dataStart = 14 + 40 + 64;
    const Row rows[] = {
        {"file size covers everything", -1, 0, "1133"},
        {"file size cuts the second run", int64_t(dataStart + 2), 0, "1100"},
        {"file size 0, image size 2", 0, 2, "1100"},
        {"file size before the data, image size 2", 10, 2, "1100"},
        {"file size and image size 0", 0, 0, "1133"},
        {"file size far beyond the end", 0x7FFFFFFF, 0, "1133"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        s.fileSize = r.fileSize;
        s.imageSize = r.imageSize;
        auto d = DecodeBmp(BuildBmp(s), {.native = true});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(IndexRows(d->bitmap), std::vector<std::string>{r.want});
    }
}

// ---- hostile input -------------------------------------------------------------------------

TEST(BmpRead, RejectsBadHeaders) {
    auto base = [] {
        BmpSpec s;
        s.width = 2;
        s.height = 2;
        s.bitCount = 8;
        s.colorsUsed = 2;
        s.palette = {kBlack, kWhite};
        s.pixels = PadRows({{0, 1}, {1, 0}});
        return s;
    };
    struct Row {
        const char* name;
        std::vector<uint8_t> file;
        const char* reason;
    };
    std::vector<Row> rows;
    rows.push_back({"empty file", {}, "BMP: no \"BM\" signature"});
    rows.push_back({"text",
                    {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '!', '!'},
                    "BMP: no \"BM\" signature"});
    {
        auto f = BuildBmp(base());
        f.resize(10);
        rows.push_back({"cut inside the file header", f, "BMP: the file ends inside the file header"});
    }
    {
        auto f = BuildBmp(base());
        f.resize(30);
        rows.push_back(
            {"cut inside the info header", f, "BMP: info header size 40 runs past the end of the file"});
    }
    for (uint32_t hs : {0u, 4u, 11u, 13u, 15u}) {
        auto f = BuildBmp(base());
        f[14] = uint8_t(hs);
        rows.push_back({"tiny header size", f, "is too small"});
    }
    {
        auto f = BuildBmp(base());
        f[14] = 0;
        f[15] = 0;
        f[16] = 0;
        f[17] = 0xF0;
        rows.push_back({"huge header size", f, "runs past the end of the file"});
    }
    {
        auto s = base();
        s.width = -2;
        rows.push_back({"negative width", BuildBmp(s), "BMP: negative width -2"});
    }
    {
        auto s = base();
        s.height = INT32_MIN;
        rows.push_back({"height -2^31", BuildBmp(s), "BMP: height -2147483648 is out of range"});
    }
    {
        auto s = base();
        s.dataOffset = 5000;
        auto f = BuildBmp(s);
        f.resize(200);
        rows.push_back({"pixel offset beyond the end", f,
                        "BMP: pixel data offset 5000 lies beyond the end of the file"});
    }
    {
        auto s = base();
        s.pixels.clear();
        rows.push_back(
            {"no pixel data", BuildBmp(s), "BMP: pixel data offset 62 lies beyond the end of the file"});
        auto f = BuildBmp(s);
        f[10] = 0; // no offset: the data would follow the colour table
        rows.push_back({"no pixel data, no offset", f, "BMP: the file ends before the pixel data"});
    }
    for (uint16_t bits : {0, 2, 3, 7, 30000}) {
        auto s = base();
        s.bitCount = bits;
        rows.push_back({"odd depth", BuildBmp(s), "BMP: unsupported bit depth"});
    }
    struct Comp {
        uint16_t bits;
        uint32_t compression;
    };
    for (Comp c : {Comp{1, 1}, Comp{4, 1}, Comp{8, 2}, Comp{8, 3}, Comp{24, 4}, Comp{24, 1}, Comp{32, 5},
                   Comp{16, 6}}) {
        auto s = base();
        s.bitCount = c.bits;
        s.compression = c.compression;
        rows.push_back(
            {"compression that does not fit the depth", BuildBmp(s), "BMP: unsupported compression"});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto d = DecodeBmp(r.file);
        EXPECT_FALSE(d->ok);
        EXPECT_NE(d->reason.find(r.reason), std::string::npos) << d->reason;
        EXPECT_TRUE(d->bitmap.IsEmpty());
    }
}

// Headers that claim far more pixels than the file could hold fail before anything is
// allocated.
TEST(BmpRead, RefusesImpossibleSizes) {
    struct Row {
        const char* name;
        int32_t width, height;
        uint16_t bits;
        uint32_t compression;
        const char* reason;
    };
    const Row rows[] = {
        {"100000 x 100000 at 24 bits", 100000, 100000, 24, 0, "BMP: image of 100000 x 100000 pixels exceeds"},
        {"16000 x 16000 at 1 bit", 16000, 16000, 1, 0, "the file holds"},
        {"8000 x 8000 at 8 bits", 8000, 8000, 8, 0, "the file holds"},
        {"16000 x 16000 RLE8", 16000, 16000, 8, 1, "bytes of RLE data"},
        {"16000 x 16000 RLE4", 16000, 16000, 4, 2, "bytes of RLE data"},
        {"2^31-1 wide", INT32_MAX, 1, 8, 0, "BMP: image of 2147483647 x 1 pixels exceeds"},
        {"2^31-1 high", 1, INT32_MAX, 8, 0, "BMP: image of 1 x 2147483647 pixels exceeds"},
        {"top-down 2^31-1 high", 1, -INT32_MAX, 32, 0, "BMP: image of 1 x 2147483647 pixels exceeds"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BmpSpec s;
        s.width = r.width;
        s.height = r.height;
        s.bitCount = r.bits;
        s.compression = r.compression;
        if (r.bits <= 8) s.palette.assign(size_t(1) << r.bits, kWhite);
        s.pixels.assign(100, 0);
        s.pixels.back() = 1; // an end of bitmap for the RLE rows
        auto d = DecodeBmp(BuildBmp(s));
        EXPECT_FALSE(d->ok);
        EXPECT_NE(d->reason.find(r.reason), std::string::npos) << d->reason;
        EXPECT_TRUE(d->bitmap.IsEmpty());
    }
}

TEST(BmpRead, AbsurdColourCounts) {
    for (uint32_t used : {257u, 305402420u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(used);
        BmpSpec s;
        s.width = 2;
        s.bitCount = 8;
        s.colorsUsed = used;
        s.palette = GrayPalette(256); // a count above 256 reads as 0, that is 2^8 entries
        s.pixels = PadRows({{3, 255}});
        auto d = DecodeBmp(BuildBmp(s));
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(d->info.ColorMap.size(), 256u);
        EXPECT_EQ(Px(d->bitmap, 0, 0), GrayPalette(4)[3]);
    }
}

TEST(BmpRead, WidthOrHeightZeroGivesHeaderOnly) {
    for (int32_t w : {0, 3}) {
        BmpSpec s;
        s.width = w;
        s.height = w == 0 ? 3 : 0;
        s.pixels.assign(12, 0);
        auto d = DecodeBmp(BuildBmp(s));
        EXPECT_TRUE(d->ok) << d->reason;
        EXPECT_TRUE(d->bitmap.IsEmpty());
    }
}

// Valid files of every kind cut at every length: no crash, and each pixel either has
// its value from the whole file or is still zero (or the load fails with a reason).
TEST(BmpRead, TruncatedFiles) {
    std::mt19937 rng(7);
    auto bytes = [&rng](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v)
            b = uint8_t(rng());
        return v;
    };
    std::vector<std::pair<std::string, BmpSpec>> files;
    auto add = [&](const std::string& name, uint16_t bits, uint32_t headerSize, int32_t height) {
        BmpSpec s;
        s.headerSize = headerSize;
        s.width = 7;
        s.height = height;
        s.bitCount = bits;
        if (bits <= 8) {
            s.palette = GrayPalette(1 << bits);
            for (auto& c : s.palette)
                c.r = uint8_t(c.r + 1); // no entry is black
        }
        int64_t stride = ((7 * bits + 31) / 32) * 4;
        s.pixels = bytes(size_t(stride * (height < 0 ? -height : height)));
        files.push_back({name, s});
    };
    add("1 bit", 1, 40, 5);
    add("4 bits", 4, 40, 5);
    add("8 bits, core header", 8, 12, 5);
    add("16 bits", 16, 40, 5);
    add("24 bits, top-down", 24, 40, -5);
    add("32 bits", 32, 124, 5);
    {
        BmpSpec s;
        s.width = 7;
        s.height = 5;
        s.bitCount = 8;
        s.compression = 1;
        s.palette = GrayPalette(256);
        s.pixels = {3, 1, 0, 3, 4, 5, 6, 0, 0, 0, 2, 7, 9, 1, 0, 0, 0, 2, 2, 1, 0, 0, 7, 8, 0, 1};
        files.push_back({"RLE8", s});
        s.bitCount = 4;
        s.compression = 2;
        s.palette = GrayPalette(16);
        s.pixels = {3, 0x12, 0, 3, 0x45, 0x60, 0, 0, 0, 2, 7, 1, 1, 0x90, 0, 2, 2, 1, 0, 0, 7, 0x8A, 0, 1};
        files.push_back({"RLE4", s});
    }
    for (auto& [name, spec] : files) {
        SCOPED_TRACE(name);
        auto whole = BuildBmp(spec);
        auto full = DecodeBmp(whole, {.useAlpha = true});
        ASSERT_TRUE(full->ok) << full->reason;
        auto fullColors = Colors(full->bitmap);
        for (size_t len = 0; len < whole.size(); ++len) {
            SCOPED_TRACE("length " + std::to_string(len));
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + ptrdiff_t(len));
            auto d = DecodeBmp(cut, {.useAlpha = true});
            if (!d->ok) {
                EXPECT_FALSE(d->reason.empty());
                continue;
            }
            if (d->bitmap.IsEmpty()) continue;
            auto colors = Colors(d->bitmap);
            ASSERT_EQ(colors.size(), fullColors.size());
            for (size_t i = 0; i < colors.size(); ++i) {
                if (colors[i] == fullColors[i]) continue;
                EXPECT_EQ(colors[i], kBlack) << "pixel " << i;
            }
        }
    }
}

// A second load into the same bitmap: pixels the short file lacks are zero, not the
// first image's.
TEST(BmpRead, ShortFileIntoAUsedBitmap) {
    BmpSpec s;
    s.width = 2;
    s.height = 2;
    s.pixels = PadRows({{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}});
    auto whole = BuildBmp(s);
    for (bool device : {false, true}) {
        SCOPED_TRACE(device ? "device" : "memory");
        TIEBitmap bitmap;
        if (device) bitmap.SetLocation(ieTBitmap);
        for (size_t len : {whole.size(), whole.size() - 8}) {
            TIOParamsVals params;
            TMemoryStream stream(whole.data(), len);
            bool aborted = false;
            TIEProgressRecord progress;
            progress.AbortFlag = &aborted;
            BmpReadStream(stream, bitmap, params, progress, false, false);
            ASSERT_FALSE(aborted);
        }
        // The bottom row came whole; the top row lost its pixels.
        EXPECT_EQ(Px(bitmap, 0, 1), Rgb(3, 2, 1));
        EXPECT_EQ(Px(bitmap, 0, 0), kBlack);
        EXPECT_EQ(Px(bitmap, 1, 0), kBlack);
    }
}

// Random bytes after a valid header: nothing may crash or write outside the image.
TEST(BmpRead, RandomRleData) {
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        BmpSpec s;
        s.width = 1 + int(rng() % 9);
        s.height = 1 + int(rng() % 9);
        bool rle4 = round & 1;
        s.bitCount = rle4 ? 4 : 8;
        s.compression = rle4 ? 2 : 1;
        s.palette = GrayPalette(rle4 ? 16 : 256);
        s.pixels.resize(rng() % 64);
        for (auto& b : s.pixels)
            b = uint8_t(rng() % 4 == 0 ? rng() % 3 : rng());
        auto d = DecodeBmp(BuildBmp(s), {.native = (round & 2) != 0});
        EXPECT_TRUE(d->ok || !d->reason.empty());
    }
}

// ---- the RLE encoders ---------------------------------------------------------------------

TEST(BmpRle, EncodesRows) {
    struct Row {
        const char* name;
        bool rle4;
        std::vector<uint8_t> indices;
        std::vector<uint8_t> want;
    };
    const Row rows[] = {
        {"RLE8 run then literal", false, {5, 5, 5, 1, 2, 3, 4}, {3, 5, 0, 4, 1, 2, 3, 4, 0, 0}},
        {"RLE8 two singles", false, {1, 2}, {1, 1, 1, 2, 0, 0}},
        {"RLE8 one pixel", false, {7}, {1, 7, 0, 0}},
        {"RLE8 odd literal is padded", false, {1, 2, 3}, {0, 3, 1, 2, 3, 0, 0, 0}},
        {"RLE8 pair before a run", false, {1, 2, 3, 3}, {1, 1, 1, 2, 2, 3, 0, 0}},
        {"RLE8 empty row", false, {}, {0, 0}},
        {"RLE4 literal of 5", true, {1, 2, 3, 4, 5}, {0, 5, 0x12, 0x34, 0x50, 0, 0, 0}},
        {"RLE4 literal of 3, two bytes, no padding", true, {1, 2, 3}, {0, 3, 0x12, 0x30, 0, 0}},
        {"RLE4 run", true, {3, 3, 3}, {3, 0x33, 0, 0}},
        {"RLE4 single", true, {1}, {1, 0x10, 0, 0}},
        {"RLE4 pair", true, {1, 2}, {2, 0x12, 0, 0}},
        {"RLE4 pair, run, single", true, {1, 2, 9, 9, 4}, {2, 0x12, 2, 0x99, 1, 0x40, 0, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> out;
        if (r.rle4)
            BmpEncodeRle4Row(r.indices.data(), int(r.indices.size()), out);
        else
            BmpEncodeRle8Row(r.indices.data(), int(r.indices.size()), out);
        EXPECT_EQ(out, r.want);
    }
}

TEST(BmpRle, LongRunsAndLiteralsAreSplit) {
    std::vector<uint8_t> same(300, 9);
    std::vector<uint8_t> out;
    BmpEncodeRle8Row(same.data(), 300, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{255, 9, 45, 9, 0, 0}));

    // 260 pixels without two equal neighbours: when 256 literals are pending they go
    // out as 255 (padded) and a single; the last four follow as one literal.
    std::vector<uint8_t> distinct(260);
    for (size_t i = 0; i < distinct.size(); ++i)
        distinct[i] = uint8_t(i);
    out.clear();
    BmpEncodeRle8Row(distinct.data(), 260, out);
    ASSERT_EQ(out.size(), (2 + 255 + 1) + 2 + (2 + 4) + 2u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out[2 + 254], 254);
    EXPECT_EQ(out[2 + 255], 0); // padding
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 258, out.end()),
              (std::vector<uint8_t>{1, 255, 0, 4, 0, 1, 2, 3, 0, 0}));
}

// Whatever a row holds, decoding its encoding gives the row back.
TEST(BmpRle, DecodeOfEncodeIsIdentity) {
    struct Sink : TBmpIndexSink {
        std::vector<std::vector<uint8_t>> rows;
        int row = 0;
        void Row(int r) override { row = r; }
        void Put(int x, uint8_t v) override { rows[size_t(row)][size_t(x)] = v; }
        bool Continue(int) override { return true; }
    };
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        bool rle4 = round & 1;
        int width = 1 + int(rng() % 600), height = 1 + int(rng() % 3);
        std::vector<uint8_t> data;
        std::vector<std::vector<uint8_t>> want;
        for (int y = 0; y < height; ++y) {
            std::vector<uint8_t> row(static_cast<size_t>(width));
            uint8_t v = 0;
            for (auto& p : row) {
                if (rng() % 3 == 0) v = uint8_t(rng() % (rle4 ? 16 : 256));
                p = v;
            }
            if (rle4)
                BmpEncodeRle4Row(row.data(), width, data);
            else
                BmpEncodeRle8Row(row.data(), width, data);
            want.push_back(row);
        }
        data.push_back(0);
        data.push_back(1);
        Sink sink;
        sink.rows.assign(size_t(height), std::vector<uint8_t>(size_t(width), 0xEE));
        BmpDecodeRle(data.data(), data.size(), rle4, width, height, sink);
        ASSERT_EQ(sink.rows, want) << "round " << round;
    }
}

// ---- the writer ---------------------------------------------------------------------------

uint32_t Le32(const std::vector<uint8_t>& f, size_t at) {
    return uint32_t(f[at]) | (uint32_t(f[at + 1]) << 8) | (uint32_t(f[at + 2]) << 16) |
           (uint32_t(f[at + 3]) << 24);
}
uint16_t Le16(const std::vector<uint8_t>& f, size_t at) {
    return uint16_t(f[at] | (f[at + 1] << 8));
}

struct Written {
    bool ok = false;
    std::string reason;
    std::vector<uint8_t> file;
};

Written WriteCore(int width, int height, const TBmpWriteOptions& options, const TBmpRowSource& rows) {
    TMemoryStream stream;
    bool aborted = false;
    std::string reason;
    TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    progress.AbortReason = &reason;
    Written w;
    w.ok = BmpWriteImage(stream, width, height, options, rows, progress) && !aborted;
    w.reason = reason;
    w.file = stream.Data();
    return w;
}

TEST(BmpWrite, HeaderFields) {
    struct Row {
        const char* name;
        int depth, version;
        bool rle;
        uint32_t headerSize, compression, colorsUsed, important;
    };
    const Row rows[] = {
        {"1 bit", 1, 1, false, 40, 0, 2, 2},
        {"4 bits RLE", 4, 1, true, 40, 2, 16, 16},
        {"8 bits RLE, 64-byte header", 8, 3, true, 64, 1, 256, 256},
        {"8 bits, version 0", 8, 0, false, 40, 0, 256, 256},
        {"24 bits RLE asked", 24, 1, true, 40, 0, 0, 16777216},
        {"32 bits", 32, 1, false, 40, 0, 0, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TBmpWriteOptions o;
        o.Depth = r.depth;
        o.Version = r.version;
        o.Rle = r.rle;
        o.DpiX = 300;
        o.DpiY = 72;
        o.Palette = GrayPalette(r.depth <= 8 ? 1 << r.depth : 0);
        const int w = 5, h = 3;
        auto out = WriteCore(w, h, o, [&](int, uint8_t* p) {
            std::memset(p, 1, size_t(w) * size_t(r.depth >= 24 ? r.depth / 8 : 1));
        });
        ASSERT_TRUE(out.ok) << out.reason;
        const auto& f = out.file;
        const size_t table = r.depth <= 8 ? size_t(4) << r.depth : 0;
        EXPECT_EQ(f[0], 'B');
        EXPECT_EQ(f[1], 'M');
        EXPECT_EQ(Le32(f, 2), f.size());
        EXPECT_EQ(Le32(f, 10), 14 + r.headerSize + table);
        EXPECT_EQ(Le32(f, 14), r.headerSize);
        EXPECT_EQ(Le32(f, 18), uint32_t(w));
        EXPECT_EQ(Le32(f, 22), uint32_t(h));
        EXPECT_EQ(Le16(f, 26), 1);
        EXPECT_EQ(Le16(f, 28), r.depth);
        EXPECT_EQ(Le32(f, 30), r.compression);
        EXPECT_EQ(Le32(f, 34), f.size() - Le32(f, 10));
        EXPECT_EQ(Le32(f, 38), 11811u);
        EXPECT_EQ(Le32(f, 42), 2835u);
        EXPECT_EQ(Le32(f, 46), r.colorsUsed);
        EXPECT_EQ(Le32(f, 50), r.important);
        if (r.compression != 0) {
            EXPECT_EQ(f[f.size() - 2], 0);
            EXPECT_EQ(f[f.size() - 1], 1);
        } else {
            size_t stride = size_t(((w * r.depth + 31) / 32) * 4);
            EXPECT_EQ(f.size(), 14 + r.headerSize + table + stride * h);
        }
    }
}

TEST(BmpWrite, ResolutionFields) {
    struct Row {
        int dpi;
        uint32_t ppm;
    };
    // 0.5 pixels per metre is 0.0127 dpi, so no integer resolution lands on a tie.
    const Row rows[] = {{300, 11811},
                        {72, 2835},
                        {96, 3780},
                        {1, 39},
                        {0, 0},
                        {-96, uint32_t(-3780)},
                        {60000000, uint32_t(INT32_MAX)},
                        {-60000000, uint32_t(INT32_MIN)}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.dpi);
        TBmpWriteOptions o;
        o.DpiX = o.DpiY = r.dpi;
        auto out = WriteCore(1, 1, o, [](int, uint8_t* p) { std::memset(p, 0, 3); });
        ASSERT_TRUE(out.ok) << out.reason;
        EXPECT_EQ(Le32(out.file, 38), r.ppm);
        EXPECT_EQ(Le32(out.file, 42), r.ppm);
    }
}

TEST(BmpWrite, CoreHeaderIgnoresRle) {
    TBmpWriteOptions o;
    o.Depth = 8;
    o.Version = 2;
    o.Rle = true;
    o.Palette = GrayPalette(256);
    auto out = WriteCore(3, 2, o, [](int, uint8_t* p) { std::memset(p, 7, 3); });
    ASSERT_TRUE(out.ok) << out.reason;
    const auto& f = out.file;
    EXPECT_EQ(f.size(), 14u + 12 + 768 + 2 * 4);
    EXPECT_EQ(Le32(f, 14), 12u);
    EXPECT_EQ(Le16(f, 18), 3);
    EXPECT_EQ(Le16(f, 20), 2);
    EXPECT_EQ(Le16(f, 22), 1);
    EXPECT_EQ(Le16(f, 24), 8);
    EXPECT_EQ(Le32(f, 10), 14u + 12 + 768);
    // The colour table has three bytes per entry; the rows are plain, without an end code.
    EXPECT_EQ(f[26 + 3 * 5 + 0], GrayPalette(6)[5].b);
    EXPECT_EQ(f[26 + 3 * 5 + 2], GrayPalette(6)[5].r);
    EXPECT_EQ(std::vector<uint8_t>(f.end() - 4, f.end()), (std::vector<uint8_t>{7, 7, 7, 0}));

    auto big = WriteCore(70000, 1, o, [](int, uint8_t*) {});
    EXPECT_FALSE(big.ok);
    EXPECT_NE(big.reason.find("core header"), std::string::npos);
}

// Every depth in every header and compression, read back by the reader.
TEST(BmpWrite, RoundTrips) {
    std::mt19937 rng(3);
    for (int depth : {1, 4, 8, 24, 32})
        for (int version : {0, 1, 2, 3})
            for (bool rle : {false, true}) {
                SCOPED_TRACE("depth " + std::to_string(depth) + " version " + std::to_string(version) +
                             (rle ? " RLE" : ""));
                const int w = 37, h = 6;
                const int unit = depth == 32 ? 4 : depth == 24 ? 3 : 1;
                std::vector<std::vector<uint8_t>> image(h, std::vector<uint8_t>(size_t(w * unit)));
                for (auto& row : image) {
                    uint8_t v = 0;
                    for (auto& p : row) {
                        if (rng() % 4 == 0) v = uint8_t(rng());
                        p = depth <= 8 ? uint8_t(v % (1 << depth)) : v;
                    }
                }
                TBmpWriteOptions o;
                o.Depth = depth;
                o.Version = version;
                o.Rle = rle;
                o.DpiX = 150;
                o.DpiY = 600;
                // The 1-bit table is black and white, so the reader gives ie1g.
                if (depth == 1) {
                    o.Palette = {kBlack, kWhite};
                } else if (depth <= 8) {
                    for (int i = 0; i < (1 << depth); ++i)
                        o.Palette.push_back(Rgb(uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)));
                }
                auto out = WriteCore(w, h, o, [&](int y, uint8_t* p) {
                    std::memcpy(p, image[size_t(y)].data(), image[0].size());
                });
                ASSERT_TRUE(out.ok) << out.reason;
                auto d = DecodeBmp(out.file, {.useAlpha = true});
                ASSERT_TRUE(d->ok) << d->reason;
                EXPECT_EQ(d->params.BmpVersion, version == 2 ? 2 : version == 3 ? 3 : 1);
                if (version != 2) {
                    EXPECT_EQ(d->params.DpiX(), 150);
                    EXPECT_EQ(d->params.DpiY(), 600);
                    EXPECT_EQ(d->info.Compression,
                              rle && (depth == 4 || depth == 8) ? (depth == 4 ? 2u : 1u) : 0u);
                }
                ASSERT_EQ(d->bitmap.Width(), w);
                ASSERT_EQ(d->bitmap.Height(), h);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const uint8_t* p = image[size_t(y)].data() + size_t(x * unit);
                        TRGB want = depth <= 8 ? o.Palette[p[0]] : TRGB{p[0], p[1], p[2]};
                        ASSERT_EQ(Px(d->bitmap, x, y), want) << x << "," << y;
                        if (depth == 32) {
                            ASSERT_EQ(d->alpha[size_t(y * w + x)], p[3]);
                        }
                    }
            }
}

// A stream that takes only so many bytes.
class TShortStream : public TMemoryStream {
  public:
    explicit TShortStream(int64_t capacity) : capacity_(capacity) {}
    int64_t Write(const void* buffer, int64_t count) override {
        int64_t room = std::max<int64_t>(0, capacity_ - Position());
        return TMemoryStream::Write(buffer, std::min(count, room));
    }

  private:
    int64_t capacity_;
};

TEST(BmpWrite, ShortWritesAbort) {
    TBmpWriteOptions o;
    o.Depth = 8;
    o.Palette = GrayPalette(256);
    for (int64_t cap : {0, 5, 14, 40, 1078, 1090, 1100}) {
        SCOPED_TRACE(cap);
        TShortStream stream(cap);
        bool aborted = false;
        std::string reason;
        TIEProgressRecord progress;
        progress.AbortFlag = &aborted;
        progress.AbortReason = &reason;
        EXPECT_FALSE(BmpWriteImage(
            stream, 10, 5, o, [](int, uint8_t* p) { std::memset(p, 1, 10); }, progress));
        EXPECT_TRUE(aborted);
        EXPECT_EQ(reason, "BMP: the output stream accepted fewer bytes than written");
    }
}

TEST(BmpWrite, AbortFromProgressLeavesHeadersUnpatched) {
    TBmpWriteOptions o;
    o.Depth = 24;
    TMemoryStream stream;
    bool aborted = false;
    TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    std::vector<int> reports;
    progress.Handler = [&](void*, int percent) {
        reports.push_back(percent);
        if (percent >= 50) aborted = true;
    };
    EXPECT_FALSE(BmpWriteImage(
        stream, 4, 4, o, [](int, uint8_t* p) { std::memset(p, 9, 12); }, progress));
    EXPECT_EQ(reports, (std::vector<int>{0, 25, 50}));
    EXPECT_EQ(Le32(stream.Data(), 2), 0u);
    EXPECT_EQ(stream.Data().size(), 14u + 40 + 2 * 12);
}

} // namespace

// ---- the writer through its entry point ------------------------------------------------------

namespace {

struct Saved {
    bool ok = false;
    std::string reason;
    std::vector<uint8_t> file;
};

Saved Save(TIEBitmap& bitmap, TIOParamsVals& params, bool useAlpha = false) {
    TMemoryStream stream;
    bool aborted = false;
    std::string reason;
    TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    progress.AbortReason = &reason;
    BmpWriteStream(stream, bitmap, params, progress, useAlpha);
    return Saved{!aborted, reason, stream.Data()};
}

// A w x h ie24RGB image whose pixel (x, y) is colors[pattern(x, y)].
std::unique_ptr<TIEBitmap> Image24(int w, int h, const std::vector<TRGB>& colors, int (*pattern)(int, int)) {
    auto b = std::make_unique<TIEBitmap>(w, h, ie24RGB);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<TRGB*>(b->Scanline(y));
        for (int x = 0; x < w; ++x)
            row[x] = colors[size_t(pattern(x, y)) % colors.size()];
    }
    return b;
}

int Diagonal(int x, int y) {
    return x + y;
}
int Checker(int x, int y) {
    return (x + y) & 1;
}
int FirstPixelOdd(int x, int y) {
    return (x == 0 && y == 0) ? 0 : 1;
}

} // namespace

TEST(BmpWrite, DepthFromTheRecord) {
    struct Row {
        const char* name;
        int bitsPerSample, samplesPerPixel;
        bool alpha;
        int depth;
    };
    const Row rows[] = {
        {"BitsPerSample 1", 1, 3, false, 1},
        {"BitsPerSample 4", 4, 1, true, 4},
        {"one sample", 8, 1, false, 8},
        {"three samples", 8, 3, false, 24},
        {"three samples and alpha", 8, 3, true, 32},
        {"16-bit file read before", 5, 3, false, 24},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto b = Image24(5, 4, {Rgb(10, 20, 30), Rgb(200, 100, 0), Rgb(1, 2, 3)}, Diagonal);
        if (r.alpha) b->AlphaChannel()->Scanline(0)[0] = 7;
        TIOParamsVals params;
        params.BitsPerSample = r.bitsPerSample;
        params.SamplesPerPixel = r.samplesPerPixel;
        auto saved = Save(*b, params, true);
        ASSERT_TRUE(saved.ok) << saved.reason;
        EXPECT_EQ(Le16(saved.file, 28), r.depth);
        auto d = DecodeBmp(saved.file, {.useAlpha = true});
        ASSERT_TRUE(d->ok) << d->reason;
        // Three colours survive every depth but 1 (thresholded, see OneBitPalettes).
        for (int y = 0; y < 4 && r.depth != 1; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(Px(d->bitmap, x, y), Px(*b, x, y)) << x << "," << y;
        EXPECT_EQ(d->alpha.empty(), !r.alpha || r.depth != 32);
        if (!d->alpha.empty()) {
            EXPECT_EQ(d->alpha[0], 7);
        }
    }
}

TEST(BmpWrite, OneBitPalettes) {
    const TRGB red = Rgb(255, 0, 0), white = kWhite, blue = Rgb(0, 0, 255);
    struct Row {
        const char* name;
        std::vector<TRGB> colors;
        int (*pattern)(int, int);
        std::vector<TRGB> palette; // as written
    };
    const Row rows[] = {
        {"red first, red is darker", {red, white}, Checker, {red, white}},
        {"white first, red is darker", {white, red}, Checker, {red, white}},
        {"blue and red: red is lighter", {blue, red}, FirstPixelOdd, {blue, red}},
        {"three colours: thresholded", {red, white, blue}, Diagonal, {kBlack, kWhite}},
        {"one colour: thresholded", {red}, Checker, {kBlack, kWhite}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto b = Image24(9, 3, r.colors, r.pattern);
        TIOParamsVals params;
        params.BitsPerSample = 1;
        auto saved = Save(*b, params);
        ASSERT_TRUE(saved.ok) << saved.reason;
        EXPECT_EQ(Le16(saved.file, 28), 1);
        EXPECT_EQ(params.ColorMap, r.palette);
        EXPECT_EQ(TRGB({saved.file[54], saved.file[55], saved.file[56]}), r.palette[0]);
        EXPECT_EQ(TRGB({saved.file[58], saved.file[59], saved.file[60]}), r.palette[1]);
        auto d = DecodeBmp(saved.file);
        ASSERT_TRUE(d->ok) << d->reason;
        if (r.colors.size() == 2) {
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 9; ++x)
                    ASSERT_EQ(Px(d->bitmap, x, y), Px(*b, x, y)) << x << "," << y;
        }
    }
}

TEST(BmpWrite, OneBitImageAsStored) {
    TIEBitmap b(10, 2, ie1g);
    b.Scanline(0)[0] = 0xA5;
    b.Scanline(0)[1] = 0xFF; // the bits past the width are written as 0
    b.Scanline(1)[0] = 0x0F;
    TIOParamsVals params;
    params.BitsPerSample = 1;
    auto saved = Save(b, params);
    ASSERT_TRUE(saved.ok) << saved.reason;
    EXPECT_EQ(params.ColorMap, (std::vector<TRGB>{kBlack, kWhite}));
    const size_t data = Le32(saved.file, 10);
    // Bottom row first.
    EXPECT_EQ(std::vector<uint8_t>(saved.file.begin() + ptrdiff_t(data), saved.file.end()),
              (std::vector<uint8_t>{0x0F, 0, 0, 0, 0xA5, 0xC0, 0, 0}));
}

TEST(BmpWrite, PaletteImages) {
    const std::vector<TRGB> six = {Rgb(1, 2, 3),   Rgb(200, 0, 0), Rgb(0, 200, 0),
                                   Rgb(0, 0, 200), kWhite,         kBlack};
    for (int bits : {4, 8})
        for (int compression : {0, 1})
            for (int version : {1, 2, 3}) {
                SCOPED_TRACE(std::to_string(bits) + " bits, compression " + std::to_string(compression) +
                             ", version " + std::to_string(version));
                auto b = Image24(23, 5, six, Diagonal);
                TIOParamsVals params;
                params.BitsPerSample = bits;
                params.SamplesPerPixel = 1;
                params.BmpCompression = uint8_t(compression);
                params.BmpVersion = uint8_t(version);
                auto saved = Save(*b, params);
                ASSERT_TRUE(saved.ok) << saved.reason;
                // Six colours: the exact list, in order of first appearance.
                ASSERT_EQ(params.ColorMapCount(), 1 << bits);
                EXPECT_EQ(std::vector<TRGB>(params.ColorMap.begin(), params.ColorMap.begin() + 6), six);
                auto d = DecodeBmp(saved.file);
                ASSERT_TRUE(d->ok) << d->reason;
                EXPECT_EQ(d->params.BmpCompression, version == 2 ? 0 : compression);
                for (int y = 0; y < 5; ++y)
                    for (int x = 0; x < 23; ++x)
                        ASSERT_EQ(Px(d->bitmap, x, y), Px(*b, x, y)) << x << "," << y;
            }
}

// A gradient with thousands of colours goes through the box (16 colours) or neural (256
// colours) quantiser; what comes back stays near the original.
TEST(BmpWrite, ManyColoursAreQuantised) {
    TIEBitmap b(64, 64, ie24RGB);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            reinterpret_cast<TRGB*>(b.Scanline(y))[x] =
                Rgb(uint8_t(x * 4), uint8_t(y * 4), uint8_t(255 - x * 2));
    struct Row {
        int bits;
        double mean; // largest mean channel error allowed
    };
    for (Row r : {Row{8, 6.0}, Row{4, 24.0}}) {
        SCOPED_TRACE(r.bits);
        TIOParamsVals params;
        params.BitsPerSample = r.bits;
        params.SamplesPerPixel = 1;
        auto saved = Save(b, params);
        ASSERT_TRUE(saved.ok) << saved.reason;
        auto d = DecodeBmp(saved.file);
        ASSERT_TRUE(d->ok) << d->reason;
        double sum = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                TRGB got = Px(d->bitmap, x, y), want = Px(b, x, y);
                sum += std::abs(got.r - want.r) + std::abs(got.g - want.g) + std::abs(got.b - want.b);
            }
        EXPECT_LE(sum / (64 * 64 * 3), r.mean);
    }
}

TEST(BmpWrite, PaletteSourceKeepsItsIndices) {
    TIEBitmap b(4, 2, ie8p);
    for (int i = 0; i < 256; ++i)
        b.SetPaletteColor(i, Rgb(uint8_t(i), 0, uint8_t(255 - i)));
    const uint8_t indices[2][4] = {{3, 200, 3, 0}, {9, 9, 255, 1}};
    for (int y = 0; y < 2; ++y)
        std::memcpy(b.Scanline(y), indices[y], 4);
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    auto saved = Save(b, params);
    ASSERT_TRUE(saved.ok) << saved.reason;
    auto d = DecodeBmp(saved.file, {.native = true});
    ASSERT_TRUE(d->ok) << d->reason;
    ASSERT_EQ(d->bitmap.PixelFormat(), ie8p);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(d->bitmap.Scanline(y)[x], indices[y][x]);
            EXPECT_EQ(Px(d->bitmap, x, y), Px(b, x, y));
        }
}

TEST(BmpWrite, GrayImageToEightBits) {
    TIEBitmap b(256, 1, ie8g);
    for (int x = 0; x < 256; ++x)
        b.Scanline(0)[x] = uint8_t(x);
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    auto saved = Save(b, params);
    ASSERT_TRUE(saved.ok) << saved.reason;
    auto d = DecodeBmp(saved.file, {.native = true});
    ASSERT_TRUE(d->ok) << d->reason;
    for (int x = 0; x < 256; ++x)
        EXPECT_EQ(Px(d->bitmap, x, 0), TRGB({uint8_t(x), uint8_t(x), uint8_t(x)}));
}

TEST(BmpWrite, TrueColourFromOtherFormats) {
    // An ie1g image, an ie8p image and a device-held image, written as 24 bits.
    TIEBitmap one(10, 2, ie1g);
    one.Scanline(0)[0] = 0xF0;
    one.Scanline(1)[1] = 0x80;
    TIEBitmap pal(3, 1, ie8p);
    pal.SetPaletteColor(5, Rgb(1, 2, 3));
    pal.Scanline(0)[1] = 5;
    TIEBitmap device;
    device.SetLocation(ieTBitmap);
    ASSERT_TRUE(device.Allocate(3, 2, ie24RGB));
    reinterpret_cast<TRGB*>(device.Scanline(1))[2] = Rgb(9, 8, 7);
    for (TIEBitmap* b : {&one, &pal, &device}) {
        SCOPED_TRACE(PixelFormatName(b->PixelFormat()));
        TIOParamsVals params;
        auto saved = Save(*b, params);
        ASSERT_TRUE(saved.ok) << saved.reason;
        EXPECT_EQ(Le16(saved.file, 28), 24);
        auto d = DecodeBmp(saved.file);
        ASSERT_TRUE(d->ok) << d->reason;
        for (int y = 0; y < b->Height(); ++y)
            for (int x = 0; x < b->Width(); ++x)
                ASSERT_EQ(Px(d->bitmap, x, y), Px(*b, x, y)) << x << "," << y;
    }
}

TEST(BmpWrite, AlphaOnlyWithTheFlag) {
    auto b = Image24(3, 2, {Rgb(10, 20, 30)}, Diagonal);
    TIEBitmap* a = b->AlphaChannel();
    a->Scanline(0)[0] = 0;
    a->Scanline(1)[2] = 128;
    for (bool useAlpha : {false, true}) {
        SCOPED_TRACE(useAlpha);
        TIOParamsVals params;
        auto saved = Save(*b, params, useAlpha);
        ASSERT_TRUE(saved.ok) << saved.reason;
        ASSERT_EQ(Le16(saved.file, 28), 32);
        const size_t data = Le32(saved.file, 10);
        // Bottom row first: the last pixel of the bottom row is the fourth pixel written.
        EXPECT_EQ(saved.file[data + 2 * 4 + 3], useAlpha ? 128 : 255);
        EXPECT_EQ(saved.file[data + 3 * 4 + 3], useAlpha ? 0 : 255);
        auto d = DecodeBmp(saved.file, {.useAlpha = true});
        ASSERT_TRUE(d->ok) << d->reason;
        EXPECT_EQ(d->alpha.empty(), !useAlpha);
    }
}

TEST(BmpWrite, EmptyImageFails) {
    TIEBitmap b;
    TIOParamsVals params;
    auto saved = Save(b, params);
    EXPECT_FALSE(saved.ok);
    EXPECT_EQ(saved.reason, "BMP: cannot write an empty image");
    EXPECT_TRUE(saved.file.empty());
}
