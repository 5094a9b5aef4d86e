// Round trips through the program: what a conversion keeps (size, resolution, JPEG
// markers, alpha) and how 16-bit and palette PNGs arrive.
#include <gtest/gtest.h>

#include <filesystem>

#include "codecs/jpeg.h"
#include "codecs/png.h"
#include "io/imageio.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

using Bytes = std::vector<uint8_t>;

// The APPn and COM segments of a JPEG file, read with a plain walk over the markers.
std::vector<std::pair<uint8_t, Bytes>> Segments(const Bytes& f) {
    std::vector<std::pair<uint8_t, Bytes>> out;
    size_t p = 2;
    while (p + 4 <= f.size() && f[p] == 0xFF) {
        uint8_t code = f[p + 1];
        if (code == 0xDA) break;
        size_t len = size_t(f[p + 2]) << 8 | f[p + 3];
        if (len < 2 || p + 2 + len > f.size()) break;
        if ((code >= 0xE0 && code <= 0xEF) || code == 0xFE) out.emplace_back(code, Bytes(f.begin() + long(p) + 4, f.begin() + long(p + 2 + len)));
        p += 2 + len;
    }
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

class RoundTrip : public ::testing::Test {
  protected:
    twtest::RunResult Run(const std::vector<std::string>& args) {
        auto r = twtest::RunTarnwick(args, {}, dir_.path().string());
        EXPECT_EQ(r.exitCode, 0) << r.out;
        return r;
    }
    twtest::TempDir dir_;
};

} // namespace

TEST_F(RoundTrip, JpegKeepsSizeResolutionAndMarkers) {
    TImageIO io;
    ASSERT_TRUE(io.Bitmap().Allocate(123, 77, ie24RGB));
    for (int y = 0; y < 77; ++y)
        for (int x = 0; x < 123; ++x) io.Bitmap().SetPixels_ie24RGB(x, y, MakeRGB(uint8_t(2 * x), uint8_t(3 * y), 90));
    io.Params.SetDpiX(150);
    io.Params.SetDpiY(75);
    Bytes exif = Text(std::string("Exif\0\0II*\0\x08\0\0\0\0\0\0\0\0\0", 20));
    Bytes icc = Text(std::string("ICC_PROFILE\0\x01\x01", 14));
    icc.resize(icc.size() + 300, 0x5A);
    Bytes xmp = Text(std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta>hello</x:xmpmeta>", 57));
    Bytes iptc = Text(std::string("Photoshop 3.0\0008BIM\x04\x04\0\0\0\0\0\x0a\x1c\x02\x05\0\x05title\0", 38));
    Bytes comment = Text("made by a test");
    auto& ml = io.Params.JpegMarkerList;
    ml.Add(0xE1, exif);
    ml.Add(0xE2, icc);
    ml.Add(0xE1, xmp);
    ml.Add(0xED, iptc);
    ml.Add(0xFE, comment);
    io.SaveToFile(dir_.file("in.jpg"));
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
    auto before = Segments(twtest::ReadFile(dir_.file("in.jpg")));
    ASSERT_GE(before.size(), 5u);

    Run({"in.jpg", "-O" + dir_.file("out.jpg")});
    EXPECT_EQ(Segments(twtest::ReadFile(dir_.file("out.jpg"))), before) << "APPn and COM segments byte for byte";

    // Through PNG and back: size and resolution survive (PNG has no place for the markers).
    Run({"in.jpg", "-O" + dir_.file("mid.png")});
    Run({"mid.png", "-O" + dir_.file("back.jpg")});
    TImageIO back;
    back.LoadFromFile(dir_.file("back.jpg"));
    ASSERT_FALSE(back.Aborted) << back.AbortReason;
    EXPECT_EQ(back.Bitmap().Width(), 123);
    EXPECT_EQ(back.Bitmap().Height(), 77);
    EXPECT_EQ(back.Params.DpiX(), 150);
    EXPECT_EQ(back.Params.DpiY(), 75);
}

TEST_F(RoundTrip, PngKeepsAlpha) {
    TImageIO io;
    ASSERT_TRUE(io.Bitmap().Allocate(40, 30, ie24RGB));
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            io.Bitmap().SetPixels_ie24RGB(x, y, MakeRGB(uint8_t(6 * x), uint8_t(8 * y), 200));
            io.Bitmap().SetAlphaPixel(x, y, uint8_t(x * 6 + y));
        }
    io.SaveToFile(dir_.file("a.png"));
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
    Run({"a.png", "-O" + dir_.file("b.png"), "-V"});
    TImageIO back;
    back.LoadFromFile(dir_.file("b.png"));
    ASSERT_FALSE(back.Aborted) << back.AbortReason;
    ASSERT_TRUE(back.Bitmap().HasAlphaChannel());
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            ASSERT_EQ(back.Bitmap().AlphaPixel(x, y), uint8_t(x * 6 + (29 - y))) << x << "," << y;
            ASSERT_EQ(back.Bitmap().GetPixelRGB(x, y), MakeRGB(uint8_t(6 * x), uint8_t(8 * (29 - y)), 200));
        }
}

TEST_F(RoundTrip, SixteenBitAndPalettePngs) {
    // Made by another tool: a 16-bit RGB PNG and a palette PNG with a tRNS chunk.
    if (std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") != 0) GTEST_SKIP() << "Pillow not installed";
    std::string script = dir_.file("make.py");
    twtest::WriteFile(script, R"(
import struct, zlib, sys
from PIL import Image
def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
rows = b''.join(b'\0' + struct.pack('>HHH', 40000, 20000, 1000) * 8 for _ in range(4))
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 8, 4, 16, 2, 0, 0, 0))
png += chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b'')
open(sys.argv[1] + '/deep.png', 'wb').write(png)
im = Image.new('P', (8, 4), 0)
im.putpalette([255, 0, 0, 0, 255, 0])
im.putpixel((1, 1), 1)
im.save(sys.argv[1] + '/pal.png', transparency=bytes([255, 128]))
)");
    ASSERT_EQ(std::system(("/usr/bin/python3 '" + script + "' '" + dir_.path().string() + "'").c_str()), 0);
    // 16-bit samples keep their high byte in the 24-bit working image.
    Run({"deep.png", "-O" + dir_.file("deep-out.png")});
    TImageIO deep;
    deep.LoadFromFile(dir_.file("deep-out.png"));
    ASSERT_FALSE(deep.Aborted) << deep.AbortReason;
    EXPECT_EQ(deep.Bitmap().GetPixelRGB(3, 2), MakeRGB(40000 >> 8, 20000 >> 8, 1000 >> 8));

    // Palette transparency arrives as alpha and is written back.
    Run({"pal.png", "-O" + dir_.file("pal-out.png")});
    TImageIO pal;
    pal.LoadFromFile(dir_.file("pal-out.png"));
    ASSERT_FALSE(pal.Aborted) << pal.AbortReason;
    ASSERT_TRUE(pal.Bitmap().HasAlphaChannel());
    EXPECT_EQ(pal.Bitmap().GetPixelRGB(0, 0), MakeRGB(255, 0, 0));
    EXPECT_EQ(pal.Bitmap().GetPixelRGB(1, 1), MakeRGB(0, 255, 0));
    EXPECT_EQ(pal.Bitmap().AlphaPixel(0, 0), 255);
    EXPECT_EQ(pal.Bitmap().AlphaPixel(1, 1), 128);
}
