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
        if (m->marker == ieMarkerAPP0 && !jfifDropped && length >= 5 && std::memcmp(data, "JFIF\0", 5) == 0) {
            jfifDropped = true;
            continue;
        }
        TJpegSegment s;
        s.Code = uint8_t(m->marker);
        if (length > 0 && data) s.Data.assign(data, data + length);
        out.push_back(std::move(s));
    }
}

// One decoding run: the steps from the tables to the closing, in order.
class TDecodeRun {
  public:
    TDecodeRun(TStream& stream, TStream* tables, TIEBitmap& bitmap, const TJpegDecodeOptions& options,
               TIEProgressRecord& progress, TJpegDecodeResult& result)
        : stream_(stream), tables_(tables), bitmap_(bitmap), o_(options), progress_(progress), result_(result),
          flag_(progress.AbortFlag ? progress.AbortFlag : &localFlag_) {}

    void Run() {
        result_ = TJpegDecodeResult{};
        if (!d_.Create(flag_)) return Fail(LibraryReason(d_));
        ci_ = &d_.cinfo;
        ReadTables();
        JpegAttachSource(ci_, d_.src, stream_, flag_);
        if (!*flag_ && ReadHeader()) {
            DescribeHeader();
            if (o_.ParamsOnly) {
                result_.Width = result_.OriginalWidth;
                result_.Height = result_.OriginalHeight;
            } else if (Start() && AllocateTarget()) {
                DecodeRows();
            }
        }
        Close();
    }

  private:
    void Fail(const std::string& reason) {
        *flag_ = true;
        progress_.Abort(reason);
    }

    // An abbreviated datastream with the tables only (TIFF's JPEGTables). Its errors
    // are raised, not turned into the abort flag.
    void ReadTables() {
        if (!tables_ || tables_ == &stream_) return;
        JpegAttachSource(ci_, d_.src, *tables_, flag_);
        int ret = 0;
        bool ok = JpegGuarded(d_.err, [&] { ret = jpeg_read_header(ci_, FALSE); });
        // Tables that turn out to hold an image are dropped again; the tables stay.
        if (ok && ret != JPEG_HEADER_TABLES_ONLY) ok = JpegGuarded(d_.err, [&] { jpeg_abort_decompress(ci_); });
        if (ok) return;
        if (d_.src.failure) std::rethrow_exception(d_.src.failure);
        throw EIEJpegException(d_.err.message);
    }

    bool ReadHeader() {
        header_ = JpegGuarded(d_.err, [&] {
            jpeg_save_markers(ci_, ieMarkerCOM, 0xFFFF);
            for (int m = 0; m < 16; ++m) jpeg_save_markers(ci_, ieMarkerAPP0 + m, 0xFFFF);
            jpeg_read_header(ci_, TRUE);
        });
        if (!header_) Fail(LibraryReason(d_));
        else if (*flag_) Fail("JPEG: the datastream is empty");
        return header_ && !*flag_;
    }

    // Fills the result from the header and chooses the output colour space, the DCT
    // method and the scale.
    void DescribeHeader() {
        result_.HeaderRead = true;
        out_ = ci_->out_color_space;
        switch (ci_->jpeg_color_space) {
        case JCS_GRAYSCALE: Describe(jcsGray, 1, JCS_GRAYSCALE); break;
        case JCS_RGB: Describe(jcsRGB, 3, JCS_EXT_BGR); break; // the library reorders the stored R, G, B
        case JCS_YCbCr: Describe(jcsYCbCr, 3, o_.RawYCbCr ? JCS_YCbCr : JCS_EXT_BGR); break;
        case JCS_CMYK: Describe(jcsCMYK, 4, JCS_CMYK); break;
        case JCS_YCCK: Describe(jcsYCCK, 4, JCS_CMYK); break;
        default: break; // unknown: no conversion
        }
        ci_->out_color_space = out_;
        switch (o_.DCTMethod) {
        case 0: ci_->dct_method = JDCT_ISLOW; break;
        case 1: ci_->dct_method = JDCT_IFAST; break;
        case 2: ci_->dct_method = JDCT_FLOAT; break;
        default: break;
        }
        result_.DensityUnit = ci_->density_unit;
        result_.XDensity = ci_->X_density;
        result_.YDensity = ci_->Y_density;
        result_.Progressive = ci_->progressive_mode != 0;
        result_.OriginalWidth = int32_t(ci_->image_width);
        result_.OriginalHeight = int32_t(ci_->image_height);
        const int denom = ScaleDenominator(o_, ci_->image_width, ci_->image_height);
        ci_->scale_num = 1;
        ci_->scale_denom = unsigned(denom);
        result_.ScaleUsed = denom;
    }

    void Describe(int colorSpace, int samples, J_COLOR_SPACE out) {
        result_.ColorSpace = colorSpace;
        result_.SamplesPerPixel = samples;
        out_ = out;
    }

    // Every 8 x 8 block of every component costs at least one bit of Huffman-coded data
    // (its DC difference), so a file too short for that cannot fill the image it declares:
    // it is refused before the library allocates for it. Arithmetic coding can go below
    // one bit per block and is not judged this way.
    std::string ImplausibleSize() const {
        if (ci_->arith_code) return {};
        uint64_t blocks = 0;
        for (int c = 0; c < ci_->num_components; ++c)
            blocks += uint64_t(ci_->comp_info[c].width_in_blocks) * ci_->comp_info[c].height_in_blocks;
        const int64_t left = std::max<int64_t>(0, stream_.Size() - stream_.Position()) +
                             int64_t(ci_->src ? ci_->src->bytes_in_buffer : 0);
        const uint64_t allowance = 65536;
        if (blocks / 8 <= uint64_t(left) + allowance) return {};
        return "a " + std::to_string(ci_->image_width) + " x " + std::to_string(ci_->image_height) +
               " image cannot come from " + std::to_string(left) + " bytes of data";
    }

