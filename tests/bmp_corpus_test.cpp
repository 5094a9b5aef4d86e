// The BMP files of the conformance corpus (bmpsuite and others) decoded by our reader
// and compared with the suite's own renders or the independent reference decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "tests/bmp_helpers.h"
#include "tests/helpers.h"
#include "tests/refimage.h"

using namespace tw;
using namespace twtest;

namespace {

namespace fs = std::filesystem;

// Where the default choice of reference (the suite's render, else decode A, else
// decode B) is wrong for a file, and why.
struct RefChoice {
    const char* file;
    const char* reference; // path below the corpus folder; empty: none to trust
    const char* why;
};
const RefChoice kRefChoices[] = {
    {"irs__pal4rlecut.bmp", "ref-im/bmp/irs__pal4rlecut.bmp.png", "decode A gets RLE4 wrong"},
    {"bmpsuite__q-pal8os2v2-16.bmp", "oracle/bmp/bmpsuite__g-pal8-0.bmp.png",
     "decode A rejects it, decode B gets OS/2 2.x headers wrong; the picture is the suite's pal8 one"},
    {"bmpsuite__q-pal8oversizepal.bmp", "oracle/bmp/bmpsuite__g-pal8-0.bmp.png",
     "both decoders reject it; the picture is the suite's pal8 one"},
    {"bmpsuite__q-rgb32fakealpha.bmp", "ref/bmp/bmpsuite__q-rgb32fakealpha.bmp.png",
     "decode B takes the fourth byte as alpha"},
};

enum Outcome { kExact, kClose, kDiffer, kFail, kNoRef };
const char* OutcomeName(Outcome o) {
    static const char* names[] = {"exact", "close", "differ", "fails", "no ref"};
    return names[o];
}

// Files whose expected outcome is not "matches its reference" (exact, or close for
// 16-bit pixels and the suite's renders), and why.
struct Expected {
    const char* file;
    Outcome outcome;
    const char* why;
};
const Expected kExpected[] = {
    {"irs__pal4rlecut.bmp", kDiffer,
     "pixels the RLE data leaves out (early end of line and bitmap) stay black; decode B paints them with "
     "colour 0 (every differing pixel of ours is black, see the note)"},
    {"pil__mmap_error.bmp", kDiffer,
     "the pixel-data offset points into the colour table; we read from there as the header says, decode A "
     "reads after the table"},
    {"bmpsuite__b-badbitcount.bmp", kFail, "bit depth 30000"},
    {"bmpsuite__b-badwidth.bmp", kFail, "negative width"},
    {"bmpsuite__b-reallybig.bmp", kFail, "3000000 x 2000000 pixels"},
    {"bmpsuite__q-pal2.bmp", kFail, "2 bits per pixel"},
    {"irs__pal2color.bmp", kFail, "2 bits per pixel"},
    {"bmpsuite__q-rgb24jpeg.bmp", kFail, "JPEG inside BMP"},
    {"irs__rgb24rle24.bmp", kFail, "OS/2 RLE24"},
    {"irs__bad-bmp-Bad_height.bmp", kFail, "height 2^31-1"},
    {"irs__bad-bmp-Bad_width.bmp", kFail, "width 2^31-1"},
    {"irs__bad-bmp-Bad_unusual_extend_buffer_usage.bmp", kFail,
     "48 million pixels from 133 bytes of RLE data"},
    {"pil__l2rgb_read.bmp", kFail, "pixel data offset beyond the end"},
    {"pil__clipboard.dib", kFail, "no file header"},
    // Neither reference decoder reads these; any sane image is fine.
    {"bmpsuite__b-badpalettesize.bmp", kNoRef, "colour count 305402420 reads as 256"},
    {"irs__bad-bmp-Bad_clrsUsed.bmp", kNoRef, "colour count 4278190086 reads as 256"},
};

// 32-bit files with real alpha, read with the use-alpha flag, and the reference that
// has their alpha right.
const RefChoice kAlphaFiles[] = {
    {"bmpsuite__q-rgba32.bmp", "ref-im/bmp/bmpsuite__q-rgba32.bmp.png", "decode A rejects it"},
    {"bmpsuite__q-rgba32h56.bmp", "ref-im/bmp/bmpsuite__q-rgba32h56.bmp.png", "decode A rejects it"},
    {"pil__rgb32bf-rgba.bmp", "ref/bmp/pil__rgb32bf-rgba.bmp.png", ""},
    {"irs__V4_A8_R8_G8_B8.bmp", "ref/bmp/irs__V4_A8_R8_G8_B8.bmp.png", ""},
    {"zig__windows_rgba_v5.bmp", "ref/bmp/zig__windows_rgba_v5.bmp.png", ""},
};

struct Result {
    std::string file, group;
    Outcome outcome = kFail;
    int maxDiff = 0;
    std::string note;
};

std::string GroupOf(const std::string& name, const std::map<std::string, std::string>& expect) {
    if (name.rfind("bmpsuite__", 0) == 0 && name.size() > 11) return std::string(1, name[10]) + "/";
    auto it = expect.find(name);
    return "other " + (it == expect.end() ? std::string("?") : it->second);
}

std::map<std::string, std::string> ReadExpectations(const std::string& corpus) {
    std::map<std::string, std::string> out;
    for (TTsvRow& row : ReadTsv(corpus + "/MANIFEST.tsv")) {
        const std::string& file = row["file"];
        if (file.rfind("files/bmp/", 0) == 0) out[file.substr(10)] = row["expect"];
    }
    return out;
}

std::string ReferenceFor(const std::string& corpus, const std::string& name) {
    for (const RefChoice& c : kRefChoices)
        if (name == c.file) return *c.reference ? corpus + "/" + c.reference : std::string();
    for (const char* dir : {"oracle/bmp/", "ref/bmp/", "ref-im/bmp/"}) {
        std::string p = corpus + "/" + dir + name + ".png";
        if (fs::exists(p)) return p;
    }
    return {};
}

// Largest channel difference over the pixels the reference shows (alpha > 0), and
// over alpha where our decode has an alpha plane. oursBlackWhereDiffer tells whether
// every differing pixel of ours is black (a pixel the file does not supply).
int Compare(BmpDecoded& d, const RefImage& ref, bool withAlpha, std::string& note,
            bool* oursBlackWhereDiffer = nullptr) {
    if (oursBlackWhereDiffer) *oursBlackWhereDiffer = true;
    if (d.bitmap.Width() != ref.width || d.bitmap.Height() != ref.height) {
        note = "size " + std::to_string(d.bitmap.Width()) + "x" + std::to_string(d.bitmap.Height()) + " vs " +
               std::to_string(ref.width) + "x" + std::to_string(ref.height);
        return 256;
    }
    int worst = 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const uint8_t* r = ref.At(x, y);
            if (withAlpha && !d.alpha.empty())
                worst =
                    std::max(worst, std::abs(int(d.alpha[size_t(y) * size_t(ref.width) + size_t(x)]) - r[3]));
            if (r[3] == 0) continue;
            TRGB c = Px(d.bitmap, x, y);
            int diff =
                std::max({std::abs(int(c.r) - r[0]), std::abs(int(c.g) - r[1]), std::abs(int(c.b) - r[2])});
            if (diff > 0 && oursBlackWhereDiffer && (c.r | c.g | c.b) != 0) *oursBlackWhereDiffer = false;
            worst = std::max(worst, diff);
        }
    return worst;
}

