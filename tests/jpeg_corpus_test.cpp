// The JPEG decoder against libjpeg-turbo's own djpeg: every corpus file and truncated
// copies of good ones must decode to the same samples, or fail cleanly where djpeg
// fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>

#include "tests/helpers.h"
#include "tests/jpeg_helpers.h"

using namespace tw;
using namespace jpegtest;
namespace fs = std::filesystem;

namespace {

// djpeg writes CMYK as RGB with this rounding.
uint8_t CmykChannel(uint8_t ink, uint8_t k) { return uint8_t(double(ink) * double(k) / 255.0 + 0.5); }

// Compares our bitmap with djpeg's PNM; returns an empty string when they agree
// within tolerance.
std::string Compare(TIEBitmap& bitmap, const Pnm& ref, int tolerance) {
    if (bitmap.Width() != ref.width || bitmap.Height() != ref.height)
        return "size " + std::to_string(bitmap.Width()) + " x " + std::to_string(bitmap.Height()) + ", djpeg " +
               std::to_string(ref.width) + " x " + std::to_string(ref.height);
    const TIEPixelFormat f = bitmap.PixelFormat();
    for (int y = 0; y < ref.height; ++y) {
        const uint8_t* row = bitmap.Scanline(y);
        const uint8_t* r = ref.data.data() + size_t(y) * size_t(ref.width) * size_t(ref.channels);
        for (int x = 0; x < ref.width; ++x) {
            uint8_t want[3], got[3];
            if (ref.channels == 1) want[0] = want[1] = want[2] = r[x];
            else std::copy(r + 3 * x, r + 3 * x + 3, want);
            if (f == ie8g) {
                got[0] = got[1] = got[2] = row[x];
            } else if (f == ie24RGB) {
                got[0] = row[3 * x + 2], got[1] = row[3 * x + 1], got[2] = row[3 * x];
            } else if (f == ieCMYK) {
                const uint8_t* p = row + 4 * x;
                got[0] = CmykChannel(p[0], p[3]), got[1] = CmykChannel(p[1], p[3]), got[2] = CmykChannel(p[2], p[3]);
            } else {
                return std::string("pixel format ") + PixelFormatName(f);
            }
            bool same = true;
            for (int i = 0; i < 3; ++i) same = same && std::abs(int(want[i]) - int(got[i])) <= tolerance;
            if (!same)
                return "pixel " + std::to_string(x) + "," + std::to_string(y) + ": " + std::to_string(got[0]) + " " +
                       std::to_string(got[1]) + " " + std::to_string(got[2]) + ", djpeg " + std::to_string(want[0]) +
                       " " + std::to_string(want[1]) + " " + std::to_string(want[2]);
        }
    }
    return {};
}

struct Tally {
    int matched = 0, differ = 0, failedCleanly = 0;
};

// One decode compared with djpeg on the same bytes and settings.
struct Pass {
    const char* name;
    std::vector<std::string> djpegArgs;
    TJpegDecodeOptions options;
};

std::vector<Pass> Passes() {
    TJpegDecodeOptions full;
    full.DCTMethod = 0;
    full.NativeFormat = true;
    TJpegDecodeOptions half;
    half.DCTMethod = 1;
    half.Scale = 2;
    return {{"full size, slow integer DCT, native format", {"-dct", "int"}, full},
            {"half size, fast integer DCT, 24-bit", {"-dct", "fast", "-scale", "1/2"}, half}};
}

// Decodes bytes with us and with djpeg and counts the outcome; failures are test
// failures except where both sides fail.
void CheckAgainstDjpeg(const std::string& djpeg, const twtest::TempDir& tmp, const Bytes& bytes, const Pass& pass,
                       Tally& tally) {
    SCOPED_TRACE(pass.name);
    const std::string in = tmp.file("in.jpg"), out = tmp.file("ref.pnm");
    twtest::WriteFile(in, bytes);
    fs::remove(out);
    std::vector<std::string> args{djpeg};
    args.insert(args.end(), pass.djpegArgs.begin(), pass.djpegArgs.end());
    args.insert(args.end(), {"-pnm", "-outfile", out, in});
    const int rc = RunTool(args);
    Pnm ref;
    // Exit code 2: djpeg finished with warnings (corrupt or missing data).
    const bool refOk = (rc == 0 || rc == 2) && fs::exists(out) && ReadPnm(twtest::ReadFile(out), ref);

    Decoded d = Decode(bytes, pass.options);
    if (refOk) {
        if (d.aborted) {
            ++tally.differ;
            ADD_FAILURE() << "djpeg decodes it, we abort: " << d.reason;
            return;
        }
        // CMYK reaches a 24-bit bitmap through the engine's own CMYK formula, which
        // truncates where djpeg rounds; native CMYK samples must match exactly.
        const bool ownCmykFormula = d.result.ColorSpace >= jcsCMYK && d.bitmap->PixelFormat() == ie24RGB;
        std::string diff = Compare(*d.bitmap, ref, ownCmykFormula ? 1 : 0);
        if (diff.empty()) {
            ++tally.matched;
        } else {
            ++tally.differ;
            ADD_FAILURE() << "differs from djpeg: " << diff;
        }
    } else {
        if (!d.aborted) {
            ++tally.differ;
            ADD_FAILURE() << "djpeg fails (exit " << rc << "), we decode " << d.result.Rows << " rows";
            return;
        }
        EXPECT_EQ(d.reason.rfind("JPEG: ", 0), 0u) << d.reason;
        if (std::getenv("JPEG_TEST_VERBOSE")) std::cout << "  clean failure: " << d.reason << " (djpeg exit " << rc << ")\n";
        ++tally.failedCleanly;
    }
}

std::map<std::string, std::string> ManifestExpectations(const std::string& corpus) {
    std::map<std::string, std::string> out;
    for (twtest::TTsvRow& row : twtest::ReadTsv(corpus + "/MANIFEST.tsv"))
        if (row["format"] == "jpeg") out[fs::path(row["file"]).filename().string()] = row["expect"];
    return out;
}

class JpegAgainstDjpeg : public ::testing::Test {
  protected:
    void SetUp() override {
        corpus_ = twtest::CorpusDir();
        if (corpus_.empty()) GTEST_SKIP() << "corpus not present";
        djpeg_ = FindTool("djpeg");
        if (djpeg_.empty()) GTEST_SKIP() << "djpeg not installed";
    }
    std::vector<fs::path> Files() {
        std::vector<fs::path> files;
        for (auto& e : fs::directory_iterator(corpus_ + "/files/jpeg"))
            if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files;
    }
    std::string corpus_, djpeg_;
    twtest::TempDir tmp_;
};

} // namespace

