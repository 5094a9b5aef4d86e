// The whole load dispatch on arbitrary bytes: content detection picks the reader, as
// TImageIO::LoadFromStream does for the program. Each input is loaded twice: by a
// standalone I/O component (memory bitmap) and by the I/O component of an image host,
// whose image lives in the device-bitmap location. The device bitmap holds only 1-bit,
// 8-bit palette or grey, 24-bit and 32-bit images, whatever the file asked for. Readers
// report bad data through Aborted; an EIEException is an expected outcome too.
#include <cstdint>
#include <cstdlib>

#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/imagehost.h"
#include "io/imageio.h"
#include "io/stream.h"

namespace {

using namespace tw;

bool DeviceFormat(TIEPixelFormat f) {
    return f == ie1g || f == ie8p || f == ie8g || f == ie24RGB || f == ie32RGB;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tw;
    {
        TMemoryViewStream stream(data, size);
        TImageIO io;
        try {
            io.LoadFromStream(stream);
            fuzz::Keep(fuzz::TouchRows(io.Bitmap()));
        } catch (const EIEException&) {
        }
    }
    {
        TMemoryViewStream stream(data, size);
        TImageHost host;
        try {
            host.IO().LoadFromStream(stream);
            TIEBitmap& bitmap = host.Bitmap();
            if (bitmap.Location() != ieTBitmap) std::abort();
            if (!bitmap.IsEmpty() && !DeviceFormat(bitmap.PixelFormat())) std::abort();
            fuzz::Keep(fuzz::TouchRows(bitmap));
        } catch (const EIEException&) {
        }
    }
    return 0;
}
