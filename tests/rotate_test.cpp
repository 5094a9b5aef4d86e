// Rotation: quarter and half turns as exact permutations in every format (alpha kept
// aligned), and the sizes, backgrounds and centres of the general-angle paths.
#include <gtest/gtest.h>

#include <string>

#include "image/errors.h"
#include "proc/imageproc.h"
#include "tests/geometry_helpers.h"

using namespace tw;
using namespace twgeo;

namespace {

// Where result pixel (x, y) of a turn comes from, for a W x H source.
struct TTurn {
    const char* name;
    double angle;
    bool swaps;
    // source coordinates of result (x, y)
    int (*sx)(int x, int y, int W, int H);
    int (*sy)(int x, int y, int W, int H);
};

const TTurn kTurns[] = {
    // Counter-clockwise: the source's top-right pixel becomes the top-left.
    {"90", 90, true, [](int, int y, int W, int) { return W - 1 - y; }, [](int x, int, int, int) { return x; }},
    {"270", 270, true, [](int, int y, int, int) { return y; }, [](int x, int, int, int H) { return H - 1 - x; }},
    {"-90", -90, true, [](int, int y, int, int) { return y; }, [](int x, int, int, int H) { return H - 1 - x; }},
    {"180", 180, false, [](int x, int, int W, int) { return W - 1 - x; }, [](int, int y, int, int H) { return H - 1 - y; }},
    {"-180", -180, false, [](int x, int, int W, int) { return W - 1 - x; }, [](int, int y, int, int H) { return H - 1 - y; }},
    {"450", 450, true, [](int, int y, int W, int) { return W - 1 - y; }, [](int x, int, int, int) { return x; }},
};

void AddDistinctAlpha(TIEBitmap& image) {
    TIEBitmap* a = image.AlphaChannel();
    for (int y = 0; y < a->Height(); ++y)
        for (int x = 0; x < a->Width(); ++x) a->Scanline(y)[x] = uint8_t(10 * y + x + 1);
    a->Full = false;
}

} // namespace

TEST(Rotate, QuarterTurnsArePermutationsInEveryFormat) {
    for (TIEPixelFormat f : {ie24RGB, ie8g, ie8p, ie16g, ie32f, ieCMYK, ieRGB48, ieCIELab, ie32RGB})
        for (const TTurn& t : kTurns)
            for (bool withAlpha : {false, true}) {
                SCOPED_TRACE(std::string(PixelFormatName(f)) + " by " + t.name + (withAlpha ? " with alpha" : ""));
                TIEBitmap source(3, 2, f), image(3, 2, f);
                FillDistinct(source);
                FillDistinct(image);
                if (withAlpha) AddDistinctAlpha(image);
                if (f == ie8p) image.SetPaletteColor(7, MakeRGB(1, 2, 3));
                TImageProc proc(&image);
                proc.Rotate(t.angle, true, aamShear, clBlack);
                ASSERT_EQ(image.PixelFormat(), f);
                ASSERT_EQ(image.Width(), t.swaps ? 2 : 3);
                ASSERT_EQ(image.Height(), t.swaps ? 3 : 2);
                for (int y = 0; y < image.Height(); ++y)
                    for (int x = 0; x < image.Width(); ++x) {
                        const int sx = t.sx(x, y, 3, 2), sy = t.sy(x, y, 3, 2);
                        EXPECT_EQ(Pixel(image, x, y), Pixel(source, sx, sy)) << x << "," << y;
                        if (withAlpha) {
                            EXPECT_EQ(image.AlphaChannel()->Scanline(y)[x], 10 * sy + sx + 1);
                        }
                    }
                if (withAlpha) {
                    EXPECT_FALSE(image.AlphaChannel()->Full);
                }
                if (f == ie8p) {
                    EXPECT_EQ(image.PaletteColor(7), MakeRGB(1, 2, 3));
                }
            }
}

TEST(Rotate, QuarterTurnsOfOneBitImages) {
    // 3 x 2 bits: row 0 = 1 1 0, row 1 = 0 1 0; 10 x 3 covers whole and partial bytes.
    for (int W : {3, 10})
        for (const TTurn& t : kTurns) {
            if (t.angle == 450) continue; // 1-bit images take 450 as a general angle
            SCOPED_TRACE(std::to_string(W) + " wide by " + t.name);
            const int H = W == 3 ? 2 : 3;
            TIEBitmap source(W, H, ie1g), image(W, H, ie1g);
            FillRandom(source, uint32_t(W));
            FillRandom(image, uint32_t(W));
            AddDistinctAlpha(image);
            TImageProc(&image).Rotate(t.angle, true, aamShear, clWhite);
            ASSERT_EQ(image.PixelFormat(), ie1g);
            ASSERT_EQ(image.Width(), t.swaps ? H : W);
            for (int y = 0; y < image.Height(); ++y)
                for (int x = 0; x < image.Width(); ++x) {
                    const int sx = t.sx(x, y, W, H), sy = t.sy(x, y, W, H);
                    EXPECT_EQ(Bit(image, x, y), Bit(source, sx, sy)) << x << "," << y;
                    EXPECT_EQ(image.AlphaChannel()->Scanline(y)[x], 10 * sy + sx + 1);
                }
        }
}

