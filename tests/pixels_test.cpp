// Pixel access, fills, rectangle copies, canvas resizing and masks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/mask.h"

using namespace tw;

namespace {

TRGB RGB(int r, int g, int b) { return MakeRGB(uint8_t(r), uint8_t(g), uint8_t(b)); }

// A bitmap in memory, or in a temporary file when `inFile` (threshold 0).
std::unique_ptr<TIEBitmap> New(int w, int h, TIEPixelFormat f, bool inFile = false) {
    auto b = std::make_unique<TIEBitmap>();
    if (inFile) b->MemoryThreshold = 0;
    b->Allocate(w, h, f);
    return b;
}

void FillGradient8(TIEBitmap& b) {
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) b.SetPixels_ie8(x, y, uint8_t(x + 10 * y));
}

} // namespace

TEST(PixelAccess, GetPixelRGBOfEveryFormat) {
    TIEBitmap g16(1, 1, ie16g);
    g16.SetPixels_ie16g(0, 0, 0x1234);
    EXPECT_EQ(g16.GetPixelRGB(0, 0), RGB(0x12, 0x12, 0x12));

    TIEBitmap f(2, 1, ie32f);
    f.SetPixels_ie32f(0, 0, 0.5f);  // Trunc(127.5)
    f.SetPixels_ie32f(1, 0, 2.0f);  // out of range: held at white, never wrapped
    EXPECT_EQ(f.GetPixelRGB(0, 0), RGB(127, 127, 127));
    EXPECT_EQ(f.GetPixelRGB(1, 0), RGB(255, 255, 255));

    TIEBitmap bits(10, 1, ie1g);
    bits.SetPixels_ie1(9, 0, true);
    EXPECT_EQ(bits.GetPixelRGB(9, 0), RGB(255, 255, 255));
    EXPECT_EQ(bits.GetPixelRGB(8, 0), RGB(0, 0, 0));

    TIEBitmap w48(1, 1, ieRGB48);
    w48.SetPixels_ie48RGB(0, 0, 0xAB01, 0x12FF, 0x0080);
    EXPECT_EQ(w48.GetPixelRGB(0, 0), RGB(0xAB, 0x12, 0x00));

    TIEBitmap cmyk(1, 1, ieCMYK);
    cmyk.SetPixels_ie32(0, 0, 0xFFFFFF00u); // bytes C=0, M=Y=K=255
    EXPECT_EQ(cmyk.GetPixelRGB(0, 0), RGB(0, 255, 255));

    TIEBitmap lab(1, 1, ieCIELab);
    lab.Scanline(0)[0] = 255;
    EXPECT_EQ(lab.GetPixelRGB(0, 0), RGB(255, 255, 255));

    TIEBitmap pal(1, 1, ie8p);
    pal.SetPaletteColor(3, RGB(1, 2, 3));
    pal.SetPixels_ie8(0, 0, 3);
    EXPECT_EQ(pal.GetPixelRGB(0, 0), RGB(1, 2, 3));

    TIEBitmap q(1, 1, ie32RGB);
    q.SetPixels_ie32(0, 0, 0x00332211u);
    EXPECT_EQ(q.GetPixelRGB(0, 0), RGB(0x33, 0x22, 0x11));

    TIEBitmap none;
    EXPECT_EQ(none.GetPixelRGB(0, 0), RGB(0, 0, 0));
}

