// Glue between libjpeg and the engine, shared by the JPEG reader and writer: the
// error manager, the stream source and destination managers, and the guard that runs
// library calls.
//
// libjpeg reports a fatal error by calling error_exit, which must not return. Ours
// longjmps back into JpegGuarded, whose only frame between the setjmp and the library
// holds nothing with a destructor; the C++ caller then turns the failure into the
// abort flag or an exception. Callbacks that run engine code (stream reads and writes)
// catch every exception themselves, so no C++ exception ever unwinds through libjpeg.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <exception>
#include <memory>
#include <string>

#include "io/markers.h"
#include "io/stream.h"

#include <jpeglib.h>
#include <jerror.h>

namespace tw {

// Size of the stream buffers of the source and destination managers.
constexpr size_t JpegIOBufferSize = 65536;
// Memory libjpeg may use for one image (coefficient buffers of progressive and
// multi-scan files); a file needing more fails with "Backing store not supported".
constexpr long JpegMaxLibraryMemory = 1L << 30;
// Scans a file may have before the reader gives up on it.
constexpr int JpegMaxScans = 1000;

// The error manager: libjpeg's record plus what our procedures need. Standard layout,
// libjpeg's record first, so the library's err pointer converts back to it.
struct TJpegErrorMgr {
    jpeg_error_mgr pub;
    bool* abortFlag = nullptr;     // set on a fatal error (when not null)
    std::jmp_buf jump;             // where error_exit returns to
    bool armed = false;            // a guard is waiting at jump
    int warningCount = 0;          // level -1 messages since the last reset
    int lastWarning = 0;           // message code of the last of them
    int failCode = 0;              // message code of the fatal error
    const char* ownMessage = nullptr; // reason of our own instead of a library code
    char message[JMSG_LENGTH_MAX + 64] = {};
};

// Installs our procedures in err (every other field zero) and returns libjpeg's record.
jpeg_error_mgr* JpegInitErrorMgr(TJpegErrorMgr& err, bool* abortFlag);

// Text of a library message code, filled with the message's parameters as the library's
// standard formatter would; "Corrupted" for codes outside the library's table.
std::string JpegMessageText(const jpeg_error_mgr& err, int code);

// Raises a fatal error with a reason of our own (called from library callbacks).
[[noreturn]] void JpegFail(j_common_ptr cinfo, const char* reason);

// Runs fn, which calls into libjpeg; false when the library raised a fatal error
// (the reason is then in err.message). fn and everything it holds must be trivially
// destructible: a fatal error leaves its frame by longjmp.
template <class Fn>
bool JpegGuarded(TJpegErrorMgr& err, Fn&& fn) {
    if (setjmp(err.jump) != 0) {
        err.armed = false;
        return false;
    }
    err.armed = true;
    fn();
    err.armed = false;
    return true;
}

// Source manager over a TStream.
struct TJpegSource {
    jpeg_source_mgr pub{};
    TStream* stream = nullptr;
    bool startOfFile = true;
    bool* abortFlag = nullptr;
    std::unique_ptr<JOCTET[]> buffer;
    std::exception_ptr failure; // an exception the stream raised, kept for the caller
};

// Attaches src (re-attached sources keep their buffer and drop what it held).
void JpegAttachSource(j_decompress_ptr cinfo, TJpegSource& src, TStream& stream, bool* abortFlag);

// Destination manager over a TStream.
struct TJpegDestination {
    jpeg_destination_mgr pub{};
    TStream* stream = nullptr;
    bool* abortFlag = nullptr;
    bool shortWrite = false; // the stream accepted fewer bytes than given
    std::unique_ptr<JOCTET[]> buffer;
    std::exception_ptr failure;
};

void JpegAttachDestination(j_compress_ptr cinfo, TJpegDestination& dest, TStream& stream, bool* abortFlag);

// A decompressor with its error manager; destroyed with the object.
struct TJpegDecompressor {
    jpeg_decompress_struct cinfo{};
    TJpegErrorMgr err;
    TJpegSource src;
    jpeg_progress_mgr scanLimit{};
    bool created = false;

    TJpegDecompressor() = default;
    TJpegDecompressor(const TJpegDecompressor&) = delete;
    TJpegDecompressor& operator=(const TJpegDecompressor&) = delete;
    ~TJpegDecompressor() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
    // Creates the library object with the memory cap and the scan limit installed.
    bool Create(bool* abortFlag);
};

// A compressor with its error manager; destroyed with the object.
struct TJpegCompressor {
    jpeg_compress_struct cinfo{};
    TJpegErrorMgr err;
    TJpegDestination dest;
    bool created = false;

    TJpegCompressor() = default;
    TJpegCompressor(const TJpegCompressor&) = delete;
    TJpegCompressor& operator=(const TJpegCompressor&) = delete;
    ~TJpegCompressor() {
        if (created) jpeg_destroy_compress(&cinfo);
    }
    bool Create(bool* abortFlag);
};

} // namespace tw