TEST(Rotate, FullTurnLeavesTheImageAsItIs) {
    for (TIEPixelFormat f : {ie24RGB, ie1g, ie8g}) {
        SCOPED_TRACE(PixelFormatName(f));
        TIEBitmap source(7, 5, f), image(7, 5, f);
        FillRandom(source, 9);
        FillRandom(image, 9);
        TImageProc(&image).Rotate(360, true, aamShear, clBlack);
        EXPECT_TRUE(SamePixels(image, source));
    }
}

TEST(Rotate, DeviceImagesTurnInPlace) {
    for (TIEPixelFormat f : {ie24RGB, ie1g, ie8p, ie8g, ie32RGB}) {
        SCOPED_TRACE(PixelFormatName(f));
        TIEBitmap source(5, 3, f), image(5, 3, f);
        FillRandom(source, 21);
        FillRandom(image, 21);
        if (f == ie8p) {
            source.SetPaletteColor(3, MakeRGB(9, 8, 7));
            image.SetPaletteColor(3, MakeRGB(9, 8, 7));
        }
        image.SetLocation(ieTBitmap);
        ASSERT_EQ(image.PixelFormat(), f);
        TImageProc(&image).Rotate(90, true, aamShear, TColor(-1));
        ASSERT_EQ(image.Location(), ieTBitmap);
        ASSERT_EQ(image.PixelFormat(), f);
        ASSERT_EQ(image.Width(), 3);
        ASSERT_EQ(image.Height(), 5);
        // Every sequence of turns adding up to whole turns restores the source.
        TImageProc proc(&image);
        proc.Rotate(-90, true, aamShear, TColor(-1));
        EXPECT_TRUE(SamePixels(image, source));
        proc.Rotate(180, true, aamShear, TColor(-1));
        proc.Rotate(-180, true, aamShear, TColor(-1));
        EXPECT_TRUE(SamePixels(image, source));
        proc.Rotate(270, true, aamShear, TColor(-1));
        proc.Rotate(90, true, aamShear, TColor(-1));
        EXPECT_TRUE(SamePixels(image, source));
        if (f == ie8p) {
            EXPECT_EQ(image.PaletteColor(3), MakeRGB(9, 8, 7));
        }
    }
}

// ---- general angles -------------------------------------------------------------------------

namespace {

void FillConstant(TIEBitmap& b, uint8_t v) {
    for (int y = 0; y < b.Height(); ++y) std::memset(b.Scanline(y), v, size_t(b.RowLength()));
}

} // namespace

TEST(Rotate, ShearResultSizeAndCorners) {
    // 10 x 10 at 30 degrees: T = tan 15 = 0.26795, S = 0.5: W1 = Round(12.68 + 1) = 14,
    // K2 = Round(2) = 2, H2 = Round(7 + 11) = 18, K3 = Round(0.26795 * 6) = 2,
    // H2 = 18 - 4 = 14, W3 = Round(0.26795 * 14 + 15 - 4) = 15.
    struct Row {
        const char* name;
        int w, h;
        double angle;
        int expectW, expectH;
    } rows[] = {
        {"10 x 10 by 30", 10, 10, 30, 15, 14},
        {"12 x 8 by -20", 12, 8, -20, 15, 12},
        {"12 x 8 by 100 (one quarter turn, then 10)", 12, 8, 100, 12, 15},
    };
    for (const Row& r : rows)
        for (bool antialias : {true, false}) {
            SCOPED_TRACE(std::string(r.name) + (antialias ? " antialiased" : ""));
            TIEBitmap image(r.w, r.h, ie24RGB);
            FillConstant(image, 50);
            TImageProc proc(&image);
            proc.Rotate(r.angle, antialias, aamShear, TColor(0x0000FF)); // red
            ASSERT_EQ(image.Width(), r.expectW);
            ASSERT_EQ(image.Height(), r.expectH);
            for (auto [x, y] : {std::pair{0, 0}, {r.expectW - 1, 0}, {0, r.expectH - 1}, {r.expectW - 1, r.expectH - 1}})
                EXPECT_EQ(RGBAt(image, x, y), MakeRGB(255, 0, 0)) << x << "," << y;
            EXPECT_EQ(RGBAt(image, r.expectW / 2, r.expectH / 2), Gray(50));
        }
}

TEST(Rotate, BlendingEqualSamplesKeepsThem) {
    // Inside a flat area every blend mixes a sample with itself: odd levels must not
    // drift to the next even one.
    for (uint8_t v : {51, 50, 255, 1}) {
        SCOPED_TRACE(int(v));
        TIEBitmap image(12, 12, ie24RGB);
        FillConstant(image, v);
        TImageProc(&image).Rotate(17, true, aamShear, clBlack);
        EXPECT_EQ(RGBAt(image, image.Width() / 2, image.Height() / 2), Gray(v));
    }
}

