// Decompression bombs and the image limits: tiny files that declare enormous images must
// fail at once with a reason, without taking the memory they declare; the limits can be
// lowered and raised from the environment.
#include <gtest/gtest.h>

#include <filesystem>
#include <zlib.h>

#include "image/errors.h"
#include "io/builtin.h"
#include "io/formats.h"
#include "io/imageio.h"
#include "io/params.h"
#include "tests/helpers.h"

using namespace tw;
using namespace twtest;

namespace {

namespace fs = std::filesystem;

// AddressSanitizer reserves terabytes of address space up front, so an address-space
// limit cannot be used to catch large allocations in a sanitizer build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The program's address space in the bomb runs: plenty for a small image, far too little
// for any of the declared ones.
constexpr long long kAddressSpace = 1LL << 30;

using Bytes = std::vector<uint8_t>;

void Le16(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
}
void Le32(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
void Be16(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
}
void Be32(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// ---- hand-built files -----------------------------------------------------------------

Bytes Bmp(uint32_t width, uint32_t height) {
    Bytes b = {'B', 'M'};
    Le32(b, 54 + 16); // file size
    Le32(b, 0);       // reserved
    Le32(b, 54);      // pixel data offset
    Le32(b, 40);      // info header size
    Le32(b, width);
    Le32(b, height);
    Le16(b, 1);  // planes
    Le16(b, 24); // bits per pixel
    Le32(b, 0);  // BI_RGB
    Le32(b, 0);  // image size
    Le32(b, 2835);
    Le32(b, 2835);
    Le32(b, 0); // colours used
    Le32(b, 0); // important colours
    b.resize(b.size() + 16, 0x55);
    return b;
}

void PngChunk(Bytes& b, const char* type, const Bytes& data) {
    Be32(b, uint32_t(data.size()));
    const size_t start = b.size();
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), data.begin(), data.end());
    Be32(b, uint32_t(crc32(0, b.data() + start, uInt(b.size() - start))));
}

// A PNG with the given header whose image data is the deflated raw bytes.
Bytes Png(uint32_t width, uint32_t height, int depth, int colourType, const Bytes& raw) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    Be32(ihdr, width);
    Be32(ihdr, height);
    ihdr.insert(ihdr.end(), {uint8_t(depth), uint8_t(colourType), 0, 0, 0});
    PngChunk(b, "IHDR", ihdr);
    uLongf size = compressBound(uLong(raw.size()));
    Bytes z(size);
    compress2(z.data(), &size, raw.data(), uLong(raw.size()), 9);
    z.resize(size);
    PngChunk(b, "IDAT", z);
    PngChunk(b, "IEND", {});
    return b;
}

// A gray 8-bit PNG whose rows are all the given value.
Bytes GrayPng(uint32_t width, uint32_t height, uint8_t value) {
    Bytes raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0); // filter: none
        raw.insert(raw.end(), width, value);
    }
    return Png(width, height, 8, 0, raw);
}

// A baseline JPEG header (one gray component, one quantisation table, one-code Huffman
// tables) followed by a little entropy data.
Bytes Jpeg(uint16_t width, uint16_t height) {
    Bytes b = {0xFF, 0xD8};
    b.insert(b.end(), {0xFF, 0xDB});
    Be16(b, 67);
    b.push_back(0x00);
    b.insert(b.end(), 64, 1);
    b.insert(b.end(), {0xFF, 0xC0});
    Be16(b, 11);
    b.push_back(8);
    Be16(b, height);
    Be16(b, width);
    b.insert(b.end(), {1, 1, 0x11, 0});
    for (uint8_t tableClass : {0x00, 0x10}) {
        b.insert(b.end(), {0xFF, 0xC4});
        Be16(b, 20);
        b.push_back(tableClass);
        b.push_back(1); // one code of length 1
        b.insert(b.end(), 15, 0);
        b.push_back(0); // its symbol
    }
    b.insert(b.end(), {0xFF, 0xDA});
    Be16(b, 8);
    b.insert(b.end(), {1, 1, 0x00, 0, 63, 0});
    b.insert(b.end(), 16, 0);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

// One image filling a logical screen of the given size: a two-colour table and LZW data
// holding only a clear code and the end code.
Bytes Gif(uint16_t width, uint16_t height) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    Le16(b, width);
    Le16(b, height);
    b.insert(b.end(), {0x80, 0, 0}); // global table of 2 colours
    b.insert(b.end(), {0, 0, 0, 255, 255, 255});
    b.push_back(0x2C);
    Le16(b, 0);
    Le16(b, 0);
    Le16(b, width);
    Le16(b, height);
    b.push_back(0);
    b.push_back(2);                  // minimum code size
    b.insert(b.end(), {1, 0x2C, 0}); // codes 4 (clear) and 5 (end) in 3 bits each
    b.push_back(0x3B);
    return b;
}

