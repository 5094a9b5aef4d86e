// End-to-end runs of the program: loading, the processing sequence with its output lines,
// saving (to -O and over the input), the user-parameters file and the failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "cli/processing.h"
#include "codecs/png.h"
#include "io/imageio.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

TRGB Pattern(int x, int y) { return MakeRGB(uint8_t(x * 3), uint8_t(y * 5), uint8_t(x + 7 * y)); }

void WritePatternPng(const std::string& path, int w, int h) {
    TIEBitmap b(w, h, ie24RGB);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<TRGB*>(b.Scanline(y));
        for (int x = 0; x < w; ++x) row[x] = Pattern(x, y);
    }
    TIOParamsVals params;
    bool aborted = false;
    TIEProgressRecord rec;
    rec.AbortFlag = &aborted;
    TIEWideFileStream f(path, fmCreate);
    PngWriteStream(f, b, params, nullptr, rec);
    ASSERT_FALSE(aborted);
}

struct Loaded {
    int width = 0, height = 0;
    std::function<TRGB(int, int)> pixel;
};

// Loads an output file through our own reader.
std::unique_ptr<TImageIO> Load(const std::string& path) {
    auto io = std::make_unique<TImageIO>();
    io->LoadFromFile(path);
    EXPECT_FALSE(io->Aborted) << io->AbortReason;
    return io;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

class RunTest : public ::testing::Test {
  protected:
    twtest::RunResult Run(const std::vector<std::string>& args) {
        return twtest::RunTarnwick(args, {"XDG_CONFIG_DIRS=" + dir_.file("system")}, dir_.path().string());
    }
    std::string Command(const std::vector<std::string>& args) {
        std::string line = "Command: " + std::string(TW_EXE_PATH);
        for (const auto& a : args) line += " " + a;
        return line + "\r\n";
    }
    twtest::TempDir dir_;
};

} // namespace

TEST(FitSize, Examples) {
    struct Row {
        int iw, ih, w, h, tw, th;
    } rows[] = {
        {400, 300, 800, 600, 400, 300},    {1600, 1200, 800, 600, 800, 600}, {1200, 800, 600, 600, 900, 600},
        {1000, 500, 600, 600, 1000, 500},  {1000, 3000, 800, 1000, 800, 2400}, {800, 1200, 600, 600, 600, 900},
        {500, 500, 400, 400, 400, 400},    {1001, 2, 2, 1, 500, 1}, // 500.5 goes to the even 500
        {3, 2, 0, 0, 0, 0},                {5, 4, -5, 2, -5, -4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.iw) + "x" + std::to_string(r.ih) + " into " + std::to_string(r.w) + "x" +
                     std::to_string(r.h));
        int32_t tw, th;
        FitSize(r.iw, r.ih, r.w, r.h, tw, th);
        EXPECT_EQ(tw, r.tw);
        EXPECT_EQ(th, r.th);
    }
    // Halves go to the even neighbour: 7 x 2 into 1 high gives 3.5 -> 4, 5 x 2 gives 2.5 -> 2.
    int32_t tw, th;
    FitSize(7, 2, 3, 1, tw, th);
    EXPECT_EQ(tw, 4);
    FitSize(5, 2, 3, 1, tw, th);
    EXPECT_EQ(tw, 2);
}

