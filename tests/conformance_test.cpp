// Conformance: every file of the conformance corpus goes through the program's own load
// path (content detection first) and is compared, as 8-bit RGBA, with the suite's
// expected render or the independent reference decodes. Every file whose format has a
// reader is also converted by the real executable in a child process, so that a crash
// shows as a crash instead of killing this test.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "image/errors.h"
#include "io/builtin.h"
#include "io/filenames.h"
#include "io/formats.h"
#include "io/imagehost.h"
#include "tests/helpers.h"
#include "tests/refimage.h"

using namespace tw;
using namespace twtest;

namespace {

namespace fs = std::filesystem;

// ---- how a file is judged --------------------------------------------------------------

// Which decode a file is compared with.
enum class TRef {
    Auto,          // the suite's render, else decode A where A and B agree or only A exists, else B
    Oracle,        // oracle/<format>/<name>.png
    A,             // ref/
    B,             // ref-im/
    Alt,           // ref-alt/ (ICO entry 0, OpenJPEG)
    ColourAAlphaB, // colour from A, alpha from B
    None,          // nothing trustworthy to compare with
};

// Which channels count.
enum class TCompare {
    Rgba,          // all four; a pixel transparent in both is equal whatever its colour
    VisibleColour, // colour only, over the pixels the reference shows (alpha > 0)
    Colour,        // colour only, over all pixels (the reference keeps colour under transparency)
    Supplied,      // all four, but only where ours is not black: pixels the data leaves out stay zero
};

// A file whose reference or comparison differs from the default, and why. A name may hold
// one '*', which stands for any text.
struct TOverride {
    const char* File;
    TRef Ref;
    TCompare How;
    int Tolerance; // largest channel difference that the reason explains (0 = exact)
    const char* Why;
    // Channels our rules widen to 8 bits by shifting alone (BMP bit fields) are compared
    // with the reference's top bits only: red, green, blue bits kept (8 = all).
    std::array<int, 3> HighBits = {8, 8, 8};
};

constexpr int kAnyDifference = 255;

const TOverride kOverrides[] = {
    // ---- PNG -----------------------------------------------------------------------
    // 16-bit samples: decode A keeps the high byte, decode B rounds to 8 bits; libpng's
    // strip_16 keeps the high byte, as A does. (The first row that names a file counts.)
    {"pngsuite__tbwn0g16.png", TRef::ColourAAlphaB, TCompare::Rgba, 0,
     "tRNS applies to 16-bit gray: A ignores it, B applies it as we do but rounds the colour, where A and we "
     "keep the high byte"},
    {"pngsuite__*16.png", TRef::A, TCompare::Rgba, 0,
     "16-bit samples: A keeps the high byte as we do, B rounds"},
    {"pil__mode_16bit.png", TRef::A, TCompare::Rgba, 0,
     "16-bit samples: A keeps the high byte as we do, B rounds"},
    {"ipng__bugfixes-invalid_palette_index.png", TRef::B, TCompare::Rgba, 0,
     "indexes beyond the palette: libpng and B give black, A white"},
    // ---- BMP -----------------------------------------------------------------------
    {"bmpsuite__g-pal8*", TRef::A, TCompare::Rgba, 0,
     "the suite's render is one level off in some palette entries; A and B agree with each other"},
    // Bit-field channels are widened to 8 bits by shifting alone (no replication of the
    // high bits into the low ones); the references scale or replicate.
    {"bmpsuite__g-rgb16.bmp",
     TRef::A,
     TCompare::Rgba,
     0,
     "5-5-5 widened by shifting; A and B replicate",
     {5, 5, 5}},
    {"bmpsuite__g-rgb16-565pal.bmp",
     TRef::A,
     TCompare::Rgba,
     0,
     "5-6-5 widened by shifting; A and B replicate",
     {5, 6, 5}},
    {"irs__Info_X1_R5_G5_B5*",
     TRef::A,
     TCompare::Rgba,
     0,
     "5-5-5 widened by shifting; A and B replicate",
     {5, 5, 5}},
    {"irs__V4_R5_G6_B5.bmp",
     TRef::A,
     TCompare::Rgba,
     0,
     "5-6-5 widened by shifting; A and B replicate",
     {5, 6, 5}},
    {"irs__V3_R5_G6_B5.bmp",
     TRef::B,
     TCompare::Rgba,
     0,
     "5-6-5 widened by shifting; B replicates (A rejects the 56-byte header)",
     {5, 6, 5}},
    {"irs__V3_A1_R5_G5_B5*",
     TRef::B,
     TCompare::Colour,
     0,
     "16-bit pixels carry no alpha here, B takes the A1 bit; 5-5-5 widened by shifting (A rejects the "
     "header)",
     {5, 5, 5}},
    {"irs__V3_A4_R4_G4_B4.bmp",
     TRef::B,
     TCompare::Colour,
     0,
     "16-bit pixels carry no alpha here, B takes the A4 bits; 4-4-4 widened by shifting (A rejects the "
     "header)",
     {4, 4, 4}},
    {"irs__rgba16-1924.bmp",
     TRef::B,
     TCompare::Colour,
     1,
     "1-9-2 bit fields: the 9-bit green keeps its top 8 bits where B rounds; no alpha in 16-bit pixels (A "
     "rejects "
     "the layout)",
     {1, 8, 2}},
    {"bmpsuite__q-rgb32-111110.bmp", TRef::B, TCompare::Colour, 1,
     "11-11-10 bit fields keep their top 8 bits where B rounds; without BmpUseAlpha no alpha, B takes the "
     "fourth "
     "byte (A rejects the layout)"},
    // 32-bit pixels without BmpUseAlpha (the program's default) have no alpha.
    {"bmpsuite__q-rgb32h52.bmp", TRef::B, TCompare::Colour, 0,
     "no alpha without BmpUseAlpha; B takes the fourth byte as alpha (A rejects the 52-byte header)"},
    {"bmpsuite__q-rgba32*", TRef::B, TCompare::Colour, 0,
     "no alpha without BmpUseAlpha; B applies the alpha (A rejects the file)"},
    {"pil__rgb32bf-rgba.bmp", TRef::A, TCompare::Colour, 0, "no alpha without BmpUseAlpha; A and B apply it"},
    {"irs__pal4rlecut.bmp", TRef::B, TCompare::Supplied, 0,
     "A decodes RLE4 wrongly; the pixels the cut RLE data leaves out stay black here, B paints them with "
     "colour 0"},
    {"pil__mmap_error.bmp", TRef::A, TCompare::Rgba, kAnyDifference,
     "the pixel-data offset points into the colour table; we read from there as the header says, A reads "
     "after the "
     "table"},
    // ---- GIF -----------------------------------------------------------------------
    // A single image larger than the screen is delivered whole; Pillow grows its canvas to
    // hold it, so A at the image position is the image.
    {"pygif__image-overlap-bg.gif", TRef::A, TCompare::Rgba, 0,
     "the image alone, whole, as A holds it on its grown canvas; the suite's render clips it to the screen"},
    // The suite's render shows several images without graphic control as one picture; the
    // first frame is the first image on the screen, as B (ImageMagick's first frame) has it.
    {"pygif__high-color.gif", TRef::B, TCompare::Rgba, 0,
     "first frame = image 0; the suite's render shows 0..3"},
    {"pygif__images-combine.gif", TRef::B, TCompare::Rgba, 0,
     "first frame = image 0; the suite's render shows 0..3"},
    {"pygif__images-overlap.gif", TRef::A, TCompare::Rgba, 0,
     "first frame = image 0, as A and B have it; the suite's render shows image 1 over it"},
    // ---- JPEG ----------------------------------------------------------------------
    // The jpeg-decoder renders are another decoder's output, not a definition: where both
    // libjpeg-based references agree with each other and not with the render, they count.
    {"jdec__grayscale_16x24_sampling2x2.jpg", TRef::A, TCompare::Rgba, 0,
     "the suite's render is a nearly blank picture; A and B agree on the real one"},
    {"jdec__grayscale_24x16_sampling2x2.jpg", TRef::A, TCompare::Rgba, 0,
     "the suite's render is a nearly blank picture; A and B agree on the real one"},
    {"jdec__rgb.jpg", TRef::A, TCompare::Rgba, 0,
     "the suite's render rounds some samples one level off from both A and B, which agree"},
};

// Valid files of a format with a reader that are refused on purpose, and why.
struct TExpectedFailure {
    const char* File;
    const char* Why;
};

const std::vector<TExpectedFailure> kExpectedFailures = {
    {"igif__samples-set_hsts.gif", "LZW minimum code size 1; the GIF LZW codec takes 2 to 9"},
    {"pil__issue_2811.gif", "LZW minimum code size 11; the GIF LZW codec takes 2 to 9"},
    {"pygif__image-zero-size.gif",
     "the only image is 0 x 0: a single image is delivered alone and has no pixels"},
    {"pygif__image-zero-width.gif",
     "the only image is 0 x 1: a single image is delivered alone and has no pixels"},
    {"pygif__max-height.gif",
     "a coloured image over 65000 pixels high with under 2000 bytes left is refused"},
    {"*.pam",
     "PAM (P7) is not one of this program's formats: neither its content nor its extension is known"},
};

bool NameMatches(const std::string& pattern, const std::string& name) {
    const size_t star = pattern.find('*');
    if (star == std::string::npos) return name == pattern;
    const size_t tail = pattern.size() - star - 1;
    return name.size() >= star + tail && name.compare(0, star, pattern, 0, star) == 0 &&
           name.compare(name.size() - tail, tail, pattern, star + 1) == 0;
}

const TOverride* OverrideFor(const std::string& name) {
    for (const auto& o : kOverrides)
        if (NameMatches(o.File, name)) return &o;
    return nullptr;
}

const TExpectedFailure* ExpectedFailureFor(const std::string& name) {
    for (const auto& e : kExpectedFailures)
        if (NameMatches(e.File, name)) return &e;
    return nullptr;
}

// ---- the corpus tables -------------------------------------------------------------------

using TRow = TTsvRow;

// A corpus table keyed by its "file" column.
std::map<std::string, TRow> ReadTable(const std::string& path) {
    std::map<std::string, TRow> table;
    for (TRow& row : ReadTsv(path)) {
        std::string key = row["file"];
        table[key] = std::move(row);
    }
    return table;
}

std::string Field(const std::map<std::string, TRow>& table, const std::string& key,
                  const std::string& column) {
    auto it = table.find(key);
    if (it == table.end()) return {};
    auto c = it->second.find(column);
    return c == it->second.end() ? std::string() : c->second;
}

// ---- our decode and the comparison ---------------------------------------------------------

RefImage ToRgba(TIEBitmap& bitmap) {
    RefImage img;
    img.width = bitmap.Width();
    img.height = bitmap.Height();
    img.rgba.resize(size_t(img.width) * size_t(img.height) * 4);
    const bool alpha = bitmap.HasAlphaChannel();
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            TRGB c = bitmap.GetPixelRGB(x, y);
            uint8_t* p = img.rgba.data() + (size_t(y) * size_t(img.width) + size_t(x)) * 4;
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
            p[3] = alpha ? bitmap.AlphaPixel(x, y) : 255;
        }
    return img;
}

