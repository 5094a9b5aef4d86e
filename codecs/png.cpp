#include "codecs/png.h"

#include <png.h>

#include "codecs/pngdecode.h"
#include "io/params.h"

namespace tw {

void PngReadStream(TStream& Stream, TIEBitmap& Bitmap, TIOParamsVals& Params, bool ParamsOnly,
                   TIEProgressRecord& Progress) {
    TPngDecodeOptions options;
    options.NativePixelFormat = Params.NativePixelFormat;
    options.HeaderOnly = ParamsOnly;
    TPngFileInfo info;
    PngDecode(Stream, Bitmap, options, info, Progress);
    // Params describe the file as far as it could be read, also when the rows failed.
    if (!info.HeaderRead) return;
    Params.PngTextKeys.clear();
    Params.PngTextValues.clear();
    for (const auto& [key, text] : info.Texts) {
        Params.PngTextKeys.push_back(key);
        Params.PngTextValues.push_back(text);
    }
    if (info.HasBackground) Params.PngBackground = info.Background;
    Params.Width = int32_t(info.Width);
    Params.Height = int32_t(info.Height);
    Params.BitsPerSample = info.BitDepth;
    Params.SamplesPerPixel = info.SamplesPerPixel;
    int dpiX = PngDpiFromPixelsPerMetre(info.XPixelsPerMetre);
    int dpiY = PngDpiFromPixelsPerMetre(info.YPixelsPerMetre);
    Params.SetDpiX(dpiX != 0 ? dpiX : DefaultDpiX);
    Params.SetDpiY(dpiY != 0 ? dpiY : DefaultDpiY);
    Params.ColorMap.clear();
    if (info.ColorType == PNG_COLOR_TYPE_PALETTE) Params.ColorMap = info.Palette;
    Params.PngInterlaced = info.Interlaced;
}

bool PngCheckSignature(TStream& Stream) {
    png_byte sig[8] = {};
    int64_t got = Stream.Read(sig, 8);
    Stream.Seek(-got, TSeekOrigin::Current);
    return got == 8 && png_sig_cmp(sig, 0, 4) == 0;
}

} // namespace tw
