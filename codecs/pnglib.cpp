#include "codecs/pnglib.h"

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

// Reads exactly the requested bytes; a stream that ends early stops the read.
void PngReadData(png_structp png, png_bytep data, size_t length) {
    auto* context = static_cast<TPngContext*>(png_get_io_ptr(png));
    bool threw = false;
    size_t done = 0;
    try {
        while (done < length) {
            int64_t got = context->Stream->Read(data + done, int64_t(length - done));
            if (got <= 0) break;
            done += size_t(got);
        }
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
