// Pixel-format conversion: colour formulas, the conversion matrix, thresholding, the
// two-colour test, alpha across conversions and conversion of device-held images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "image/bitmap.h"
#include "image/color.h"
#include "image/convert.h"

using namespace tw;

namespace {

TRGB RGB(int r, int g, int b) { return MakeRGB(uint8_t(r), uint8_t(g), uint8_t(b)); }

// ---- an independent model of the conversion formulas ----------------------------------
// Written from the formulas, not from the engine; pinned to hand-worked values below.
namespace ref {

int Gray(TRGB c) { return (c.r * 21 + c.g * 71 + c.b * 8) / 100; }
int Gray16(TRGB c) { return int((int64_t(c.r) * 54484 + int64_t(c.g) * 183241 + int64_t(c.b) * 19275) / 1000); }
float GrayF(TRGB c) { return float((c.r * 0.2126 + c.g * 0.7152 + c.b * 0.0722) / 255); }

std::vector<uint8_t> Cmyk(TRGB c) {
    int k = std::max({c.r, c.g, c.b});
    if (k == 0) k = 1;
    return {uint8_t(c.r * 255 / k), uint8_t(c.g * 255 / k), uint8_t(c.b * 255 / k), uint8_t(k)};
}

double Lin(int v) {
    double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}
double F(double t) { return t > 0.008856 ? std::pow(t, 1.0 / 3.0) : 7.787 * t + 16.0 / 116.0; }
std::vector<uint8_t> Lab(TRGB c) {
    double r = Lin(c.r), g = Lin(c.g), b = Lin(c.b);
    double x = (0.412453 * r + 0.35758 * g + 0.180423 * b) / 0.95047;
    double y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
    double z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088883;
    double l = y > 0.008856 ? 116 * F(y) - 16 : 903.3 * y;
    return {uint8_t(int64_t(l * 255 / 100)), uint8_t(int64_t((F(x) - F(y)) * 500) & 255),
            uint8_t(int64_t((F(y) - F(z)) * 200) & 255)};
}

std::vector<uint8_t> Word(int v) { return {uint8_t(v), uint8_t(v >> 8)}; }
std::vector<uint8_t> Float(float f) {
    std::vector<uint8_t> v(4);
    std::memcpy(v.data(), &f, 4);
    return v;
}

// The stored bytes of one colour in a byte-aligned format.
std::vector<uint8_t> FromRGB(TIEPixelFormat f, TRGB c) {
    switch (f) {
    case ie8g: return {uint8_t(Gray(c))};
    case ie16g: return Word(Gray16(c));
    case ie24RGB: return {c.b, c.g, c.r};
    case ie32f: return Float(GrayF(c));
    case ieCMYK: return Cmyk(c);
    case ieRGB48: {
        std::vector<uint8_t> v;
        for (int ch : {c.r * 257, c.g * 257, c.b * 257})
            for (uint8_t byte : Word(ch)) v.push_back(byte);
        return v;
    }
    case ieCIELab: return Lab(c);
    case ie32RGB: return {c.b, c.g, c.r, 255};
    default: return {};
    }
}

} // namespace ref

// A source image: one row of pixels in one format, with its colours read by hand.
struct TSource {
    TIEPixelFormat format;
    std::vector<std::vector<uint8_t>> pixels; // stored bytes (ie1g: one byte 0 or 1 per pixel)
    std::vector<TRGB> rgb;                    // each pixel read as a colour, worked out by hand
    // Gray sources: each pixel as 8-bit, 16-bit and float gray by the direct rules.
    std::vector<int> g8, g16;
    std::vector<float> gf;
};

const std::vector<TRGB> kColours = {RGB(0, 0, 0),     RGB(255, 255, 255), RGB(255, 0, 0),   RGB(0, 255, 0),
                                    RGB(0, 0, 255),   RGB(128, 128, 128), RGB(255, 128, 0), RGB(0, 255, 255)};
const std::vector<int> kPaletteOrder = {5, 1, 2, 7, 0, 3, 6, 4};

std::vector<TSource> Sources() {
    std::vector<TSource> s;
    {
        TSource t{ie1g};
        for (int b : {0, 1, 1, 0, 1, 0, 0, 1}) {
            t.pixels.push_back({uint8_t(b)});
            t.rgb.push_back(b ? RGB(255, 255, 255) : RGB(0, 0, 0));
            t.g8.push_back(b ? 255 : 0);
            t.g16.push_back(b ? 65535 : 0);
            t.gf.push_back(b ? 1.0f : 0.0f);
        }
        s.push_back(t);
    }
    {
        TSource t{ie8p};
        for (int i : kPaletteOrder) {
            t.pixels.push_back({uint8_t(i)});
            t.rgb.push_back(kColours[size_t(i)]);
        }
        s.push_back(t);
    }
    {
        TSource t{ie8g};
        for (int g : {0, 1, 53, 127, 128, 200, 254, 255}) {
            t.pixels.push_back({uint8_t(g)});
            t.rgb.push_back(RGB(g, g, g));
            t.g8.push_back(g);
            t.g16.push_back(g * 257);
            t.gf.push_back(float(g / 255.0));
        }
        s.push_back(t);
    }
    {
        TSource t{ie16g};
        const int words[] = {0, 0x1234, 0x7FFF, 0x8000, 0xABCD, 0xFF00, 0xFFFE, 0xFFFF};
        const int high[] = {0, 0x12, 0x7F, 0x80, 0xAB, 0xFF, 0xFF, 0xFF};
        for (int i = 0; i < 8; ++i) {
            t.pixels.push_back(ref::Word(words[i]));
            t.rgb.push_back(RGB(high[i], high[i], high[i]));
            t.g8.push_back(high[i]);
            t.g16.push_back(words[i]);
            t.gf.push_back(float(words[i] / 65535.0));
        }
        s.push_back(t);
    }
    {
        TSource t{ie24RGB};
        for (TRGB c : kColours) {
            t.pixels.push_back({c.b, c.g, c.r});
            t.rgb.push_back(c);
        }
        s.push_back(t);
    }
    {
        TSource t{ie32f};
        const float values[] = {0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 0.1f, 0.9f, 0.003f};
        const int as8[] = {0, 63, 127, 191, 255, 25, 229, 0};           // Trunc(f * 255)
        const int as16[] = {0, 16383, 32767, 49151, 65535, 6553, 58981, 196}; // Trunc(f * 65535)
        for (int i = 0; i < 8; ++i) {
            t.pixels.push_back(ref::Float(values[i]));
            t.rgb.push_back(RGB(as8[i], as8[i], as8[i]));
            t.g8.push_back(as8[i]);
            t.g16.push_back(as16[i]);
            t.gf.push_back(values[i]);
        }
        s.push_back(t);
    }
    {
        TSource t{ieCMYK};
        t.pixels = {{255, 255, 255, 255}, {0, 255, 255, 255}, {128, 64, 255, 200}, {0, 0, 0, 1},
                    {255, 255, 255, 128}, {10, 20, 30, 40},     {255, 0, 0, 255},    {200, 100, 50, 250}};
        t.rgb = {RGB(255, 255, 255), RGB(0, 255, 255), RGB(100, 50, 200), RGB(0, 0, 0),
                 RGB(128, 128, 128), RGB(1, 3, 4),     RGB(255, 0, 0),    RGB(196, 98, 49)};
        s.push_back(t);
    }
    {
        TSource t{ieRGB48};
        const int w[8][3] = {{0, 0, 0},          {65535, 65535, 65535}, {0x1234, 0xABCD, 0xFFFF},
                             {0xFF00, 0x00FF, 0x8080}, {0x0101, 0x0202, 0x0303}, {0x8000, 0x8000, 0x8000},
                             {0x7FFF, 0x0000, 0xFFFF}, {0xFFFF, 0x8001, 0x0001}};
        t.rgb = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(0x12, 0xAB, 0xFF), RGB(0xFF, 0x00, 0x80),
                 RGB(1, 2, 3), RGB(0x80, 0x80, 0x80),  RGB(0x7F, 0, 0xFF),   RGB(0xFF, 0x80, 0x00)};
        for (auto& p : w) {
            std::vector<uint8_t> v;
            for (int ch : p)
                for (uint8_t b : ref::Word(ch)) v.push_back(b);
            t.pixels.push_back(v);
            t.g16.push_back(int((int64_t(p[0]) * 212 + int64_t(p[1]) * 713 + int64_t(p[2]) * 75) / 1000));
            t.gf.push_back(float((p[0] * 0.2126 / 256 + p[1] * 0.7152 / 256 + p[2] * 0.0722 / 256) / 255));
        }
        s.push_back(t);
    }
    {
        TSource t{ieCIELab}; // colours from the inverse formulas, worked out in double precision
        t.pixels = {{255, 0, 0}, {0, 0, 0}, {135, 80, 67}, {136, 0, 0}, {100, 0xEC, 30}, {200, 100, 0x80},
                    {50, 0x7F, 0x7F}, {230, 0x10, 0xF0}};
        t.rgb = {RGB(255, 255, 255), RGB(0, 0, 0),      RGB(254, 0, 0), RGB(127, 127, 127),
                 RGB(75, 100, 41),   RGB(220, 121, 255), RGB(193, 0, 0), RGB(244, 218, 255)};
        s.push_back(t);
    }
    {
        TSource t{ie32RGB};
        for (int i : {2, 3, 4, 5, 6, 7, 0, 1}) {
            TRGB c = kColours[size_t(i)];
            t.pixels.push_back({c.b, c.g, c.r, 7});
            t.rgb.push_back(c);
        }
        s.push_back(t);
    }
    return s;
}

