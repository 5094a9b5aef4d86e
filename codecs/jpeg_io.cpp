// libjpeg error manager, stream source and destination managers, and the creation of
// the library objects.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "codecs/jpeg_lib.h"

namespace tw {

// ---- error manager ---------------------------------------------------------------

static_assert(std::is_standard_layout_v<TJpegErrorMgr>, "libjpeg's record must convert back to ours");

static TJpegErrorMgr& ErrorMgrOf(j_common_ptr cinfo) { return *reinterpret_cast<TJpegErrorMgr*>(cinfo->err); }

static void CopyText(char* out, size_t size, const std::string& text) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

std::string JpegMessageText(const jpeg_error_mgr& err, int code) {
    if (code == JMSG_VERSION || code == JMSG_COPYRIGHT) return {};
    const char* text = nullptr;
    if (code > 0 && code <= err.last_jpeg_message && err.jpeg_message_table) text = err.jpeg_message_table[code];
    if (!text) return "Corrupted";
    // The library's own message texts take either one string or up to eight integers, as
    // its standard formatter gives them; the texts are the library's, never the file's.
    const char* percent = std::strchr(text, '%');
    char out[JMSG_LENGTH_MAX + 80];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (percent && percent[1] == 's') {
        char parm[JMSG_STR_PARM_MAX + 1];
        std::memcpy(parm, err.msg_parm.s, JMSG_STR_PARM_MAX);
        parm[JMSG_STR_PARM_MAX] = 0;
        std::snprintf(out, sizeof out, text, parm);
    } else {
        const int* i = err.msg_parm.i;
        std::snprintf(out, sizeof out, text, i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7]);
    }
#pragma GCC diagnostic pop
    return out;
}

static void ErrorExit(j_common_ptr cinfo) {
    TJpegErrorMgr& err = ErrorMgrOf(cinfo);
    if (err.abortFlag) *err.abortFlag = true;
    // Too few scanlines (an image read or written only in part) is not fatal.
    if (!err.ownMessage && err.pub.msg_code == JERR_TOO_LITTLE_DATA) return;
    err.failCode = err.pub.msg_code;
    if (err.ownMessage) {
        std::snprintf(err.message, sizeof err.message, "%s", err.ownMessage);
        err.ownMessage = nullptr; // used once
    } else {
        // No allocation may escape as an exception from here.
        try {
            CopyText(err.message, sizeof err.message, JpegMessageText(err.pub, err.pub.msg_code));
        } catch (...) {
            std::snprintf(err.message, sizeof err.message, "library error %d", err.pub.msg_code);
        }
    }
    if (!err.armed) std::abort(); // every library call runs inside JpegGuarded
    err.armed = false;
    std::longjmp(err.jump, 1);
}

static void EmitMessage(j_common_ptr cinfo, int level) {
    if (level != -1) return;
    TJpegErrorMgr& err = ErrorMgrOf(cinfo);
    ++err.warningCount;
    err.lastWarning = err.pub.msg_code;
}

static void OutputMessage(j_common_ptr) {}

static void FormatMessage(j_common_ptr, char* buffer) {
    if (buffer) buffer[0] = 0;
}

static void ResetErrorMgr(j_common_ptr cinfo) {
    TJpegErrorMgr& err = ErrorMgrOf(cinfo);
    err.warningCount = 0;
    err.lastWarning = 0;
    err.pub.num_warnings = 0;
    err.pub.msg_code = 0;
}

jpeg_error_mgr* JpegInitErrorMgr(TJpegErrorMgr& err, bool* abortFlag) {
    jpeg_std_error(&err.pub); // message table and trace level
    err.pub.error_exit = ErrorExit;
    err.pub.emit_message = EmitMessage;
    err.pub.output_message = OutputMessage;
    err.pub.format_message = FormatMessage;
    err.pub.reset_error_mgr = ResetErrorMgr;
    err.abortFlag = abortFlag;
    err.armed = false;
    err.warningCount = 0;
    err.lastWarning = 0;
    err.failCode = 0;
    err.ownMessage = nullptr;
    err.message[0] = 0;
    return &err.pub;
}

void JpegFail(j_common_ptr cinfo, const char* reason) {
    ErrorMgrOf(cinfo).ownMessage = reason;
    (*cinfo->err->error_exit)(cinfo);
    std::abort(); // error_exit returns only for "too few scanlines"
}

// ---- source manager --------------------------------------------------------------

// The managers are found through client_data (a decompressor has only a source, a
// compressor only a destination).
static TJpegSource& SourceOf(j_decompress_ptr cinfo) { return *static_cast<TJpegSource*>(cinfo->client_data); }

static void InitSource(j_decompress_ptr cinfo) { SourceOf(cinfo).startOfFile = true; }

static boolean FillInputBuffer(j_decompress_ptr cinfo) {
    TJpegSource& src = SourceOf(cinfo);
    int64_t got = 0;
    bool failed = false;
    try {
        got = src.stream->Read(src.buffer.get(), int64_t(JpegIOBufferSize));
    } catch (...) {
        src.failure = std::current_exception();
        failed = true;
    }
    if (failed) JpegFail(reinterpret_cast<j_common_ptr>(cinfo), "the stream could not be read");
    if (got <= 0) {
        // An empty datastream is an error; otherwise the data simply ended: give the
        // library an end-of-image marker and let it warn about the rest.
        if (src.startOfFile && src.abortFlag) *src.abortFlag = true;
        src.buffer[0] = 0xFF;
        src.buffer[1] = JPEG_EOI;
        got = 2;
    }
    src.pub.next_input_byte = src.buffer.get();
    src.pub.bytes_in_buffer = size_t(got);
    src.startOfFile = false;
    return TRUE;
}

