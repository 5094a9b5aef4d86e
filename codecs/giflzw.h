// Variable-code-width LZW coding of GIF image data, sub-block packing included.
//
// The GIF reader and writer reach these two functions through the procedure slots of
// the parameter record, never by name.
#pragma once

#include <cstdint>

#include "io/stream.h"

namespace tw {

// Decodes the LZW data of one GIF image: the minimum-code-size byte, the data sub-blocks
// and the terminator, starting at the stream's position. pixels holds width × height
// bytes, row-major, top row first, and receives one palette index per pixel; with
// interlaced set the rows arrive in the four-pass order.
//
// On success the stream is left after the terminator (or at its end). On failure (a
// minimum code size outside 2..9, a code above the next free code, coding on after a
// full table, an end code right after a clear code while data remains) the stream is put
// back where it was on entry and the buffer may be partly filled; nothing is thrown.
// Pixels beyond the buffer are dropped; a width or height of 0 or less decodes nothing.
void GifLzwDecode(TStream& stream, int height, int width, uint8_t* pixels, bool interlaced);

// Encodes width × height palette indices (row-major, top row first) as GIF LZW data:
// the minimum-code-size byte, sub-blocks of up to 254 bytes and the terminator, written
// at the stream's position. bitsPerPixel is the depth of the indices; the minimum code
// size is that depth, kept within 2..8, and index bits above it are ignored. With
// interlaced set the rows are taken in the four-pass order. Write results are not
// checked here; the caller checks the stream.
void GifLzwEncode(TStream& stream, int height, int width, int bitsPerPixel, const uint8_t* pixels,
                  bool interlaced);

} // namespace tw
