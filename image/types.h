// Basic value types shared by the whole engine.
#pragma once

#include <cstdint>

namespace tw {

// Pixel formats. The numeric values are fixed: tables and stored data index by them.
enum TIEPixelFormat : uint8_t {
    ieNone = 0,
    ie1g = 1,     // 1 bit, MSB leftmost, 1 = white
    ie8p = 2,     // 8-bit palette index
    ie8g = 3,     // 8-bit gray
    ie16g = 4,    // 16-bit gray, little-endian
    ie24RGB = 5,  // bytes B, G, R
    ie32f = 6,    // float gray 0..1
    ieCMYK = 7,   // bytes C, M, Y, K stored as 255 - ink
    ieRGB48 = 8,  // little-endian words R, G, B
    ieCIELab = 9, // bytes L*, a*, b*
    ie32RGB = 10, // bytes B, G, R, spare
};
constexpr int ieFormatCount = 11;

// Bits per pixel and channel count of each format.
constexpr int IEBitsPerPixel[ieFormatCount] = {0, 1, 8, 8, 16, 24, 32, 32, 48, 24, 32};
constexpr int IEChannelCount[ieFormatCount] = {0, 1, 1, 1, 1, 3, 1, 4, 3, 3, 4};

inline int BitsPerPixelOf(TIEPixelFormat f) { return f < ieFormatCount ? IEBitsPerPixel[f] : 0; }
inline int ChannelCountOf(TIEPixelFormat f) { return f < ieFormatCount ? IEChannelCount[f] : 0; }
const char* PixelFormatName(TIEPixelFormat f);

// Storage locations of a bitmap.
enum TIELocation : uint8_t { ieMemory = 0, ieFile = 1, ieTBitmap = 2 };

// How the memory block of an ieMemory bitmap is obtained.
enum TIEAllocator : uint8_t { ieaHeap = 0, ieaGlobal = 1, ieaMixed = 2 };

// Colour triple in file order: blue, green, red.
#pragma pack(push, 1)
struct TRGB {
    uint8_t b = 0, g = 0, r = 0;
    friend bool operator==(const TRGB&, const TRGB&) = default;
};
#pragma pack(pop)
static_assert(sizeof(TRGB) == 3);

inline TRGB MakeRGB(uint8_t r, uint8_t g, uint8_t b) { return TRGB{b, g, r}; }

// A platform colour value: red in the low byte, green in the second, blue in the third.
using TColor = uint32_t;
inline TRGB TColor2TRGB(TColor c) {
    return TRGB{uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
}
inline TColor TRGB2TColor(TRGB c) { return TColor(c.r) | (TColor(c.g) << 8) | (TColor(c.b) << 16); }
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;

// Access rights of row views of a file-backed bitmap.
enum TIEDataAccess : uint8_t { iedRead = 1, iedWrite = 2 };
using TIEDataAccessSet = uint8_t;
constexpr TIEDataAccessSet iedReadWrite = iedRead | iedWrite;

} // namespace tw
