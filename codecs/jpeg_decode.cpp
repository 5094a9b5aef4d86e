// The JPEG decoding core on libjpeg.
#include "codecs/jpeg_decode.h"

#include <cstring>

#include "codecs/jpeg.h"
#include "codecs/jpeg_lib.h"
#include "io/limits.h"

namespace tw {

namespace {

// How a decoded row reaches the bitmap.
enum class TRowMode {
    Direct,     // the library writes the bitmap row as it is
    GrayExpand, // gray samples become B = G = R
    CmykToBgr,  // CMYK samples go through ColorConvertHook
};

// Reports a failure once: the abort flag and, when none was given yet, the reason.
class TFailure {
  public:
    TFailure(TIEProgressRecord& progress, bool* flag) : progress_(progress), flag_(flag) {}
    void operator()(const std::string& reason) {
        *flag_ = true;
        progress_.Abort(reason);
    }

  private:
    TIEProgressRecord& progress_;
    bool* flag_;
};

std::string LibraryReason(const TJpegDecompressor& d) {
    if (d.src.failure) {
        try {
            std::rethrow_exception(d.src.failure);
        } catch (const std::exception& e) {
            return std::string("JPEG: the stream could not be read (") + e.what() + ")";
        } catch (...) {
        }
    }
    return std::string("JPEG: ") + d.err.message;
}

// The scale denominator for JpegScale (0 = automatic from the requested size).
int ScaleDenominator(const TJpegDecodeOptions& o, JDIMENSION width, JDIMENSION height) {
    switch (o.Scale) {
    case 1: return 1;
    case 2: return 2;
    case 3: return 4;
    case 4: return 8;
    case 0:
        if (o.RequestWidth > 0 && o.RequestHeight > 0) {
            for (int n = 3; n >= 0; --n)
                if (int64_t(width >> n) >= o.RequestWidth && int64_t(height >> n) >= o.RequestHeight) return 1 << n;
        }
        return 1;
    default: return 1; // the library's default
    }
}

void CollectMarkers(const jpeg_decompress_struct& cinfo, std::vector<TJpegSegment>& out) {
    out.clear();
    bool jfifDropped = false;
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        const uint8_t* data = m->data;
        size_t length = m->data_length;
        // The JFIF header is the writer's to make; keeping it would duplicate it on a
        // re-save. Other APP0 segments (JFXX, AVI1, ...) are kept.
        if (m->marker == JPEG_APP0 && !jfifDropped && length >= 5 && std::memcmp(data, "JFIF\0", 5) == 0) {
            jfifDropped = true;
            continue;
        }
        TJpegSegment s;
        s.Code = uint8_t(m->marker);
        if (length > 0 && data) s.Data.assign(data, data + length);
        out.push_back(std::move(s));
    }
}

} // namespace