TEST(PixelAccess, SettersClearFullUnlessMaximum) {
    struct TCase {
        const char* name;
        TIEPixelFormat format;
        void (*setMax)(TIEBitmap&);
        void (*setLess)(TIEBitmap&);
    };
    const TCase cases[] = {
        {"ie8g", ie8g, [](TIEBitmap& b) { b.SetPixels_ie8(0, 0, 255); }, [](TIEBitmap& b) { b.SetPixels_ie8(0, 0, 254); }},
        {"ie16g", ie16g, [](TIEBitmap& b) { b.SetPixels_ie16g(0, 0, 65535); },
         [](TIEBitmap& b) { b.SetPixels_ie16g(0, 0, 65534); }},
        {"ie32f", ie32f, [](TIEBitmap& b) { b.SetPixels_ie32f(0, 0, 1.0f); },
         [](TIEBitmap& b) { b.SetPixels_ie32f(0, 0, 0.999f); }},
        {"ie24RGB", ie24RGB, [](TIEBitmap& b) { b.SetPixels_ie24RGB(0, 0, RGB(255, 255, 255)); },
         [](TIEBitmap& b) { b.SetPixels_ie24RGB(0, 0, RGB(255, 254, 255)); }},
        {"ieRGB48", ieRGB48, [](TIEBitmap& b) { b.SetPixels_ie48RGB(0, 0, 65535, 65535, 65535); },
         [](TIEBitmap& b) { b.SetPixels_ie48RGB(0, 0, 65535, 0, 65535); }},
        {"ie1g", ie1g, [](TIEBitmap& b) { b.SetPixels_ie1(0, 0, true); }, [](TIEBitmap& b) { b.SetPixels_ie1(0, 0, false); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TIEBitmap b(2, 2, c.format);
        b.Full = true;
        c.setMax(b);
        EXPECT_TRUE(b.Full);
        c.setLess(b);
        EXPECT_FALSE(b.Full);
    }
    TIEBitmap q(1, 1, ie32RGB); // the 32-bit setter leaves Full alone
    q.Full = true;
    q.SetPixels_ie32(0, 0, 0);
    EXPECT_TRUE(q.Full);
}

TEST(PixelAccess, AlphaPixel) {
    TIEBitmap b(3, 2, ie24RGB);
    EXPECT_EQ(b.AlphaPixel(2, 1), 255); // reading creates an opaque alpha
    ASSERT_TRUE(b.HasAlphaChannel());
    b.Full = true;
    b.SetAlphaPixel(1, 1, 255);
    EXPECT_TRUE(b.AlphaChannel()->Full);
    b.SetAlphaPixel(1, 1, 9);
    EXPECT_EQ(b.AlphaPixel(1, 1), 9);
    EXPECT_FALSE(b.AlphaChannel()->Full);
    EXPECT_FALSE(b.Full);
}

TEST(Fill, FullFlagAndValues) {
    struct TCase {
        const char* name;
        TIEPixelFormat format;
        double value;
        bool full;
        std::vector<uint8_t> pixel; // stored bytes of one pixel
    };
    const TCase cases[] = {
        {"ie32f 1.0", ie32f, 1.0, true, {0x00, 0x00, 0x80, 0x3F}},
        {"ie32f 0.5", ie32f, 0.5, false, {0x00, 0x00, 0x00, 0x3F}},
        {"ie8g 255", ie8g, 255, true, {255}},
        {"ie8g 300 keeps the low byte", ie8g, 300, false, {44}},
        {"ie16g 65535", ie16g, 65535, true, {255, 255}},
        {"ie16g 0x1234", ie16g, 0x1234, false, {0x34, 0x12}},
        {"ie24RGB white", ie24RGB, double(0xFFFFFF), true, {255, 255, 255}},
        {"ie24RGB colour", ie24RGB, double(0x0000FF), false, {0, 0, 255}}, // red in the low byte
        {"ieCMYK white", ieCMYK, double(0xFFFFFF), true, {255, 255, 255, 255}},
        {"ieCMYK red", ieCMYK, double(0x0000FF), false, {255, 0, 0, 255}},
        {"ieRGB48 colour", ieRGB48, double(0x0201FF), false, {255, 255, 1, 1, 2, 2}},
        {"ieCIELab white", ieCIELab, double(0xFFFFFF), true, {255, 0, 0}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TIEBitmap b(3, 2, c.format);
        b.Fill(c.value);
        EXPECT_EQ(b.Full, c.full);
        size_t n = c.pixel.size();
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(std::vector<uint8_t>(b.Scanline(y) + x * n, b.Scanline(y) + (x + 1) * n), c.pixel);
    }

    TIEBitmap bits(13, 2, ie1g);
    bits.Fill(7);
    EXPECT_TRUE(bits.Full);
    EXPECT_TRUE(bits.Pixels_ie1(12, 1));
    bits.Fill(0);
    EXPECT_FALSE(bits.Full);
    EXPECT_TRUE(bits.IsAllZero());

    TIEBitmap q(2, 2, ie32RGB); // B, G, R set; the fourth byte of row 0 kept
    q.Scanline(0)[3] = 42;
    q.Fill(double(0x112233));
    EXPECT_EQ(q.Pixels_ie32(0, 0), 0x2A332211u);
    EXPECT_EQ(q.Pixels_ie32(0, 1), 0x2A332211u);
}

TEST(Fill, FillRectClipsAndKeepsFull) {
    TIEBitmap b(5, 4, ie8g);
    b.Fill(255);
    ASSERT_TRUE(b.Full);
    b.FillRect(3, 2, 1, 3, 0); // X2 < X1: nothing
    EXPECT_EQ(b.Pixels_ie8(2, 2), 255);
    b.FillRect(2, 3, 4, 1, 0); // Y2 < Y1: nothing
    EXPECT_EQ(b.Pixels_ie8(3, 2), 255);
    b.FillRect(-3, -1, 1, 1, 9); // partly outside: the inside only
    b.FillRect(3, 2, 99, 99, 7);
    EXPECT_TRUE(b.Full);
    const char* expect[4] = {"99...", "99...", "...77", "...77"};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            int want = expect[y][x] == '.' ? 255 : expect[y][x] - '0';
            EXPECT_EQ(b.Pixels_ie8(x, y), want) << x << "," << y;
        }

    TIEBitmap f(2, 1, ie32f); // FillRect stores Trunc(value) in a float image
    f.FillRect(0, 0, 1, 0, 2.75);
    EXPECT_EQ(f.Pixels_ie32f(1, 0), 2.0f);

    TIEBitmap bits(20, 2, ie1g);
    bits.FillRect(3, 1, 17, 1, 1);
    for (int x = 0; x < 20; ++x) {
        EXPECT_FALSE(bits.Pixels_ie1(x, 0));
        EXPECT_EQ(bits.Pixels_ie1(x, 1), x >= 3 && x <= 17) << x;
    }
}

TEST(CopyRectangle, NegativeTargetOffsetShiftsTheSource) {
    TIEBitmap src(6, 3, ie8g), dst(6, 3, ie8g);
    FillGradient8(src);
    dst.Fill(0);
    src.CopyRectangleTo(dst, 0, 0, -2, 0, 4, 2); // two source columns further right, two fewer
    const int expect[3][6] = {{2, 3, 0, 0, 0, 0}, {12, 13, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(dst.Pixels_ie8(x, y), expect[y][x]) << x << "," << y;
}

TEST(CopyRectangle, ClippingTable) {
    struct TCase {
        const char* name;
        int sx, sy, tx, ty, w, h;
    };
    // Source 5x3 holds x + 10y; the target is 4x3 filled with 99.
    const TCase cases[] = {
        {"inside", 1, 0, 2, 1, 2, 2},
        {"too wide and tall", 0, 0, 2, 1, 9, 9},
        {"negative y", 0, 0, 0, -1, 2, 3},
        {"negative x and y", 1, 0, -1, -1, 3, 3},
        {"nothing left", 0, 0, -5, 0, 4, 2},
        {"target beyond the edge", 0, 0, 7, 7, 2, 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TIEBitmap src(5, 3, ie8g), dst(4, 3, ie8g);
        FillGradient8(src);
        dst.Fill(99);
        src.CopyRectangleTo(dst, c.sx, c.sy, c.tx, c.ty, c.w, c.h);
        // Independent clip: the copied target cells are those (tx..tx+w-1, ty..ty+h-1)
        // after the rules, each taking the source cell at the same offset.
        int tx = std::min(std::max(c.tx, 0), 3), ty = std::min(std::max(c.ty, 0), 2);
        int sx = std::clamp(c.sx + (c.tx < 0 ? -c.tx : 0), 0, 4), sy = std::clamp(c.sy + (c.ty < 0 ? -c.ty : 0), 0, 2);
        int w = c.w + std::min(c.tx, 0), h = c.h + std::min(c.ty, 0);
        w = std::min({w, 5 - sx, 4 - tx});
        h = std::min({h, 3 - sy, 3 - ty});
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) {
                bool in = x >= tx && x < tx + w && y >= ty && y < ty + h;
                int want = in ? (sx + x - tx) + 10 * (sy + y - ty) : 99;
                EXPECT_EQ(dst.Pixels_ie8(x, y), want) << x << "," << y;
            }
    }
    // The worked cases by hand.
    TIEBitmap src(5, 3, ie8g), dst(4, 3, ie8g);
    FillGradient8(src);
    dst.Fill(99);
    src.CopyRectangleTo(dst, 0, 0, 2, 1, 9, 9); // clipped to 2 x 2 at (2, 1)
    EXPECT_EQ(dst.Pixels_ie8(2, 1), 0);
    EXPECT_EQ(dst.Pixels_ie8(3, 2), 11);
    EXPECT_EQ(dst.Pixels_ie8(1, 1), 99);
    dst.Fill(99);
    src.CopyRectangleTo(dst, 0, 0, 0, -1, 2, 3); // source rows 1..2 into target rows 0..1
    EXPECT_EQ(dst.Pixels_ie8(1, 0), 11);
    EXPECT_EQ(dst.Pixels_ie8(0, 1), 20);
    EXPECT_EQ(dst.Pixels_ie8(0, 2), 99);
}

TEST(CopyRectangle, OneBitCopiesAreBitExact) {
    struct TCase {
        int sx, tx, w;
    };
    const TCase cases[] = {{3, 5, 21}, {0, 7, 9}, {9, 1, 30}, {5, 5, 16}, {1, 0, 8}, {0, 0, 37}, {13, 2, 1}};
    for (bool inFile : {false, true}) {
        for (const TCase& c : cases) {
            SCOPED_TRACE("sx " + std::to_string(c.sx) + " tx " + std::to_string(c.tx) + " w " + std::to_string(c.w) +
                         (inFile ? " (file)" : ""));
            auto src = New(40, 2, ie1g, inFile), dst = New(40, 2, ie1g, inFile);
            auto bit = [](int x, int y) { return ((x * 7 + y * 3) % 5) < 2; };
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 40; ++x) src->SetPixels_ie1(x, y, bit(x, y));
            dst->Fill(1);
            dst->SetPixels_ie1(c.tx + c.w, 1, false); // a cleared bit right after the copy stays cleared
            src->CopyRectangleTo(*dst, c.sx, 0, c.tx, 0, c.w, 2);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 40; ++x) {
                    bool want = (x >= c.tx && x < c.tx + c.w) ? bit(c.sx + x - c.tx, y) : !(y == 1 && x == c.tx + c.w);
                    ASSERT_EQ(dst->Pixels_ie1(x, y), want) << x << "," << y;
                }
        }
    }
}

TEST(CopyRectangle, FormatPairs) {
    TIEBitmap bits(10, 1, ie1g), rgb(10, 1, ie24RGB);
    bits.SetPixels_ie1(4, 0, true);
    rgb.Fill(double(0x123456));
    bits.CopyRectangleTo(rgb, 3, 0, 1, 0, 3, 1);
    EXPECT_EQ(rgb.Pixels_ie24RGB(0, 0), RGB(0x56, 0x34, 0x12));
    EXPECT_EQ(rgb.Pixels_ie24RGB(1, 0), RGB(0, 0, 0));
    EXPECT_EQ(rgb.Pixels_ie24RGB(2, 0), RGB(255, 255, 255));
    EXPECT_EQ(rgb.Pixels_ie24RGB(3, 0), RGB(0, 0, 0));
    EXPECT_EQ(rgb.Pixels_ie24RGB(4, 0), RGB(0x56, 0x34, 0x12));

    TIEBitmap gray(10, 1, ie8g); // any other pair copies nothing
    gray.Fill(5);
    rgb.CopyRectangleTo(gray, 0, 0, 0, 0, 10, 1);
    EXPECT_EQ(gray.Pixels_ie8(2, 0), 5);

    TIEBitmap w48(3, 1, ieRGB48), w48b(3, 1, ieRGB48); // same format: whole pixels
    w48.SetPixels_ie48RGB(1, 0, 1, 2, 3);
    w48.CopyRectangleTo(w48b, 1, 0, 2, 0, 1, 1);
    uint16_t r, g, b;
    w48b.Pixels_ie48RGB(2, 0, r, g, b);
    EXPECT_EQ(r + g * 10 + b * 100, 321);
}

TEST(CopyRectangle, WithinOneBitmapInAFile) {
    auto b = New(6, 4, ie8g, true);
    ASSERT_EQ(b->Location(), ieFile);
    FillGradient8(*b);
    b->CopyRectangleTo(*b, 0, 0, 1, 1, 3, 3); // overlapping move down and right
    const int expect[4][6] = {
        {0, 1, 2, 3, 4, 5}, {10, 0, 1, 2, 14, 15}, {20, 10, 11, 12, 24, 25}, {30, 20, 21, 22, 34, 35}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(b->Pixels_ie8(x, y), expect[y][x]) << x << "," << y;
}

TEST(ResizeCanvas, GrowKeepsTopLeftAndFillsStrips) {
    for (bool inFile : {false, true}) {
        SCOPED_TRACE(inFile ? "file" : "memory");
        auto b = New(4, 3, ie24RGB, inFile);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) b->SetPixels_ie24RGB(x, y, RGB(x, y, 100));
        b->ResizeCanvas(10, 9, double(0x00FF00), 255, 0, 0);
        ASSERT_EQ(b->Width(), 10);
        ASSERT_EQ(b->Height(), 9);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 10; ++x)
                EXPECT_EQ(b->Pixels_ie24RGB(x, y), x < 4 && y < 3 ? RGB(x, y, 100) : RGB(0, 255, 0)) << x << "," << y;
    }
}

TEST(ResizeCanvas, CentredGrowthMovesImageAndAlpha) {
    TIEBitmap b(2, 2, ie8g);
    b.Fill(50);
    b.AlphaChannel()->Fill(255);
    b.ResizeCanvas(6, 5, 7, 0, 1, 1); // right by (6-2)/2 = 2, down by (5-2)/2 = 1
    const char* image[5] = {"777777", "77..77", "77..77", "777777", "777777"};
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            bool in = image[y][x] == '.';
            EXPECT_EQ(b.Pixels_ie8(x, y), in ? 50 : 7) << x << "," << y;
            EXPECT_EQ(b.AlphaPixel(x, y), in ? 255 : 0) << x << "," << y;
        }

    TIEBitmap r(2, 2, ie8g); // right/bottom alignment
    r.Fill(50);
    r.ResizeCanvas(5, 3, 7, 255, 2, 2);
    EXPECT_EQ(r.Pixels_ie8(3, 1), 50);
    EXPECT_EQ(r.Pixels_ie8(4, 2), 50);
    EXPECT_EQ(r.Pixels_ie8(2, 2), 7);
    EXPECT_EQ(r.Pixels_ie8(3, 0), 7);
}