TEST_F(JpegAgainstDjpeg, EveryCorpusFile) {
    auto expect = ManifestExpectations(corpus_);
    Tally tally;
    for (const fs::path& file : Files()) {
        const std::string name = file.filename().string();
        SCOPED_TRACE(name + " (" + (expect.count(name) ? expect[name] : "not in manifest") + ")");
        const Bytes bytes = twtest::ReadFile(file.string());
        for (const Pass& pass : Passes()) CheckAgainstDjpeg(djpeg_, tmp_, bytes, pass, tally);
    }
    std::cout << "[ JPEG corpus ] decodes: " << tally.matched << " match djpeg, " << tally.differ << " differ, "
              << tally.failedCleanly << " fail cleanly where djpeg fails\n";
    EXPECT_EQ(tally.differ, 0);
}

TEST_F(JpegAgainstDjpeg, TruncatedCopies) {
    const char* names[] = {"ljt__testorig.jpg",           "irs__progressive-cat.jpg",  "jdec__mozilla-jpg-cmyk-1.jpg",
                           "jdec__non-interleaved-mcu.jpg", "jdec__rgb.jpg",           "pil__hopper_gray.jpg",
                           "ljt__testimgari.jpg",         "jdec__icc-icc_chunk_order.jpeg"};
    Tally tally;
    for (const char* name : names) {
        const std::string path = corpus_ + "/files/jpeg/" + name;
        if (!fs::exists(path)) continue;
        const Bytes whole = twtest::ReadFile(path);
        std::vector<size_t> lengths = {0, 1, 2, 3, 20, 100, 300, 700};
        for (int k = 1; k < 24; ++k) lengths.push_back(whole.size() * size_t(k) / 24);
        lengths.push_back(whole.size() - 2);
        lengths.push_back(whole.size() - 1);
        for (size_t length : lengths) {
            if (length >= whole.size()) continue;
            SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(length) + " bytes");
            Bytes cut(whole.begin(), whole.begin() + long(length));
            CheckAgainstDjpeg(djpeg_, tmp_, cut, Passes()[0], tally);
        }
    }
    std::cout << "[ JPEG truncated ] decodes: " << tally.matched << " match djpeg, " << tally.differ << " differ, "
              << tally.failedCleanly << " fail cleanly where djpeg fails\n";
    EXPECT_EQ(tally.differ, 0);
}
