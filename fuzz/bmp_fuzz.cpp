// BMP reader on arbitrary bytes: each input is read three times, as the plain image, with
// the alpha of 32-bit files kept (the mask must match the image), and header only (no
// pixels may appear). Bad data must end in an abort or an EIEException, never a crash.
#include <cstdint>
#include <cstdlib>

#include "codecs/bmp.h"
#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/params.h"
#include "io/stream.h"

namespace {

using namespace tw;

void ReadOnce(const uint8_t* data, size_t size, bool headerOnly, bool useAlpha) {
    TMemoryViewStream stream(data, size);
    TIEBitmap bitmap;
    TIOParamsVals params;
    fuzz::TFuzzProgress progress;
    try {
        std::unique_ptr<TIEMask> alpha =
            BmpReadStream(stream, bitmap, params, progress.Record, headerOnly, useAlpha);
        if (headerOnly && !bitmap.IsEmpty()) std::abort();
        if (alpha && !useAlpha) std::abort();
        if (alpha && (alpha->Width() != bitmap.Width() || alpha->Height() != bitmap.Height())) std::abort();
        fuzz::Keep(fuzz::TouchRows(bitmap) + fuzz::TouchRows(alpha.get()));
    } catch (const EIEException&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadOnce(data, size, false, false);
    ReadOnce(data, size, false, true);
    ReadOnce(data, size, true, false);
    return 0;
}