// The part of an image at (x, y) of the given size; the image itself when the part does
// not lie inside it.
RefImage Crop(const RefImage& img, int x, int y, int width, int height) {
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > img.width || y + height > img.height)
        return img;
    RefImage part;
    part.width = width;
    part.height = height;
    for (int row = 0; row < height; ++row) {
        const uint8_t* from = img.At(x, y + row);
        part.rgba.insert(part.rgba.end(), from, from + size_t(width) * 4);
    }
    return part;
}

struct TDiff {
    bool SameSize = true;
    int MaxDiff = 0;
    double PercentPixels = 0;
    std::string First; // the first differing pixel, or the sizes
};

TDiff Compare(const RefImage& ours, const RefImage& ref, TCompare how, const std::array<int, 3>& highBits) {
    TDiff d;
    if (ours.width != ref.width || ours.height != ref.height) {
        d.SameSize = false;
        d.MaxDiff = 255;
        d.PercentPixels = 100;
        d.First = "size " + std::to_string(ours.width) + "x" + std::to_string(ours.height) + ", reference " +
                  std::to_string(ref.width) + "x" + std::to_string(ref.height);
        return d;
    }
    size_t differing = 0, compared = 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const uint8_t* a = ours.At(x, y);
            uint8_t b[4];
            std::copy(ref.At(x, y), ref.At(x, y) + 4, b);
            for (size_t i = 0; i < 3; ++i)
                b[i] = uint8_t(b[i] & (0xFF << (8 - highBits[i])));
            int diff = 0;
            if (how == TCompare::Supplied && (a[0] | a[1] | a[2]) == 0) continue;
            if (how == TCompare::Colour || how == TCompare::VisibleColour) {
                if (how == TCompare::VisibleColour && b[3] == 0) continue;
                for (int i = 0; i < 3; ++i)
                    diff = std::max(diff, std::abs(int(a[i]) - int(b[i])));
            } else if (a[3] != 0 || b[3] != 0) {
                for (int i = 0; i < 4; ++i)
                    diff = std::max(diff, std::abs(int(a[i]) - int(b[i])));
            }
            ++compared;
            if (diff == 0) continue;
            if (differing++ == 0) {
                char buf[160];
                std::snprintf(buf, sizeof buf, "first at %d,%d: ours %d %d %d %d, reference %d %d %d %d", x,
                              y, a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]);
                d.First = buf;
            }
            d.MaxDiff = std::max(d.MaxDiff, diff);
        }
    d.PercentPixels = compared ? 100.0 * double(differing) / double(compared) : 0;
    return d;
}