TEST_F(RunTest, TransformationsAndTheirLines) {
    WritePatternPng(dir_.file("in.png"), 64, 48);
    const std::string out = dir_.file("out.png");
    const std::string nearest = "Using Nearest methor to Resample Filter.";
    struct Row {
        const char* name;
        std::vector<std::string> options;
        std::vector<std::string> lines; // between the command line and "Save to :"
        int width, height;
        std::function<TRGB(int, int)> expected; // pixel of the result, from the input pattern
    } rows[] = {
        {"no operation", {}, {nearest}, 64, 48, [](int x, int y) { return Pattern(x, y); }},
        {"rotate 90", {"-D90"}, {nearest, "Degrees Rotate 90"}, 48, 64,
         [](int x, int y) { return Pattern(63 - y, x); }},
        {"rotate -90", {"-D-90"}, {nearest, "Degrees Rotate -90/270"}, 48, 64,
         [](int x, int y) { return Pattern(y, 47 - x); }},
        {"rotate 270", {"-D270"}, {nearest, "Degrees Rotate -90/270"}, 48, 64,
         [](int x, int y) { return Pattern(y, 47 - x); }},
        {"rotate 180", {"-D180"}, {nearest, "Degrees Rotate 180"}, 64, 48,
         [](int x, int y) { return Pattern(63 - x, 47 - y); }},
        {"bad degrees", {"-D45"}, {"Degree rotate must be -90,90,180,270", nearest}, 64, 48,
         [](int x, int y) { return Pattern(x, y); }},
        {"mirror", {"-R"}, {nearest, "The image horizontally.", "Horizontally"}, 64, 48,
         [](int x, int y) { return Pattern(63 - x, y); }},
        {"upside down", {"-V"}, {nearest, "The image vertically.", "Vertically"}, 64, 48,
         [](int x, int y) { return Pattern(x, 47 - y); }},
        {"crop", {"-P1", "-W10", "-H20"},
         {"Crop image to selected size", nearest, "[Success] Crop image to selected sizeW*H 10*20"}, 10, 20,
         [](int x, int y) { return Pattern(x, y); }},
        {"crop larger than the image", {"-P1", "-W1000"},
         {"Crop image to selected size", nearest, "[Success] Crop image to selected sizeW*H 1000*600"}, 64, 48,
         [](int x, int y) { return Pattern(x, y); }},
        {"rotate then crop", {"-D90", "-P1", "-W40", "-H60"},
         {"Crop image to selected size", nearest, "Degrees Rotate 90",
          "[Success] Crop image to selected sizeW*H 40*60"},
         40, 60, [](int x, int y) { return Pattern(63 - y, x); }},
        {"stretch", {"-P2", "-W32", "-H96", "-F2"},
         {"Shrink or enlarge images to the selected size.", "Using Bilinear methor to Resample Filter.",
          "[Success] Shrink or enlarge images to the selected size.W*H 32*96"},
         32, 96, nullptr},
        {"stretch with an empty filter", {"-P2", "-W32", "-H96", "-F"},
         {"Shrink or enlarge images to the selected size.",
          "[Success] Shrink or enlarge images to the selected size.W*H 32*96"},
         64, 48, [](int x, int y) { return Pattern(x, y); }},
        {"stretch to zero keeps the size", {"-P2", "-W0", "-H0"},
         {"Shrink or enlarge images to the selected size.", nearest,
          "[Success] Shrink or enlarge images to the selected size.W*H 0*0"},
         64, 48, nullptr},
        {"fit", {"-P3", "-W32", "-H32", "-F3"},
         {"Fit image to selected size.", "Using Lanczos methor to Resample Filter.",
          "[Success] Fit image to selected size.W*H 43*32"},
         43, 32, nullptr},
        {"fit never enlarges", {"-P3"},
         {"Fit image to selected size.", nearest, "[Success] Fit image to selected size.W*H 64*48"}, 64, 48,
         nullptr},
        {"fit into a zero box", {"-P3", "-W0", "-H0"},
         {"Fit image to selected size.", nearest, "[Success] Fit image to selected size.W*H 0*0"}, 64, 48,
         nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::filesystem::remove(out);
        std::vector<std::string> args{"in.png", "-O" + out};
        args.insert(args.end(), r.options.begin(), r.options.end());
        auto res = Run(args);
        std::vector<std::string> lines = r.lines;
        lines.push_back("Save to :" + out);
        EXPECT_EQ(res.out, Command(args) + Lines(lines));
        EXPECT_EQ(res.exitCode, 0);
        EXPECT_EQ(res.err, "");
        auto io = Load(out);
        TIEBitmap& b = io->Bitmap();
        ASSERT_EQ(b.Width(), r.width);
        ASSERT_EQ(b.Height(), r.height);
        if (!r.expected) continue;
        for (int y = 0; y < r.height; ++y)
            for (int x = 0; x < r.width; ++x) ASSERT_EQ(b.GetPixelRGB(x, y), r.expected(x, y)) << x << "," << y;
    }
}

TEST_F(RunTest, SaveOverTheInput) {
    WritePatternPng(dir_.file("a.png"), 20, 10);
    struct stat before {};
    ASSERT_EQ(::stat(dir_.file("a.png").c_str(), &before), 0);
    auto res = Run({"a.png", "-R"});
    EXPECT_EQ(res.exitCode, 0) << res.out;
    EXPECT_EQ(res.out, Command({"a.png", "-R"}) +
                           Lines({"Using Nearest methor to Resample Filter.", "The image horizontally.",
                                  "Horizontally", "Save to :"}));
    auto io = Load(dir_.file("a.png"));
    EXPECT_EQ(io->Bitmap().GetPixelRGB(0, 0), Pattern(19, 0));
    // The file was replaced by a new one (written beside it and renamed), nothing else left.
    struct stat after {};
    ASSERT_EQ(::stat(dir_.file("a.png").c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

    // With a folder part the line names the folder.
    std::filesystem::create_directories(dir_.path() / "sub");
    WritePatternPng(dir_.file("sub/b.png"), 4, 4);
    res = Run({dir_.file("sub/b.png")});
    EXPECT_EQ(res.exitCode, 0);
    EXPECT_NE(res.out.find("Save to :" + dir_.file("sub/") + "\r\n"), std::string::npos) << res.out;
}

TEST_F(RunTest, UserParametersApplyOnlyWithAnOutputName) {
    WritePatternPng(dir_.file("in.png"), 16, 16);
    std::filesystem::create_directories(dir_.path() / "system" / "Morvatch");
    TIOParamsVals saved;
    saved.PngInterlaced = true;
    saved.SaveToFile(dir_.file("system/Morvatch/UserParams"));
    auto interlaced = [](const std::string& path) {
        auto bytes = twtest::ReadFile(path);
        return bytes.size() > 28 && bytes[28] == 1; // IHDR interlace method
    };
    auto res = Run({"in.png", "-O" + dir_.file("out.png")});
    ASSERT_EQ(res.exitCode, 0) << res.out;
    EXPECT_TRUE(interlaced(dir_.file("out.png"))) << "the saved options win over what the load set";

    res = Run({"in.png"});
    ASSERT_EQ(res.exitCode, 0) << res.out;
    EXPECT_FALSE(interlaced(dir_.file("in.png"))) << "without -O the file is not read";

    // A damaged parameters file ends the run, and nothing is written.
    twtest::WriteFile(dir_.file("system/Morvatch/UserParams"), std::string("\x26\0\0\0\xff\xff\xff\x7f", 8));
    res = Run({"in.png", "-O" + dir_.file("out2.png")});
    EXPECT_EQ(res.exitCode, 99);
    EXPECT_NE(res.out.find("Unexpected error: Parameters file is damaged"), std::string::npos) << res.out;
    EXPECT_FALSE(std::filesystem::exists(dir_.file("out2.png")));
}

TEST_F(RunTest, FailuresLeaveFilesAlone) {
    WritePatternPng(dir_.file("in.png"), 16, 16);
    twtest::WriteFile(dir_.file("old.png"), "previous content");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {"unknown content", {"junk.dat", "-O" + dir_.file("old.png")},
         "Cannot load \"junk.dat\": the file's content is not a known image format"},
        {"truncated PNG", {"cut.png", "-O" + dir_.file("old.png")}, "Cannot load \"cut.png\": PNG: "},
        {"no writer for the extension", {"in.png", "-O" + dir_.file("old.t")}, "Cannot save \""},
        {"too large to hold", {"in.png", "-O" + dir_.file("old.png"), "-P2", "-W1000000", "-H1000000"},
         "Image too large"},
    };
    twtest::WriteFile(dir_.file("junk.dat"), "nothing to see");
    auto png = twtest::ReadFile(dir_.file("in.png"));
    png.resize(png.size() / 2);
    twtest::WriteFile(dir_.file("cut.png"), png);
    twtest::WriteFile(dir_.file("old.t"), "previous content");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto res = Run(r.args);
        EXPECT_EQ(res.exitCode, 99);
        EXPECT_NE(res.out.find("Unexpected error: " + r.message), std::string::npos) << res.out;
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(twtest::ReadFile(dir_.file("old.png")), twtest::ReadFile(dir_.file("old.t")));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 5) << "no stray files";
    }
}

TEST_F(RunTest, ShortWriteKeepsTheOldTarget) {
    WritePatternPng(dir_.file("in.png"), 300, 300);
    const std::vector<uint8_t> old(5000, 'x');
    twtest::WriteFile(dir_.file("old.png"), old);
    // The disk "fills up" after 1000 bytes: the writer sees a short write.
    auto res = twtest::RunTarnwick({"in.png", "-O" + dir_.file("old.png")}, {}, dir_.path().string(), 1000);
    EXPECT_EQ(res.exitCode, 99);
    EXPECT_NE(res.out.find("Unexpected error: Cannot save \"" + dir_.file("old.png") + "\""), std::string::npos)
        << res.out;
    EXPECT_EQ(twtest::ReadFile(dir_.file("old.png")), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2) << "no temporary file left";
}