std::unique_ptr<TIEBitmap> Build(const TSource& s) {
    int w = int(s.pixels.size());
    auto b = std::make_unique<TIEBitmap>(w, 1, s.format);
    uint8_t* row = b->Scanline(0);
    if (s.format == ie1g) {
        std::memset(row, 0, size_t(b->RowLength()));
        for (int x = 0; x < w; ++x)
            if (s.pixels[size_t(x)][0]) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    } else {
        size_t size = s.pixels[0].size();
        for (int x = 0; x < w; ++x) std::memcpy(row + size_t(x) * size, s.pixels[size_t(x)].data(), size);
    }
    if (s.format == ie8p)
        for (int i = 0; i < int(kColours.size()); ++i) b->SetPaletteColor(i, kColours[size_t(i)]);
    return b;
}

bool IsGray(TIEPixelFormat f) { return f == ie1g || f == ie8g || f == ie16g || f == ie32f; }

// The expected stored bytes of pixel x after converting source s to a byte format.
std::vector<uint8_t> Expected(const TSource& s, TIEPixelFormat target, size_t x) {
    if (IsGray(s.format) && target != ieCMYK && target != ieCIELab) {
        int g8 = s.g8[x];
        switch (target) {
        case ie8g: return {uint8_t(g8)};
        case ie16g: return ref::Word(s.g16[x]);
        case ie32f: return ref::Float(s.gf[x]);
        case ieRGB48: {
            auto w = ref::Word(s.g16[x]);
            return {w[0], w[1], w[0], w[1], w[0], w[1]};
        }
        case ie24RGB: return {uint8_t(g8), uint8_t(g8), uint8_t(g8)};
        case ie32RGB: return {uint8_t(g8), uint8_t(g8), uint8_t(g8), 255};
        default: break;
        }
    }
    if (s.format == ieRGB48 && target == ie16g) return ref::Word(s.g16[x]);
    if (s.format == ieRGB48 && target == ie32f) return ref::Float(s.gf[x]);
    return ref::FromRGB(target, s.rgb[x]);
}

