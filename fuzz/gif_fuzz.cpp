// GIF reader on arbitrary bytes: the composed load (as the dispatch does it) and the
// frame-level reader, each into a fresh bitmap.
//
// Input layout: byte 0 chooses the options, the rest is the file. Bits 0-2 of byte 0 are
// GifImageIndex (0..7); bit 3 sets NativePixelFormat, bit 4 ignores transparency and
// bit 5 asks the frame reader for a preview (the record only). A transparency plane must
// match the image it belongs to. Bad data must end in an abort or an EIEException.
#include <cstdint>
#include <cstdlib>

#include "codecs/gif.h"
#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/params.h"
#include "io/stream.h"

namespace {

using namespace tw;

void CheckPlane(TIEBitmap& bitmap, const TGifReadResult& result) {
    const TIEMask* plane = result.Transparency.get();
    if (plane && (plane->Width() != bitmap.Width() || plane->Height() != bitmap.Height())) std::abort();
    fuzz::Keep(fuzz::TouchRows(bitmap) + fuzz::TouchRows(plane));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tw;
    if (size < 1) return 0;
    const int index = data[0] & 7;
    const bool native = (data[0] & 8) != 0;
    const bool ignoreTransparency = (data[0] & 16) != 0;
    const bool preview = (data[0] & 32) != 0;
    ++data;
    --size;

    // The same input through both readers, each with a fresh stream, bitmap and record.
    auto readWith = [&](auto read) {
        TMemoryViewStream stream(data, size);
        TIEBitmap bitmap;
        TIOParamsVals params;
        params.SetImageIndex(index);
        params.NativePixelFormat = native;
        fuzz::TFuzzProgress progress;
        try {
            read(stream, bitmap, params, progress);
        } catch (const EIEException&) {
        }
    };
    readWith([&](TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, fuzz::TFuzzProgress& progress) {
        TGifReadResult result = GifLoadComposed(stream, bitmap, params, progress.Record);
        CheckPlane(bitmap, result);
        if (!progress.Aborted && params.GifImageIndex != index) std::abort();
    });
    readWith([&](TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, fuzz::TFuzzProgress& progress) {
        TGifReadResult result = GifReadStream(stream, bitmap, params, progress.Record, preview, ignoreTransparency);
        if (ignoreTransparency && result.Transparency) std::abort();
        CheckPlane(bitmap, result);
    });
    return 0;
}
