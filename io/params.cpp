#include "io/params.h"

#include <cmath>
#include <ctime>
#include <limits>

#include "codecs/giflzw.h"

namespace tw {

// The process-wide default codecs, in place before any record is created.
TGifLzwDecompressor DefaultGifLzwDecompressor = &GifLzwDecode;
TGifLzwCompressor DefaultGifLzwCompressor = &GifLzwEncode;
TTiffLzwDecompressor DefaultTiffLzwDecompressor = nullptr;
TTiffLzwCompressor DefaultTiffLzwCompressor = nullptr;

int32_t DefaultDpiX = 300;
int32_t DefaultDpiY = 300;

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// Truncation toward zero, limited to the int32 range (NaN gives 0).
int32_t TruncToInt32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

} // namespace

double IEToday() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return 0;
    return double(DaysFromCivil(local.tm_year + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday)) -
                  DaysFromCivil(1899, 12, 30));
}

TIOParamsVals::TIOParamsVals(TImageIO* owner) : Owner(owner) {
    Reset();
}

TIOParamsVals::~TIOParamsVals() = default;

void TIOParamsVals::Reset() {
    int32_t width = Width, height = Height;
    static_cast<TIOParamsFields&>(*this) = TIOParamsFields{};
    Width = width;
    Height = height;
    if (OwnerLink.ImageSize) {
        int32_t w = 0, h = 0;
        if (OwnerLink.ImageSize(w, h)) {
            Width = w;
            Height = h;
        }
    }
    dpiX_ = DefaultDpiX;
    dpiY_ = DefaultDpiY;
    TgaDate = IEToday();
    TiffLzwDecompressor = DefaultTiffLzwDecompressor;
    TiffLzwCompressor = DefaultTiffLzwCompressor;
    GifLzwDecompressor = DefaultGifLzwDecompressor;
    GifLzwCompressor = DefaultGifLzwCompressor;
    IptcInfo.Clear();
    ExifThumbnail.reset();
}

void TIOParamsVals::ResetInfo() {
    IptcInfo.Clear();
    ImagingAnnot.Clear();
    JpegMarkerList.Clear();
    ResetExif();
    GifComments.clear();
    DicomTags.Clear();
    PngTextKeys.clear();
    PngTextValues.clear();
    PnmComments.clear();
    TiffDocumentName.clear();
    TiffImageDescription.clear();
    TiffPageName.clear();
    TgaDescription.clear();
    TgaAuthor.clear();
    TgaImageName.clear();
    XmpPacket.clear();
    InputIccProfile.Clear();
}

void TIOParamsVals::ResetExif() {
    static_cast<TIOExifBlock&>(*this) = TIOExifBlock{};
    ExifThumbnail.reset();
    JpegMarkerList.Delete(JpegMarkerList.IndexOf(JPEG_APP1, std::string_view("Exif\0\0", 6)));
}

void TIOParamsVals::Assign(const TIOParamsVals& source) {
    if (&source == this) return;
    const bool nativePixelFormat = NativePixelFormat;
    const int32_t mediaFrameCount = MediaFrameCount;
    const int32_t mediaFrameValue = MediaFrameValue;

    static_cast<TIOParamsFields&>(*this) = static_cast<const TIOParamsFields&>(source);
    if (source.ExifThumbnail) {
        auto copy = std::make_unique<TIEBitmap>();
        copy->Assign(*source.ExifThumbnail);
        ExifThumbnail = std::move(copy);
    } else {
        ExifThumbnail.reset();
    }

    NativePixelFormat = nativePixelFormat;
    MediaFrameCount = mediaFrameCount;
    MediaFrameValue = mediaFrameValue;
    SetImageIndex(source.CurImageIndex);
}

void TIOParamsVals::SetImageIndex(int32_t value) {
    ImageIndex = value;
    TiffImageIndex = value;
    GifImageIndex = value;
    DcxImageIndex = value;
    IcoImageIndex = value;
    CurImageIndex = value;
}

void TIOParamsVals::SetImageCount(int32_t value) {
    ImageCount = value;
    TiffImageCount = value;
    GifImageCount = value;
    VideoFrameCount = value;
    MediaFrameCount = value;
}

void TIOParamsVals::SetDpiX(int32_t value) {
    dpiX_ = value;
    exifXResolution_ = value;
    NotifyDpi();
}

void TIOParamsVals::SetDpiY(int32_t value) {
    dpiY_ = value;
    exifYResolution_ = value;
    NotifyDpi();
}

void TIOParamsVals::SetExifXResolution(double value) {
    exifXResolution_ = value;
    dpiX_ = TruncToInt32(value);
    NotifyDpi();
}

void TIOParamsVals::SetExifYResolution(double value) {
    exifYResolution_ = value;
    dpiY_ = TruncToInt32(value);
    NotifyDpi();
}

void TIOParamsVals::SetTiffOrientation(int32_t value) {
    TiffOrientation = value;
    ExifOrientation = value;
}

void TIOParamsVals::SetReadThumbnail(bool value) {
    ReadThumbnail = value;
    JpegLoadExifThumbnail = value;
}

void TIOParamsVals::NotifyDpi() {
    if (OwnerLink.DpiChanged) OwnerLink.DpiChanged(dpiX_, dpiY_);
}

} // namespace tw
