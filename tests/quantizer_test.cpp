// The palette quantiser: how each path is chosen, what it produces and how well the
// quantised colours match the image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "image/bitmap.h"
#include "quant/quantizer.h"

using namespace tw;

namespace {

TRGB RGB(int r, int g, int b) { return MakeRGB(uint8_t(r), uint8_t(g), uint8_t(b)); }

// A sentinel the quantiser must not overwrite in entries it does not produce.
const TRGB kUnset = RGB(1, 2, 3);

struct TPalette {
    TRGB entries[256];
    TPalette() {
        for (TRGB& e : entries) e = kUnset;
    }
};

// Restores the process-wide quantiser settings after a test changes them.
class QuantizerSettings : public ::testing::Test {
  protected:
    void TearDown() override {
        QuantizerMethod = -1;
        NeuralQuality = -1;
    }
};

// A smooth, natural-looking test picture: a sky gradient, rolling hills, a sun, soft
// texture and a little sensor noise (deterministic).
void Photograph(TIEBitmap& b, int w, int h) {
    b.Allocate(w, h, ie24RGB);
    uint32_t seed = 12345;
    auto noise = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return int((seed >> 16) % 7) - 3;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double u = double(x) / w, v = double(y) / h;
            double hill = 0.55 + 0.08 * std::sin(u * 9.0) + 0.05 * std::sin(u * 23.0 + 1.0);
            double r, g, bl;
            if (v < hill) { // sky, brighter towards the horizon, with a sun
                r = 70 + 120 * v;
                g = 120 + 90 * v;
                bl = 230 - 40 * v;
                double d = std::hypot(u - 0.7, v - 0.2);
                double sun = std::exp(-d * d * 60);
                r += 180 * sun;
                g += 150 * sun;
                bl += 40 * sun;
            } else { // grass and earth with texture
                double t = 0.5 + 0.5 * std::sin(u * 40 + std::sin(v * 30) * 3) * std::cos(v * 25);
                r = 60 + 70 * t + 40 * (v - hill);
                g = 110 + 60 * t - 50 * (v - hill);
                bl = 30 + 30 * t;
            }
            auto px = [&](double c) { return uint8_t(std::clamp(int(std::lround(c)) + noise(), 0, 255)); };
            b.SetPixels_ie24RGB(x, y, RGB(px(r), px(g), px(bl)));
        }
}

// Mean absolute error per channel between the image and its mapped palette colours.
double MeanAbsoluteError(TIEBitmap& b, const TIEQuantizer& q, const TRGB* palette) {
    double sum = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            TRGB c = b.Pixels_ie24RGB(x, y);
            TRGB p = palette[q.PaletteIndexOf(c)];
            sum += std::abs(c.r - p.r) + std::abs(c.g - p.g) + std::abs(c.b - p.b);
        }
    return sum / (3.0 * b.Width() * b.Height());
}

} // namespace

TEST(Quantizer, SamplingFactor) {
    EXPECT_EQ(NeuralSamplingFactor(40 * 40, -1), 1);
    EXPECT_EQ(NeuralSamplingFactor(100 * 100, -1), 3);   // (130000 - 26000) / 148000 + 2 = 2.70
    EXPECT_EQ(NeuralSamplingFactor(640 * 480, -1), 29);  // 26.81 + 2 = 28.81
    EXPECT_EQ(NeuralSamplingFactor(1999, -1), 1);
    EXPECT_EQ(NeuralSamplingFactor(1920 * 1080, -1), 30); // limited to 30
    EXPECT_EQ(NeuralSamplingFactor(640 * 480, 100), 1);
    EXPECT_EQ(NeuralSamplingFactor(640 * 480, 0), 30);
    EXPECT_EQ(NeuralSamplingFactor(640 * 480, 50), 15); // Trunc(14.5) + 1
}

TEST(Quantizer, ExactColoursInOrderOfFirstAppearance) {
    for (int n : {16, 256}) {
        SCOPED_TRACE(n);
        TIEBitmap b(n, 3, ie24RGB);
        // n distinct colours; row 0 walks them backwards, the rows below repeat them.
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < n; ++x) {
                int i = y == 0 ? n - 1 - x : (x * 7) % n;
                b.SetPixels_ie24RGB(x, y, RGB(i, 255 - i, (i * 3) & 255));
            }
        TPalette pal;
        TIEQuantizer q(b, n, pal.entries);
        EXPECT_TRUE(q.HasExactColors());
        EXPECT_EQ(q.Method(), TIEQuantizer::qmNone);
        for (int i = 0; i < n; ++i) {
            int c = n - 1 - i;
            EXPECT_EQ(pal.entries[i], RGB(c, 255 - c, (c * 3) & 255)) << i;
        }
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < n; ++x) EXPECT_EQ(pal.entries[q.PaletteIndexOf(b.Pixels_ie24RGB(x, y))], b.Pixels_ie24RGB(x, y));
        EXPECT_EQ(q.PaletteIndexOf(RGB(7, 7, 7)), -1); // not in the list
    }
}

