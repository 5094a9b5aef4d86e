// GIF reader and writer (GIF87a and GIF89a).
//
// Three entry points:
//
// - GifReadStream reads one image of a file, the one GifImageIndex selects, as it stands
//   in the file: its own size, its own colours, and its transparent pixels in a separate
//   8-bit plane. It also counts the images and fills the GIF fields of the parameter
//   record. This is the frame-level reader.
//
// - GifLoadComposed is the GIF load of the I/O component. For a file with several
//   images it composes the frames 0 .. GifImageIndex on the logical screen (position,
//   transparency, disposal) and delivers that picture; a single-image file yields its
//   image alone. The dispatch calls it with the stream at the signature, installs the
//   returned plane as the bitmap's alpha channel, and takes GifLoadBackground(params)
//   as the component's background colour.
//
// - GifWriteStream writes the bitmap as a single-image GIF89a (or GIF87a) file.
//
// Bad data is reported through progress.Abort("GIF: ..."); nothing is thrown for it.
// The LZW coding is reached only through the record's GifLzwDecompressor and
// GifLzwCompressor slots, or the process-wide defaults when a slot is empty.
#pragma once

#include <memory>

#include "image/bitmap.h"
#include "image/mask.h"
#include "io/params.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

// What a GIF read returns besides the bitmap: the number of images in the file and the
// transparency plane of the result (8-bit, 255 opaque, 0 transparent), null when every
// pixel is opaque or transparency was ignored.
struct TGifReadResult {
    int ImageCount = 0;
    std::unique_ptr<TIEMask> Transparency;
};

// Reads the image GifImageIndex of the file at the stream's position into bitmap:
// ie1g for a black-and-white image, ie8p when NativePixelFormat is set, else ie24RGB.
// With preview set only the record is filled. An index beyond the last image loads
// nothing and is not an error. The stream must be seekable and must not grow.
TGifReadResult GifReadStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                             TIEProgressRecord& progress, bool preview, bool ignoreTransparency);

// The GIF load: frame GifImageIndex composed on the logical screen (see above). For a
// file with several images the result is as large as the logical screen (or the largest
// frame, when one is larger); it is ie24RGB, or the format the selected frame was read
// in when that loses nothing. Afterwards GifXPos = GifYPos = 0, GifDisposal = 2, Width
// and Height give the result's size, FileType is GIF, and the image index fields are
// back at the caller's value. A file without images is an error here.
TGifReadResult GifLoadComposed(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                               TIEProgressRecord& progress);

// The background colour the I/O component takes after a GIF load: the transparent
// colour when the image has one, else the screen background.
TRGB GifLoadBackground(const TIOParamsVals& params);

// Writes bitmap as one GIF image with a global colour table of 2^BitsPerSample entries,
// a graphic control extension, a comment extension and the trailer. True-colour images
// are reduced by the palette quantiser; an alpha channel reserves the last palette entry
// as the transparent colour (and sets GifHasTransparency). Every write is checked.
void GifWriteStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, TIEProgressRecord& progress);

} // namespace tw
