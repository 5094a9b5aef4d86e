// BMP files through the real program: a conversion BMP -> BMP, and hostile files that
// must end the run with exit code 99, a reason and no output file.
#include <gtest/gtest.h>

#include <filesystem>

#include "io/builtin.h"
#include "io/formats.h"
#include "tests/bmp_helpers.h"
#include "tests/helpers.h"

using namespace tw;
using namespace twtest;

namespace {

bool BmpWired() {
    return BuiltinFormat(ioBMP) != nullptr;
}

BmpSpec EightBitImage() {
    BmpSpec s;
    s.width = 3;
    s.height = 2;
    s.bitCount = 8;
    s.colorsUsed = 3;
    s.palette = {Rgb(200, 10, 10), Rgb(10, 200, 10), Rgb(10, 10, 200)};
    s.pixels = PadRows({{0, 1, 2}, {2, 2, 0}});
    return s;
}

TEST(BmpProgram, ConvertsBmpToBmp) {
    if (!BmpWired()) GTEST_SKIP() << "BMP is not in the load and save dispatch yet";
    TempDir dir;
    const auto input = BuildBmp(EightBitImage());
    WriteFile(dir.file("in.bmp"), input);
    auto r = RunTarnwick({dir.file("in.bmp"), "-O" + dir.file("out.bmp")});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("Save to :"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
    auto in = DecodeBmp(input);
    auto out = DecodeBmp(ReadFile(dir.file("out.bmp")));
    ASSERT_TRUE(out->ok) << out->reason;
    // An 8-bit palette file is written back with 8 bits.
    EXPECT_EQ(out->info.BitCount, 8);
    ASSERT_EQ(out->bitmap.Width(), 3);
    ASSERT_EQ(out->bitmap.Height(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(Px(out->bitmap, x, y), Px(in->bitmap, x, y)) << x << "," << y;
}

TEST(BmpProgram, BadFilesEndWithExit99) {
    if (!BmpWired()) GTEST_SKIP() << "BMP is not in the load and save dispatch yet";
    struct Row {
        const char* name;
        std::vector<uint8_t> file;
        const char* reason;
    };
    std::vector<Row> rows;
    {
        BmpSpec s;
        s.width = 100000;
        s.height = 100000;
        s.pixels.assign(46, 0);
        rows.push_back({"100000 x 100000 pixels in 100 bytes", BuildBmp(s), "BMP: image of 100000 x 100000"});
    }
    {
        BmpSpec s = EightBitImage();
        s.width = -3;
        rows.push_back({"negative width", BuildBmp(s), "BMP: negative width -3"});
    }
    {
        BmpSpec s = EightBitImage();
        s.bitCount = 2;
        rows.push_back({"2 bits per pixel", BuildBmp(s), "BMP: unsupported bit depth 2"});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        WriteFile(dir.file("in.bmp"), r.file);
        auto run = RunTarnwick({dir.file("in.bmp"), "-O" + dir.file("out.bmp")});
        EXPECT_EQ(run.exitCode, 99) << run.out;
        EXPECT_NE(run.out.find(r.reason), std::string::npos) << run.out;
        EXPECT_TRUE(run.err.empty()) << run.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
    }
}

} // namespace
