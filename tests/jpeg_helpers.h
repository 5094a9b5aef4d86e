// Helpers shared by the JPEG tests: decoding and encoding in memory, synthetic
// images, running libjpeg-turbo's own command-line tools and reading their PNM output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "codecs/jpeg_decode.h"
#include "codecs/jpeg_encode.h"
#include "image/bitmap.h"
#include "io/progress.h"
#include "io/stream.h"

extern char** environ;

namespace jpegtest {

using Bytes = std::vector<uint8_t>;

struct Decoded {
    bool aborted = false;
    std::string reason;
    tw::TJpegDecodeResult result;
    std::unique_ptr<tw::TIEBitmap> bitmap = std::make_unique<tw::TIEBitmap>();
};

inline Decoded Decode(const Bytes& bytes, tw::TJpegDecodeOptions options = {}) {
    Decoded d;
    tw::TMemoryViewStream stream(bytes.data(), bytes.size());
    tw::TIEProgressRecord progress;
    progress.AbortFlag = &d.aborted;
    progress.AbortReason = &d.reason;
    tw::JpegDecode(stream, nullptr, *d.bitmap, options, progress, d.result);
    return d;
}

inline Bytes Encode(tw::TIEBitmap& bitmap, const tw::TJpegEncodeOptions& options = {}) {
    tw::TMemoryStream stream;
    bool aborted = false;
    tw::TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    tw::JpegEncode(stream, bitmap, options, progress);
    EXPECT_FALSE(aborted);
    return stream.Data();
}

// A 24-bit test card: smooth gradients, with a pure red block at the top left and a
// pure blue block at the top right (a swapped channel order shows at once).
inline std::unique_ptr<tw::TIEBitmap> TestCard(int width, int height) {
    auto b = std::make_unique<tw::TIEBitmap>();
    if (!b->Allocate(width, height, tw::ie24RGB)) return b;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b->Scanline(y);
        for (int x = 0; x < width; ++x) {
            uint8_t r = uint8_t(x * 255 / std::max(1, width - 1));
            uint8_t g = uint8_t(y * 255 / std::max(1, height - 1));
            uint8_t bl = uint8_t(255 - (x + y) * 255 / std::max(1, width + height - 2));
            if (y < 16 && x < 16) r = 255, g = 0, bl = 0;
            if (y < 16 && x >= width - 16) r = 0, g = 0, bl = 255;
            row[3 * x] = bl;
            row[3 * x + 1] = g;
            row[3 * x + 2] = r;
        }
    }
    return b;
}

// Pixel reads through Scanline.
inline tw::TRGB Pixel24(tw::TIEBitmap& b, int x, int y) {
    const uint8_t* p = b.Scanline(y) + 3 * x;
    return tw::TRGB{p[0], p[1], p[2]};
}
inline uint8_t Pixel8(tw::TIEBitmap& b, int x, int y) { return b.Scanline(y)[x]; }

// Largest absolute difference between two 24-bit bitmaps of the same size.
inline int MaxDifference(tw::TIEBitmap& a, tw::TIEBitmap& b) {
    int worst = 0;
    for (int y = 0; y < a.Height(); ++y) {
        const uint8_t* p = a.Scanline(y);
        std::vector<uint8_t> row(p, p + 3 * a.Width());
        const uint8_t* q = b.Scanline(y);
        for (size_t i = 0; i < row.size(); ++i) worst = std::max(worst, std::abs(int(row[i]) - int(q[i])));
    }
    return worst;
}

// Mean absolute difference per sample.
inline double MeanDifference(tw::TIEBitmap& a, tw::TIEBitmap& b) {
    double sum = 0;
    for (int y = 0; y < a.Height(); ++y) {
        const uint8_t* p = a.Scanline(y);
        std::vector<uint8_t> row(p, p + 3 * a.Width());
        const uint8_t* q = b.Scanline(y);
        for (size_t i = 0; i < row.size(); ++i) sum += std::abs(int(row[i]) - int(q[i]));
    }
    return sum / (3.0 * a.Width() * a.Height());
}

// Full path of a program found on PATH, or empty.
inline std::string FindTool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::filesystem::path candidate = std::filesystem::path(p.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return {};
}

// Runs a program with standard output and error discarded; returns its exit code.
inline int RunTool(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& s : copy) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An 8-bit binary PGM (channels 1) or PPM (channels 3).
struct Pnm {
    int width = 0, height = 0, channels = 0;
    Bytes data;
};

inline bool ReadPnm(const Bytes& file, Pnm& out) {
    size_t pos = 0;
    auto token = [&]() -> std::string {
        while (pos < file.size() && std::isspace(file[pos])) ++pos;
        std::string t;
        while (pos < file.size() && !std::isspace(file[pos])) t += char(file[pos++]);
        return t;
    };
    std::string magic = token();
    if (magic != "P5" && magic != "P6") return false;
    out.channels = magic == "P5" ? 1 : 3;
    out.width = std::atoi(token().c_str());
    out.height = std::atoi(token().c_str());
    if (std::atoi(token().c_str()) != 255) return false;
    ++pos; // the single white-space byte before the samples
    size_t need = size_t(out.width) * size_t(out.height) * size_t(out.channels);
    if (out.width <= 0 || out.height <= 0 || pos + need > file.size()) return false;
    out.data.assign(file.begin() + long(pos), file.begin() + long(pos + need));
    return true;
}

} // namespace jpegtest