static void SkipInputData(j_decompress_ptr cinfo, long count) {
    if (count < 1) return;
    TJpegSource& src = SourceOf(cinfo);
    size_t n = size_t(count);
    if (n <= src.pub.bytes_in_buffer) {
        src.pub.next_input_byte += n;
        src.pub.bytes_in_buffer -= n;
        return;
    }
    // Past the buffer: move the stream instead of reading what is skipped. When the
    // stream ends first, the next fill supplies the end-of-image marker.
    n -= src.pub.bytes_in_buffer;
    src.pub.bytes_in_buffer = 0;
    bool failed = false;
    try {
        int64_t skip = std::min<int64_t>(int64_t(std::min<size_t>(n, size_t(INT64_MAX))), src.stream->Remaining());
        src.stream->Seek(skip, TSeekOrigin::Current);
    } catch (...) {
        src.failure = std::current_exception();
        failed = true;
    }
    if (failed) JpegFail(reinterpret_cast<j_common_ptr>(cinfo), "the stream could not be read");
}

static void TermSource(j_decompress_ptr) {}

void JpegAttachSource(j_decompress_ptr cinfo, TJpegSource& src, TStream& stream, bool* abortFlag) {
    if (!src.buffer) src.buffer = std::make_unique<JOCTET[]>(JpegIOBufferSize);
    src.pub.init_source = InitSource;
    src.pub.fill_input_buffer = FillInputBuffer;
    src.pub.skip_input_data = SkipInputData;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = TermSource;
    src.pub.next_input_byte = nullptr;
    src.pub.bytes_in_buffer = 0;
    src.stream = &stream;
    src.abortFlag = abortFlag;
    src.startOfFile = true;
    cinfo->src = &src.pub;
    cinfo->client_data = &src;
}

// ---- destination manager ---------------------------------------------------------

static TJpegDestination& DestinationOf(j_compress_ptr cinfo) {
    return *static_cast<TJpegDestination*>(cinfo->client_data);
}

// Writes count bytes of the buffer; a short write sets the abort flag.
static void WriteOut(j_compress_ptr cinfo, size_t count) {
    TJpegDestination& dest = DestinationOf(cinfo);
    if (count == 0) return;
    bool failed = false;
    try {
        if (dest.stream->Write(dest.buffer.get(), int64_t(count)) < int64_t(count)) {
            dest.shortWrite = true;
            if (dest.abortFlag) *dest.abortFlag = true;
        }
    } catch (...) {
        dest.failure = std::current_exception();
        failed = true;
    }
    if (failed) JpegFail(reinterpret_cast<j_common_ptr>(cinfo), "the stream could not be written");
}

static void InitDestination(j_compress_ptr cinfo) {
    TJpegDestination& dest = DestinationOf(cinfo);
    dest.pub.next_output_byte = dest.buffer.get();
    dest.pub.free_in_buffer = JpegIOBufferSize;
}

static boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    TJpegDestination& dest = DestinationOf(cinfo);
    WriteOut(cinfo, JpegIOBufferSize);
    dest.pub.next_output_byte = dest.buffer.get();
    dest.pub.free_in_buffer = JpegIOBufferSize;
    return TRUE;
}

static void TermDestination(j_compress_ptr cinfo) {
    TJpegDestination& dest = DestinationOf(cinfo);
    WriteOut(cinfo, JpegIOBufferSize - dest.pub.free_in_buffer);
    dest.pub.next_output_byte = dest.buffer.get();
    dest.pub.free_in_buffer = JpegIOBufferSize;
}

void JpegAttachDestination(j_compress_ptr cinfo, TJpegDestination& dest, TStream& stream, bool* abortFlag) {
    if (!dest.buffer) dest.buffer = std::make_unique<JOCTET[]>(JpegIOBufferSize);
    dest.pub.init_destination = InitDestination;
    dest.pub.empty_output_buffer = EmptyOutputBuffer;
    dest.pub.term_destination = TermDestination;
    dest.pub.next_output_byte = dest.buffer.get();
    dest.pub.free_in_buffer = JpegIOBufferSize;
    dest.stream = &stream;
    dest.abortFlag = abortFlag;
    cinfo->dest = &dest.pub;
    cinfo->client_data = &dest;
}

// ---- library objects -------------------------------------------------------------

// Called by libjpeg while it consumes input: stops files with absurdly many scans,
// whose every scan costs a pass over the whole coefficient buffer.
static void CheckScanLimit(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > JpegMaxScans)
        JpegFail(cinfo, "the file has more than 1000 scans");
}

bool TJpegDecompressor::Create(bool* abortFlag) {
    cinfo.err = JpegInitErrorMgr(err, abortFlag);
    created = true; // destroying a zeroed or half-made object is safe
    if (!JpegGuarded(err, [this] { jpeg_create_decompress(&cinfo); })) return false;
    cinfo.mem->max_memory_to_use = JpegMaxLibraryMemory;
    scanLimit.progress_monitor = CheckScanLimit;
    cinfo.progress = &scanLimit;
    return true;
}

bool TJpegCompressor::Create(bool* abortFlag) {
    cinfo.err = JpegInitErrorMgr(err, abortFlag);
    created = true;
    if (!JpegGuarded(err, [this] { jpeg_create_compress(&cinfo); })) return false;
    cinfo.mem->max_memory_to_use = JpegMaxLibraryMemory;
    return true;
}

} // namespace tw
