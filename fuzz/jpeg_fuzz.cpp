// JPEG reader on arbitrary bytes.
//
// Input layout: byte 0 chooses the options, the rest is the file. Bit 0 of byte 0 sets
// NativePixelFormat (CMYK and grey images keep their own format); (byte 0 >> 1) % 5 is
// JpegScale (0 automatic, 1 full, 2 half, 3 quarter, 4 eighth). Bad data must end in an
// abort or an EIEException, never a crash.
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
    const uint8_t scale = uint8_t((data[0] >> 1) % 5);

    TMemoryViewStream stream(data + 1, size - 1);
    TIEBitmap bitmap;
    TIOParamsVals params;
    params.NativePixelFormat = native;
    params.JpegScale = scale;
    fuzz::TFuzzProgress progress;
    try {
        JpegReadStream(stream, nullptr, bitmap, native, -1, true, false, true, false, false, progress.Record,
                       params);
        fuzz::Keep(fuzz::TouchRows(bitmap));
    } catch (const EIEException&) {
    }
    return 0;
}
