// Taking one GIF image out of a file: the step shared by the frame-level reader and the
// GIF load composition. Internal to the GIF codec.
#pragma once

#include <memory>

#include "codecs/gif_blocks.h"
#include "image/bitmap.h"
#include "image/mask.h"
#include "io/params.h"
#include "io/progress.h"

namespace tw {

// Sets the record's fields that come from the signature and the screen descriptor.
void GifSetHeaderFields(TIOParamsVals& params, const TGifHeader& header);

enum class TGifTake { Taken, NoPixels, Failed };

// Takes the image the walker just met: sets its fields in the record, decodes its LZW
// data (unless preview) and fills bitmap. The input ends after the image's data.
// An image of zero width or height gives NoPixels and leaves bitmap alone; bad data
// aborts through progress and gives Failed. transparency receives the plane when
// the image has transparent pixels and ignoreTransparency is false.
TGifTake GifTakeImage(TGifInput& in, const TGifHeader& header, const TGifImageInfo& info, TIEBitmap& bitmap,
                      TIOParamsVals& params, TIEProgressRecord& progress, bool preview,
                      bool ignoreTransparency, std::unique_ptr<TIEMask>& transparency);

} // namespace tw
