// JPEG reader and writer on libjpeg, the helpers other codecs share with them (start
// search, datastream length, ICC profile collection), and the process-wide row colour
// conversion used by the JPEG and TIFF codecs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/errors.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

class TIOParamsVals;

// A libjpeg error while writing (or while reading the tables of a TIFF file).
class EIEJpegException : public EIEException {
  public:
    using EIEException::EIEException;
};

// Reads the JPEG image at the stream's position (or up to 99 bytes before it) into
// bitmap and params; returns the number of rows decoded. Bad data sets the abort flag
// of progress with a reason and keeps what was decoded.
int32_t JpegReadStream(TStream& stream, TStream* tablesStream, TIEBitmap& bitmap, bool nativeFormat,
                       int32_t maxRows, bool readIcc, bool invertCmyk, bool readMetadata, bool rawYCbCr,
                       bool paramsOnly, TIEProgressRecord& progress, TIOParamsVals& params);

// Encodes bitmap as a JPEG datastream with the writer options of params. Library
// errors raise EIEJpegException (with the abort flag set).
void JpegWriteStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, TIEProgressRecord& progress);

// Brings params' marker list up to date before a save: the IPTC records as APP13 and
// the XMP packet as APP1.
void JpegPrepareMarkers(TIOParamsVals& params);

// Position of the first 0xFF 0xD8 0xFF within 100 bytes of the current position, or
// -1. The position is left unchanged.
int64_t JpegFindStart(TStream& stream);

// Bytes of the JPEG datastream starting at the current position, up to and including
// its end-of-image marker (or to the end of the stream). The position is left unchanged.
int64_t JpegStreamLength(TStream& stream);

// The ICC profile carried in APP2 "ICC_PROFILE" segments of the datastream at the
// current position, chunks joined in order; empty when there is none. The position is
// left unchanged.
std::vector<uint8_t> JpegCollectIccProfile(TStream& stream);
// Loads that profile into params' InputIccProfile.
void JpegReadIccProfile(TStream& stream, TIOParamsVals& params);

// The standard XMP namespace identifier that starts an XMP APP1 segment (28 characters
// and a zero byte).
inline constexpr char JpegXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";
constexpr size_t JpegXmpNamespaceSize = 29;
// True for an APP1 payload that is an XMP packet.
bool JpegIsXmpPayload(const std::vector<uint8_t>& payload);

// ---- row colour conversion --------------------------------------------------------

// Row formats of ColorConvertHook.
enum TIEColorRowFormat : int {
    iecRGB = 0,     // bytes R, G, B
    iecBGR = 1,     // bytes B, G, R (the ie24RGB pixel)
    iecCMYK = 2,    // four bytes as in ieCMYK (255 - ink)
    iecCIELab = 4,  // three bytes as in ieCIELab
    iecRGB48 = 6,   // 16-bit words R, G, B, little-endian
    iecRGB48BE = 7, // 16-bit words R, G, B, big-endian
    iecYCbCr = 8,   // bytes Y, Cb, Cr
};

// Converts count pixels from source (in sourceFormat) to dest (in destFormat). Source
// and destination are separate buffers. Pairs the conversion does not know leave dest
// unchanged.
using TIEColorConvertProc = void (*)(const uint8_t* source, int sourceFormat, uint8_t* dest, int destFormat,
                                     int32_t count, TIOParamsVals* params);

// The conversion in force, process-wide; the JPEG and TIFF codecs always call through it.
extern TIEColorConvertProc ColorConvertHook;
// The built-in conversion ColorConvertHook starts with.
void DefaultColorConvert(const uint8_t* source, int sourceFormat, uint8_t* dest, int destFormat, int32_t count,
                         TIOParamsVals* params);

} // namespace tw