TEST(ResizeCanvas, ShrinkAlignments) {
    struct TCase {
        int align;
        int firstColumn, firstRow; // source column and row now at (0, 0)
    };
    // 9 x 7 to 4 x 4: centred cuts (9-4)/2 = 2 columns and (7-4)/2 = 1 row.
    const TCase cases[] = {{0, 0, 0}, {1, 2, 1}, {2, 5, 3}};
    for (const TCase& c : cases) {
        SCOPED_TRACE("align " + std::to_string(c.align));
        TIEBitmap b(9, 7, ie8g);
        FillGradient8(b);
        // The alpha follows.
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 9; ++x) b.SetAlphaPixel(x, y, uint8_t(100 + x + 10 * y));
        b.ResizeCanvas(4, 4, 0, 0, c.align, c.align);
        ASSERT_EQ(b.Width(), 4);
        ASSERT_EQ(b.Height(), 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                EXPECT_EQ(b.Pixels_ie8(x, y), (c.firstColumn + x) + 10 * (c.firstRow + y)) << x << "," << y;
                EXPECT_EQ(b.AlphaPixel(x, y), 100 + (c.firstColumn + x) + 10 * (c.firstRow + y)) << x << "," << y;
            }
    }
}

TEST(Mask, PixelsBoxAndFull) {
    TIEMask m(10, 6, 8);
    EXPECT_TRUE(m.IsEmpty());
    EXPECT_EQ(m.X1(), 2147483647);
    EXPECT_EQ(m.Y2(), 0);
    m.SetPixel(-1, 2, 255); // outside: ignored
    m.SetPixel(10, 2, 255);
    m.SetPixel(3, 6, 255);
    EXPECT_TRUE(m.IsEmpty());
    EXPECT_EQ(m.GetPixel(-1, 2), 0);
    m.SetPixel(7, 1, 200);
    m.SetPixel(2, 4, 1);
    m.SetPixel(5, 5, 0); // a zero does not grow the box
    EXPECT_FALSE(m.IsEmpty());
    EXPECT_EQ(m.X1(), 2);
    EXPECT_EQ(m.Y1(), 1);
    EXPECT_EQ(m.X2(), 7);
    EXPECT_EQ(m.Y2(), 4);
    EXPECT_EQ(m.GetPixel(7, 1), 200);
    EXPECT_EQ(m.Scanline(1)[7], 200);

    m.Fill(255);
    EXPECT_TRUE(m.Full);
    m.SetPixel(0, 0, 255);
    EXPECT_TRUE(m.Full);
    m.SetPixel(0, 0, 254);
    EXPECT_FALSE(m.Full);
    m.SetPixel(0, 0, 255);
    m.UpdateFull();
    EXPECT_TRUE(m.Full);

    TIEMask bits(11, 2, 1);
    bits.Fill(1);
    EXPECT_TRUE(bits.Full);
    EXPECT_EQ(bits.GetPixel(10, 1), 1);
    bits.SetPixel(10, 1, 0); // a transparent pixel: no longer full
    EXPECT_FALSE(bits.Full);
    EXPECT_EQ(bits.GetPixel(10, 1), 0);
    bits.SetPixel(10, 1, 1);
    bits.UpdateFull();
    EXPECT_TRUE(bits.Full);
    bits.Fill(0);
    EXPECT_FALSE(bits.Full);
    EXPECT_TRUE(bits.IsEmpty());
}

