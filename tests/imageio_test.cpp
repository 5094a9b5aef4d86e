// The I/O component: choosing readers by content and writers by extension, failures
// reported through Aborted, the resolution fix, the mask-to-alpha step and progress.
#include <gtest/gtest.h>

#include <filesystem>

#include "io/imageio.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A 2 x 1 BMP, 32 bits per pixel, uncompressed, with the given fourth bytes and
// pixels-per-metre resolution.
Bytes Bmp32(uint8_t a0, uint8_t a1, uint32_t ppm) {
    Bytes b = {'B', 'M'};
    Put32(b, 14 + 40 + 8);
    Put32(b, 0);
    Put32(b, 14 + 40);
    Put32(b, 40);
    Put32(b, 2);
    Put32(b, 1);
    Put16(b, 1);
    Put16(b, 32);
    Put32(b, 0);
    Put32(b, 8);
    Put32(b, ppm);
    Put32(b, ppm);
    Put32(b, 0);
    Put32(b, 0);
    for (int v : {10, 20, 30, int(a0), 40, 50, 60, int(a1)}) b.push_back(uint8_t(v));
    return b;
}

// Writes a small PNG through the component itself.
void SavePng(const std::string& path) {
    TImageIO io;
    ASSERT_TRUE(io.Bitmap().Allocate(3, 2, ie24RGB));
    io.Bitmap().Fill(double(0x00336699));
    io.SaveToFile(path);
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
}

int32_t FileTypeOfBytes(const std::string& path) {
    auto bytes = twtest::ReadFile(path);
    TMemoryViewStream s(bytes.data(), bytes.size());
    return DetectStreamType(s);
}

} // namespace

TEST(ImageIO, ContentDecidesOnLoadExtensionOnSave) {
    twtest::TempDir dir;
    SavePng(dir.file("a.png"));
    std::filesystem::copy_file(dir.file("a.png"), dir.file("a.jpg"));
    TImageIO io;
    io.LoadFromFile(dir.file("a.jpg"));
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
    EXPECT_EQ(io.Params.FileType, ioPNG);
    EXPECT_EQ(io.Bitmap().GetPixelRGB(2, 1), MakeRGB(0x99, 0x66, 0x33));
    io.SaveToFile(dir.file("b.jpg"));
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
    EXPECT_EQ(FileTypeOfBytes(dir.file("b.jpg")), ioJPEG);
    io.SaveToFile(dir.file("c.JPG"));
    EXPECT_EQ(FileTypeOfBytes(dir.file("c.JPG")), ioJPEG) << "the extension is lower-cased first";
    io.SaveToFile(dir.file("d.dib"));
    EXPECT_EQ(FileTypeOfBytes(dir.file("d.dib")), ioBMP);
}

TEST(ImageIO, FailuresAreReportedThroughAborted) {
    twtest::TempDir dir;
    twtest::WriteFile(dir.file("text.bmp"), "this is only text, no image at all");
    twtest::WriteFile(dir.file("text.xyz"), "this is only text, no image at all");
    TImageIO io;
    ASSERT_TRUE(io.Bitmap().Allocate(5, 4, ie24RGB));

    io.LoadFromFile(dir.file("text.xyz"));
    EXPECT_TRUE(io.Aborted);
    EXPECT_EQ(io.AbortReason, "the file's content is not a known image format");
    EXPECT_EQ(io.Bitmap().Width(), 5) << "the bitmap is untouched";

    io.LoadFromFile(dir.file("text.bmp")); // the extension picks the BMP reader, which finds no "BM"
    EXPECT_TRUE(io.Aborted);
    EXPECT_NE(io.AbortReason.find("BMP"), std::string::npos) << io.AbortReason;

    EXPECT_THROW(io.LoadFromFile(dir.file("missing.png")), EFOpenError);

    // Saving: no writer group for .pix (the format table knows it, but only as Targa's
    // built-in row), and none for .xyz: nothing is created.
    ASSERT_TRUE(io.Bitmap().Allocate(5, 4, ie24RGB));
    for (const char* name : {"out.pix", "out.xyz", "out"}) {
        SCOPED_TRACE(name);
        io.SaveToFile(dir.file(name));
        EXPECT_TRUE(io.Aborted);
        EXPECT_FALSE(std::filesystem::exists(dir.file(name)));
    }
    // An empty bitmap is never written.
    TImageIO empty;
    empty.SaveToFile(dir.file("empty.png"));
    EXPECT_TRUE(empty.Aborted);
    EXPECT_FALSE(std::filesystem::exists(dir.file("empty.png")));
    // A folder that does not exist is an environment failure: an exception.
    EXPECT_THROW(io.SaveToFile(dir.file("nowhere/out.png")), EFCreateError);
}