void JpegDecode(TStream& stream, TStream* tables, TIEBitmap& bitmap, const TJpegDecodeOptions& o,
                TIEProgressRecord& progress, TJpegDecodeResult& result) {
    result = TJpegDecodeResult{};
    bool localFlag = false;
    bool* flag = progress.AbortFlag ? progress.AbortFlag : &localFlag;
    TFailure fail(progress, flag);

    TJpegDecompressor d;
    if (!d.Create(flag)) {
        fail(LibraryReason(d));
        return;
    }
    j_decompress_ptr ci = &d.cinfo;

    if (tables && tables != &stream) {
        JpegAttachSource(ci, d.src, *tables, flag);
        int ret = 0;
        bool ok = JpegGuarded(d.err, [&] { ret = jpeg_read_header(ci, FALSE); });
        // Tables that turn out to hold an image are dropped again; the tables stay.
        if (ok && ret != JPEG_HEADER_TABLES_ONLY) ok = JpegGuarded(d.err, [&] { jpeg_abort_decompress(ci); });
        if (!ok) {
            if (d.src.failure) std::rethrow_exception(d.src.failure);
            throw EIEJpegException(d.err.message);
        }
    }
    JpegAttachSource(ci, d.src, stream, flag);

    int32_t rows = 0;
    bool header = false;
    if (!*flag) {
        header = JpegGuarded(d.err, [&] {
            jpeg_save_markers(ci, JPEG_COM, 0xFFFF);
            for (int m = 0; m < 16; ++m) jpeg_save_markers(ci, JPEG_APP0 + m, 0xFFFF);
            jpeg_read_header(ci, TRUE);
        });
        if (!header) fail(LibraryReason(d));
        else if (*flag) fail("JPEG: the datastream is empty");
    }

    if (header && !*flag) {
        result.HeaderRead = true;
        J_COLOR_SPACE out = ci->out_color_space;
        switch (ci->jpeg_color_space) {
        case JCS_GRAYSCALE:
            result.ColorSpace = jcsGray;
            result.SamplesPerPixel = 1;
            out = JCS_GRAYSCALE;
            break;
        case JCS_RGB:
            result.ColorSpace = jcsRGB;
            result.SamplesPerPixel = 3;
            out = JCS_EXT_BGR; // the library puts the stored R, G, B into our order
            break;
        case JCS_YCbCr:
            result.ColorSpace = jcsYCbCr;
            result.SamplesPerPixel = 3;
            out = o.RawYCbCr ? JCS_YCbCr : JCS_EXT_BGR;
            break;
        case JCS_CMYK:
            result.ColorSpace = jcsCMYK;
            result.SamplesPerPixel = 4;
            out = JCS_CMYK;
            break;
        case JCS_YCCK:
            result.ColorSpace = jcsYCCK;
            result.SamplesPerPixel = 4;
            out = JCS_CMYK;
            break;
        default: break; // unknown: no conversion
        }
        ci->out_color_space = out;
        switch (o.DCTMethod) {
        case 0: ci->dct_method = JDCT_ISLOW; break;
        case 1: ci->dct_method = JDCT_IFAST; break;
        case 2: ci->dct_method = JDCT_FLOAT; break;
        default: break;
        }
        result.DensityUnit = ci->density_unit;
        result.XDensity = ci->X_density;
        result.YDensity = ci->Y_density;
        result.Progressive = ci->progressive_mode != 0;
        result.OriginalWidth = int32_t(ci->image_width);
        result.OriginalHeight = int32_t(ci->image_height);
        int denom = ScaleDenominator(o, ci->image_width, ci->image_height);
        ci->scale_num = 1;
        ci->scale_denom = unsigned(denom);
        result.ScaleUsed = denom;

        if (o.ParamsOnly) {
            result.Width = result.OriginalWidth;
            result.Height = result.OriginalHeight;
        } else {
            // The full size decides: the library's coefficient buffers are made for it.
            const std::string tooLarge = CheckImageSize(ci->image_width, ci->image_height);
            if (result.ColorSpace < 0) {
                fail("JPEG: unsupported colour space with " + std::to_string(ci->num_components) + " components");
            } else if (!tooLarge.empty()) {
                fail("JPEG: " + tooLarge);
            } else if (!JpegGuarded(d.err, [&] { jpeg_start_decompress(ci); })) {
                fail(LibraryReason(d));
            }
        }

        if (!o.ParamsOnly && !*flag) {
            const int ow = int(ci->output_width), oh = int(ci->output_height);
            result.Width = ow;
            result.Height = oh;
            std::vector<uint8_t> rowBuffer(size_t(ow) * 4);

            TIEPixelFormat want = ie24RGB;
            if (o.NativeFormat) {
                if (out == JCS_GRAYSCALE) want = ie8g;
                else if (out == JCS_CMYK) want = ieCMYK;
            }
            bool allocated = bitmap.Allocate(ow, oh, want);
            // A CMYK image cannot live in every storage location (device bitmaps
            // hold RGB only); it is then converted like without NativeFormat.
            if (!allocated && want == ieCMYK) allocated = bitmap.Allocate(ow, oh, ie24RGB);
            const TIEPixelFormat got = allocated ? bitmap.PixelFormat() : ieNone;
            TRowMode mode = TRowMode::Direct;
            bool usable = allocated && bitmap.Width() == ow && bitmap.Height() == oh;
            if (usable) {
                if (out == JCS_GRAYSCALE) {
                    usable = got == ie8g || got == ie24RGB;
                    mode = got == ie8g ? TRowMode::Direct : TRowMode::GrayExpand;
                } else if (out == JCS_CMYK) {
                    usable = got == ieCMYK || got == ie24RGB;
                    mode = got == ieCMYK ? TRowMode::Direct : TRowMode::CmykToBgr;
                } else {
                    usable = got == ie24RGB;
                }
            }
            if (!usable) {
                fail("JPEG: no bitmap of " + std::to_string(ow) + " x " + std::to_string(oh) +
                     " pixels could be allocated");
            } else {
                int32_t maxRows = o.MaxRows < 0 ? bitmap.Height() : o.MaxRows;
                progress.Begin(oh);
                while (ci->output_scanline < ci->output_height && rows < maxRows && !*flag) {
                    uint8_t* target = bitmap.Scanline(rows);
                    JSAMPROW row = mode == TRowMode::Direct ? target : rowBuffer.data();
                    JDIMENSION n = 0;
                    if (!JpegGuarded(d.err, [&] { n = jpeg_read_scanlines(ci, &row, 1); })) {
                        fail(LibraryReason(d));
                        break;
                    }
                    if (n == 0) {
                        fail("JPEG: the decoder delivered no row");
                        break;
                    }
                    if (mode == TRowMode::GrayExpand) {
                        for (int x = 0; x < ow; ++x) std::memset(target + 3 * size_t(x), rowBuffer[size_t(x)], 3);
                    } else if (mode == TRowMode::CmykToBgr) {
                        if (*flag) break;
                        if (o.InvertCmyk)
                            for (auto& b : rowBuffer) b = uint8_t(255 - b);
                        ColorConvertHook(rowBuffer.data(), iecCMYK, target, iecBGR, ow, o.Params);
                    } else if (mode == TRowMode::Direct && out == JCS_CMYK && *flag) {
                        break;
                    }
                    rows += int32_t(n);
                    progress.Counter += int32_t(n) - 1;
                    progress.Step();
                }
                if (rows < maxRows)
                    fail("JPEG: only " + std::to_string(rows) + " of " + std::to_string(maxRows) +
                         " rows were decoded");
            }
        }
    }

    // Closing, whatever happened above.
    CollectMarkers(d.cinfo, result.Markers);
    if (header && !*flag && !o.ParamsOnly) {
        d.err.abortFlag = nullptr;
        JpegGuarded(d.err, [&] { jpeg_finish_decompress(ci); }); // trailing problems do not matter
    }
    if (d.err.warningCount > 0) {
        result.WarningCount = d.err.warningCount;
        result.LastWarning = d.err.lastWarning;
    }
    result.Rows = o.ParamsOnly ? 0 : rows;
}

} // namespace tw
