// Flip, orientation and crop: pixel moves in every format, the 1-bit row mirror with
// spare bits, the alpha channel carried along, and crop rectangles.
#include <gtest/gtest.h>

#include <string>

#include "image/errors.h"
#include "proc/imageproc.h"
#include "tests/geometry_helpers.h"

using namespace tw;
using namespace twgeo;

namespace {

void AddAlpha(TIEBitmap& image) {
    TIEBitmap* a = image.AlphaChannel();
    for (int y = 0; y < a->Height(); ++y)
        for (int x = 0; x < a->Width(); ++x) a->Scanline(y)[x] = uint8_t(7 * y + 3 * x + 1);
}

// Bits of row y as a string of 0 and 1.
std::string Bits(TIEBitmap& b, int y) {
    std::string s;
    for (int x = 0; x < b.Width(); ++x) s += Bit(b, x, y) ? '1' : '0';
    return s;
}

} // namespace

TEST(Flip, OneBitRowsMirrorWithoutSpareBits) {
    struct Row {
        const char* name;
        int width;
        std::vector<uint8_t> bytes;
        const char* expect;
    } rows[] = {
        // 8 pixels: a plain reversal of the bits.
        {"8 pixels", 8, {0xB1}, "10001101"},
        // 10 pixels 1011000010 followed by six set spare bits, which must stay out.
        {"10 pixels, spare bits set", 10, {0xB0, 0xBF}, "0100001101"},
        {"1 pixel", 1, {0xFF}, "1"},
        {"17 pixels", 17, {0x80, 0x01, 0x7F}, "01000000000000001"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image(r.width, 1, ie1g);
        std::memcpy(image.Scanline(0), r.bytes.data(), r.bytes.size());
        TImageProc(&image).Flip(flipHorizontal);
        EXPECT_EQ(Bits(image, 0), r.expect);
    }
}

TEST(Flip, EveryFormatBothWaysWithAlpha) {
    for (TIEPixelFormat f : {ie1g, ie8p, ie8g, ie16g, ie24RGB, ie32f, ieCMYK, ieRGB48, ieCIELab, ie32RGB})
        for (TIEFlipDirection d : {flipHorizontal, flipVertical}) {
            SCOPED_TRACE(std::string(PixelFormatName(f)) + (d == flipHorizontal ? " horizontal" : " vertical"));
            const int W = 11, H = 5;
            TIEBitmap source(W, H, f), image(W, H, f);
            FillRandom(source, 17);
            FillRandom(image, 17);
            AddAlpha(image);
            TImageProc proc(&image);
            proc.Flip(d);
            ASSERT_EQ(image.Width(), W);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const int sx = d == flipHorizontal ? W - 1 - x : x, sy = d == flipVertical ? H - 1 - y : y;
                    if (f == ie1g) {
                        EXPECT_EQ(Bit(image, x, y), Bit(source, sx, sy));
                    } else {
                        EXPECT_EQ(Pixel(image, x, y), Pixel(source, sx, sy));
                    }
                    EXPECT_EQ(image.AlphaChannel()->Scanline(y)[x], 7 * sy + 3 * sx + 1);
                }
            proc.Flip(d);
            EXPECT_TRUE(SamePixels(image, source));
        }
}

TEST(Flip, DeviceAndFileImages) {
    for (TIELocation location : {ieTBitmap, ieFile})
        for (TIEPixelFormat f : {ie1g, ie24RGB, ie8g}) {
            SCOPED_TRACE(std::string(PixelFormatName(f)) + (location == ieTBitmap ? " device" : " file"));
            TIEBitmap source(13, 6, f);
            FillRandom(source, 5);
            TIEBitmap image;
            if (location == ieFile) image.MemoryThreshold = 0;
            image.Assign(source);
            if (location == ieTBitmap) image.SetLocation(ieTBitmap);
            ASSERT_EQ(image.Location(), location);
            TImageProc proc(&image);
            proc.Flip(flipHorizontal);
            proc.Flip(flipVertical);
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 13; ++x) {
                    if (f == ie1g) {
                        EXPECT_EQ(Bit(image, x, y), Bit(source, 12 - x, 5 - y));
                    } else {
                        EXPECT_EQ(Pixel(image, x, y), Pixel(source, 12 - x, 5 - y));
                    }
                }
        }
}

