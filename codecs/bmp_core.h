// The pieces of the BMP codec below its two entry points: header parsing, pixel
// decoding into a bitmap, the RLE4/RLE8 coders and the file writer. They know
// nothing of the parameter record, so they can be driven and tested on their own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

// Compression codes of the info header.
enum : uint32_t { bmpRGB = 0, bmpRLE8 = 1, bmpRLE4 = 2, bmpBitFields = 3 };

// What the headers of one BMP image say, after validation.
struct TBmpInfo {
    int64_t Start = 0;       // stream position of the file header; file offsets count from here
    uint32_t FileSize = 0;   // file-size field
    uint32_t DataOffset = 0; // pixel-data offset field (0 = right after the colour table)
    uint32_t HeaderSize = 0; // info header size
    int Version = 0;         // 2 core (12 bytes), 3 for 64 bytes, 1 for 40, 0 otherwise
    int32_t Width = 0;
    int32_t Height = 0;   // always positive
    bool TopDown = false; // rows stored top row first
    int BitCount = 0;
    uint32_t Compression = 0;
    uint32_t ImageSize = 0;                       // image-size field
    int32_t XPelsPerMeter = 0, YPelsPerMeter = 0; // 0 for core headers
    int DpiX = 0, DpiY = 0;                       // from the pixels per metre; 0 when the file gives none
    std::vector<TRGB> ColorMap;                   // the file's colour table (blue, green, red)
    uint32_t Masks[3] = {0, 0, 0};                // red, green, blue bit-field masks
    uint32_t AlphaMask = 0;                       // alpha mask of headers of 56 bytes and more
    bool HasMasks = false;
    int64_t DataPosition = 0; // stream position of the first pixel byte
};

// Reads the file header, the info header, the bit-field masks and the colour table,
// and leaves the stream at the first pixel byte. Returns an empty string, or the
// reason why the file cannot be read.
std::string BmpReadHeader(TStream& stream, TBmpInfo& info);

// Pixel format the image is loaded into: ie1g, ie8p or ie24RGB.
TIEPixelFormat BmpTargetFormat(const TBmpInfo& info, bool nativePixelFormat);

// Decodes the pixels of an image whose header BmpReadHeader accepted into bitmap
// (allocated here). lengthLimit is the caller's limit on the image's length in bytes
// (0: the file-size field). With wantAlpha and 32-bit pixels, alpha receives the
// fourth bytes, top row first, width x height bytes (left empty when every value is
// 0 or every value is 255). Returns false after progress.Abort(reason).
bool BmpDecodeImage(TStream& stream, const TBmpInfo& info, TIEBitmap& bitmap, TIEProgressRecord& progress,
                    bool nativePixelFormat, bool wantAlpha, int64_t lengthLimit, std::vector<uint8_t>& alpha);

// ---- RLE ----------------------------------------------------------------------------

// Receives the pixels an RLE stream produces: Row selects the file row (0 = the first
// row in the file), Put stores one palette index at a column inside the row.
class TBmpIndexSink {
  public:
    virtual ~TBmpIndexSink() = default;
    virtual void Row(int fileRow) = 0;
    virtual void Put(int x, uint8_t index) = 0;
    // Called at every change of row with the rows done so far; false stops decoding.
    virtual bool Continue(int rowsDone) = 0;
};

// Decodes RLE8 (rle4 false) or RLE4 data of an image width x height into sink.
// Runs and literals that pass the right edge go onto the last pixel (RLE8) or are
// dropped (RLE4); decoding stops at end of bitmap, when the rows are used up, when a
// delta leaves the image, or when the data ends.
void BmpDecodeRle(const uint8_t* data, size_t size, bool rle4, int width, int height, TBmpIndexSink& sink);

// Appends the RLE8 or RLE4 encoding of one row of indices, ending with end of line.
void BmpEncodeRle8Row(const uint8_t* indices, int count, std::vector<uint8_t>& out);
void BmpEncodeRle4Row(const uint8_t* indices, int count, std::vector<uint8_t>& out);

// ---- writing --------------------------------------------------------------------------

struct TBmpWriteOptions {
    int Depth = 24;   // 1, 4, 8, 24 or 32 bits per pixel
    int Version = 1;  // 2 writes the 12-byte core header, 3 the 64-byte header, else 40 bytes
    bool Rle = false; // RLE8/RLE4 for 8- and 4-bit images with a Windows header
    int DpiX = 300, DpiY = 300;
    std::vector<TRGB> Palette; // depth 1, 4, 8: the colour table written
};

// Fills one row of the image (0 = top) for the writer: one palette index per pixel for
// depths up to 8, blue-green-red triples for 24, blue-green-red-fourth quadruples for 32.
using TBmpRowSource = std::function<void(int row, uint8_t* out)>;

// Writes one image at the stream's position: headers, colour table, rows bottom row
// first, then patches the headers. Every write is checked; a short write aborts.
// Returns false when aborted.
bool BmpWriteImage(TStream& stream, int width, int height, const TBmpWriteOptions& options,
                   const TBmpRowSource& rows, TIEProgressRecord& progress);

} // namespace tw