int Threshold(const std::vector<TRGB>& rgb) {
    int64_t sum[3] = {0, 0, 0};
    for (TRGB c : rgb) {
        sum[0] += c.r;
        sum[1] += c.g;
        sum[2] += c.b;
    }
    int n = int(rgb.size()); // one row: the row mean is the image mean
    return ref::Gray(RGB(int(sum[0] / n), int(sum[1] / n), int(sum[2] / n)));
}

const TIEPixelFormat kFormats[] = {ie1g, ie8p, ie8g, ie16g, ie24RGB, ie32f, ieCMYK, ieRGB48, ieCIELab, ie32RGB};

} // namespace

// The model of the formulas against values worked out by hand.
TEST(ColorFormulas, HandWorkedValues) {
    EXPECT_EQ(GrayLevel(255, 255, 255), 255);
    EXPECT_EQ(GrayLevel(255, 0, 0), 53);
    EXPECT_EQ(GrayLevel(0, 255, 0), 181); // 255 * 71 / 100 = 181.05
    EXPECT_EQ(GrayLevel(10, 200, 30), 146); // (210 + 14200 + 240) / 100

    // CMYK formulas (no colour management here).
    EXPECT_EQ(CMYKToRGB(255, 255, 255, 255), RGB(255, 255, 255));
    EXPECT_EQ(CMYKToRGB(0, 255, 255, 255), RGB(0, 255, 255));
    EXPECT_EQ(CMYKToRGB(128, 64, 255, 200), RGB(100, 50, 200));
    EXPECT_EQ(RGBToCMYK(RGB(0, 0, 0)), (TCMYK{0, 0, 0, 1}));
    EXPECT_EQ(RGBToCMYK(RGB(255, 255, 255)), (TCMYK{255, 255, 255, 255}));
    EXPECT_EQ(RGBToCMYK(RGB(10, 200, 30)), (TCMYK{12, 255, 38, 200})); // 2550/200, 7650/200

    // L*a*b*: white and black exactly; red and gray from the formulas in double precision.
    EXPECT_EQ(RGBToLab(RGB(255, 255, 255)), (TCIELab{255, 0, 0}));
    EXPECT_EQ(LabToRGB(255, 0, 0), RGB(255, 255, 255));
    EXPECT_EQ(RGBToLab(RGB(0, 0, 0)), (TCIELab{0, 0, 0}));
    EXPECT_EQ(LabToRGB(0, 0, 0), RGB(0, 0, 0));
    EXPECT_EQ(RGBToLab(RGB(255, 0, 0)), (TCIELab{135, 80, 67}));
    EXPECT_EQ(LabToRGB(135, 80, 67), RGB(254, 0, 0));
    EXPECT_EQ(RGBToLab(RGB(128, 128, 128)), (TCIELab{136, 0, 0}));
    EXPECT_EQ(LabToRGB(100, int8_t(0xEC), 30), RGB(75, 100, 41));

    // The test's own model agrees with the same hand values.
    EXPECT_EQ(ref::Lab(RGB(255, 0, 0)), (std::vector<uint8_t>{135, 80, 67}));
    EXPECT_EQ(ref::Lab(RGB(0, 0, 255)), (std::vector<uint8_t>{82, 79, 149}));
    EXPECT_EQ(ref::Gray16(RGB(255, 255, 255)), 65535);
    EXPECT_EQ(ref::Gray16(RGB(255, 0, 0)), 13893); // 255 * 54484 / 1000
    EXPECT_EQ(ref::Cmyk(RGB(10, 200, 30)), (std::vector<uint8_t>{12, 255, 38, 200}));
}