// ---- loading ----------------------------------------------------------------------------

bool HasReader(int32_t code) {
    const TIEBuiltinFormat* op = BuiltinFormat(code);
    return op && op->Read;
}

struct TBomb {
    const char* Name;
    int32_t Code;
    const char* Extension;
    Bytes File;
};

std::vector<TBomb> Bombs() {
    return {
        {"BMP 100000 x 100000, 24-bit", ioBMP, ".bmp", Bmp(100000, 100000)},
        {"PNG 100000 x 100000, RGB", ioPNG, ".png", Png(100000, 100000, 8, 2, Bytes(64, 0))},
        {"JPEG 60000 x 60000", ioJPEG, ".jpg", Jpeg(60000, 60000)},
        {"JPEG 16000 x 16000, within the pixel limits", ioJPEG, ".jpg", Jpeg(16000, 16000)},
        {"GIF 65535 x 65535", ioGIF, ".gif", Gif(65535, 65535)},
    };
}

// Expects a run of the program to have failed cleanly: exit code 99 with a message on
// standard output, nothing on standard error, no signal.
void ExpectCleanFailure(const RunResult& r, const std::string& mentions) {
    EXPECT_EQ(r.signal, 0) << r.out << r.err;
    EXPECT_EQ(r.exitCode, 99) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(mentions), std::string::npos) << r.out;
}

} // namespace