TEST(Mask, CopyFromMask) {
    TIEMask m8(5, 3, 8);
    m8.Fill(255);
    m8.SetPixel(4, 2, 17);
    TIEBitmap b(5, 3, ie24RGB);
    b.AlphaChannel()->CopyFromMask(&m8);
    EXPECT_EQ(b.AlphaChannel()->PixelFormat(), ie8g);
    EXPECT_EQ(b.AlphaChannel()->Full, m8.Full);
    EXPECT_FALSE(b.AlphaChannel()->Full);
    EXPECT_EQ(b.AlphaPixel(4, 2), 17);
    EXPECT_EQ(b.AlphaPixel(0, 0), 255);
    m8.SetPixel(4, 2, 255);
    m8.UpdateFull();
    b.AlphaChannel()->CopyFromMask(&m8);
    EXPECT_TRUE(b.AlphaChannel()->Full);

    TIEMask m1(12, 2, 1);
    m1.SetPixel(11, 1, 1);
    b.AlphaChannel()->CopyFromMask(&m1); // a 1-bit mask is copied bit for bit
    EXPECT_EQ(b.AlphaChannel()->PixelFormat(), ie1g);
    EXPECT_EQ(b.AlphaPixel(11, 1), 255);
    EXPECT_EQ(b.AlphaPixel(10, 1), 0);
    b.SetAlphaPixel(0, 0, 128); // writing converts it to bytes
    EXPECT_EQ(b.AlphaChannel()->PixelFormat(), ie8g);
    EXPECT_EQ(b.AlphaPixel(0, 0), 128);
    EXPECT_EQ(b.AlphaPixel(11, 1), 255);

    TIEBitmap c(3, 3, ie8g);
    c.CopyFromMask(nullptr); // no mask: opaque
    EXPECT_TRUE(c.Full);
    EXPECT_EQ(c.Pixels_ie8(2, 2), 255);
}