TEST(ColorFormulas, ConverterCanBeReplaced) {
    struct TInverting final : TIECmykConverter {
        void CmykToRgb(const uint8_t*, TRGB* rgb, int count) const override {
            for (int i = 0; i < count; ++i) rgb[i] = RGB(1, 2, 3);
        }
        void RgbToCmyk(const TRGB*, uint8_t* cmyk, int count) const override { std::memset(cmyk, 9, size_t(count) * 4); }
    };
    SetColorManagedCmykConverter(std::make_unique<TInverting>());
    EXPECT_EQ(CMYKToRGB(0, 0, 0, 0), RGB(1, 2, 3));
    ColorManagement = false;
    EXPECT_EQ(CMYKToRGB(0, 255, 255, 255), RGB(0, 255, 255));
    ColorManagement = true;
    SetColorManagedCmykConverter(nullptr);
    EXPECT_EQ(CMYKToRGB(0, 255, 255, 255), RGB(0, 255, 255));
}

// Every format to every other: each result pixel against the model.
TEST(ConvertMatrix, EveryFormatToEveryOther) {
    for (const TSource& s : Sources()) {
        for (TIEPixelFormat target : kFormats) {
            SCOPED_TRACE(std::string(PixelFormatName(s.format)) + " -> " + PixelFormatName(target));
            auto b = Build(s);
            b->SetPixelFormat(target);
            ASSERT_EQ(b->PixelFormat(), target);
            ASSERT_EQ(b->Width(), 8);
            const uint8_t* row = b->Scanline(0);
            if (target == s.format) {
                auto same = Build(s);
                EXPECT_EQ(0, std::memcmp(row, same->Scanline(0), size_t((8 * b->BitsPerPixel() + 7) / 8)));
                continue;
            }
            if (target == ie1g) {
                int t = Threshold(s.rgb);
                for (size_t x = 0; x < 8; ++x) {
                    bool white = s.format == ie1g ? s.pixels[x][0] != 0 : ref::Gray(s.rgb[x]) >= t;
                    EXPECT_EQ(bool(row[x >> 3] & (0x80 >> (x & 7))), white) << "pixel " << x;
                }
                continue;
            }
            if (target == ie8p) {
                if (IsGray(s.format)) { // gray ramp (two entries for ie1g), index = the gray
                    for (size_t x = 0; x < 8; ++x) {
                        int expectIndex = s.format == ie1g ? s.pixels[x][0] : s.g8[x];
                        EXPECT_EQ(row[x], expectIndex) << "pixel " << x;
                        int g = s.format == ie1g ? (expectIndex ? 255 : 0) : expectIndex;
                        EXPECT_EQ(b->PaletteColor(row[x]), RGB(g, g, g));
                    }
                    EXPECT_EQ(b->PaletteColor(200), s.format == ie1g ? RGB(0, 0, 0) : RGB(200, 200, 200));
                } else { // at most 256 colours: the exact colours in order of first appearance
                    std::vector<TRGB> order;
                    for (size_t x = 0; x < 8; ++x) {
                        auto it = std::find(order.begin(), order.end(), s.rgb[x]);
                        size_t index = size_t(it - order.begin());
                        if (it == order.end()) order.push_back(s.rgb[x]);
                        EXPECT_EQ(row[x], index) << "pixel " << x;
                        EXPECT_EQ(b->PaletteColor(row[x]), s.rgb[x]);
                    }
                }
                continue;
            }
            int size = b->BitsPerPixel() / 8;
            for (size_t x = 0; x < 8; ++x) {
                std::vector<uint8_t> got(row + x * size_t(size), row + (x + 1) * size_t(size));
                std::vector<uint8_t> want = Expected(s, target, x);
                if (target == ie32f) {
                    float g, w;
                    std::memcpy(&g, got.data(), 4);
                    std::memcpy(&w, want.data(), 4);
                    EXPECT_NEAR(g, w, 1e-6) << "pixel " << x;
                } else {
                    EXPECT_EQ(got, want) << "pixel " << x;
                }
            }
        }
    }
}