TEST(ImageIO, AlphaFlagAndResolutionFix) {
    twtest::TempDir dir;
    struct Row {
        const char* name;
        uint8_t a0, a1;
        uint32_t ppm;
        bool useAlpha, expectAlpha;
        int dpi;
    } rows[] = {
        {"no use-alpha", 0, 128, 3780, false, false, 96},
        {"use-alpha with real values", 0, 128, 3780, true, true, 96},
        {"resolution 0 becomes 300", 0, 0, 0, false, false, 300},
        {"resolution below 2 dpi becomes 300", 0, 0, 39, false, false, 300},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        twtest::WriteFile(dir.file("x.bmp"), Bmp32(r.a0, r.a1, r.ppm));
        TImageIO io;
        io.Params.BmpUseAlpha = r.useAlpha;
        io.LoadFromFile(dir.file("x.bmp"));
        ASSERT_FALSE(io.Aborted) << io.AbortReason;
        EXPECT_EQ(io.Bitmap().HasAlphaChannel(), r.expectAlpha);
        if (r.expectAlpha) {
            EXPECT_EQ(io.Bitmap().AlphaPixel(0, 0), r.a0);
            EXPECT_EQ(io.Bitmap().AlphaPixel(1, 0), r.a1);
        }
        EXPECT_EQ(io.Params.DpiX(), r.dpi);
        EXPECT_EQ(io.Params.DpiY(), r.dpi);
    }
}

TEST(ImageIO, AutoAdjustDpiMakesPixelsSquare) {
    twtest::TempDir dir;
    // 2 x 1 pixels at 96 x 48 dpi: each pixel is twice as tall as wide.
    Bytes bmp = Bmp32(0, 0, 3780);
    for (int i = 0; i < 4; ++i) bmp[42 + i] = uint8_t(1890 >> (8 * i)); // vertical pixels per metre
    twtest::WriteFile(dir.file("x.bmp"), bmp);
    TImageIO io;
    io.AutoAdjustDPI = true;
    io.LoadFromFile(dir.file("x.bmp"));
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
    // Height < Width: Height becomes trunc(1 / 48 * 96) = 2 and DpiY takes DpiX.
    EXPECT_EQ(io.Bitmap().Width(), 2);
    EXPECT_EQ(io.Bitmap().Height(), 2);
    EXPECT_EQ(io.Params.DpiX(), 96);
    EXPECT_EQ(io.Params.DpiY(), 96);
    EXPECT_EQ(io.Bitmap().GetPixelRGB(1, 1), MakeRGB(60, 50, 40)) << "plain pixel replication";
}

TEST(ImageIO, ProgressAndFinishNotifications) {
    twtest::TempDir dir;
    SavePng(dir.file("a.png"));
    TImageIO io;
    std::vector<int> percents;
    int finished = 0;
    io.OnProgress = [&](void* sender, int p) {
        EXPECT_EQ(sender, &io);
        percents.push_back(p);
    };
    io.OnFinishWork = [&](void*) { ++finished; };
    io.LoadFromFile(dir.file("a.png"));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(finished, 1);
    io.LoadFromFile(dir.file("none.xyz")); // a failed operation finishes too
    EXPECT_EQ(finished, 2);
}

TEST(ImageIO, LoadFromStream) {
    twtest::TempDir dir;
    SavePng(dir.file("a.png"));
    auto bytes = twtest::ReadFile(dir.file("a.png"));
    Bytes data(7, 'x'); // the image need not start at 0
    data.insert(data.end(), bytes.begin(), bytes.end());
    TMemoryViewStream s(data.data(), data.size());
    s.SetPosition(7);
    TImageIO io;
    io.LoadFromStream(s);
    ASSERT_FALSE(io.Aborted) << io.AbortReason;
    EXPECT_EQ(io.Bitmap().Width(), 3);
    EXPECT_EQ(io.Params.FileName, "");
}
