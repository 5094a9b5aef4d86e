// Resampling: target sizes, kernel weights, each path's fixed-point rules on small
// images worked out by hand, and the separable filter against a plain reference.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "image/errors.h"
#include "proc/imageproc.h"
#include "proc/resample_impl.h"
#include "tests/geometry_helpers.h"

using namespace tw;
using namespace twgeo;

namespace {

// A one-row 24-bit gray image from values.
void GrayRow24(TIEBitmap& b, const std::vector<int>& v) {
    b.Allocate(int(v.size()), 1, ie24RGB);
    for (size_t x = 0; x < v.size(); ++x) SetRGB(b, int(x), 0, Gray(uint8_t(v[x])));
}

std::vector<int> RowReds(TIEBitmap& b, int y = 0) {
    std::vector<int> out;
    for (int x = 0; x < b.Width(); ++x) out.push_back(RGBAt(b, x, y).r);
    return out;
}

bool ConversionAvailable() {
    TIEBitmap probe(1, 1, ie8g);
    probe.SetPixelFormat(ie24RGB);
    return probe.PixelFormat() == ie24RGB;
}

} // namespace

// ---- target size --------------------------------------------------------------------------

TEST(ResampleTo, TargetSizeRules) {
    struct Row {
        const char* name;
        int w, h;
        int expectW, expectH;
    } rows[] = {
        {"-1 x 50 keeps proportions", -1, 50, 100, 50},
        {"0 keeps the width", 0, 30, 200, 30},
        {"0 keeps the height", 40, 0, 40, 100},
        {"negative sides are taken by magnitude", -30, 20, 30, 20},
        {"80 x -1 keeps proportions", 80, -1, 80, 40},
        {"-1 x 0 keeps the unchanged height's proportions", -1, 0, 200, 100},
        {"a side rounding to 0 becomes 1", 1, -1, 1, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image(200, 100, ie24RGB);
        TImageProc proc(&image);
        TIEBitmap target;
        proc.ResampleTo(target, r.w, r.h, rfFastLinear);
        EXPECT_EQ(target.Width(), r.expectW);
        EXPECT_EQ(target.Height(), r.expectH);
    }
}

TEST(ResampleTo, BothSidesNegativeDoesNothing) {
    TIEBitmap image(20, 10, ie24RGB);
    TImageProc proc(&image);
    TIEBitmap target;
    proc.ResampleTo(target, -1, -1, rfLanczos3);
    EXPECT_TRUE(target.IsEmpty());
    proc.Resample(-5, -7, rfLanczos3);
    EXPECT_EQ(image.Width(), 20);
    EXPECT_EQ(image.Height(), 10);
}

TEST(Resample, TooLargeRequestFailsCleanly) {
    struct Row {
        const char* name;
        int w, h;
        TResampleFilter filter;
    } rows[] = {
        {"a million squared, Lanczos", 1000000, 1000000, rfLanczos3},
        {"a million squared, bilinear", 1000000, 1000000, rfBilinear},
        {"a million squared, nearest", 1000000, 1000000, rfNone},
        {"a negative million squared", -1000000, -999999 + 0, rfFastLinear},
        {"the widest row", 2147483647, 1, rfFastLinear},
        {"proportional height overflowing", 2000000000, -1, rfLanczos3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image(40, 30, ie24RGB);
        FillDistinct(image);
        TImageProc proc(&image);
        if (r.w < 0 && r.h < 0) {
            // Both negative is "nothing to do", not an error.
            EXPECT_NO_THROW(proc.Resample(r.w, r.h, r.filter));
            continue;
        }
        try {
            proc.Resample(r.w, r.h, r.filter);
            ADD_FAILURE() << "no error raised";
        } catch (const EIEException& e) {
            EXPECT_NE(std::string(e.what()).find("Image too large"), std::string::npos) << e.what();
        }
        EXPECT_EQ(image.Width(), 40);
        EXPECT_EQ(image.Height(), 30);
    }
}

TEST(Resample, DeviceImageLargerThanMemoryFails) {
    TIEBitmap image(8, 8, ie24RGB);
    image.SetLocation(ieTBitmap);
    image.MemoryThreshold = 4096; // a device image may only take this much memory
    TImageProc proc(&image);
    EXPECT_THROW(proc.Resample(100, 100, rfLanczos3), EIEException);
    EXPECT_EQ(image.Width(), 8);
    EXPECT_NO_THROW(proc.Resample(30, 30, rfLanczos3)); // 30 rows of 92 bytes fit
    EXPECT_EQ(image.Width(), 30);
}

// ---- kernels and contributor lists ----------------------------------------------------------

TEST(Kernels, ValuesAtKnownPoints) {
    struct Row {
        TResampleFilter f;
        double x, expect;
    } rows[] = {
        {rfTriangle, 0.25, 0.75},   {rfTriangle, -1.0, 0.0},    {rfHermite, 0.5, 0.5},
        {rfHermite, 0.0, 1.0},      {rfBell, 0.0, 0.75},        {rfBell, 1.0, 0.125},
        {rfBell, 1.5, 0.0},         {rfBSpline, 0.0, 2.0 / 3},  {rfBSpline, 1.0, 1.0 / 6},
        {rfBSpline, -1.5, 0.125 / 6}, {rfMitchell, 0.0, 16.0 / 18}, {rfMitchell, 1.0, 1.0 / 18},
        {rfNearest, 0.5, 1.0},      {rfNearest, -0.5, 0.0},     {rfLinear, -0.25, 0.75},
        {rfLinear, -1.0, 0.0},      {rfLinear, 1.0, 0.0},       {rfLanczos3, 0.0, 1.0},
        {rfLanczos3, 0.5, 0.6079271}, {rfLanczos3, 3.0, 0.0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("filter " + std::to_string(r.f) + " at " + std::to_string(r.x));
        EXPECT_NEAR(proc::FilterKernel(r.f, r.x), r.expect, 1e-6);
    }
}

TEST(Contributors, WeightsForKnownScales) {
    using Pairs = std::vector<std::pair<int, int>>;
    struct Row {
        const char* name;
        TResampleFilter f;
        int from, to, column;
        Pairs expect;
    } rows[] = {
        // xscale = (5 - 1) / (3 - 1) = 2: column 1 sits half-way between sources 0 and 1.
        {"triangle 3->5 column 0", rfTriangle, 3, 5, 0, {{0, 256}}},
        {"triangle 3->5 column 1", rfTriangle, 3, 5, 1, {{0, 128}, {1, 128}}},
        // xscale = 0.5, support 2, weights k((c - j) / 2) * 128.
        {"triangle 5->3 column 1", rfTriangle, 5, 3, 1, {{1, 64}, {2, 128}, {3, 64}}},
        {"triangle 5->3 column 0 mirrors -1 to 1", rfTriangle, 5, 3, 0, {{1, 64}, {0, 128}, {1, 64}}},
        // Lanczos3 at c = 0.5: k(2.5) = 0.02432, k(1.5) = -0.13509, k(0.5) = 0.60793.
        {"lanczos3 4->7 column 1", rfLanczos3, 4, 7, 1, {{2, 6}, {1, -35}, {0, 156}, {1, 156}, {2, -35}, {3, 6}}},
        {"lanczos3 4->7 column 2", rfLanczos3, 4, 7, 2, {{1, 256}}},
        {"lanczos3 same size", rfLanczos3, 4, 4, 3, {{3, 256}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        proc::TContributors c = proc::BuildContributors(r.from, r.to, r.f);
        EXPECT_EQ(c.Pairs(r.column), r.expect);
    }
}

// ---- separable filter ---------------------------------------------------------------------------

TEST(SeparableFilter, Lanczos4To7ReproducesEvenColumnsAndRows) {
    TIEBitmap image(4, 4, ie24RGB);
    FillDistinct(image);
    TIEBitmap target(7, 7, ie24RGB);
    ResampleBitmap(image, target, rfLanczos3);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            SCOPED_TRACE("source " + std::to_string(x) + "," + std::to_string(y));
            EXPECT_EQ(RGBAt(target, 2 * x, 2 * y), RGBAt(image, x, y));
        }
}

TEST(SeparableFilter, SameSizeIsIdentical) {
    for (TResampleFilter f : {rfTriangle, rfHermite, rfBell, rfBSpline, rfLanczos3, rfMitchell, rfNearest, rfLinear}) {
        SCOPED_TRACE("filter " + std::to_string(f));
        TIEBitmap image(9, 5, ie24RGB);
        FillRandom(image, 7);
        TIEBitmap target(9, 5, ie24RGB);
        ResampleBitmap(image, target, f);
        // BSpline, Bell and Mitchell blur even at integer offsets; the others weigh 256, 0, 0.
        if (f == rfBSpline || f == rfBell || f == rfMitchell) continue;
        EXPECT_TRUE(SamePixels(image, target));
    }
}

TEST(SeparableFilter, TriangleEnlargeByHand) {
    // 3 -> 5 with xscale 2: columns 1 and 3 are the means of their neighbours.
    TIEBitmap image;
    GrayRow24(image, {0, 100, 255});
    TIEBitmap target(5, 1, ie24RGB);
    ResampleBitmap(image, target, rfTriangle);
    EXPECT_EQ(RowReds(target), (std::vector<int>{0, 50, 100, 177, 255}));
}

namespace {

// The separable filter written plainly from its rule: lists of (mirrored index,
// nonzero weight), a horizontal pass into a clamped byte image, and the vertical pass
// column by column.
std::vector<std::vector<std::pair<int, int>>> RefLists(int n, int nd, TResampleFilter f) {
    const double R = proc::FilterSupport(f);
    const double scale = (n == 1 || nd == 1) ? double(nd) / n : double(nd - 1) / (n - 1);
    std::vector<std::vector<std::pair<int, int>>> lists(static_cast<size_t>(nd));
    for (int i = 0; i < nd; ++i) {
        const double c = i / scale;
        const double Rp = scale >= 1 ? R : R / scale, s = scale >= 1 ? 1.0 : 1.0 / scale;
        for (int j = int(std::floor(c - Rp)); j <= int(std::ceil(c + Rp)); ++j) {
            double k = scale >= 1 ? proc::FilterKernel(f, c - j) * 256.0 : proc::FilterKernel(f, (c - j) / s) * 256.0 / s;
            int w = int(std::nearbyint(k));
            if (w == 0) continue;
            int m = j < 0 ? -j : (j >= n ? 2 * n - 1 - j : j);
            m = std::min(std::max(m, 0), n - 1);
            lists[static_cast<size_t>(i)].emplace_back(m, w);
        }
    }
    return lists;
}

int RefNormalise(int t, int s) {
    int v = s != 0 ? t / s : (t >> 8);
    return std::min(255, std::max(0, v));
}

void RefSeparable(TIEBitmap& src, TIEBitmap& dst, TResampleFilter f) {
    const int W = src.Width(), H = src.Height(), Wd = dst.Width(), Hd = dst.Height();
    auto lx = RefLists(W, Wd, f), ly = RefLists(H, Hd, f);
    std::vector<std::vector<uint8_t>> work(static_cast<size_t>(H), std::vector<uint8_t>(size_t(Wd) * 3));
    for (int y = 0; y < H; ++y)
        for (int i = 0; i < Wd; ++i)
            for (int ch = 0; ch < 3; ++ch) {
                int S = 0, T = 0;
                for (auto [j, w] : lx[size_t(i)]) {
                    S += w;
                    T += w * src.Scanline(y)[3 * j + ch];
                }
                work[size_t(y)][size_t(3 * i + ch)] = uint8_t(RefNormalise(T, S));
            }
    for (int i = 0; i < Wd; ++i)
        for (int r = 0; r < Hd; ++r)
            for (int ch = 0; ch < 3; ++ch) {
                int S = 0, T = 0;
                for (auto [j, w] : ly[size_t(r)]) {
                    S += w;
                    T += w * work[size_t(j)][size_t(3 * i + ch)];
                }
                dst.Scanline(r)[3 * i + ch] = uint8_t(RefNormalise(T, S));
            }
}

} // namespace

TEST(SeparableFilter, MatchesPlainRuleOnRandomImages) {
    struct Size {
        int w, h, wd, hd;
    } sizes[] = {{13, 9, 31, 20}, {40, 30, 7, 5}, {17, 11, 17, 23}, {5, 40, 1, 13}, {1, 9, 6, 4},
                 {64, 3, 21, 1},  {6, 6, 100, 2}, {101, 57, 33, 19}};
    for (TResampleFilter f : {rfTriangle, rfHermite, rfBell, rfBSpline, rfLanczos3, rfMitchell, rfNearest, rfLinear})
        for (const Size& s : sizes) {
            SCOPED_TRACE("filter " + std::to_string(f) + " " + std::to_string(s.w) + "x" + std::to_string(s.h) + " -> " +
                         std::to_string(s.wd) + "x" + std::to_string(s.hd));
            TIEBitmap image(s.w, s.h, ie24RGB);
            FillRandom(image, uint32_t(s.w * 131 + f));
            TIEBitmap expected(s.wd, s.hd, ie24RGB), actual(s.wd, s.hd, ie24RGB);
            RefSeparable(image, expected, f);
            ResampleBitmap(image, actual, f);
            EXPECT_TRUE(SamePixels(expected, actual));
        }
}

TEST(SeparableFilter, OnePixelSourceFillsTheTarget) {
    TIEBitmap image(1, 1, ie24RGB);
    SetRGB(image, 0, 0, MakeRGB(10, 20, 30));
    TIEBitmap target(3, 2, ie24RGB);
    ResampleBitmap(image, target, rfLanczos3);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(RGBAt(target, x, y), MakeRGB(10, 20, 30));
}

// ---- every filter keeps a constant image constant ----------------------------------------------

TEST(Resample, ConstantImageStaysConstant) {
    struct Size {
        int w, h, wd, hd;
    } sizes[] = {{10, 10, 3, 7}, {7, 3, 10, 10}, {9, 11, 20, 5}, {30, 20, 7, 13}, {5, 5, 5, 5}, {3, 7, 33, 29}};
    for (int f = rfTriangle; f <= rfBicubic; ++f)
        for (const Size& s : sizes)
            for (int value : {0, 77, 255}) {
                SCOPED_TRACE("filter " + std::to_string(f) + " " + std::to_string(s.w) + "x" + std::to_string(s.h) +
                             " -> " + std::to_string(s.wd) + "x" + std::to_string(s.hd) + " value " +
                             std::to_string(value));
                TIEBitmap image(s.w, s.h, ie24RGB);
                for (int y = 0; y < s.h; ++y)
                    for (int x = 0; x < s.w; ++x) SetRGB(image, x, y, MakeRGB(uint8_t(value), uint8_t(value / 2), 9));
                TIEBitmap target(s.wd, s.hd, ie24RGB);
                ResampleBitmap(image, target, TResampleFilter(f));
                int wrong = 0;
                for (int y = 0; y < s.hd; ++y)
                    for (int x = 0; x < s.wd; ++x) wrong += RGBAt(target, x, y) != MakeRGB(uint8_t(value), uint8_t(value / 2), 9);
                EXPECT_EQ(wrong, 0);
            }
}

// ---- fast linear ---------------------------------------------------------------------------------

TEST(FastLinear, ColumnsByHand) {
    struct Row {
        const char* name;
        std::vector<int> source;
        int to;
        std::vector<int> expect;
    } rows[] = {
        // xs = 2: fractions 0, 0.5, 0, 0.5 of the pairs (0,1), (0,1), (1,1), (1,1).
        {"2 -> 4", {0, 255}, 4, {0, 127, 255, 255}},
        {"2 -> 4 falling", {255, 0}, 4, {255, 127, 0, 0}},
        // xs = 0.5: column 0 averages sources 0..2, column 1 is source 2 alone.
        {"4 -> 2", {10, 20, 60, 200}, 2, {30, 60}},
        // xs = 0.75: q = 0, 1, 2 and e = Trunc(1 / 0.75) = 1, Trunc(2 / 0.75) = 2, and
        // for the last column again Trunc(2 / 0.75) = 2: the last source column is unused.
        {"4 -> 3", {0, 30, 90, 255}, 3, {15, 60, 90}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image;
        GrayRow24(image, r.source);
        TIEBitmap target(r.to, 1, ie24RGB);
        ResampleBitmap(image, target, rfFastLinear);
        EXPECT_EQ(RowReds(target), r.expect);
    }
}

TEST(FastLinear, SameWidthWithHeightChangeAveragesNeighbours) {
    // xs = 1 with a height change: each target pixel averages source columns i and i + 1.
    TIEBitmap image(3, 2, ie24RGB);
    for (int x = 0; x < 3; ++x) {
        SetRGB(image, x, 0, Gray(uint8_t(100 * x)));
        SetRGB(image, x, 1, Gray(7));
    }
    TIEBitmap target(3, 1, ie24RGB);
    ResampleBitmap(image, target, rfFastLinear);
    EXPECT_EQ(RowReds(target), (std::vector<int>{50, 150, 200}));
}

TEST(FastLinear, VerticalInterpolationByHand) {
    TIEBitmap image(1, 2, ie24RGB);
    SetRGB(image, 0, 0, Gray(0));
    SetRGB(image, 0, 1, Gray(255));
    TIEBitmap target(1, 4, ie24RGB);
    ResampleBitmap(image, target, rfFastLinear);
    std::vector<int> column;
    for (int y = 0; y < 4; ++y) column.push_back(RGBAt(target, 0, y).r);
    EXPECT_EQ(column, (std::vector<int>{0, 127, 255, 255}));
}

TEST(FastLinear, SameSizeIsIdentical) {
    TIEBitmap image(11, 7, ie24RGB);
    FillRandom(image, 3);
    TIEBitmap target(11, 7, ie24RGB);
    ResampleBitmap(image, target, rfFastLinear);
    EXPECT_TRUE(SamePixels(image, target));
}

namespace {

// Fast linear written plainly from its rule, channel by channel, on 24-bit images.
void RefFastLinear(TIEBitmap& src, TIEBitmap& dst) {
    const int W = src.Width(), H = src.Height(), Wd = dst.Width(), Hd = dst.Height();
    const double xs = double(Wd) / W, ys = double(Hd) / H;
    std::vector<std::vector<int>> work(static_cast<size_t>(H), std::vector<int>(size_t(Wd) * 3));
    for (int y = 0; y < H; ++y)
        for (int i = 0; i < Wd; ++i)
            for (int ch = 0; ch < 3; ++ch) {
                const double f = i / xs;
                const int q = int(f), frac = int((f - q) * 131072);
                const int e = int(std::min(i + 1, Wd - 1) / xs + 1e-10);
                int v;
                if (xs > 1) {
                    const int a = src.Scanline(y)[3 * q + ch], b = src.Scanline(y)[3 * std::min(q + 1, W - 1) + ch];
                    v = a + int(std::floor(double((b - a) * frac) / 131072.0));
                } else {
                    int sum = 0;
                    for (int x = q; x <= e; ++x) sum += src.Scanline(y)[3 * x + ch];
                    v = sum / (e - q + 1);
                }
                work[size_t(y)][size_t(3 * i + ch)] = v;
            }
    for (int j = 0; j < Hd; ++j)
        for (int x = 0; x < 3 * Wd; ++x) {
            int v;
            if (ys > 1) {
                const double g = j / ys;
                const int h = int(g), frac = int((g - h) * 131072);
                const int a = work[size_t(h)][size_t(x)], b = work[size_t(h + 1 < H ? h + 1 : h)][size_t(x)];
                v = a + int(std::floor(double((b - a) * frac) / 131072.0));
            } else {
                const int lo = int(j / ys), hi = int(std::min(j + 1, Hd - 1) / ys);
                int sum = 0;
                for (int r = lo; r <= hi; ++r) sum += work[size_t(r)][size_t(x)];
                v = sum / (hi - lo + 1);
            }
            dst.Scanline(j)[x] = uint8_t(v);
        }
}

} // namespace

TEST(FastLinear, MatchesPlainRuleOnRandomImages) {
    struct Size {
        int w, h, wd, hd;
    } sizes[] = {{60, 40, 8, 6}, {13, 9, 40, 31}, {37, 11, 11, 37}, {5, 50, 5, 7}, {64, 3, 7, 3}, {9, 9, 9, 20}};
    for (const Size& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h) + " -> " + std::to_string(s.wd) + "x" +
                     std::to_string(s.hd));
        TIEBitmap image(s.w, s.h, ie24RGB);
        FillRandom(image, uint32_t(s.w + 7 * s.h));
        TIEBitmap expected(s.wd, s.hd, ie24RGB), actual(s.wd, s.hd, ie24RGB);
        RefFastLinear(image, expected);
        ResampleBitmap(image, actual, rfFastLinear);
        EXPECT_TRUE(SamePixels(expected, actual));
    }
}

// ---- area-weighted ------------------------------------------------------------------------------

TEST(AreaWeighted, ByHand) {
    struct Row {
        const char* name;
        TResampleFilter f;
        std::vector<int> source;
        int to;
        std::vector<int> expect;
    } rows[] = {
        // gx = 2, gy = 1: plain area average of pairs, truncated.
        {"bilinear 4 -> 2", rfBilinear, {10, 20, 30, 41}, 2, {15, 35}},
        {"bicubic 4 -> 2", rfBicubic, {10, 20, 30, 41}, 2, {15, 35}},
        // gx = 0.5: each half-pixel is sampled at its far edge: 0.5 of the way to the
        // next source pixel, then at the next source pixel.
        {"bilinear 2 -> 4", rfBilinear, {0, 200}, 4, {100, 200, 200, 200}},
        // gx = 1/4: quarters of the way from 0 to 240, then 240 (the last column
        // blends with itself).
        {"bilinear 2 -> 8", rfBilinear, {0, 240}, 8, {60, 120, 180, 240, 240, 240, 240, 240}},
        // gx = 1/3: the fourth target pixel lies a third of the way from 0 to 240, 80
        // exactly, although the floating-point sum comes out at 79.99999999999997.
        {"bilinear 3 -> 9", rfBilinear, {0, 0, 240}, 9, {0, 0, 0, 80, 160, 240, 240, 240, 240}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image;
        GrayRow24(image, r.source);
        TIEBitmap target(r.to, 1, ie24RGB);
        ResampleBitmap(image, target, r.f);
        EXPECT_EQ(RowReds(target), r.expect);
    }
}

TEST(AreaWeighted, GrayAnd16BitFormatsKeepTheirFormat) {
    TIEBitmap gray;
    FillGray(gray, {{10, 20, 30, 41}});
    TIEBitmap t8(2, 1, ie8g);
    ResampleBitmap(gray, t8, rfBilinear);
    ASSERT_EQ(t8.PixelFormat(), ie8g);
    EXPECT_EQ(Pixel(t8, 0, 0), std::vector<uint8_t>{15});
    EXPECT_EQ(Pixel(t8, 1, 0), std::vector<uint8_t>{35});

    TIEBitmap g16(4, 1, ie16g);
    const uint16_t words[4] = {1000, 3000, 60000, 65535};
    std::memcpy(g16.Scanline(0), words, 8);
    TIEBitmap t16(2, 1, ie16g);
    ResampleBitmap(g16, t16, rfBicubic);
    ASSERT_EQ(t16.PixelFormat(), ie16g);
    uint16_t out[2];
    std::memcpy(out, t16.Scanline(0), 4);
    EXPECT_EQ(out[0], 2000);
    EXPECT_EQ(out[1], 62767);
}

namespace {

// Area-weighted resampling written plainly from its rule: every segment, every step,
// accumulators in memory (24-bit images).
void RefArea(TIEBitmap& src, TIEBitmap& dst, bool cubic) {
    const int W = src.Width(), H = src.Height(), Wd = dst.Width(), Hd = dst.Height();
    const double gx = double(W) / Wd, gy = double(H) / Hd;
    const int mode = (gx < 1 && gy < 1) ? 0 : (gx < 1 ? 1 : (gy < 1 ? 2 : 3));
    struct Seg {
        int c, tx;
        double lf, w;
    };
    std::vector<Seg> segs;
    double pos = 0, t = gx;
    int c = 0, tx = 0;
    while (c < W || tx < Wd) {
        if (tx >= Wd || (c < W && c + 1 + 1e-4 < t)) {
            segs.push_back({c, tx, 1.0, (c + 1) - pos});
            pos = c + 1;
            ++c;
        } else {
            segs.push_back({std::min(c, W - 1), tx, t - c, t - pos});
            pos = t;
            ++tx;
            t = t + gx;
        }
    }
    auto s = [&](int row, int col, int ch) -> double {
        row = std::min(std::max(row, 0), H - 1);
        col = std::min(std::max(col, 0), W - 1);
        return src.Scanline(row)[3 * col + ch];
    };
    auto cub = [](double a, double b, double c2, double d, double tt) {
        double e = std::fabs(tt + 1), v = a * (5 * (e * e) - e * e * e - 8 * e + 4);
        e = std::fabs(tt);
        v += b * (e * e * e - 2 * (e * e) + 1);
        e = std::fabs(tt - 1);
        v += c2 * (e * e * e - 2 * (e * e) + 1);
        e = std::fabs(tt - 2);
        v += d * (5 * (e * e) - e * e * e - 8 * e + 4);
        return std::min(255.0, std::max(0.0, v));
    };
    std::vector<double> acc(size_t(Wd) * 3, 0.0);
    double py = 0, ty = gy;
    int j = 0, row = 0;
    while (row < Hd) {
        const bool srcFirst = j + 1 + 1e-4 < ty;
        const double end = srcFirst ? j + 1 : ty, G = srcFirst ? 1.0 : ty - j, I = end - py;
        py = end;
        for (const Seg& g : segs) {
            if (g.tx >= Wd) continue;
            const double M = g.w * I, Lf = g.lf;
            for (int ch = 0; ch < 3; ++ch) {
                double v;
                const int k = g.c;
                if (mode == 3) v = s(j, k, ch);
                else if (!cubic && mode == 1) v = (1 - Lf) * s(j, k, ch) + Lf * s(j, k + 1, ch);
                else if (!cubic && mode == 2) v = (1 - G) * s(j, k, ch) + G * s(j + 1, k, ch);
                else if (!cubic)
                    v = (1 - G) * ((1 - Lf) * s(j, k, ch) + Lf * s(j, k + 1, ch)) +
                        G * ((1 - Lf) * s(j + 1, k, ch) + Lf * s(j + 1, k + 1, ch));
                else {
                    auto hz = [&](int r) { return cub(s(r, k - 1, ch), s(r, k, ch), s(r, k + 1, ch), s(r, k + 2, ch), Lf); };
                    if (mode == 1) v = hz(j);
                    else if (mode == 2) v = cub(s(j - 1, k, ch), s(j, k, ch), s(j + 1, k, ch), s(j + 2, k, ch), G);
                    else
                        v = cub(std::trunc(hz(j - 1) + 1e-6), std::trunc(hz(j) + 1e-6), std::trunc(hz(j + 1) + 1e-6),
                                std::trunc(hz(j + 2) + 1e-6), G);
                }
                acc[size_t(3 * g.tx + ch)] += M * v;
            }
        }
        if (srcFirst) {
            ++j;
            continue;
        }
        for (int x = 0; x < 3 * Wd; ++x) {
            const double v = acc[size_t(x)] / (gx * gy) + 1e-6;
            dst.Scanline(row)[x] = uint8_t(std::min(255.0, std::max(0.0, std::trunc(v))));
            acc[size_t(x)] = 0;
        }
        ++row;
        ty = ty + gy;
    }
}

} // namespace

TEST(AreaWeighted, MatchesPlainRuleOnRandomImages) {
    struct Size {
        int w, h, wd, hd;
    } sizes[] = {{60, 40, 8, 6}, {13, 9, 40, 31}, {37, 11, 11, 37}, {9, 50, 20, 7}, {10, 10, 3, 7}, {8, 8, 16, 16}};
    for (bool cubic : {false, true})
        for (const Size& s : sizes) {
            SCOPED_TRACE(std::string(cubic ? "bicubic " : "bilinear ") + std::to_string(s.w) + "x" +
                         std::to_string(s.h) + " -> " + std::to_string(s.wd) + "x" + std::to_string(s.hd));
            TIEBitmap image(s.w, s.h, ie24RGB);
            FillRandom(image, uint32_t(s.w * 3 + s.h));
            TIEBitmap expected(s.wd, s.hd, ie24RGB), actual(s.wd, s.hd, ie24RGB);
            RefArea(image, expected, cubic);
            ResampleBitmap(image, actual, cubic ? rfBicubic : rfBilinear);
            EXPECT_TRUE(SamePixels(expected, actual));
        }
}

// ---- 1-bit sources ----------------------------------------------------------------------------------

TEST(OneBit, FormatOfTheResult) {
    struct Row {
        const char* name;
        TResampleFilter f;
        int wd, hd;
        TIEPixelFormat expect;
    } rows[] = {
        {"Lanczos3 gives gray 24-bit", rfLanczos3, 5, 3, ie24RGB},
        {"ProjectBW stays 1-bit", rfProjectBW, 5, 3, ie1g},
        {"ProjectWB stays 1-bit", rfProjectWB, 3, 9, ie1g},
        {"fast linear at the same size stays 1-bit", rfFastLinear, 10, 6, ie1g},
        {"bilinear at the same size stays 1-bit", rfBilinear, 10, 6, ie1g},
        {"fast linear resized gives 24-bit", rfFastLinear, 20, 6, ie24RGB},
        {"nearest stretch stays 1-bit", rfNone, 20, 6, ie1g},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image(10, 6, ie1g);
        FillRandom(image, 11);
        TIEBitmap target(r.wd, r.hd, ie1g);
        ResampleBitmap(image, target, r.f);
        EXPECT_EQ(target.PixelFormat(), r.expect);
        EXPECT_EQ(target.Width(), r.wd);
        if (r.f == rfFastLinear && r.wd == 10) {
            EXPECT_TRUE(SamePixels(image, target));
        }
    }
}

TEST(OneBit, EnlargeInterpolatesBits) {
    TIEBitmap image(2, 1, ie1g);
    SetBit(image, 1, 0, true);
    TIEBitmap target(4, 1, ie24RGB);
    ResampleBitmap(image, target, rfFastLinear);
    EXPECT_EQ(RowReds(target), (std::vector<int>{0, 127, 255, 255}));
    EXPECT_EQ(RGBAt(target, 1, 0), Gray(127));
}

TEST(OneBit, ShrinkCountsBitsInBoxes) {
    // 4 x 4 -> 2 x 2, gx = gy = 2: target (0,0) counts rows 0..1 x columns 0..1,
    // target (1,1) rows 1..3 x columns 1..3.
    TIEBitmap image(4, 4, ie1g);
    std::memset(image.Scanline(0), 0, 4);
    for (int y = 0; y < 4; ++y) std::memset(image.Scanline(y), 0, 4);
    SetBit(image, 0, 0, true);
    SetBit(image, 1, 1, true);
    SetBit(image, 3, 3, true);
    TIEBitmap target(2, 2, ie24RGB);
    ResampleBitmap(image, target, rfBilinear);
    EXPECT_EQ(RGBAt(target, 0, 0).r, 255 * 2 / 4);
    EXPECT_EQ(RGBAt(target, 1, 0).r, 255 * 1 / 6); // rows 0..1, columns 1..3
    EXPECT_EQ(RGBAt(target, 0, 1).r, 255 * 1 / 6); // rows 1..3, columns 0..1
    EXPECT_EQ(RGBAt(target, 1, 1).r, 255 * 2 / 9);
}

TEST(OneBit, LanczosOfAConstantImage) {
    TIEBitmap image(6, 4, ie1g);
    for (int y = 0; y < 4; ++y) std::memset(image.Scanline(y), 0xFF, 4);
    TIEBitmap target(9, 7, ie1g);
    ResampleBitmap(image, target, rfLanczos3);
    ASSERT_EQ(target.PixelFormat(), ie24RGB);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x) EXPECT_EQ(RGBAt(target, x, y), Gray(255));
}

// ---- projections ------------------------------------------------------------------------------------

TEST(Projection, BlackOrWhiteWins) {
    // 4 -> 2 columns: target 0 covers column 0, target 1 columns 0..2.
    struct Row {
        const char* name;
        TResampleFilter f;
        std::vector<int> source;
        std::vector<bool> expect;
    } rows[] = {
        {"BW: black wins", rfProjectBW, {0, 255, 255, 255}, {false, false}},
        {"WB: white wins", rfProjectWB, {0, 255, 255, 255}, {false, true}},
        {"BW: 128 is not black", rfProjectBW, {128, 200, 200, 0}, {true, true}},
        {"WB: 128 is not white", rfProjectWB, {128, 128, 129, 0}, {false, true}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEBitmap image;
        GrayRow24(image, r.source);
        TIEBitmap target(2, 1, ie24RGB);
        ResampleBitmap(image, target, r.f);
        ASSERT_EQ(target.PixelFormat(), ie1g);
        EXPECT_EQ(Bit(target, 0, 0), r.expect[0]);
        EXPECT_EQ(Bit(target, 1, 0), r.expect[1]);
    }
}

TEST(Projection, OneBitSource) {
    TIEBitmap image(4, 1, ie1g);
    image.Scanline(0)[0] = 0x20; // only pixel 2 is white
    TIEBitmap bw(2, 1, ie1g), wb(2, 1, ie1g);
    ResampleBitmap(image, bw, rfProjectBW);
    ResampleBitmap(image, wb, rfProjectWB);
    EXPECT_FALSE(Bit(bw, 0, 0));
    EXPECT_FALSE(Bit(bw, 1, 0));
    EXPECT_FALSE(Bit(wb, 0, 0));
    EXPECT_TRUE(Bit(wb, 1, 0));
}

// ---- nearest-neighbour stretch ------------------------------------------------------------------

TEST(Nearest, EveryFormatCopiesWholePixels) {
    for (TIEPixelFormat f : {ie8p, ie8g, ie16g, ie24RGB, ie32f, ieCMYK, ieRGB48, ieCIELab, ie32RGB}) {
        SCOPED_TRACE(PixelFormatName(f));
        TIEBitmap image(3, 2, f);
        FillDistinct(image);
        TIEBitmap target(7, 3, f);
        ResampleBitmap(image, target, rfNone);
        ASSERT_EQ(target.PixelFormat(), f);
        // Column i takes Trunc(3 / 7 * i): 0,0,0,1,1,2,2; row j takes Trunc(2 / 3 * j): 0,0,1.
        const int cols[7] = {0, 0, 0, 1, 1, 2, 2}, rowsOf[3] = {0, 0, 1};
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 7; ++x) EXPECT_EQ(Pixel(target, x, y), Pixel(image, cols[x], rowsOf[y]));
    }
}

TEST(Nearest, OneBitAndPalette) {
    TIEBitmap bits(9, 1, ie1g);
    bits.Scanline(0)[0] = 0xA5;
    bits.Scanline(0)[1] = 0x80;
    TIEBitmap target(3, 1, ie1g);
    ResampleBitmap(bits, target, rfNone);
    // Columns 0, 3, 6 of 1010 0101 1: 1, 0, 0.
    EXPECT_TRUE(Bit(target, 0, 0));
    EXPECT_FALSE(Bit(target, 1, 0));
    EXPECT_FALSE(Bit(target, 2, 0));

    TIEBitmap pal(2, 2, ie8p);
    pal.SetPaletteColor(5, MakeRGB(1, 2, 3));
    TIEBitmap ptarget(4, 4, ie8p);
    ResampleBitmap(pal, ptarget, rfNone);
    EXPECT_EQ(ptarget.PaletteColor(5), MakeRGB(1, 2, 3));
}

// ---- alpha --------------------------------------------------------------------------------------------

TEST(Alpha, TransparentPixelsCountAsGray) {
    TIEBitmap image(2, 1, ie24RGB);
    SetRGB(image, 0, 0, MakeRGB(255, 0, 0));
    SetRGB(image, 1, 0, MakeRGB(0, 0, 255));
    TIEBitmap* alpha = image.AlphaChannel();
    alpha->Scanline(0)[0] = 0;
    alpha->Scanline(0)[1] = 255;
    TIEBitmap target(4, 1, ie24RGB);
    ResampleBitmap(image, target, rfFastLinear);
    // The red pixel counts as (128, 128, 128); column 1 lies half-way to blue.
    EXPECT_EQ(RGBAt(target, 0, 0), MakeRGB(128, 128, 128));
    EXPECT_EQ(RGBAt(target, 1, 0), MakeRGB(64, 64, 191));
    ASSERT_TRUE(target.HasAlphaChannel());
    std::vector<int> a;
    for (int x = 0; x < 4; ++x) a.push_back(target.AlphaChannel()->Scanline(0)[x]);
    EXPECT_EQ(a, (std::vector<int>{0, 127, 255, 255}));
}

TEST(Alpha, BilinearColourWithFastLinearAlpha) {
    TIEBitmap image;
    GrayRow24(image, {10, 20, 30, 41});
    TIEBitmap* alpha = image.AlphaChannel();
    const uint8_t a[4] = {30, 90, 180, 255};
    std::memcpy(alpha->Scanline(0), a, 4);
    alpha->Full = false;
    TIEBitmap target(2, 1, ie24RGB);
    ResampleBitmap(image, target, rfBilinear);
    EXPECT_EQ(RowReds(target), (std::vector<int>{15, 35}));
    // Fast linear 4 -> 2: mean of columns 0..2, then column 2 alone.
    EXPECT_EQ(target.AlphaChannel()->Scanline(0)[0], 100);
    EXPECT_EQ(target.AlphaChannel()->Scanline(0)[1], 180);
    EXPECT_FALSE(target.AlphaChannel()->Full);
}

TEST(Alpha, OneBitAlphaIsReadAsBytes) {
    TIEBitmap image(4, 1, ie24RGB);
    auto mask = TIEBitmap::NewAlpha();
    mask->Allocate(4, 1, ie1g);
    mask->Scanline(0)[0] = 0x30; // pixels 2 and 3 opaque
    image.AdoptAlphaChannel(std::move(mask));
    TIEBitmap target(2, 1, ie24RGB);
    ResampleBitmap(image, target, rfFastLinear);
    EXPECT_EQ(target.AlphaChannel()->PixelFormat(), ie8g);
    EXPECT_EQ(target.AlphaChannel()->Scanline(0)[0], 85);
    EXPECT_EQ(target.AlphaChannel()->Scanline(0)[1], 255);
}

// ---- the component and storage locations ------------------------------------------------------------

TEST(Resample, WorksOnDeviceAndFileImages) {
    TIEBitmap reference(37, 23, ie24RGB);
    FillRandom(reference, 5);
    TIEBitmap expected;
    {
        TIEBitmap copy;
        copy.Assign(reference);
        TImageProc(&copy).Resample(20, 30, rfLanczos3);
        expected.Assign(copy);
    }
    for (TIELocation location : {ieTBitmap, ieFile}) {
        SCOPED_TRACE(location == ieTBitmap ? "device" : "file");
        TIEBitmap image;
        if (location == ieFile) image.MemoryThreshold = 0; // every allocation goes to a file
        image.Assign(reference);
        if (location == ieTBitmap) image.SetLocation(ieTBitmap);
        ASSERT_EQ(image.Location(), location);
        TImageProc proc(&image);
        proc.Resample(20, 30, rfLanczos3);
        EXPECT_TRUE(SamePixels(image, expected));
    }
}

TEST(Resample, DeviceOneBitImageBecomesGray24) {
    TIEBitmap image(16, 8, ie1g);
    for (int y = 0; y < 8; ++y) std::memset(image.Scanline(y), y < 4 ? 0xFF : 0x00, 4);
    image.SetLocation(ieTBitmap);
    TImageProc proc(&image);
    int lastProgress = -1;
    bool finished = false;
    proc.OnProgress = [&](TImageProc&, int p) { lastProgress = p; };
    proc.OnFinishWork = [&](TImageProc&) { finished = true; };
    proc.Resample(8, 4, rfLanczos3);
    EXPECT_EQ(image.PixelFormat(), ie24RGB);
    EXPECT_EQ(image.Width(), 8);
    EXPECT_EQ(RGBAt(image, 3, 0), Gray(255));
    EXPECT_EQ(lastProgress, 100);
    EXPECT_TRUE(finished);
}

TEST(Resample, UnlistedFormatsAreResampledAsTrueColour) {
    if (!ConversionAvailable()) GTEST_SKIP() << "pixel-format conversion not available in this build";
    TIEBitmap image(4, 4, ie8p);
    image.SetPaletteColor(0, MakeRGB(10, 20, 30));
    for (int y = 0; y < 4; ++y) std::memset(image.Scanline(y), 0, 4);
    TImageProc proc(&image);
    proc.Resample(7, 7, rfLanczos3);
    ASSERT_EQ(image.PixelFormat(), ie24RGB);
    EXPECT_EQ(RGBAt(image, 3, 3), MakeRGB(10, 20, 30));
}

TEST(ImageProc, FormatCheck) {
    TIEBitmap image(3, 3, ie8g);
    TImageProc proc(&image);
    EXPECT_TRUE(proc.CheckFormat(0)); // an empty set accepts every format
    EXPECT_TRUE(proc.CheckFormat(IEFormats({ie8g, ie24RGB})));
    proc.AutoConvertFormat = false;
    EXPECT_FALSE(proc.CheckFormat(IEFormats({ie24RGB})));
    EXPECT_EQ(image.PixelFormat(), ie8g);
    EXPECT_FALSE(TImageProc().CheckFormat(0)); // no bitmap
    if (!ConversionAvailable()) GTEST_SKIP() << "pixel-format conversion not available in this build";
    proc.AutoConvertFormat = true;
    // ie8g prefers ie16g, then ie32f, then ie24RGB.
    EXPECT_TRUE(proc.CheckFormat(IEFormats({ie24RGB, ie32f})));
    EXPECT_EQ(image.PixelFormat(), ie32f);
}
