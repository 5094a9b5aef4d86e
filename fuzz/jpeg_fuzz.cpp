// JPEG reader on arbitrary bytes.
//
// Input layout: byte 0 chooses the options, the rest is the file. Bit 0 of byte 0 sets
// NativePixelFormat (CMYK and grey images keep their own format); ((byte 0 >> 1) & 7) % 5
// is JpegScale (0 automatic, for which a 64 x 64 image is asked for; 1 full, 2 half,
// 3 quarter, 4 eighth); bit 4 inverts CMYK, bit 5 asks for raw YCbCr, bit 6 reads the
// parameters only and bit 7 stops after 3 rows. Bad data must end in an abort or an
// EIEException, never a crash.
#include <cstdint>
#include <cstdlib>

#include "codecs/jpeg.h"
#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/params.h"
#include "io/stream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tw;
    if (size < 1) return 0;
    const bool native = (data[0] & 1) != 0;
    const uint8_t scale = uint8_t(((data[0] >> 1) & 7) % 5);
    const bool invertCmyk = (data[0] & 16) != 0;
    const bool rawYCbCr = (data[0] & 32) != 0;
    const bool paramsOnly = (data[0] & 64) != 0;
    const int32_t maxRows = (data[0] & 128) != 0 ? 3 : -1;

    TMemoryViewStream stream(data + 1, size - 1);
    TIEBitmap bitmap;
    TIOParamsVals params;
    params.NativePixelFormat = native;
    params.JpegScale = scale;
    if (scale == 0) {
        params.Width = 64;
        params.Height = 64;
    }
    fuzz::TFuzzProgress progress;
    try {
        JpegReadStream(stream, nullptr, bitmap, native, maxRows, true, invertCmyk, true, rawYCbCr, paramsOnly,
                       progress.Record, params);
        if (paramsOnly && !bitmap.IsEmpty()) std::abort();
        fuzz::Keep(fuzz::TouchRows(bitmap));
    } catch (const EIEException&) {
    }
    return 0;
}
