// The command line: option lookup, integer reading, parsing, the checks with their
// messages and exit codes (through the real executable), and the exception guard.
#include <gtest/gtest.h>

#include <filesystem>
#include <new>

#include "io/filenames.h"
#include "cli/options.h"
#include "cli/program.h"
#include "cli/validate.h"
#include "image/errors.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

std::string Lines(std::initializer_list<std::string> lines) {
    std::string s;
    for (const auto& l : lines)
        s += l + "\r\n";
    return s;
}

const std::string kUsage = Lines({
    "Morvatch Command Line Useage:",
    "",
    "TARNWICK <ImageFileName> [OutFileName] [Option]",
    "",
    "Parameters:",
    "<ImageFileName>:       Input image filename.",
    "",
    "[OutFileName]:         ",
    "-O<OutFileName>:       Output image filename.",
    "",
    "Resize image Option:",
    "-P<Resize Parameter>:  Resize Parameter:",
    "                       1 : Crop image to select size.",
    "                       2 : Shrink or enlarge images to the w * h size.",
    "                       3 : Fit image to the w * h size.",
    "                       Resize -W,-H",
    "-W<Resize Width>:      Resize image width. Default is 800.",
    "-H<Resize Height>:     Resize image height. Default is 600.",
    "-F<Resample Filter>:   Resample filters:",
    "                       1 : Using Nearest method  to Resample Filter.",
    "                       2 : Using Bilinear method  to Resample Filter.",
    "                       3 : Using Lanczos method  to Resample Filter.",
    "",
    "Flip image Option:",
    "-D<Degrees Rotate>:    -90,90,180,270",
    "-R<Horizontally>:      Horizontally image.",
    "-V<Vertically>:        Vertically image.",
    "",
    "",
    "Examples:",
    "\"C:\\source01.JPG\"",
    "\"C:\\source01.JPG\" -D90",
});

const std::string kParamsError = "Parameters error! Please run Tarnwick to get help.";
// A run that passes validation and then meets an input that is no image.
const std::string kNotYet = "Unexpected error: Cannot load \"in.dat\": the file's content is not a known image "
                            "format. Please run Tarnwik to get help";
const std::string kNearest = "Using Nearest methor to Resample Filter.";

} // namespace

TEST(CommandLine, TryStrToInt) {
    struct Row {
        const char* text;
        std::optional<int32_t> value;
    } rows[] = {
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"640px", std::nullopt},
        {"0", 0},
        {"-5", -5},
        {"+7", 7},
        {"  12", 12},
        {"12 ", std::nullopt},
        {"\t5", std::nullopt},
        {"$400", 1024},
        {"x10", 16},
        {"X1f", 31},
        {"0x10", 16},
        {"0XfF", 255},
        {"-$10", -16},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"-", std::nullopt},
        {"--1", std::nullopt},
        {"00x1", std::nullopt},
        {"$G", std::nullopt},
        {"1e3", std::nullopt},
        {"12a", std::nullopt},
        {"2147483647", 2147483647},
        {"2147483648", std::nullopt},
        {"-2147483648", INT32_MIN},
        {"-2147483649", std::nullopt},
        {"$7FFFFFFF", 2147483647},
        {"$80000000", std::nullopt},
        {"-$80000000", INT32_MIN},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string("text \"") + r.text + "\"");
        EXPECT_EQ(TryStrToInt(r.text), r.value);
    }
    EXPECT_EQ(StrToIntDef("abc", 800), 800);
    EXPECT_EQ(StrToIntDef("$400", 800), 1024);
}