std::vector<std::string> CorpusFiles(const std::string& corpus) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(corpus + "/files/bmp"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// 5- and 6-bit channels are widened by shifting, the references replicate the high
// bits; the difference stays below 8.
constexpr int kCloseLimit = 7;

TEST(BmpCorpus, DecodesLikeTheReferences) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not present";
    const auto expect = ReadExpectations(corpus);
    std::vector<Result> results;
    for (const std::string& name : CorpusFiles(corpus)) {
        SCOPED_TRACE(name);
        Result r;
        r.file = name;
        r.group = GroupOf(name, expect);
        auto d = DecodeBmp(ReadFile(corpus + "/files/bmp/" + name));
        if (!d->ok || d->bitmap.IsEmpty()) {
            r.outcome = kFail;
            r.note = d->reason;
            // A failure always says why.
            EXPECT_FALSE(d->reason.empty());
        } else {
            std::string refPath = ReferenceFor(corpus, name);
            RefImage ref;
            std::string err;
            if (refPath.empty()) {
                r.outcome = kNoRef;
            } else if (!ReadPngRgba(refPath, ref, &err)) {
                ADD_FAILURE() << "cannot read " << refPath << ": " << err;
                r.outcome = kNoRef;
            } else {
                bool blackWhereDiffer = true;
                r.maxDiff = Compare(*d, ref, false, r.note, &blackWhereDiffer);
                r.outcome = r.maxDiff == 0 ? kExact : r.maxDiff <= kCloseLimit ? kClose : kDiffer;
                r.note = fs::path(refPath).parent_path().parent_path().filename().string() +
                         (r.note.empty() ? "" : "; " + r.note);
                if (r.outcome == kDiffer && blackWhereDiffer) r.note += "; ours black where they differ";
            }
        }
        // Check the outcome against what is expected of the file.
        const Expected* e = nullptr;
        for (const Expected& x : kExpected)
            if (name == x.file) e = &x;
        if (e) {
            EXPECT_EQ(OutcomeName(r.outcome), std::string(OutcomeName(e->outcome))) << e->why;
        } else {
            EXPECT_TRUE(r.outcome == kExact || r.outcome == kClose)
                << OutcomeName(r.outcome) << " " << r.note;
        }
        results.push_back(r);
    }

    std::map<std::string, std::map<Outcome, int>> counts;
    std::printf("%-48s %-22s %-7s %4s  %s\n", "file", "group", "result", "diff", "note");
    for (const Result& r : results) {
        counts[r.group][r.outcome]++;
        std::printf("%-48s %-22s %-7s %4d  %s\n", r.file.c_str(), r.group.c_str(), OutcomeName(r.outcome),
                    r.maxDiff, r.note.c_str());
    }
    std::printf("\n%-22s %6s %6s %6s %6s %6s\n", "group", "exact", "close", "differ", "fails", "no ref");
    for (auto& [group, c] : counts)
        std::printf("%-22s %6d %6d %6d %6d %6d\n", group.c_str(), c[kExact], c[kClose], c[kDiffer], c[kFail],
                    c[kNoRef]);
}

