// Helpers for the BMP tests: a builder for hand-made files, a decode wrapper and
// pixel reading that does not depend on the engine's own pixel accessors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/bmp_core.h"
#include "image/bitmap.h"
#include "io/params.h"

namespace twtest {

// Everything a hand-made BMP file says. Fields left at their defaults give a plain
// bottom-up Windows 3 file with the pixel-data offset and file size filled in.
struct BmpSpec {
    uint32_t headerSize = 40;
    int32_t width = 1, height = 1;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t imageSize = 0;
    int32_t xPelsPerMeter = 0, yPelsPerMeter = 0;
    uint32_t colorsUsed = 0;
    std::vector<tw::TRGB> palette; // 4 bytes per entry (3 for a 12-byte header)
    std::vector<uint32_t> masks;   // inside headers of 52+ bytes, else after the header
    std::vector<uint8_t> pixels;   // the pixel data as stored
    int64_t dataOffset = -1;       // -1: right after the colour table
    int64_t fileSize = -1;         // -1: the real size
};

std::vector<uint8_t> BuildBmp(const BmpSpec& spec);

// Rows of bytes, each padded with zeros to a multiple of 4 bytes, concatenated.
std::vector<uint8_t> PadRows(const std::vector<std::vector<uint8_t>>& rows);

struct BmpDecoded {
    bool ok = false;
    std::string reason;
    tw::TIEBitmap bitmap;
    tw::TIOParamsVals params;
    std::vector<uint8_t> alpha; // the returned mask, top row first; empty when none
    tw::TBmpInfo info;          // what the headers say (parsed separately)
    std::vector<int> progress;  // the percentages reported
};

struct BmpDecodeOptions {
    bool native = false; // NativePixelFormat
    bool useAlpha = false;
    bool headerOnly = false;
    bool deviceBitmap = false; // decode into a bitmap in the ieTBitmap location
    bool fileBitmap = false;   // decode into a bitmap kept in a temporary file
};

// Decodes through BmpReadStream, as the load dispatch does.
std::unique_ptr<BmpDecoded> DecodeBmp(const std::vector<uint8_t>& file, const BmpDecodeOptions& options = {});
// The colour of a pixel of an ie1g, ie8p, ie8g, ie24RGB or ie32RGB bitmap (row 0 = top).
tw::TRGB Px(tw::TIEBitmap& bitmap, int x, int y);

inline tw::TRGB Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return tw::TRGB{b, g, r};
}
std::string Show(tw::TRGB c);

} // namespace twtest
