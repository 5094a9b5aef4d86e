#include "codecs/pnglib.h"

#include <cstdio>
#include <cstring>

namespace tw {

namespace {

template <size_t N>
void CopyMessage(char (&to)[N], png_const_charp message) {
    std::strncpy(to, message ? message : "", N - 1);
    to[N - 1] = 0;
}

// Keeps libpng's message and jumps back to the guard. Never returns.
[[noreturn]] void PngErrorHandler(png_structp png, png_const_charp message) {
    auto* context = static_cast<TPngContext*>(png_get_error_ptr(png));
    if (context) {
        context->Failed = true;
        if (!context->Message[0]) CopyMessage(context->Message, message);
    }
    png_longjmp(png, 1);
}

// Warnings do not stop anything; the last one is kept for the error text.
void PngWarningHandler(png_structp png, png_const_charp message) {
    auto* context = static_cast<TPngContext*>(png_get_error_ptr(png));
    if (context) CopyMessage(context->LastWarning, message);
}

bool IsChunkName(const png_byte* type) {
    for (int i = 0; i < 4; ++i)
        if (!((type[i] >= 'A' && type[i] <= 'Z') || (type[i] >= 'a' && type[i] <= 'z'))) return false;
    return true;
}

// Reads exactly the requested bytes; a stream that ends early stops the read.
//
// libpng allocates the declared length of most chunks before it reads their data, so a
// chunk header that declares more data than the stream still holds stops the read right
// away, as the end of the stream would a moment later. IDAT is left alone: libpng reads
// it in pieces, and the rows of the pieces that arrive before the end are kept.
void PngReadData(png_structp png, png_bytep data, size_t length) {
    auto* context = static_cast<TPngContext*>(png_get_io_ptr(png));
    bool threw = false;
    bool chunkTooLong = false;
    size_t done = 0;
    try {
        while (done < length) {
            int64_t got = context->Stream->Read(data + done, int64_t(length - done));
            if (got <= 0) break;
            done += size_t(got);
        }
        if (done == 8 && length == 8 && (png_get_io_state(png) & PNG_IO_MASK_LOC) == PNG_IO_CHUNK_HDR &&
            IsChunkName(data + 4) && std::memcmp(data + 4, "IDAT", 4) != 0)
            chunkTooLong = int64_t(png_get_uint_32(data)) > context->Stream->Remaining();
    } catch (...) {
        context->Pending = std::current_exception();
        threw = true;
    }
    // No C++ object is alive past this point: png_error jumps to the guard.
    if (threw) png_error(png, "stream read failed");
    if (done < length) {
        context->EndOfStream = true;
        png_error(png, "unexpected end of file");
    }
    if (chunkTooLong) {
        char message[64];
        std::snprintf(message, sizeof message, "the %.4s chunk runs past the end of the file",
                      reinterpret_cast<const char*>(data + 4));
        context->EndOfStream = true;
        png_error(png, message);
    }
}

// Writes the bytes; a stream that accepts fewer sets the abort flag.
void PngWriteData(png_structp png, png_bytep data, size_t length) {
    auto* context = static_cast<TPngContext*>(png_get_io_ptr(png));
    bool threw = false;
    try {
        if (length > 0 && context->Stream->Write(data, int64_t(length)) < int64_t(length)) {
            context->ShortWrite = true;
            if (context->AbortFlag) *context->AbortFlag = true;
        }
    } catch (...) {
        context->Pending = std::current_exception();
        threw = true;
    }
    if (threw) png_error(png, "stream write failed");
}

void PngFlush(png_structp) {}

} // namespace

TPngReadHandle::TPngReadHandle(TPngContext& context) {
    png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &context, PngErrorHandler, PngWarningHandler);
    if (png) info = png_create_info_struct(png);
}

TPngReadHandle::~TPngReadHandle() {
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
}

TPngWriteHandle::TPngWriteHandle(TPngContext& context) {
    png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &context, PngErrorHandler, PngWarningHandler);
    if (png) info = png_create_info_struct(png);
}

TPngWriteHandle::~TPngWriteHandle() {
    if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
}

void PngSetReadFn(png_structp png, TPngContext& context) { png_set_read_fn(png, &context, PngReadData); }

void PngSetWriteFn(png_structp png, TPngContext& context) {
    png_set_write_fn(png, &context, PngWriteData, PngFlush);
}

} // namespace tw