TEST(CommandLine, FindOptionValueAndHasOption) {
    struct Row {
        const char* name;
        TArguments args;
        const char* option;
        const char* value;
        bool has;
    } rows[] = {
        {"value keeps its case", {"a.png", "-oC:\\Out\\X.PNG"}, "-O", "C:\\Out\\X.PNG", true},
        {"letter case of the option ignored", {"a.png", "-O1"}, "-o", "1", true},
        {"option given with blanks", {"a.png", "-P2"}, " -p ", "2", true},
        {"value not trimmed", {"a.png", "-W 100 "}, "-W", " 100 ", true},
        {"bare option has an empty value", {"a.png", "-F", "-F3"}, "-F", "", true},
        {"first match wins", {"a.png", "-W1", "-W2"}, "-W", "1", true},
        {"input name is scanned", {"-Rimage.png"}, "-R", "image.png", true},
        {"leading blank: present, but no value", {"a.png", " -W100"}, "-W", "", true},
        {"short arguments never match", {"a.png", "-", ""}, "-W", "", false},
        {"absent", {"a.png", "-P2"}, "-W", "", false},
        {"letter must follow the dash", {"a.png", "W-100"}, "-W", "", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(FindOptionValue(r.args, r.option), r.value);
        EXPECT_EQ(HasOption(r.args, r.option), r.has);
    }
}

TEST(CommandLine, FileNameParts) {
    struct Row {
        const char* name;
        const char* path;
        const char* ext;
    } rows[] = {
        {"c:\\img\\a.png", "c:\\img\\", ".png"},
        {"/tmp/out/a.b.jpg", "/tmp/out/", ".jpg"},
        {"out.png", "", ".png"},
        {"x.", "", "."},
        {"x", "", ""},
        {"dir.d/file", "dir.d/", ""},
        {"dir.d\\file", "dir.d\\", ""},
        {"c:x.png", "c:", ".png"},
        {"/", "/", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(ExtractFilePath(r.name), r.path);
        EXPECT_EQ(ExtractFileExt(r.name), r.ext);
    }
}

TEST(CommandLine, ParseArguments) {
    struct Row {
        const char* name;
        TArguments args;
        int32_t width, height;
        const char* resize;
        const char* filter;
        const char* degrees;
        bool mirror, upsideDown;
    } rows[] = {
        {"defaults", {"in.dat"}, 800, 600, "", "1", "", false, false},
        {"-W without digits", {"in.dat", "-W", "-H"}, 800, 600, "", "1", "", false, false},
        {"-Wabc", {"in.dat", "-Wabc"}, 800, 600, "", "1", "", false, false},
        {"-W640px -H480px", {"in.dat", "-W640px", "-H480px"}, 800, 600, "", "1", "", false, false},
        {"-W0 -H-5", {"in.dat", "-W0", "-H-5"}, 0, -5, "", "1", "", false, false},
        {"-W$400", {"in.dat", "-W$400", "-H0x20"}, 1024, 32, "", "1", "", false, false},
        {"-W out of range", {"in.dat", "-W4294967296"}, 800, 600, "", "1", "", false, false},
        {"texts kept as given", {"in.dat", "-P01", "-F3", "-D+90"}, 800, 600, "01", "3", "+90", false, false},
        {"-F without value", {"in.dat", "-F"}, 800, 600, "", "", "", false, false},
        {"flags, value after them ignored", {"in.dat", "-Rxyz", "-v"}, 800, 600, "", "1", "", true, true},
        {"input that is an option", {"-D90.png"}, 800, 600, "", "1", "90.png", false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TRunState s;
        ParseArguments(r.args, s);
        EXPECT_EQ(s.InputName, r.args.front());
        EXPECT_EQ(s.Width, r.width);
        EXPECT_EQ(s.Height, r.height);
        EXPECT_EQ(s.ResizeMode, r.resize);
        EXPECT_EQ(s.Filter, r.filter);
        EXPECT_EQ(s.Degrees, r.degrees);
        EXPECT_EQ(s.Mirror, r.mirror);
        EXPECT_EQ(s.UpsideDown, r.upsideDown);
    }
    TRunState s;
    ParseArguments({"in.dat", "-Oc:\\x.png"}, s);
    EXPECT_EQ(s.OutputName, "c:\\x.png");
    EXPECT_EQ(s.SaveName, "c:\\x.png");
}

TEST(CommandLine, GuardTurnsEveryExceptionIntoExit99) {
    struct NotAnException {};
    struct Row {
        const char* name;
        std::function<int()> body;
        int code;
        std::string out;
    } rows[] = {
        {"normal end", [] { return 7; }, 7, ""},
        {"engine exception", []() -> int { throw EFOpenError("Cannot open file \"a.png\""); }, 99,
         "Unexpected error: Cannot open file \"a.png\". Please run Tarnwik to get help\r\n"},
        {"standard exception", []() -> int { throw std::runtime_error("boom"); }, 99,
         "Unexpected error: boom. Please run Tarnwik to get help\r\n"},
        {"out of memory", []() -> int { throw std::bad_alloc(); }, 99,
         "Unexpected error: std::bad_alloc. Please run Tarnwik to get help\r\n"},
        {"not an exception class", []() -> int { throw NotAnException(); }, 99,
         "Unexpected error: unknown error. Please run Tarnwik to get help\r\n"},
        {"an int", []() -> int { throw 42; }, 99,
         "Unexpected error: unknown error. Please run Tarnwik to get help\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TStringLineWriter out;
        EXPECT_EQ(RunGuarded(out, r.body), r.code);
        EXPECT_EQ(out.Text(), r.out);
    }
}

// Runs the executable in a folder holding an input file "in.dat" and a folder "out", with
// every configuration location pointed into a temporary folder.
class CommandLineRun : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(work_.path() / "out");
        twtest::WriteFile(work_.file("in.dat"), "not really a JPEG");
    }

    twtest::RunResult Run(const std::vector<std::string>& args) const {
        return twtest::RunTarnwick(args,
                                   {"HOME=" + home_.file("home"), "XDG_CONFIG_HOME=" + home_.file("config"),
                                    "XDG_CONFIG_DIRS=" + home_.file("system"),
                                    "XDG_DOCUMENTS_DIR=" + home_.file("docs")},
                                   work_.path().string());
    }

    static std::string Command(const std::vector<std::string>& args) {
        std::string line = "Command: " + std::string(TW_EXE_PATH);
        for (const auto& a : args)
            line += " " + a;
        return line;
    }

    twtest::TempDir work_, home_;
};

TEST_F(CommandLineRun, OutputAndExitCodes) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> lines; // after the "Command: " line
        int code;
        bool echoesCommand = true;
    } rows[] = {
        {"nine arguments",
         {"in.dat", "-a", "-b", "-c", "-d", "-e", "-f", "-g", "-h"},
         {kParamsError},
         2,
         false},
        {"eight arguments are fine",
         {"in.dat", "-P1", "-W10", "-H10", "-F2", "-Oout/x.png", "-a", "-b"},
         {"Crop image to selected size", "Using Bilinear methor to Resample Filter.", kNotYet},
         99},
        {"input only", {"in.dat"}, {kNearest, kNotYet}, 99},
        {"input missing", {"missing.jpg"}, {"Input image does not be found: missing.jpg"}, 3},
        {"input is a folder", {"out"}, {"Input image does not be found: out"}, 3},
        {"input empty", {""}, {"Input image does not be found: "}, 3},
        {"output .jpeg", {"in.dat", "-Oout/x.jpeg"}, {"Output filename errors: out/x.jpeg"}, 17},
        {"output .tiff", {"in.dat", "-Oout/x.tiff"}, {"Output filename errors: out/x.tiff"}, 17},
        {"output without extension passes", {"in.dat", "-Oout/x"}, {kNearest, kNotYet}, 99},
        {"output .jp passes", {"in.dat", "-Oout/x.jp"}, {kNearest, kNotYet}, 99},
        {"output .t passes", {"in.dat", "-Oout/x.t"}, {kNearest, kNotYet}, 99},
        {"output ending in a dot passes", {"in.dat", "-Oout/x."}, {kNearest, kNotYet}, 99},
        {"output extension case and blanks", {"in.dat", "-Oout/X.PNG "}, {kNearest, kNotYet}, 99},
        {"output without folder part",
         {"in.dat", "-Oout.png"},
         {"Output path does not be found: out.png"},
         16},
        {"output folder missing",
         {"in.dat", "-Onope/x.png"},
         {"Output path does not be found: nope/x.png"},
         16},
        {"output in the current folder", {"in.dat", "-O./x.gif"}, {kNearest, kNotYet}, 99},
        {"bare -O saves over the input", {"in.dat", "-O"}, {kNearest, kNotYet}, 99},
        {"bad resize mode", {"in.dat", "-P4"}, {"Resize Parameter must be 1,2,3."}, 5},
        {"resize mode compared as text", {"in.dat", "-P01"}, {"Resize Parameter must be 1,2,3."}, 5},
        {"bad filter", {"in.dat", "-F0"}, {"Resize Filter must be 1,2,3."}, 6},
        {"bad extension before missing input",
         {"missing.jpg", "-Ox.jpeg"},
         {"Output filename errors: x.jpeg"},
         17},
        {"missing input before missing folder",
         {"missing.jpg", "-Ox.png"},
         {"Input image does not be found: missing.jpg"},
         3},
        {"missing folder before bad resize",
         {"in.dat", "-Ox.png", "-P9"},
         {"Output path does not be found: x.png"},
         16},
        {"bad resize before bad filter", {"in.dat", "-P0", "-F9"}, {"Resize Parameter must be 1,2,3."}, 5},
        {"bad degrees: warning only",
         {"in.dat", "-D45"},
         {"Degree rotate must be -90,90,180,270", kNearest, kNotYet},
         99},
        {"degrees compared as text",
         {"in.dat", "-D+90"},
         {"Degree rotate must be -90,90,180,270", kNearest, kNotYet},
         99},
        {"valid degrees", {"in.dat", "-D-90"}, {kNearest, kNotYet}, 99},
        {"-D45 with -R",
         {"in.dat", "-D45", "-R"},
         {"Degree rotate must be -90,90,180,270", kNearest, "The image horizontally.", kParamsError},
         2},
        {"-D90 with -R", {"in.dat", "-D90", "-R"}, {kNearest, "The image horizontally.", kParamsError}, 2},
        {"-R with -V",
         {"in.dat", "-R", "-V"},
         {kNearest, "The image horizontally.", "The image vertically.", kParamsError},
         2},
        {"all three",
         {"in.dat", "-V", "-D180", "-R"},
         {kNearest, "The image horizontally.", "The image vertically.", kParamsError},
         2},
        {"crop, bilinear, mirror",
         {"in.dat", "-P1", "-F2", "-R"},
         {"Crop image to selected size", "Using Bilinear methor to Resample Filter.",
          "The image horizontally.", kNotYet},
         99},
        {"stretch, lanczos, upside-down",
         {"in.dat", "-v", "-f3", "-p2"},
         {"Shrink or enlarge images to the selected size.", "Using Lanczos methor to Resample Filter.",
          "The image vertically.", kNotYet},
         99},
        {"fit without filter value", {"in.dat", "-P3", "-F"}, {"Fit image to selected size.", kNotYet}, 99},
        {"first of repeated options wins",
         {"in.dat", "-P2", "-P7"},
         {"Shrink or enlarge images to the selected size.", kNearest, kNotYet},
         99},
        {"-W without digits", {"in.dat", "-W", "-H"}, {kNearest, kNotYet}, 99},
        {"-Wabc -H480px", {"in.dat", "-Wabc", "-H480px"}, {kNearest, kNotYet}, 99},
        {"-W0 -W-5", {"in.dat", "-W0", "-H-5"}, {kNearest, kNotYet}, 99},
        {"-W$400", {"in.dat", "-W$400"}, {kNearest, kNotYet}, 99},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string expected = r.echoesCommand ? Command(r.args) + "\r\n" : "";
        for (const auto& l : r.lines)
            expected += l + "\r\n";
        const auto res = Run(r.args);
        EXPECT_EQ(res.out, expected);
        EXPECT_EQ(res.exitCode, r.code);
        EXPECT_EQ(res.err, "");
    }
}

