// Content detection on arbitrary bytes: it must neither crash nor throw, and must leave the
// stream where it found it, also when it starts past the beginning of the stream.
#include <cstdint>
#include <cstdlib>

#include "io/formats.h"
#include "io/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tw::TMemoryViewStream stream(data, size);
    tw::DetectStreamType(stream);
    if (stream.Position() != 0) std::abort();

    // Detection starts at the stream's position (images embedded in a larger stream).
    if (size > 1) {
        stream.SetPosition(1);
        tw::DetectStreamType(stream);
        if (stream.Position() != 1) std::abort();
    }
    return 0;
}
