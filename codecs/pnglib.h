// Glue between libpng and the engine: the library objects as RAII handles, the
// stream callbacks, and the guard that keeps libpng's error jump inside a region
// that owns nothing with a destructor.
//
// libpng reports errors by calling our error handler, which must not return: it
// jumps back (longjmp) to the last setjmp of the png_struct. A jump over a C++
// object with a destructor is undefined behaviour, and so is an exception thrown
// through libpng's C frames. The adapter therefore runs every libpng call inside
// PngGuard, whose only state is trivially destructible, and does all C++ work
// (strings, vectors, bitmaps) between guarded calls. The callbacks catch what the
// engine throws, park it in the context and let libpng unwind with png_error; the
// caller rethrows it once libpng is out of the way.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <exception>

#include "io/stream.h"

namespace tw {

// State shared between the adapter and libpng's callbacks (the error pointer and
// the I/O pointer of the png_struct). It outlives every guarded region.
struct TPngContext {
    TStream* Stream = nullptr;
    bool* AbortFlag = nullptr;  // writing: set when the stream accepts fewer bytes
    bool EndOfStream = false;   // reading: the stream ended before libpng was satisfied
    bool ShortWrite = false;    // writing: the stream accepted fewer bytes
    bool Failed = false;        // libpng raised an error (Message holds its text)
    char Message[160] = {};
    char LastWarning[160] = {}; // IHDR checks warn with the detail, then fail generically
    std::exception_ptr Pending; // an engine exception caught inside a callback
};

// Runs f, which may call libpng but must keep no locals with destructors: an error
// inside libpng jumps straight back here. Returns false when libpng raised one.
template <class F>
bool PngGuard(png_structp png, F&& f) {
    if (setjmp(png_jmpbuf(png))) return false;
    f();
    return true;
}

// png_struct + png_info for reading; null handles when libpng could not create them.
class TPngReadHandle {
  public:
    explicit TPngReadHandle(TPngContext& context);
    ~TPngReadHandle();
    TPngReadHandle(const TPngReadHandle&) = delete;
    TPngReadHandle& operator=(const TPngReadHandle&) = delete;
    bool Valid() const { return png && info; }

    png_structp png = nullptr;
    png_infop info = nullptr;
};

// png_struct + png_info for writing; null handles when libpng could not create them.
class TPngWriteHandle {
  public:
    explicit TPngWriteHandle(TPngContext& context);
    ~TPngWriteHandle();
    TPngWriteHandle(const TPngWriteHandle&) = delete;
    TPngWriteHandle& operator=(const TPngWriteHandle&) = delete;
    bool Valid() const { return png && info; }

    png_structp png = nullptr;
    png_infop info = nullptr;
};

// Installs the stream callbacks on a handle's png_struct (call inside PngGuard).
void PngSetReadFn(png_structp png, TPngContext& context);
void PngSetWriteFn(png_structp png, TPngContext& context);

// Decoder resource limits: libpng's own defaults, set explicitly so that a
// differently configured library build cannot loosen them.
constexpr uint32_t PngChunkCacheMax = 1000;       // ancillary chunks kept
constexpr uint32_t PngChunkMallocMax = 8000000;   // bytes for one ancillary chunk

// Deflate cannot expand one compressed byte to more than 1032 bytes (a 258-byte
// match coded in two bits), so an image needing more raw bytes than that times the
// bytes left in the file can never be complete.
constexpr uint64_t PngMaxInflateRatio = 1032;

} // namespace tw