// Conversions that lose nothing come back to the same bytes.
TEST(ConvertMatrix, LosslessRoundTrips) {
    struct TTrip {
        TIEPixelFormat from, via;
    };
    const TTrip trips[] = {{ie24RGB, ieRGB48}, {ie24RGB, ie32RGB}, {ie24RGB, ie8p}, {ie8g, ie16g}, {ie8g, ie32f},
                           {ie8g, ieRGB48},   {ie8g, ie24RGB},   {ie8g, ie8p},   {ie16g, ieRGB48},
                           {ie1g, ie8g},      {ie1g, ie24RGB},   {ie1g, ie16g},  {ie8p, ie24RGB}};
    for (const TTrip& t : trips) {
        SCOPED_TRACE(std::string(PixelFormatName(t.from)) + " -> " + PixelFormatName(t.via) + " -> back");
        for (const TSource& s : Sources()) {
            if (s.format != t.from) continue;
            auto b = Build(s);
            b->SetPixelFormat(t.via);
            b->SetPixelFormat(t.from);
            for (int x = 0; x < 8; ++x) EXPECT_EQ(b->GetPixelRGB(x, 0), s.rgb[size_t(x)]) << "pixel " << x;
            if (t.from != ie8p) {
                auto same = Build(s);
                EXPECT_EQ(0, std::memcmp(b->Scanline(0), same->Scanline(0), size_t((8 * b->BitsPerPixel() + 7) / 8)));
            }
        }
    }
}

TEST(ConvertMatrix, ListedValues) {
    TIEBitmap g(1, 1, ie8g);
    g.Scanline(0)[0] = 255;
    g.SetPixelFormat(ie16g);
    EXPECT_EQ(g.Pixels_ie16g(0, 0), 65535);

    TIEBitmap w(1, 1, ie16g);
    w.SetPixels_ie16g(0, 0, 0x1234);
    w.SetPixelFormat(ie8g);
    EXPECT_EQ(w.Pixels_ie8(0, 0), 0x12);

    TIEBitmap white(1, 1, ie24RGB);
    white.SetPixels_ie24RGB(0, 0, RGB(255, 255, 255));
    white.SetPixelFormat(ie16g);
    EXPECT_EQ(white.Pixels_ie16g(0, 0), 65535);

    TIEBitmap bw(2, 1, ie1g);
    bw.Scanline(0)[0] = 0x40; // black, white
    bw.SetPixelFormat(ieCIELab);
    const uint8_t* p = bw.Scanline(0);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 6), (std::vector<uint8_t>{0, 0, 0, 255, 0, 0}));
}