// ---- classification -----------------------------------------------------------------------

enum class TOutcome { Matched, Differing, FailedCleanly, Crashed, NoReader, Unchecked };

struct TResult {
    std::string Format, Name, Expect;
    TOutcome Outcome = TOutcome::Unchecked;
    std::string Detail;  // the reason of a failure, the figures of a difference
    std::string Against; // the reference compared with
    TDiff Diff;
    bool Finding = false; // fails the test
    std::string FindingText;
};

struct TCorpusFile {
    std::string Format, Name, Path, Expect;
    bool HasReader = false;
    RunResult Run; // the executable's run (files with a reader only)
};

// Whether the load path identifies the file (content first, then the extension, as
// LoadFromFile does) as a format that has no reader in this build. A file that is not
// identified at all is not such a case: it must fail cleanly.
bool FormatWithoutReader(const std::string& path) {
    int32_t code = DetectFileType(path, false);
    const TIEFormatRow* row =
        code == ioUnknown ? FormatByExtension(LowerCase(ExtractFileExt(path))) : FormatByType(code);
    if (!row) return false;
    if (!row->BuiltIn) return row->ReaderProc == nullptr;
    const TIEBuiltinFormat* op = BuiltinFormat(row->TypeCode);
    return !op || !op->Read;
}

// A run of the program counts as a crash when a signal ended it, when it ended with a
// code other than success (0) or a reported failure (99), or when it wrote to standard
// error (sanitizer reports go there; the program itself never does).
std::string CrashOf(const RunResult& r) {
    if (r.signal != 0) return "killed by signal " + std::to_string(r.signal);
    if (r.exitCode != 0 && r.exitCode != 99) return "exit code " + std::to_string(r.exitCode);
    if (!r.err.empty()) return "wrote to standard error: " + r.err.substr(0, 300);
    return {};
}

