// Truncated files: every prefix of the fuzzing seeds and of the smallest valid corpus
// files of each format goes through the load path from memory (content detection, then
// the reader). Each must load or fail cleanly; the view stream ends exactly at the cut,
// so under the sanitizer build a read beyond the data is caught where it happens.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "image/errors.h"
#include "io/imageio.h"
#include "tests/helpers.h"

using namespace tw;
using namespace twtest;

namespace {

namespace fs = std::filesystem;

// Every length up to this one is tried; beyond it, kSampledLengths evenly spaced ones.
constexpr size_t kDenseLimit = 64 * 1024;
constexpr size_t kSampledLengths = 512;
// Smallest valid corpus files taken per format.
constexpr size_t kCorpusFilesPerFormat = 3;
// Small corpus files with the layouts the smallest ones lack: RLE, bit fields, an
// animation, interlacing.
const char* const kCorpusExtras[] = {
    "files/bmp/bmpsuite__g-pal4rle.bmp",      "files/bmp/bmpsuite__g-pal8rle.bmp",
    "files/bmp/bmpsuite__g-rgb16-565pal.bmp", "files/gif/pygif__animation.gif",
    "files/png/pngsuite__basi6a08.png",
};

std::vector<size_t> Lengths(size_t size) {
    std::vector<size_t> lengths;
    const size_t dense = std::min(size, kDenseLimit);
    for (size_t n = 0; n <= dense; ++n)
        lengths.push_back(n);
    if (size > kDenseLimit)
        for (size_t k = 1; k <= kSampledLengths; ++k)
            lengths.push_back(kDenseLimit + (size - kDenseLimit) * k / kSampledLengths);
    return lengths;
}

struct TSource {
    std::string Label; // shown in the report
    std::string Path;
};

// The seeds of the fuzzing corpus that are whole files (the LZW codec's seeds are bare
// code streams, not files).
std::vector<TSource> FuzzSeeds() {
    std::vector<TSource> seeds;
    const fs::path root = fs::path(TW_SOURCE_DIR) / "fuzz" / "corpus";
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(root, ec)) {
        if (!e.is_regular_file()) continue;
        const fs::path rel = fs::relative(e.path(), root);
        if (*rel.begin() == "giflzw") continue;
        seeds.push_back({"fuzz/corpus/" + rel.string(), e.path().string()});
    }
    std::sort(seeds.begin(), seeds.end(),
              [](const TSource& a, const TSource& b) { return a.Label < b.Label; });
    return seeds;
}

// The smallest valid files of each format in the conformance corpus.
std::vector<TSource> SmallCorpusFiles(const std::string& corpus) {
    std::map<std::string, std::vector<std::pair<uintmax_t, std::string>>> byFormat;
    for (TTsvRow& row : ReadTsv(corpus + "/MANIFEST.tsv")) {
        if (row["expect"] != "valid") continue;
        std::error_code ec;
        const uintmax_t size = fs::file_size(corpus + "/" + row["file"], ec);
        if (!ec) byFormat[row["format"]].push_back({size, row["file"]});
    }
    std::vector<TSource> files;
    for (auto& [format, list] : byFormat) {
        std::sort(list.begin(), list.end());
        for (size_t i = 0; i < list.size() && i < kCorpusFilesPerFormat; ++i)
            files.push_back({"corpus " + list[i].second, corpus + "/" + list[i].second});
    }
    for (const char* extra : kCorpusExtras)
        if (fs::exists(corpus + "/" + extra))
            files.push_back({std::string("corpus ") + extra, corpus + "/" + extra});
    return files;
}

struct TTally {
    size_t Lengths = 0, Loaded = 0, Failed = 0;
};

// Loads every prefix of the file; records the first prefix that fails uncleanly.
TTally LoadEveryPrefix(const TSource& source) {
    SCOPED_TRACE(source.Label);
    const std::vector<uint8_t> data = ReadFile(source.Path);
    TTally t;
    bool reported = false;
    for (size_t length : Lengths(data.size())) {
        ++t.Lengths;
        TImageIO io;
        TMemoryViewStream stream(data.data(), length);
        std::string unclean;
        try {
            io.LoadFromStream(stream);
            if (!io.Aborted && !io.Bitmap().IsEmpty())
                ++t.Loaded;
            else {
                ++t.Failed;
                if (io.Aborted && io.AbortReason.empty()) unclean = "aborted without a reason";
            }
        } catch (const EIEException&) {
            ++t.Failed; // an engine exception (a read past the end) is a clean failure
        } catch (const std::exception& e) {
            ++t.Failed;
            unclean = std::string("an exception outside the engine's family: ") + e.what();
        }
        if (!unclean.empty() && !reported) {
            ADD_FAILURE() << source.Label << " cut to " << length << " of " << data.size()
                          << " bytes: " << unclean;
            reported = true; // one report per file is enough
        }
    }
    return t;
}

} // namespace

TEST(Truncation, EveryPrefixLoadsOrFailsCleanly) {
    std::vector<TSource> sources = FuzzSeeds();
    ASSERT_FALSE(sources.empty()) << "no fuzzing seeds below " << TW_SOURCE_DIR;
    const std::string corpus = CorpusDir();
    if (!corpus.empty()) {
        auto more = SmallCorpusFiles(corpus);
        sources.insert(sources.end(), more.begin(), more.end());
    }
    TTally total;
    std::printf("%-72s %8s %7s %7s\n", "file", "lengths", "loaded", "failed");
    for (const TSource& s : sources) {
        const TTally t = LoadEveryPrefix(s);
        std::printf("%-72s %8zu %7zu %7zu\n", s.Label.c_str(), t.Lengths, t.Loaded, t.Failed);
        total.Lengths += t.Lengths;
        total.Loaded += t.Loaded;
        total.Failed += t.Failed;
    }
    std::printf("%-72s %8zu %7zu %7zu\n", ("all " + std::to_string(sources.size()) + " files").c_str(),
                total.Lengths, total.Loaded, total.Failed);
    if (corpus.empty()) std::printf("(conformance corpus absent: fuzzing seeds only)\n");
}