// An image of even height, black over white: channel means 127, threshold 127.
TEST(ThresholdToBW, BlackOverWhite) {
    TIEBitmap src(5, 4, ie24RGB);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) src.SetPixels_ie24RGB(x, y, y < 2 ? RGB(0, 0, 0) : RGB(255, 255, 255));
    TIEBitmap bw(5, 4, ie1g);
    ThresholdToBW(src, bw);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(bw.Pixels_ie1(x, y), y >= 2) << x << "," << y;

    // A pixel exactly at the threshold is white: rows of gray 127 and 128 average to 127.
    TIEBitmap gray(3, 2, ie8g);
    for (int x = 0; x < 3; ++x) {
        gray.SetPixels_ie8(x, 0, 126);
        gray.SetPixels_ie8(x, 1, 128);
    }
    gray.SetPixels_ie8(1, 0, 127); // row 0 sum 379 / 3 = 126; row 1 128; (126 + 128) / 2 = 127
    TIEBitmap out(3, 2, ie1g);
    ThresholdToBW(gray, out);
    EXPECT_FALSE(out.Pixels_ie1(0, 0));
    EXPECT_TRUE(out.Pixels_ie1(1, 0));
    EXPECT_TRUE(out.Pixels_ie1(2, 1));
}

TEST(TwoColorBitmap, DarkerColourIsBitZero) {
    struct TCase {
        const char* name;
        TRGB first, second;
    };
    const TCase cases[] = {{"red first", RGB(255, 0, 0), RGB(255, 255, 255)},
                           {"white first", RGB(255, 255, 255), RGB(255, 0, 0)}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TIEBitmap src(10, 3, ie24RGB);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 10; ++x) src.SetPixels_ie24RGB(x, y, (x + y) % 3 == 0 ? c.first : c.second);
        TRGB c0, c1;
        auto bits = TwoColorBitmap(src, c0, c1);
        ASSERT_TRUE(bits);
        EXPECT_EQ(c0, RGB(255, 0, 0));
        EXPECT_EQ(c1, RGB(255, 255, 255));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 10; ++x)
                EXPECT_EQ(bits->Pixels_ie1(x, y), src.Pixels_ie24RGB(x, y) == RGB(255, 255, 255));
    }
}

TEST(TwoColorBitmap, OneOrThreeColoursGiveNone) {
    TIEBitmap solid(4, 4, ie24RGB);
    solid.Fill(double(0x336699));
    TRGB c0, c1;
    EXPECT_FALSE(TwoColorBitmap(solid, c0, c1));
    solid.SetPixels_ie24RGB(1, 1, RGB(0, 0, 0));
    EXPECT_TRUE(TwoColorBitmap(solid, c0, c1));
    solid.SetPixels_ie24RGB(3, 3, RGB(1, 2, 3));
    EXPECT_FALSE(TwoColorBitmap(solid, c0, c1));

    TIEBitmap pal(3, 1, ie8p); // read through the palette
    pal.SetPaletteColor(0, RGB(0, 0, 0));
    pal.SetPaletteColor(1, RGB(255, 255, 255));
    pal.Scanline(0)[0] = 1;
    pal.Scanline(0)[1] = 0;
    pal.Scanline(0)[2] = 1;
    auto bits = TwoColorBitmap(pal, c0, c1);
    ASSERT_TRUE(bits);
    EXPECT_EQ(c0, RGB(0, 0, 0));
    EXPECT_TRUE(bits->Pixels_ie1(0, 0));
    EXPECT_FALSE(bits->Pixels_ie1(1, 0));
}

TEST(SetPixelFormat, AlphaSurvivesConversions) {
    TIEBitmap b(6, 4, ie24RGB);
    b.Fill(double(0x204080));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) b.SetAlphaPixel(x, y, uint8_t(x * 40 + y));
    for (TIEPixelFormat f : {ie8p, ie8g, ie16g, ieCMYK, ie32f, ieRGB48, ieCIELab, ie1g, ie32RGB, ie24RGB}) {
        SCOPED_TRACE(PixelFormatName(f));
        b.SetPixelFormat(f);
        ASSERT_EQ(b.PixelFormat(), f);
        ASSERT_TRUE(b.HasAlphaChannel());
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) EXPECT_EQ(b.AlphaPixel(x, y), x * 40 + y);
    }
}

