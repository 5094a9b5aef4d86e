// libFuzzer harness for the GIF LZW decoder.
//
// Input layout: byte 0 is width - 1 and byte 1 height - 1 (so 1..256 each), bit 0 of
// byte 2 the interlace flag, bit 0 of byte 3 puts one junk byte before the data (so the
// entry position is not 0); the rest is the LZW data (minimum code size, sub-blocks,
// terminator). The pixel buffer has guard bytes on both sides; a write into them, or a
// stream position outside the data after the call, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/giflzw.h"
#include "io/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int width = 1 + data[0];
    const int height = 1 + data[1];
    const bool interlaced = (data[2] & 1) != 0;
    const size_t lead = data[3] & 1;

    std::vector<uint8_t> file(lead + (size - 4), 0x21);
    if (size > 4) std::memcpy(file.data() + lead, data + 4, size - 4);
    tw::TMemoryViewStream stream(file.data(), file.size());
    stream.SetPosition(int64_t(lead));

    constexpr size_t kGuard = 32;
    constexpr uint8_t kGuardByte = 0xA5;
    const size_t pixels = size_t(width) * size_t(height);
    std::vector<uint8_t> buffer(kGuard + pixels + kGuard, kGuardByte);
    tw::GifLzwDecode(stream, height, width, buffer.data() + kGuard, interlaced);

    for (size_t i = 0; i < kGuard; ++i)
        if (buffer[i] != kGuardByte || buffer[kGuard + pixels + i] != kGuardByte) std::abort();
    const int64_t pos = stream.Position();
    if (pos < int64_t(lead) || pos > int64_t(file.size())) std::abort();
    return 0;
}