TEST(Bomb, TinyFilesDeclaringHugeImagesFailWithoutTheMemory) {
    TempDir dir;
    for (const TBomb& bomb : Bombs()) {
        SCOPED_TRACE(bomb.Name);
        if (!HasReader(bomb.Code)) {
            std::printf("[ skipped ] %s: no reader for the format yet\n", bomb.Name);
            continue;
        }
        // In-process, through the load path: a failure with a reason, and an empty bitmap.
        TImageIO io;
        TMemoryViewStream stream(bomb.File.data(), bomb.File.size());
        try {
            io.LoadFromStream(stream);
            EXPECT_TRUE(io.Aborted);
            EXPECT_NE(io.AbortReason, "");
        } catch (const EIEException& e) {
            ADD_FAILURE() << "raised instead of aborting: " << e.what();
        }
        EXPECT_EQ(int64_t(io.Bitmap().Width()) * io.Bitmap().Height(), 0) << "pixels were allocated";
        std::printf("[ bomb ] %s: %s\n", bomb.Name, io.AbortReason.c_str());

        // The program, with its address space cut to 1 GiB where the build allows it.
        const std::string in = dir.file(std::string("bomb") + bomb.Extension);
        const std::string out = dir.file("out.png");
        WriteFile(in, bomb.File);
        RunResult r = RunTarnwick({in, "-O" + out}, {}, {}, -1, kAddressSanitizer ? -1 : kAddressSpace);
        ExpectCleanFailure(r, "Cannot load");
        if (!io.AbortReason.empty()) {
            EXPECT_NE(r.out.find(io.AbortReason), std::string::npos) << r.out;
        }
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(Bomb, ParametersFileDeclaringHugeLengthsFailsWithoutTheMemory) {
    TempDir dir;
    // A parameters file as the program would find it, then with the length of its first
    // text (the file name, right after the version) set to 2 GiB - 1 and to a 2^30-entry
    // colour map.
    TIOParamsVals record;
    const std::string good = dir.file("good");
    record.SaveToFile(good);
    const Bytes original = ReadFile(good);
    ASSERT_GT(original.size(), 40u);
    struct TCase {
        const char* Name;
        size_t Offset;
        uint32_t Value;
    };
    // Version (4), FileName (4 + 0), FileType (4), six int32 (24), then ColorMapCount.
    const TCase cases[] = {
        {"2 GiB file name", 4, 0x7FFFFFFF},
        {"2^30 colour map entries", 4 + 4 + 4 + 24, 1u << 30},
    };
    const std::string system = dir.file("system");
    fs::create_directories(system + "/Morvatch");
    const std::string input = dir.file("in.png");
    WriteFile(input, GrayPng(4, 4, 128));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Bytes file = original;
        for (int i = 0; i < 4; ++i)
            file[c.Offset + size_t(i)] = uint8_t(c.Value >> (8 * i));

        TIOParamsVals p;
        TMemoryViewStream s(file.data(), file.size());
        EXPECT_THROW(p.LoadFromStream(s), EIEException);

        WriteFile(system + "/Morvatch/UserParams", file);
        const std::string out = dir.file("out.png");
        RunResult r = RunTarnwick({input, "-O" + out}, {"XDG_CONFIG_DIRS=" + system}, {}, -1,
                                  kAddressSanitizer ? -1 : kAddressSpace);
        ExpectCleanFailure(r, "Parameters file");
        EXPECT_FALSE(fs::exists(out));
    }
}

namespace {

// The program converting a file, with extra environment settings.
RunResult Convert(const std::string& in, const std::string& out, const std::vector<std::string>& env) {
    std::error_code ec;
    fs::remove(out, ec);
    return RunTarnwick({in, "-O" + out}, env);
}

} // namespace

TEST(Bomb, LimitsComeFromTheEnvironmentAndAreNamedWhenExceeded) {
    ASSERT_TRUE(HasReader(ioPNG));
    TempDir dir;
    const std::string out = dir.file("out.png");

    // Over the default pixel count (2^28), within the default side (2^24): refused at
    // the header, whatever the data.
    const std::string big = dir.file("big.png");
    WriteFile(big, Png(20000, 20000, 8, 0, Bytes(64, 0)));
    RunResult r = Convert(big, out, {});
    ExpectCleanFailure(
        r, "exceeds the limit of 268435456 pixels per image (set TARNWICK_MAX_PIXELS to raise it)");
    EXPECT_FALSE(fs::exists(out));

    // A real 20 x 20 image against lowered limits, just below and at its size.
    const std::string small = dir.file("small.png");
    WriteFile(small, GrayPng(20, 20, 77));
    struct TCase {
        const char* Setting;
        bool Loads;
        const char* Message;
    };
    const TCase cases[] = {
        {"TARNWICK_MAX_PIXELS=399", false,
         "image of 20 x 20 pixels exceeds the limit of 399 pixels per image (set TARNWICK_MAX_PIXELS to "
         "raise it)"},
        {"TARNWICK_MAX_PIXELS=400", true, ""},
        {"TARNWICK_MAX_SIDE=19", false,
         "image of 20 x 20 pixels exceeds the limit of 19 pixels per side (set TARNWICK_MAX_SIDE to raise "
         "it)"},
        {"TARNWICK_MAX_SIDE=20", true, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Setting);
        r = Convert(small, out, {c.Setting});
        if (c.Loads) {
            EXPECT_EQ(r.exitCode, 0) << r.out;
            EXPECT_TRUE(fs::exists(out));
        } else {
            ExpectCleanFailure(r, c.Message);
            EXPECT_FALSE(fs::exists(out));
        }
    }

    // Raised above the default: a 16385 x 16384 1-bit image (2^28 + 16384 pixels, 32 MiB)
    // is refused by default and converts once the pixel limit allows it.
    const uint32_t width = 16385, height = 16384;
    const size_t rowBytes = (width + 7) / 8;
    Bytes raw(size_t(height) * (1 + rowBytes), 0); // each row: filter byte, then black pixels
    const std::string large = dir.file("large.png");
    WriteFile(large, Png(width, height, 1, 0, raw));
    raw = Bytes();
    r = Convert(large, out, {});
    ExpectCleanFailure(r, "image of 16385 x 16384 pixels exceeds the limit of 268435456 pixels per image");
    r = Convert(large, out, {"TARNWICK_MAX_PIXELS=" + std::to_string(uint64_t(width) * height)});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(fs::exists(out));
}