TEST(Orientation, EveryValue) {
    struct Row {
        int orientation;
        bool swaps;
        int (*sx)(int x, int y);
        int (*sy)(int x, int y);
    } rows[] = {
        // Source 3 x 2, so W - 1 = 2 and H - 1 = 1.
        {1, false, [](int x, int) { return x; }, [](int, int y) { return y; }},
        {2, false, [](int x, int) { return 2 - x; }, [](int, int y) { return y; }},
        {3, false, [](int x, int) { return 2 - x; }, [](int, int y) { return 1 - y; }},
        {4, false, [](int x, int) { return x; }, [](int, int y) { return 1 - y; }},
        {5, true, [](int, int y) { return 2 - y; }, [](int x, int) { return 1 - x; }},
        {6, true, [](int, int y) { return y; }, [](int x, int) { return 1 - x; }},
        {7, true, [](int, int y) { return y; }, [](int x, int) { return x; }},
        {8, true, [](int, int y) { return 2 - y; }, [](int x, int) { return x; }},
        {0, false, [](int x, int) { return x; }, [](int, int y) { return y; }},
        {9, false, [](int x, int) { return x; }, [](int, int y) { return y; }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("orientation " + std::to_string(r.orientation));
        TIEBitmap source(3, 2, ie24RGB), image(3, 2, ie24RGB);
        FillDistinct(source);
        FillDistinct(image);
        TImageProc(&image).ApplyOrientation(r.orientation);
        ASSERT_EQ(image.Width(), r.swaps ? 2 : 3);
        for (int y = 0; y < image.Height(); ++y)
            for (int x = 0; x < image.Width(); ++x) EXPECT_EQ(RGBAt(image, x, y), RGBAt(source, r.sx(x, y), r.sy(x, y)));
    }
}

// ---- crop -------------------------------------------------------------------------------------

TEST(Crop, Rectangles) {
    struct Row {
        const char* name;
        TIERect rect;
        int expectW, expectH;
        int offsetX, offsetY; // result (0, 0) is source (offsetX, offsetY)
    } rows[] = {
        {"whole image", {0, 0, 39, 29}, 40, 30, 0, 0},
        {"inner 10 x 10", {10, 20, 19, 29}, 10, 10, 10, 20},
        {"right < left", {10, 0, 9, 29}, 40, 30, 0, 0},
        {"bottom < top", {0, 5, 39, 4}, 40, 30, 0, 0},
        {"one pixel", {39, 29, 39, 29}, 1, 1, 39, 29},
        {"the caller's clipped box", {0, 0, std::min(1000, 40) - 1, std::min(20, 30) - 1}, 40, 20, 0, 0},
    };
    for (TIEPixelFormat f : {ie24RGB, ie8g, ie1g, ieRGB48})
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(PixelFormatName(f)) + " " + r.name);
            TIEBitmap source(40, 30, f), image(40, 30, f);
            FillRandom(source, 3);
            FillRandom(image, 3);
            AddAlpha(image);
            TImageProc(&image).Crop(r.rect);
            ASSERT_EQ(image.Width(), r.expectW);
            ASSERT_EQ(image.Height(), r.expectH);
            ASSERT_EQ(image.AlphaChannel()->Width(), r.expectW);
            for (int y = 0; y < r.expectH; ++y)
                for (int x = 0; x < r.expectW; ++x) {
                    const int sx = x + r.offsetX, sy = y + r.offsetY;
                    if (f == ie1g) {
                        EXPECT_EQ(Bit(image, x, y), Bit(source, sx, sy));
                    } else {
                        EXPECT_EQ(Pixel(image, x, y), Pixel(source, sx, sy));
                    }
                    EXPECT_EQ(image.AlphaChannel()->Scanline(y)[x], uint8_t(7 * sy + 3 * sx + 1));
                }
        }
}

TEST(Crop, RectangleReachingBeyondTheImage) {
    TIEBitmap image(40, 30, ie24RGB);
    FillDistinct(image);
    TIEBitmap source;
    source.Assign(image);
    AddAlpha(image);
    TImageProc(&image).Crop(30, 25, 49, 34);
    ASSERT_EQ(image.Width(), 20);
    ASSERT_EQ(image.Height(), 10);
    EXPECT_EQ(RGBAt(image, 0, 0), RGBAt(source, 30, 25));
    EXPECT_EQ(RGBAt(image, 9, 4), RGBAt(source, 39, 29));
    // Outside the source: zero colour, opaque alpha.
    EXPECT_EQ(RGBAt(image, 10, 0), MakeRGB(0, 0, 0));
    EXPECT_EQ(RGBAt(image, 0, 5), MakeRGB(0, 0, 0));
    EXPECT_EQ(image.AlphaChannel()->Scanline(5)[15], 255);
    EXPECT_EQ(image.AlphaChannel()->Scanline(0)[0], uint8_t(7 * 25 + 3 * 30 + 1));
}

TEST(Crop, HugeRectangleFailsCleanly) {
    TIEBitmap image(40, 30, ie24RGB);
    FillDistinct(image);
    TImageProc proc(&image);
    EXPECT_THROW(proc.Crop(0, 0, 999999, 999999), EIEException);
    EXPECT_THROW(proc.Crop(-2147483647 - 1, 0, 2147483647, 10), EIEException);
    EXPECT_EQ(image.Width(), 40);
    EXPECT_EQ(image.Height(), 30);
}

TEST(Crop, OneBitAtOddOffsetsAndOnDevice) {
    TIEBitmap source(21, 4, ie1g), image(21, 4, ie1g);
    FillRandom(source, 8);
    FillRandom(image, 8);
    image.SetLocation(ieTBitmap);
    TImageProc(&image).Crop(3, 1, 15, 2);
    ASSERT_EQ(image.Location(), ieTBitmap);
    ASSERT_EQ(image.Width(), 13);
    ASSERT_EQ(image.Height(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 13; ++x) EXPECT_EQ(Bit(image, x, y), Bit(source, x + 3, y + 1));
}