TEST(Rotate, GeneralAngleAlphaIsTransparentOutside) {
    TIEBitmap image(10, 10, ie24RGB);
    FillConstant(image, 80);
    image.AlphaChannel(); // opaque
    TImageProc(&image).Rotate(30, true, aamShear, clWhite);
    ASSERT_TRUE(image.HasAlphaChannel());
    TIEBitmap* a = image.AlphaChannel();
    ASSERT_EQ(a->Width(), image.Width());
    ASSERT_EQ(a->Height(), image.Height());
    EXPECT_EQ(a->Scanline(0)[0], 0);
    EXPECT_EQ(a->Scanline(image.Height() - 1)[image.Width() - 1], 0);
    EXPECT_EQ(a->Scanline(7)[7], 255);
    EXPECT_FALSE(a->Full);
}

TEST(Rotate, DefaultBackgroundIsLightGray) {
    TIEBitmap image(10, 10, ie24RGB);
    FillConstant(image, 0);
    TImageProc proc(&image);
    proc.Rotate(30, true, aamShear, TColor(-1));
    EXPECT_EQ(RGBAt(image, 0, 0), MakeRGB(240, 240, 240));
    proc.Background = 0x00FF00; // green
    proc.Rotate(30, true, aamShear, TColor(-1));
    EXPECT_EQ(RGBAt(image, 0, 0), MakeRGB(0, 255, 0));
}

TEST(Rotate, OtherPathsSizesCentresAndBackgrounds) {
    // 10 x 10: the padded and inverse-mapped paths add a 3-pixel border (16 x 16, so
    // 15 between the outer centres): Round(15 cos 30 + 15 sin 30) = Round(20.49) = 20,
    // less the 6 border pixels = 14.
    // The 1-bit path: cs = 0.7071, sn = -0.7071 at 45: Trunc(7.071 + 7.071) = 14.
    struct Row {
        const char* name;
        TIEPixelFormat f;
        double angle;
        TIERotateAntialias mode;
        int expect;
    } rows[] = {
        {"ie8g padded nearest 30", ie8g, 30, aamShear, 14},
        {"ie32RGB padded nearest 30", ie32RGB, 30, aamShear, 14},
        {"ie24RGB inverse bilinear 30", ie24RGB, 30, aamBilinear, 14},
        {"ie24RGB inverse bicubic 30", ie24RGB, 30, aamBicubic, 14},
        {"ie1g nearest 45", ie1g, 45, aamShear, 14},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image(10, 10, r.f);
        FillConstant(image, r.f == ie1g ? 0x00 : 100); // 1-bit: black
        image.AlphaChannel();
        TImageProc proc(&image);
        proc.Rotate(r.angle, true, r.mode, clWhite);
        ASSERT_EQ(image.PixelFormat(), r.f);
        ASSERT_EQ(image.Width(), r.expect);
        ASSERT_EQ(image.Height(), r.expect);
        ASSERT_EQ(image.AlphaChannel()->Width(), r.expect);
        const int c = r.expect / 2;
        if (r.f == ie1g) {
            EXPECT_TRUE(Bit(image, 0, 0));   // white background
            EXPECT_FALSE(Bit(image, c, c)); // black image
        } else {
            const int p = BitsPerPixelOf(r.f) / 8;
            EXPECT_EQ(Pixel(image, c, c), std::vector<uint8_t>(size_t(p), 100));
            EXPECT_EQ(Pixel(image, 0, 0)[0], 255);
        }
        EXPECT_EQ(image.AlphaChannel()->Scanline(c)[c], 255);
        EXPECT_EQ(image.AlphaChannel()->Scanline(0)[0], 0);
    }
}

TEST(Rotate, ZeroAngleDoesNothing) {
    TIEBitmap image(4, 3, ie24RGB);
    FillRandom(image, 4);
    TIEBitmap copy;
    copy.Assign(image);
    bool finished = false;
    TImageProc proc(&image);
    proc.OnFinishWork = [&](TImageProc&) { finished = true; };
    proc.Rotate(0, true, aamShear, clWhite);
    EXPECT_TRUE(SamePixels(image, copy));
    EXPECT_FALSE(finished);
}

TEST(Rotate, ATurnThatCannotBeHeldLeavesTheImage) {
    // 1000 x 1 needs 3000 bytes; turned, 1000 rows of 4 bytes need 4000.
    TIEBitmap image(1000, 1, ie24RGB);
    FillRandom(image, 12);
    TIEBitmap copy;
    copy.Assign(image);
    image.SetLocation(ieTBitmap);
    image.MemoryThreshold = 3500;
    TImageProc proc(&image);
    try {
        proc.Rotate(90, true, aamShear, clWhite);
        ADD_FAILURE() << "no error raised";
    } catch (const EIEException& e) {
        EXPECT_NE(std::string(e.what()).find("Image too large"), std::string::npos) << e.what();
    }
    EXPECT_EQ(image.Location(), ieTBitmap);
    EXPECT_TRUE(SamePixels(image, copy));
}