TEST(BmpCorpus, AlphaLikeTheReferences) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not present";
    for (const RefChoice& f : kAlphaFiles) {
        SCOPED_TRACE(f.file);
        auto d = DecodeBmp(ReadFile(corpus + "/files/bmp/" + f.file), {.useAlpha = true});
        ASSERT_TRUE(d->ok) << d->reason;
        RefImage ref;
        std::string err, note;
        ASSERT_TRUE(ReadPngRgba(corpus + "/" + f.reference, ref, &err)) << err;
        bool opaque = true;
        for (size_t i = 3; i < ref.rgba.size(); i += 4)
            opaque = opaque && ref.rgba[i] == 255;
        // An alpha plane comes back exactly when the file has transparency.
        EXPECT_EQ(d->alpha.empty(), opaque);
        EXPECT_EQ(Compare(*d, ref, true, note), 0) << note;
    }
}

} // namespace

namespace {

// Every corpus file cut at many lengths: each cut either fails with a reason or gives an
// image of the whole file's size.
TEST(BmpCorpus, TruncatedCopies) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not present";
    for (const std::string& name : CorpusFiles(corpus)) {
        SCOPED_TRACE(name);
        const auto whole = ReadFile(corpus + "/files/bmp/" + name);
        auto full = DecodeBmp(whole);
        for (int i = 0; i < 40; ++i) {
            const size_t len = whole.size() * size_t(i) / 40;
            auto d = DecodeBmp(std::vector<uint8_t>(whole.begin(), whole.begin() + ptrdiff_t(len)));
            if (!d->ok) {
                EXPECT_FALSE(d->reason.empty()) << "length " << len;
            } else if (!d->bitmap.IsEmpty()) {
                ASSERT_TRUE(full->ok) << "length " << len;
                EXPECT_EQ(d->bitmap.Width(), full->bitmap.Width());
                EXPECT_EQ(d->bitmap.Height(), full->bitmap.Height());
            }
        }
    }
}

} // namespace