TEST(Quantizer, SolidColourGivesOneEntry) {
    TIEBitmap b(20, 20, ie24RGB);
    b.Fill(double(0x3399CC));
    TPalette pal;
    TIEQuantizer q(b, 16, pal.entries);
    EXPECT_TRUE(q.HasExactColors());
    EXPECT_EQ(pal.entries[0], RGB(0xCC, 0x99, 0x33));
    EXPECT_EQ(pal.entries[1], kUnset);
    EXPECT_EQ(q.PaletteIndexOf(RGB(0xCC, 0x99, 0x33)), 0);
}

TEST(Quantizer, GrayImageGetsTheRamp) {
    TIEBitmap b(64, 4, ie24RGB);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 64; ++x) b.SetPixels_ie24RGB(x, y, RGB(x * 4 + y, x * 4 + y, x * 4 + y));
    {
        TPalette pal;
        TIEQuantizer q(b, 256, pal.entries);
        EXPECT_TRUE(q.Grayscale());
        for (int i = 0; i < 256; ++i) ASSERT_EQ(pal.entries[i], RGB(i, i, i));
        for (int v = 0; v < 256; ++v) ASSERT_EQ(q.PaletteIndexOf(RGB(v, v, v)), v);
    }
    {
        TPalette pal;
        TIEQuantizer q(b, 16, pal.entries); // entry i = Trunc(256 / 16 * i), colour v -> v * 16 / 256
        EXPECT_EQ(pal.entries[15], RGB(240, 240, 240));
        EXPECT_EQ(pal.entries[16], kUnset);
        EXPECT_EQ(q.PaletteIndexOf(RGB(255, 255, 255)), 15);
        EXPECT_EQ(q.PaletteIndexOf(RGB(31, 31, 31)), 1);
    }
    TIEBitmap g(5, 5, ie8g); // any gray format
    TPalette pal;
    TIEQuantizer q(g, 3, pal.entries); // Trunc(256 / 3 * i): 0, 85, 170
    EXPECT_EQ(pal.entries[2], RGB(170, 170, 170));
    EXPECT_EQ(q.PaletteIndexOf(RGB(200, 200, 200)), 2);
}

TEST(Quantizer, PaletteSource) {
    TIEBitmap b(4, 1, ie8p);
    const TRGB colours[] = {RGB(255, 255, 255), RGB(200, 200, 200), RGB(0, 0, 0), RGB(90, 90, 90)}; // gray, no ramp
    for (int i = 0; i < 4; ++i) b.SetPaletteColor(i, colours[i]);
    TPalette pal;
    TIEQuantizer q(b, 4, pal.entries);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pal.entries[i], colours[i]);
        EXPECT_EQ(q.PaletteIndexOf(colours[i]), i);
    }
    EXPECT_EQ(pal.entries[4], kUnset);
    EXPECT_EQ(q.PaletteIndexOf(RGB(1, 1, 1)), 4); // no match: N
}

// Box splitting worked by hand: black twice, (80, 0, 0) and (240, 0, 0) into two colours.
// Red cells 0 (x2), 10 and 30: mean 10, error (100 + 900 - 4 * 100) / 4 = 150. The red
// split scans t = 5..21 from cum 2: t = 5 scores 2/2 * 10^2 = 100, t = 10 scores
// 3/1 * (10 - 2.5)^2 = 168.75 and wins; green and blue cannot split (all in cell 0).
// Halves: red 0..10 (mean 10/3, entry Round(3.33) * 8 = 24) and red 30 (entry 240).
TEST(Quantizer, BoxSplittingByHand) {
    TIEBitmap b(4, 1, ie24RGB);
    b.SetPixels_ie24RGB(0, 0, RGB(0, 0, 0));
    b.SetPixels_ie24RGB(1, 0, RGB(80, 0, 0));
    b.SetPixels_ie24RGB(2, 0, RGB(0, 0, 0));
    b.SetPixels_ie24RGB(3, 0, RGB(240, 0, 0));
    TPalette pal;
    TIEQuantizer q(b, 2, pal.entries);
    EXPECT_EQ(q.Method(), TIEQuantizer::qmBox);
    EXPECT_EQ(pal.entries[0], RGB(24, 0, 0));
    EXPECT_EQ(pal.entries[1], RGB(240, 0, 0));
    EXPECT_EQ(pal.entries[2], kUnset);
    EXPECT_EQ(q.PaletteIndexOf(RGB(0, 0, 0)), 0);
    EXPECT_EQ(q.PaletteIndexOf(RGB(87, 7, 7)), 0);     // cell (10, 0, 0)
    EXPECT_EQ(q.PaletteIndexOf(RGB(247, 0, 0)), 1);    // cell (30, 0, 0)
    EXPECT_EQ(q.PaletteIndexOf(RGB(0, 255, 0)), 0);    // in no box
}

