// PNG reader on arbitrary bytes: a full decode, then a read of the parameters only (which
// must leave the bitmap without pixels). Bad data must end in an abort or an
// EIEException, never a crash or a leak of libpng's objects.
#include <cstdint>
#include <cstdlib>

#include "codecs/png.h"
#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/params.h"
#include "io/stream.h"

namespace {

using namespace tw;

void ReadOnce(const uint8_t* data, size_t size, bool paramsOnly) {
    TMemoryViewStream stream(data, size);
    TIEBitmap bitmap;
    TIOParamsVals params;
    fuzz::TFuzzProgress progress;
    try {
        PngReadStream(stream, bitmap, params, paramsOnly, progress.Record);
        if (paramsOnly && !bitmap.IsEmpty()) std::abort();
        fuzz::Keep(fuzz::TouchRows(bitmap));
    } catch (const EIEException&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadOnce(data, size, false);
    ReadOnce(data, size, true);
    return 0;
}
