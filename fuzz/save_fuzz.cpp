// Writers on whatever a reader produced. The input is loaded through the dispatch into an
// image host (as the program does); when it decoded, the image is saved with the record
// the reader left behind in each writable format (BMP, PNG, GIF, JPEG), each time from a
// fresh load because a save may convert the image in place, and the file written is
// loaded again. A writer must not crash, and what it completes must load back at the same
// size. Files go to a private folder, in /dev/shm where there is one, removed at exit.
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

void SaveAndReload(const uint8_t* data, size_t size, const char* extension) {
    TImageHost host;
    if (!Load(host, data, size)) return;
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
