// PNG reader and writer on libpng.
#pragma once

#include "image/bitmap.h"
#include "image/errors.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

class TIEMask;
class TIOParamsVals;

// Raised by the PNG writer when libpng cannot create its objects or refuses what it
// is given; the message is "Error on creating PNG".
class EInvalidGraphic : public EIEException {
  public:
    using EIEException::EIEException;
};

// Reads a PNG image from the stream's position into Bitmap (transparency into its
// alpha channel) and fills Params: size, depth, resolution, palette, PngInterlaced,
// PngBackground (when the file has bKGD), PngTextKeys and PngTextValues. ParamsOnly
// fills Params without decoding pixels. Bad data sets the abort flag with a reason.
void PngReadStream(TStream& Stream, TIEBitmap& Bitmap, TIOParamsVals& Params, bool ParamsOnly,
                   TIEProgressRecord& Progress);

// Writes Bitmap as PNG. Alpha (8-bit, 255 = opaque; may be null) gives the
// transparency; a mask that is 255 everywhere counts as none. Colour type, bit
// depth and palette follow SamplesPerPixel and BitsPerSample of Params; the other
// Png* members choose interlacing, filters, compression, bKGD and text chunks.
void PngWriteStream(TStream& Stream, TIEBitmap& Bitmap, TIOParamsVals& Params, const TIEMask* Alpha,
                    TIEProgressRecord& Progress);

// True when the stream starts with the first four bytes of the PNG signature. Reads
// 8 bytes and moves the stream back by 8.
bool PngCheckSignature(TStream& Stream);

} // namespace tw