    bool Start() {
        // The full size decides: the library's coefficient buffers are made for it.
        std::string tooLarge = CheckImageSize(ci_->image_width, ci_->image_height);
        if (tooLarge.empty()) tooLarge = ImplausibleSize();
        if (result_.ColorSpace < 0)
            Fail("JPEG: unsupported colour space with " + std::to_string(ci_->num_components) + " components");
        else if (!tooLarge.empty())
            Fail("JPEG: " + tooLarge);
        else if (!JpegGuarded(d_.err, [&] { jpeg_start_decompress(ci_); }))
            Fail(LibraryReason(d_));
        if (*flag_) return false;
        result_.Width = int32_t(ci_->output_width);
        result_.Height = int32_t(ci_->output_height);
        return true;
    }

    // Allocates the bitmap and decides how rows reach it. The bitmap may not take the
    // format asked for (a device bitmap holds no CMYK); what it got decides.
    bool AllocateTarget() {
        const int w = result_.Width, h = result_.Height;
        TIEPixelFormat want = ie24RGB;
        if (o_.NativeFormat && out_ == JCS_GRAYSCALE) want = ie8g;
        if (o_.NativeFormat && out_ == JCS_CMYK) want = ieCMYK;
        bool allocated = bitmap_.Allocate(w, h, want);
        if (!allocated && want == ieCMYK) allocated = bitmap_.Allocate(w, h, ie24RGB); // converted instead
        const TIEPixelFormat got = allocated ? bitmap_.PixelFormat() : ieNone;
        bool usable = allocated && bitmap_.Width() == w && bitmap_.Height() == h;
        if (out_ == JCS_GRAYSCALE) {
            usable = usable && (got == ie8g || got == ie24RGB);
            mode_ = got == ie8g ? TRowMode::Direct : TRowMode::GrayExpand;
        } else if (out_ == JCS_CMYK) {
            usable = usable && (got == ieCMYK || got == ie24RGB);
            mode_ = got == ieCMYK ? TRowMode::Direct : TRowMode::CmykToBgr;
        } else {
            usable = usable && got == ie24RGB;
        }
        if (!usable)
            Fail("JPEG: no bitmap of " + std::to_string(w) + " x " + std::to_string(h) + " pixels could be allocated");
        return usable;
    }

    void DecodeRows() {
        const int width = result_.Width;
        std::vector<uint8_t> buffer(mode_ == TRowMode::Direct ? 0 : size_t(width) * 4);
        const int32_t maxRows = o_.MaxRows < 0 ? bitmap_.Height() : o_.MaxRows;
        progress_.Begin(result_.Height);
        while (ci_->output_scanline < ci_->output_height && rows_ < maxRows && !*flag_) {
            uint8_t* target = bitmap_.Scanline(rows_);
            JSAMPROW row = mode_ == TRowMode::Direct ? target : buffer.data();
            JDIMENSION n = 0;
            if (!JpegGuarded(d_.err, [&] { n = jpeg_read_scanlines(ci_, &row, 1); })) {
                Fail(LibraryReason(d_));
                break;
            }
            if (n == 0) {
                Fail("JPEG: the decoder delivered no row");
                break;
            }
            if (out_ == JCS_CMYK && *flag_) break;
            if (mode_ == TRowMode::GrayExpand) {
                for (int x = 0; x < width; ++x) std::memset(target + 3 * size_t(x), buffer[size_t(x)], 3);
            } else if (mode_ == TRowMode::CmykToBgr) {
                if (o_.InvertCmyk)
                    for (auto& b : buffer) b = uint8_t(255 - b);
                ColorConvertHook(buffer.data(), iecCMYK, target, iecBGR, width, o_.Params);
            }
            rows_ += int32_t(n);
            progress_.Counter += int32_t(n) - 1;
            progress_.Step();
        }
        if (rows_ < maxRows)
            Fail("JPEG: only " + std::to_string(rows_) + " of " + std::to_string(maxRows) + " rows were decoded");
    }

    // Whatever happened: the kept markers, the end of the datastream (problems there
    // do not matter), the warnings.
    void Close() {
        CollectMarkers(d_.cinfo, result_.Markers);
        if (header_ && !*flag_ && !o_.ParamsOnly) {
            d_.err.abortFlag = nullptr;
            JpegGuarded(d_.err, [&] { jpeg_finish_decompress(ci_); });
        }
        if (d_.err.warningCount > 0) {
            result_.WarningCount = d_.err.warningCount;
            result_.LastWarning = d_.err.lastWarning;
        }
        result_.Rows = o_.ParamsOnly ? 0 : rows_;
    }

    TStream& stream_;
    TStream* tables_;
    TIEBitmap& bitmap_;
    const TJpegDecodeOptions& o_;
    TIEProgressRecord& progress_;
    TJpegDecodeResult& result_;
    bool localFlag_ = false;
    bool* flag_;
    TJpegDecompressor d_;
    j_decompress_ptr ci_ = nullptr;
    bool header_ = false;
    J_COLOR_SPACE out_ = JCS_UNKNOWN;
    TRowMode mode_ = TRowMode::Direct;
    int32_t rows_ = 0;
};

} // namespace

void JpegDecode(TStream& stream, TStream* tables, TIEBitmap& bitmap, const TJpegDecodeOptions& options,
                TIEProgressRecord& progress, TJpegDecodeResult& result) {
    TDecodeRun(stream, tables, bitmap, options, progress, result).Run();
}

} // namespace tw
