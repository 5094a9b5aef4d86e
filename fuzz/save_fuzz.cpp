// Writers on whatever a reader produced. The input is loaded through the dispatch into an
// image host (as the program does); when it decoded, the image is saved with the record
// the reader left behind in each writable format (BMP, PNG, GIF, JPEG), each time from a
// fresh load because a save may convert the image in place, and the file written is
// loaded again. A writer must not crash, and what it completes must load back at the same
// size. Files go to a private folder, in /dev/shm where there is one, removed at exit.
//
// A parameters file given to the program can set any writer option before the save, so
// the writers must cope with every value. When bit 0 of the input's last byte is set, the
// last four bytes (which the readers take for trailing data) choose writer options that
// replace the reader's: see SetWriterOptions.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/imagehost.h"
#include "io/imageio.h"
#include "io/stream.h"

namespace {

using namespace tw;

std::string& Folder() {
    static std::string folder;
    return folder;
}

void RemoveFolder() {
    std::error_code ec;
    if (!Folder().empty()) std::filesystem::remove_all(Folder(), ec);
}

void MakeFolder() {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string pattern = base + "/tarnwick-save-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    Folder() = pattern;
    std::atexit(RemoveFolder);
}

// Loads the input into host; true when it decoded to a non-empty image.
bool Load(TImageHost& host, const uint8_t* data, size_t size) {
    TMemoryViewStream stream(data, size);
    try {
        host.IO().LoadFromStream(stream);
    } catch (const EIEException&) {
        return false;
    }
    return !host.IO().Aborted && !host.Bitmap().IsEmpty();
}

// Writer options from four control bytes, odd values included (a depth of 3, negative
// samples, quality 0 or 255, unknown colour spaces and filters).
void SetWriterOptions(TIOParamsVals& p, const uint8_t* c) {
    static const int32_t depths[] = {1, 4, 8, 16, 24, 32, 3};
    p.BitsPerSample = (c[0] & 7) == 7 ? int8_t(c[1]) : depths[c[0] & 7];
    p.SamplesPerPixel = (c[0] >> 3) & 7;
    if (c[0] & 64) p.SamplesPerPixel = -p.SamplesPerPixel;
    p.BmpVersion = c[1] & 3;
    p.BmpCompression = (c[1] >> 2) & 3;
    p.BmpUseAlpha = (c[1] & 16) != 0;
    p.PngInterlaced = (c[1] & 32) != 0;
    p.GifInterlaced = (c[1] & 64) != 0;
    p.JpegProgressive = (c[1] & 128) != 0;
    p.JpegQuality = c[2];
    p.JpegSmoothing = c[2] % 101;
    p.PngFilter = c[2];
    p.PngCompression = int32_t(c[2] % 12) - 1;
    p.JpegColorSpace = (c[3] >> 1) % 6;
    p.JpegDCTMethod = (c[3] >> 4) & 3;
    p.JpegOptimizeCoding = (c[3] & 64) != 0;
    p.GifHasTransparency = (c[3] & 128) != 0;
    p.GifTransparentColor = TRGB{c[2], c[1], c[0]};
    p.GifVersion = (c[3] & 2) ? "GIF87a" : "GIF89a";
}

void SaveAndReload(const uint8_t* data, size_t size, const char* extension) {
    TImageHost host;
    if (!Load(host, data, size)) return;
    if (size >= 4 && (data[size - 1] & 1)) SetWriterOptions(host.IO().Params, data + size - 4);
    const std::string name = Folder() + "/out." + extension;
    TImageIO& io = host.IO();
    try {
        io.SaveToFile(name);
    } catch (const EIEException&) {
    }
    if (!io.Aborted) {
        const int width = host.Bitmap().Width(), height = host.Bitmap().Height();
        TImageHost again;
        try {
            again.IO().LoadFromFile(name);
        } catch (const EIEException&) {
            std::abort(); // what a writer completed must load
        }
        if (again.IO().Aborted) std::abort();
        if (again.Bitmap().Width() != width || again.Bitmap().Height() != height) std::abort();
        fuzz::Keep(fuzz::TouchRows(again.Bitmap()));
    }
    ::unlink(name.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes("1000000"); // every writer runs on each image: keep them smaller
    MakeFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const char* extension : {"bmp", "png", "gif", "jpg"})
        SaveAndReload(data, size, extension);
    return 0;
}