TEST(Mask, CopyToMask) {
    TIEBitmap g(4, 2, ie8g);
    g.Fill(0);
    g.SetPixels_ie8(3, 1, 90);
    TIEMask m;
    g.CopyToMask(m);
    EXPECT_EQ(m.BitsPerPixel(), 8);
    EXPECT_EQ(m.GetPixel(3, 1), 90);
    EXPECT_EQ(m.X1(), 3);
    EXPECT_EQ(m.Y1(), 1);

    TIEBitmap rgb(2, 1, ie24RGB);
    rgb.SetPixels_ie24RGB(0, 0, RGB(255, 255, 255));
    rgb.SetPixels_ie24RGB(1, 0, RGB(255, 0, 0));
    rgb.CopyToMask(m);
    EXPECT_EQ(m.GetPixel(0, 0), 63); // 255 >> 2
    EXPECT_EQ(m.GetPixel(1, 0), 13); // 53 >> 2
}

TEST(WholeImage, UpdateFullIsAllZeroIsGrayscale) {
    TIEBitmap bits(13, 2, ie1g); // padding bits of a 1-bit row do not count
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 13; ++x) bits.SetPixels_ie1(x, y, true);
    bits.Scanline(0)[1] &= 0xF8;
    bits.Scanline(0)[1] |= 0xF8;
    bits.UpdateFull();
    EXPECT_TRUE(bits.Full);
    bits.SetPixels_ie1(12, 1, false);
    bits.UpdateFull();
    EXPECT_FALSE(bits.Full);

    TIEBitmap g(3, 2, ie8g);
    g.Fill(255); // also fills the row padding
    g.FillRect(0, 0, 2, 1, 0);
    EXPECT_TRUE(g.IsAllZero());
    g.SetPixels_ie8(2, 1, 1);
    EXPECT_FALSE(g.IsAllZero());

    TIEBitmap rgb(3, 1, ie24RGB);
    rgb.Fill(double(0x808080));
    EXPECT_TRUE(rgb.IsGrayscale());
    rgb.SetPixels_ie24RGB(2, 0, RGB(1, 1, 2));
    EXPECT_FALSE(rgb.IsGrayscale());

    TIEBitmap q(2, 1, ie32RGB);
    q.Fill(double(0x404040));
    EXPECT_TRUE(q.IsGrayscale());
    q.Fill(double(0x4040FF));
    EXPECT_FALSE(q.IsGrayscale());

    TIEBitmap pal(2, 1, ie8p);
    EXPECT_TRUE(pal.IsGrayscale());
    pal.SetPaletteColor(200, RGB(3, 3, 4)); // every entry counts, used or not
    EXPECT_FALSE(pal.IsGrayscale());

    TIEBitmap w(1, 1, ieRGB48);
    w.SetPixels_ie48RGB(0, 0, 0x1234, 0x1234, 0x1235);
    EXPECT_FALSE(w.IsGrayscale());
    EXPECT_TRUE(TIEBitmap(2, 2, ie16g).IsGrayscale());
}

TEST(FileLocation, FillConvertAndReadBack) {
    auto b = New(7, 5, ie24RGB, true);
    ASSERT_EQ(b->Location(), ieFile);
    b->Fill(double(0x0000FF));
    b->FillRect(1, 1, 2, 2, double(0xFFFFFF));
    b->SetPixelFormat(ie8g);
    EXPECT_EQ(b->Pixels_ie8(0, 0), 53);
    EXPECT_EQ(b->Pixels_ie8(2, 2), 255);
    b->SetPixelFormat(ie8p);
    EXPECT_EQ(b->GetPixelRGB(6, 4), RGB(53, 53, 53));
    b->SetPixelFormat(ie24RGB);
    EXPECT_EQ(b->Pixels_ie24RGB(1, 2), RGB(255, 255, 255));
}