std::string LastLine(const std::string& out) {
    std::string s = out;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    size_t nl = s.find_last_of('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

// Runs the executable over the files with a reader, two at a time.
void RunExecutable(std::vector<TCorpusFile>& files, const TempDir& dir) {
    std::vector<TCorpusFile*> todo;
    for (auto& f : files)
        if (f.HasReader) todo.push_back(&f);
    std::atomic<size_t> next{0};
    auto worker = [&](int id) {
        const std::string out = dir.file("out-" + std::to_string(id) + ".png");
        for (size_t i = next++; i < todo.size(); i = next++) {
            todo[i]->Run = RunTarnwick({todo[i]->Path, "-O" + out});
            std::error_code ec;
            fs::remove(out, ec);
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
}

class TConformance {
  public:
    explicit TConformance(const std::string& corpus)
        : corpus_(corpus), refs_(ReadTable(corpus + "/REFS.tsv")),
          oracles_(ReadTable(corpus + "/ORACLES.tsv")) {}

    TResult Judge(const TCorpusFile& f) {
        TResult r;
        r.Format = f.Format;
        r.Name = f.Name;
        r.Expect = f.Expect;
        const bool valid = f.Expect == "valid";
        if (!f.HasReader) {
            r.Outcome = TOutcome::NoReader;
            return r;
        }
        if (std::string crash = CrashOf(f.Run); !crash.empty()) {
            // The load is not repeated in-process: it may be the very thing that crashed.
            r.Outcome = TOutcome::Crashed;
            r.Detail = crash;
            Flag(r, "the program crashed: " + crash);
            return r;
        }

        TImageHost host;
        TImageIO& io = host.IO();
        // Both reference decoders use the slow integer DCT; the program's default is the fast
        // one, which moves most samples by a few levels. Reading options survive the load's
        // reset, so the comparison is made with the slow one.
        io.Params.JpegDCTMethod = 0;
        std::string failure;
        try {
            io.LoadFromFile(f.Path);
            if (io.Aborted)
                failure = io.AbortReason.empty() ? "(aborted without a reason)" : io.AbortReason;
            else if (host.Bitmap().IsEmpty())
                failure = "(no image was decoded)";
        } catch (const EIEException& e) {
            failure = std::string("exception: ") + e.what();
        } catch (const std::exception& e) {
            r.Outcome = TOutcome::Crashed;
            r.Detail = std::string("an exception outside the engine's family: ") + e.what();
            Flag(r, r.Detail);
            return r;
        }

        if (!failure.empty()) {
            r.Outcome = TOutcome::FailedCleanly;
            r.Detail = failure;
            if (failure[0] == '(') Flag(r, "failed without saying why");
            if (f.Run.exitCode != 99)
                Flag(r, "the program did not fail with 99 but with " + std::to_string(f.Run.exitCode));
            if (valid) {
                if (const TExpectedFailure* e = ExpectedFailureFor(f.Name))
                    r.Detail += " [expected: " + std::string(e->Why) + "]";
                else
                    Flag(r, "a valid file fails: " + failure);
            }
            return r;
        }
        if (f.Run.exitCode != 0) Flag(r, "loads, but the program fails: " + LastLine(f.Run.out));

        const TOverride* o = OverrideFor(f.Name);
        TRef which = o ? o->Ref : TRef::Auto;
        const TCompare how = o ? o->How : TCompare::Rgba;
        const std::array<int, 3> highBits = o ? o->HighBits : std::array<int, 3>{8, 8, 8};
        const RefImage ours = ToRgba(host.Bitmap());
        RefImage ref;
        if (!Reference(f, which, ref, r.Against)) {
            r.Outcome = TOutcome::Unchecked;
            r.Detail = r.Against;
            return r;
        }
        // A GIF file with a single image yields that image alone, without the logical
        // screen the references show: it is compared with their rectangle at its position.
        if (io.Params.FileType == ioGIF && io.Params.GifImageCount == 1)
            ref = Crop(ref, io.Params.GifXPos, io.Params.GifYPos, ours.width, ours.height);
        r.Diff = Compare(ours, ref, how, highBits);
        if (which == TRef::Auto && r.Diff.MaxDiff > 0 && r.Against == "A" && !AandBAgree(f)) {
            // No choice written down where the two decoders disagree: the closer one counts.
            RefImage b;
            std::string againstB;
            if (Reference(f, TRef::B, b, againstB)) {
                if (io.Params.FileType == ioGIF && io.Params.GifImageCount == 1)
                    b = Crop(b, io.Params.GifXPos, io.Params.GifYPos, ours.width, ours.height);
                TDiff db = Compare(ours, b, how, highBits);
                if (db.MaxDiff < r.Diff.MaxDiff) {
                    r.Diff = db;
                    r.Against = "B";
                }
            }
        }
        if (r.Diff.MaxDiff == 0) {
            r.Outcome = TOutcome::Matched;
            return r;
        }
        r.Outcome = TOutcome::Differing;
        char buf[96];
        std::snprintf(buf, sizeof buf, "max difference %d, %.2f%% of pixels", r.Diff.MaxDiff,
                      r.Diff.PercentPixels);
        r.Detail = std::string(buf) + " (against " + r.Against + "; " + r.Diff.First + ")";
        if (o && r.Diff.MaxDiff <= o->Tolerance)
            r.Detail += " [explained: " + std::string(o->Why) + "]";
        else
            Flag(r, "unexplained difference: " + r.Detail);
        return r;
    }

  private:
    static void Flag(TResult& r, const std::string& text) {
        r.Finding = true;
        if (!r.FindingText.empty()) r.FindingText += "; ";
        r.FindingText += text;
    }

    std::string Key(const TCorpusFile& f) const { return "files/" + f.Format + "/" + f.Name; }

    bool AandBAgree(const TCorpusFile& f) const { return Field(refs_, Key(f), "identical") == "yes"; }

    bool Load(const std::string& rel, RefImage& img) const {
        const std::string path = corpus_ + "/" + rel;
        if (!fs::exists(path)) return false;
        std::string error;
        if (ReadPngRgba(path, img, &error)) return true;
        ADD_FAILURE() << "cannot read the reference " << path << ": " << error;
        return false;
    }

    // Picks and reads the reference; against names it (or says why there is none).
    bool Reference(const TCorpusFile& f, TRef which, RefImage& img, std::string& against) const {
        const std::string png = f.Format + "/" + f.Name + ".png";
        switch (which) {
        case TRef::Oracle:
            against = "oracle";
            return Load("oracle/" + png, img);
        case TRef::A:
            against = "A";
            return Load("ref/" + png, img);
        case TRef::B:
            against = "B";
            return Load("ref-im/" + png, img);
        case TRef::Alt:
            against = "alt";
            return Load("ref-alt/" + png, img);
        case TRef::ColourAAlphaB: {
            RefImage b;
            against = "colour of A, alpha of B";
            if (!Load("ref/" + png, img) || !Load("ref-im/" + png, b)) return false;
            if (b.width != img.width || b.height != img.height) {
                against = "A and B differ in size";
                return false;
            }
            for (size_t i = 3; i < img.rgba.size(); i += 4)
                img.rgba[i] = b.rgba[i];
            return true;
        }
        case TRef::None:
            against = "no trustworthy reference";
            return false;
        case TRef::Auto:
            break;
        }
        const std::string oracle = Field(oracles_, Key(f), "oracle_png");
        if (!oracle.empty() && Load(oracle, img)) {
            against = "oracle";
            return true;
        }
        if (oracles_.count(Key(f))) {
            against = "the suite expects an error";
            return false;
        }
        if (Load("ref/" + png, img)) {
            against = "A";
            return true;
        }
        if (Load("ref-im/" + png, img)) {
            against = "B";
            return true;
        }
        against = "no reference decode";
        return false;
    }

    std::string corpus_;
    std::map<std::string, TRow> refs_, oracles_;
};

const char* OutcomeName(TOutcome o) {
    switch (o) {
    case TOutcome::Matched:
        return "matched";
    case TOutcome::Differing:
        return "differing";
    case TOutcome::FailedCleanly:
        return "failed cleanly";
    case TOutcome::Crashed:
        return "crashed";
    case TOutcome::NoReader:
        return "no reader";
    case TOutcome::Unchecked:
        return "unchecked";
    }
    return "?";
}

void PrintTable(const std::vector<TResult>& results) {
    struct TCounts {
        int Files = 0, Matched = 0, Differing = 0, Failed = 0, Crashed = 0, NoReader = 0, Unchecked = 0;
    };
    std::map<std::string, TCounts> byFormat;
    TCounts total;
    for (const auto& r : results)
        for (TCounts* c : {&byFormat[r.Format], &total}) {
            ++c->Files;
            switch (r.Outcome) {
            case TOutcome::Matched:
                ++c->Matched;
                break;
            case TOutcome::Differing:
                ++c->Differing;
                break;
            case TOutcome::FailedCleanly:
                ++c->Failed;
                break;
            case TOutcome::Crashed:
                ++c->Crashed;
                break;
            case TOutcome::NoReader:
                ++c->NoReader;
                break;
            case TOutcome::Unchecked:
                ++c->Unchecked;
                break;
            }
        }
    std::printf("\n%-7s %6s %8s %10s %15s %8s %10s %10s\n", "format", "files", "matched", "differing",
                "failed cleanly", "crashed", "no reader", "unchecked");
    auto line = [](const std::string& name, const TCounts& c) {
        std::printf("%-7s %6d %8d %10d %15d %8d %10d %10d\n", name.c_str(), c.Files, c.Matched, c.Differing,
                    c.Failed, c.Crashed, c.NoReader, c.Unchecked);
    };
    for (const auto& [format, c] : byFormat)
        line(format, c);
    line("all", total);

    std::printf("\nDiffering files:\n");
    for (const auto& r : results)
        if (r.Outcome == TOutcome::Differing)
            std::printf("  %s/%s (%s): %s\n", r.Format.c_str(), r.Name.c_str(), r.Expect.c_str(),
                        r.Detail.c_str());
    std::printf("\nFiles that fail, or have no reference to compare with (formats with a reader):\n");
    for (const auto& r : results)
        if (r.Outcome == TOutcome::FailedCleanly || r.Outcome == TOutcome::Unchecked)
            std::printf("  %s/%s (%s) %s: %s\n", r.Format.c_str(), r.Name.c_str(), r.Expect.c_str(),
                        OutcomeName(r.Outcome), r.Detail.c_str());
    std::printf("\n");
}

} // namespace

TEST(Conformance, EveryCorpusFileLoadsLikeTheReferencesOrFailsCleanly) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not present";
    const auto manifest = ReadTable(corpus + "/MANIFEST.tsv");

    std::vector<TCorpusFile> files;
    for (const auto& folder : fs::directory_iterator(corpus + "/files")) {
        if (!folder.is_directory()) continue;
        for (const auto& e : fs::directory_iterator(folder.path())) {
            TCorpusFile f;
            f.Format = folder.path().filename().string();
            f.Name = e.path().filename().string();
            f.Path = e.path().string();
            f.Expect = Field(manifest, "files/" + f.Format + "/" + f.Name, "expect");
            if (f.Expect.empty()) f.Expect = "?";
            f.HasReader = !FormatWithoutReader(f.Path);
            files.push_back(std::move(f));
        }
    }
    std::sort(files.begin(), files.end(), [](const TCorpusFile& a, const TCorpusFile& b) {
        return std::tie(a.Format, a.Name) < std::tie(b.Format, b.Name);
    });
    ASSERT_FALSE(files.empty());

    TempDir dir;
    RunExecutable(files, dir);

    TConformance judge(corpus);
    std::vector<TResult> results;
    for (const auto& f : files) {
        SCOPED_TRACE(f.Format + "/" + f.Name);
        results.push_back(judge.Judge(f));
    }
    PrintTable(results);
    for (const auto& r : results)
        if (r.Finding)
            ADD_FAILURE() << r.Format << "/" << r.Name << " (" << r.Expect << ", " << OutcomeName(r.Outcome)
                          << "): " << r.FindingText;
}