TEST_F(CommandLineRun, NoArgumentsPrintsUsage) {
    const auto r = Run({});
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "");
}

TEST_F(CommandLineRun, InputNameThatBeginsWithAnOption) {
    twtest::WriteFile(work_.file("-Rimage.dat"), "x");
    twtest::WriteFile(work_.file("-Ox.png"), "x");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> lines;
        int code;
    } rows[] = {
        {"-R input mirrors",
         {"-Rimage.dat"},
         {kNearest, "The image horizontally.",
          "Unexpected error: Cannot load \"-Rimage.dat\": the file's content is not a known image format. "
          "Please run Tarnwik to get help"},
         99},
        {"-R input with -V",
         {"-Rimage.dat", "-V"},
         {kNearest, "The image horizontally.", "The image vertically.", kParamsError},
         2},
        {"-O input names the output", {"-Ox.png"}, {"Output path does not be found: x.png"}, 16},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string expected = Command(r.args) + "\r\n";
        for (const auto& l : r.lines)
            expected += l + "\r\n";
        const auto res = Run(r.args);
        EXPECT_EQ(res.out, expected);
        EXPECT_EQ(res.exitCode, r.code);
        EXPECT_EQ(res.err, "");
    }
}

TEST_F(CommandLineRun, AbsoluteOutputName) {
    const std::string out = (work_.path() / "out" / "a.bmp").string();
    const auto r = Run({"in.dat", "-O" + out});
    EXPECT_EQ(r.out, Command({"in.dat", "-O" + out}) + "\r\n" + kNearest + "\r\n" + kNotYet + "\r\n");
    EXPECT_EQ(r.exitCode, 99);
}
