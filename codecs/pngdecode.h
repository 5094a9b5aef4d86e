// The PNG decoder beneath PngReadStream: reads the header chunks, chooses the
// libpng transformations for the bitmap format, and decodes the rows into a
// TIEBitmap (transparency into its alpha channel).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image/bitmap.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

// What the file's header chunks say.
struct TPngFileInfo {
    bool HeaderRead = false; // IHDR and the chunks before the image data were read
    uint32_t Width = 0, Height = 0;
    int BitDepth = 0;        // as in IHDR
    int ColorType = 0;       // as in IHDR
    int SamplesPerPixel = 0; // gray 1, palette 1, RGB 3, gray+alpha 2, RGB+alpha 4
    bool Interlaced = false;
    std::vector<TRGB> Palette;           // PLTE entries
    bool HasBackground = false;          // a usable bKGD chunk
    TRGB Background;                     // bKGD scaled to 8 bits per channel
    uint32_t XPixelsPerMetre = 0;        // pHYs with unit metre, else 0
    uint32_t YPixelsPerMetre = 0;
    std::vector<std::pair<std::string, std::string>> Texts; // keyword, text
};

struct TPngDecodeOptions {
    bool NativePixelFormat = false; // keep 8-bit palette, 8- and 16-bit gray
    bool HeaderOnly = false;        // read the header chunks only
};

// Decodes one PNG image from the stream's position. Bad data sets the abort flag
// with a reason; rows decoded before the fault stay in the bitmap. Exceptions of
// the stream or the bitmap pass on to the caller.
void PngDecode(TStream& stream, TIEBitmap& bitmap, const TPngDecodeOptions& options, TPngFileInfo& info,
               TIEProgressRecord& progress);

// Resolution in dots per inch from pixels per metre (0 when none): the value
// / 100 * 2.54, rounded half to even.
int PngDpiFromPixelsPerMetre(uint32_t pixelsPerMetre);

} // namespace tw
