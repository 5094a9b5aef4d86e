// The process-wide format table and content detection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "io/filenames.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

class TIOParamsVals;

// File type codes.
enum : int32_t {
    ioUnknown = 0,
    ioTIFF = 1,
    ioGIF = 2,
    ioJPEG = 3,
    ioPCX = 4,
    ioBMP = 5,
    ioICO = 6,
    ioCUR = 7,
    ioPNG = 8,
    ioWMF = 9,
    ioEMF = 10,
    ioTGA = 11,
    ioPXM = 12,
    ioJP2 = 13,
    ioJ2K = 14,
    ioAVI = 15,
    ioWBMP = 16,
    ioPS = 17,
    ioPDF = 18,
    ioDCX = 19,
    ioRAW = 20,
    ioPSD = 24,
    ioIEV = 25,
    ioLYR = 26,
    ioALL = 27,
    ioDICOM = 28,
};

using TIEReaderProc = void (*)(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                               TIEProgressRecord& progress, bool preview);
using TIEWriterProc = void (*)(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                               TIEProgressRecord& progress);
using TIEProbeProc = bool (*)(TStream& stream, int32_t fileType);

struct TIEFormatRow {
    int32_t TypeCode = 0;
    std::string DisplayName;   // up to 80 characters
    std::string ExtensionList; // upper case, separated by ";"
    bool BuiltIn = false;
    uint16_t DialogPages = 0;
    TIEReaderProc ReaderProc = nullptr;
    TIEWriterProc WriterProc = nullptr;
    TIEProbeProc ProbeProc = nullptr;
    // Built-in rows mark readable/writable formats with placeholder slots.
    bool Readable = false;
    bool Writable = false;
};

// The table, filled in registration order on first use.
std::vector<TIEFormatRow>& FormatTable();
const TIEFormatRow* FormatByType(int32_t code);
const TIEFormatRow* FormatByExtension(std::string extension);
int ExtensionCount(int32_t code);
std::string ExtensionAt(int32_t code, int index);
void RegisterFormat(const TIEFormatRow& row);
void UnregisterFormat(int32_t code);

// Content detection from the stream's position; the position is restored.
int32_t DetectStreamType(TStream& stream);
// Content detection of a file, adjusted by its extension.
int32_t DetectFileType(const std::string& fileName, bool verifyExtension);

} // namespace tw