TEST_F(QuantizerSettings, ManyColoursBelow128UseBoxes) {
    TIEBitmap b;
    Photograph(b, 120, 90);
    TPalette pal;
    TIEQuantizer q(b, 16, pal.entries);
    EXPECT_EQ(q.Method(), TIEQuantizer::qmBox);
    std::set<uint32_t> distinct;
    for (int i = 0; i < 16; ++i) {
        TRGB c = pal.entries[i];
        EXPECT_EQ(c.r % 8, 0);
        EXPECT_EQ(c.g % 8, 0);
        EXPECT_EQ(c.b % 8, 0);
        distinct.insert(uint32_t(c.r) << 16 | c.g << 8 | c.b);
    }
    EXPECT_GT(distinct.size(), 8u);
    EXPECT_EQ(pal.entries[16], kUnset);

    QuantizerMethod = 0; // forced neural
    TPalette pal2;
    TIEQuantizer n(b, 16, pal2.entries);
    EXPECT_EQ(n.Method(), TIEQuantizer::qmNeural);
    QuantizerMethod = 1; // forced boxes
    TPalette pal3;
    TIEQuantizer m(b, 200, pal3.entries);
    EXPECT_EQ(m.Method(), TIEQuantizer::qmBox);
}

TEST(Quantizer, NeuralNetworkFrom128Colours) {
    TIEBitmap b;
    Photograph(b, 160, 120);
    for (int n : {128, 256}) {
        SCOPED_TRACE(n);
        TPalette pal;
        TIEQuantizer q(b, n, pal.entries);
        EXPECT_EQ(q.Method(), TIEQuantizer::qmNeural);
        if (n < 256) {
            EXPECT_EQ(pal.entries[n], kUnset);
        }
        // Every palette colour is found again by the green-index search.
        for (int i = 0; i < n; ++i) {
            int k = q.PaletteIndexOf(pal.entries[i]);
            ASSERT_GE(k, 0);
            ASSERT_LT(k, n);
            EXPECT_EQ(pal.entries[k], pal.entries[i]) << i;
        }
    }
}

// A colour image in another layout than 24-bit is quantised from its colours.
TEST(Quantizer, OtherColourLayouts) {
    TIEBitmap b(3, 1, ie32RGB);
    b.SetPixels_ie32(0, 0, 0x000000FFu); // blue
    b.SetPixels_ie32(1, 0, 0x0000FF00u); // green
    b.SetPixels_ie32(2, 0, 0x000000FFu);
    TPalette pal;
    TIEQuantizer q(b, 16, pal.entries);
    EXPECT_TRUE(q.HasExactColors());
    EXPECT_EQ(pal.entries[0], RGB(0, 0, 255));
    EXPECT_EQ(pal.entries[1], RGB(0, 255, 0));
}

// Mapping quality on a photographic picture. The bounds are generous sanity limits;
// the measured figures are printed.
TEST(Quantizer, MappingQualityOnAPhotograph) {
    TIEBitmap b;
    Photograph(b, 320, 240);
    TPalette neural;
    TIEQuantizer q256(b, 256, neural.entries);
    ASSERT_EQ(q256.Method(), TIEQuantizer::qmNeural);
    double e256 = MeanAbsoluteError(b, q256, neural.entries);

    TPalette boxes;
    TIEQuantizer q16(b, 16, boxes.entries);
    ASSERT_EQ(q16.Method(), TIEQuantizer::qmBox);
    double e16 = MeanAbsoluteError(b, q16, boxes.entries);

    std::printf("[ measured ] 320x240 photograph, mean absolute error per channel: "
                "256-colour neural %.2f, 16-colour box splitting %.2f\n",
                e256, e16);
    RecordProperty("neural256_mae", std::to_string(e256));
    RecordProperty("box16_mae", std::to_string(e16));
    EXPECT_LT(e256, 8.0);
    EXPECT_LT(e16, 25.0);
    EXPECT_LT(e256, e16);
}