TEST(SetPixelFormat, CopyConvertFromRules) {
    TIEBitmap src(2, 2, ie8g);
    src.Fill(77);
    src.AlphaChannel()->Fill(10);
    TIEBitmap wrongSize(3, 2, ie24RGB);
    wrongSize.CopyConvertFrom(src);
    EXPECT_TRUE(src.HasAlphaChannel()); // sizes differ: nothing happens

    TIEBitmap same(2, 2, ie8g); // same format: the pixels are copied and the alpha taken over
    same.CopyConvertFrom(src);
    EXPECT_EQ(same.Pixels_ie8(1, 1), 77);
    EXPECT_FALSE(src.HasAlphaChannel());
    EXPECT_EQ(same.AlphaPixel(0, 0), 10);
}

// A ColorCount below 256 is honoured when converting to a palette.
TEST(SetPixelFormat, ToPaletteUsesColorCount) {
    TIEBitmap b(64, 64, ie24RGB);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) b.SetPixels_ie24RGB(x, y, RGB(x * 4, y * 4, (x + y) * 2));
    b.ColorCount = 16;
    b.SetPixelFormat(ie8p);
    ASSERT_EQ(b.PixelFormat(), ie8p);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_LT(b.Pixels_ie8(x, y), 16);
}

// The working image lives in the device bitmap, which holds only some formats.
class DeviceConversion : public ::testing::Test {
  protected:
    void SetUp() override {
        b.Allocate(4, 2, ie24RGB);
        for (int x = 0; x < 4; ++x) {
            b.SetPixels_ie24RGB(x, 0, kColours[size_t(x)]);
            b.SetPixels_ie24RGB(x, 1, kColours[size_t(x + 4)]);
        }
        b.AlphaChannel()->Fill(200);
        b.SetLocation(ieTBitmap);
        ASSERT_EQ(b.Location(), ieTBitmap);
    }
    void ExpectColours() {
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(b.GetPixelRGB(x, 0), kColours[size_t(x)]) << x;
            EXPECT_EQ(b.GetPixelRGB(x, 1), kColours[size_t(x + 4)]) << x;
        }
    }
    TIEBitmap b;
};

TEST_F(DeviceConversion, PaletteAndBackKeepTheColours) {
    b.SetPixelFormat(ie8p);
    EXPECT_EQ(b.Location(), ieTBitmap);
    EXPECT_EQ(b.PixelFormat(), ie8p);
    EXPECT_EQ(b.Pixels_ie8(3, 1), 7); // exact colours in order of first appearance
    ExpectColours();
    b.SetPixelFormat(ie24RGB); // colours, not palette indexes
    EXPECT_EQ(b.PixelFormat(), ie24RGB);
    ExpectColours();
    EXPECT_TRUE(b.HasAlphaChannel());
    EXPECT_EQ(b.AlphaPixel(2, 1), 200);
}

TEST_F(DeviceConversion, HeldFormats) {
    b.SetPixelFormat(ie32RGB);
    EXPECT_EQ(b.PixelFormat(), ie32RGB);
    ExpectColours();
    b.SetPixelFormat(ie16g); // held as ie8g
    EXPECT_EQ(b.PixelFormat(), ie8g);
    EXPECT_EQ(b.Pixels_ie8(2, 0), 53); // red
    EXPECT_EQ(b.Pixels_ie8(2, 1), 144); // (255, 128, 0): (5355 + 9088) / 100
    b.SetPixelFormat(ie1g);
    EXPECT_EQ(b.PixelFormat(), ie1g);
    b.SetPixelFormat(ie24RGB);
    EXPECT_EQ(b.PixelFormat(), ie24RGB);
    EXPECT_EQ(b.GetPixelRGB(1, 0), RGB(255, 255, 255));
    EXPECT_EQ(b.GetPixelRGB(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(b.AlphaPixel(0, 0), 200);
}

TEST_F(DeviceConversion, FormatsTheDeviceCannotHoldLeaveTheImage) {
    for (TIEPixelFormat f : {ie32f, ieCMYK, ieRGB48, ieCIELab}) {
        SCOPED_TRACE(PixelFormatName(f));
        b.SetPixelFormat(f);
        EXPECT_EQ(b.PixelFormat(), ie24RGB);
        ExpectColours();
    }
}
