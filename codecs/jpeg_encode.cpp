// The JPEG encoding core on libjpeg.
#include "codecs/jpeg_encode.h"

#include <algorithm>

#include "codecs/jpeg.h"
#include "codecs/jpeg_decode.h"
#include "codecs/jpeg_lib.h"

namespace tw {

namespace {

J_COLOR_SPACE FileColorSpace(int cs) {
    switch (cs) {
    case jcsGray: return JCS_GRAYSCALE;
    case jcsYCbCr: return JCS_YCbCr;
    case jcsCMYK: return JCS_CMYK;
    case jcsYCCK: return JCS_YCCK;
    default: return JCS_RGB;
    }
}

} // namespace

void JpegEncode(TStream& stream, TIEBitmap& bitmap, const TJpegEncodeOptions& o, TIEProgressRecord& progress) {
    bool localFlag = false;
    bool* flag = progress.AbortFlag ? progress.AbortFlag : &localFlag;
    const int width = bitmap.Width(), height = bitmap.Height();
    if (width <= 0 || height <= 0) {
        *flag = true;
        progress.Abort("JPEG: an empty image cannot be saved");
        return;
    }
    if (bitmap.PixelFormat() != ie24RGB) {
        *flag = true;
        progress.Abort("JPEG: the encoder takes 24-bit images only");
        return;
    }

    TJpegCompressor c;
    // A library error: the abort flag is set already; the stream's own exception, if
    // that was the cause, passes on unchanged.
    auto raise = [&]() {
        progress.Abort(std::string("JPEG: ") + c.err.message);
        if (c.dest.failure) std::rethrow_exception(c.dest.failure);
        throw EIEJpegException(c.err.message);
    };
    if (!c.Create(flag)) raise();
    j_compress_ptr ci = &c.cinfo;
    JpegAttachDestination(ci, c.dest, stream, flag);
    if (*flag) return;

    const J_COLOR_SPACE fileSpace = FileColorSpace(o.ColorSpace);
    const bool cmyk = fileSpace == JCS_CMYK || fileSpace == JCS_YCCK;
    ci->image_width = JDIMENSION(width);
    ci->image_height = JDIMENSION(height);
    ci->input_components = cmyk ? 4 : 3;
    ci->in_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR; // our rows are B, G, R
    if (!JpegGuarded(c.err, [&] {
            jpeg_set_defaults(ci);
            jpeg_set_colorspace(ci, fileSpace);
        }))
        raise();

    ci->density_unit = 1;
    ci->X_density = UINT16(std::clamp(o.DpiX, 1, 65535));
    ci->Y_density = UINT16(std::clamp(o.DpiY, 1, 65535));
    switch (o.DCTMethod) {
    case 0: ci->dct_method = JDCT_ISLOW; break;
    case 1: ci->dct_method = JDCT_IFAST; break;
    case 2: ci->dct_method = JDCT_FLOAT; break;
    default: break;
    }
    ci->optimize_coding = o.OptimizeCoding ? TRUE : FALSE;
    ci->smoothing_factor = std::clamp(o.Smoothing, 0, 100);
    if (!JpegGuarded(c.err, [&] { jpeg_set_quality(ci, o.Quality, TRUE); })) raise();
    // A CMYK file carries the JFIF header as well as the Adobe marker.
    if (fileSpace == JCS_CMYK) ci->write_JFIF_header = TRUE;
    if (o.Progressive && !JpegGuarded(c.err, [&] { jpeg_simple_progression(ci); })) raise();
    if (!JpegGuarded(c.err, [&] { jpeg_start_compress(ci, TRUE); })) raise();

    for (const TJpegMarkerRef& m : o.Markers) {
        // Only APPn and COM segments are kept with an image (a list read from a
        // parameters file could hold anything); APP14 is the library's own Adobe marker.
        const bool appOrCom = (m.Code >= ieMarkerAPP0 && m.Code <= ieMarkerAPP0 + 15) || m.Code == ieMarkerCOM;
        if (!appOrCom || m.Code == ieMarkerAPP0 + 14) continue;
        if (!JpegGuarded(c.err, [&] { jpeg_write_marker(ci, m.Code, m.Data, unsigned(m.Length)); })) raise();
    }

    progress.Begin(height);
    std::vector<uint8_t> buffer(cmyk ? size_t(width) * 4 : 0);
    while (ci->next_scanline < ci->image_height && !*flag) {
        JSAMPROW row = bitmap.Scanline(int(ci->next_scanline));
        if (cmyk) {
            ColorConvertHook(row, iecBGR, buffer.data(), iecCMYK, width, o.Params);
            row = buffer.data();
        }
        JDIMENSION n = 0;
        if (!JpegGuarded(c.err, [&] { n = jpeg_write_scanlines(ci, &row, 1); })) raise();
        if (n == 0) break;
        progress.Counter += int32_t(n) - 1;
        progress.Step();
    }
    if (!*flag && !JpegGuarded(c.err, [&] { jpeg_finish_compress(ci); })) raise();
    if (c.dest.shortWrite) progress.Abort("JPEG: the output stream accepted fewer bytes than written");
}

} // namespace tw
