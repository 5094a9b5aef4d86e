// Procedure types of the LZW codecs that the GIF and TIFF codecs call through the
// parameter record, and the process-wide defaults that every record copies on reset.
// The GIF and TIFF readers and writers never name an LZW codec directly: start-up code
// installs the real codecs into the four Default... pointers below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tw {

class TStream;

// Decodes the LZW data of one GIF image (minimum-code-size byte, sub-blocks,
// terminator) at the stream's position into width x height palette indices, row-major,
// top row first. On failure the stream is put back where it was on entry.
using TGifLzwDecompressor = void (*)(TStream& stream, int height, int width, uint8_t* pixels,
                                     bool interlaced);

// Encodes width x height palette indices (row-major, top row first) as the LZW data of
// one GIF image at the stream's position.
using TGifLzwCompressor = void (*)(TStream& stream, int height, int width, int bitsPerPixel,
                                   const uint8_t* pixels, bool interlaced);

// Working state of the TIFF LZW decoder for one strip or tile. The codec derives its
// own state from it; the caller only holds it.
class TTiffLzwDecodeState {
  public:
    virtual ~TTiffLzwDecodeState() = default;
};

// Working state of the TIFF LZW encoder for one strip.
class TTiffLzwEncodeState {
  public:
    virtual ~TTiffLzwEncodeState() = default;
};

// Decodes one row of a TIFF LZW strip.
// - empty state: creates the state over the strip's compressed bytes (data, dataSize)
//   and the row length, then decodes the first row;
// - existing state: decodes the next row (data and dataSize are not used);
// - data == nullptr with an existing state: releases the state and returns nullptr.
// Returns the row (rowLength bytes, valid until the next call) or nullptr on bad data.
// The decoder never reads outside data[0 .. dataSize).
using TTiffLzwDecompressor = const uint8_t* (*)(const uint8_t* data, size_t dataSize, int rowLength,
                                                std::unique_ptr<TTiffLzwDecodeState>& state);

// Encodes one piece of a TIFF LZW strip to the stream.
// - empty state: creates the state (keeping stream and abortFlag), starts the strip with
//   a clear code and encodes the count bytes at data;
// - existing state with data: encodes the bytes as a continuation of the strip;
// - data == nullptr: writes the pending code and the end code, flushes everything to
//   the stream and releases the state.
// A stream that accepts fewer bytes than given sets *abortFlag (when not null).
using TTiffLzwCompressor = void (*)(const uint8_t* data, int count, TStream& stream, bool* abortFlag,
                                    std::unique_ptr<TTiffLzwEncodeState>& state);

// Process-wide default codecs, copied into every parameter record by its Reset.
// Null until start-up installs the real codecs.
extern TGifLzwDecompressor DefaultGifLzwDecompressor;
extern TGifLzwCompressor DefaultGifLzwCompressor;
extern TTiffLzwDecompressor DefaultTiffLzwDecompressor;
extern TTiffLzwCompressor DefaultTiffLzwCompressor;

} // namespace tw
