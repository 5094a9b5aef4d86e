// The parameter record: reset values, group and coupled setters, ResetInfo, ResetExif
// and Assign.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <string>

#include "image/bitmap.h"
#include "io/params.h"
#include "io/stream.h"

using namespace tw;

namespace {

// Restores the process-wide LZW defaults when a test changed them.
struct DefaultSlotsGuard {
    TGifLzwDecompressor gd = DefaultGifLzwDecompressor;
    TGifLzwCompressor gc = DefaultGifLzwCompressor;
    TTiffLzwDecompressor td = DefaultTiffLzwDecompressor;
    TTiffLzwCompressor tc = DefaultTiffLzwCompressor;
    ~DefaultSlotsGuard() {
        DefaultGifLzwDecompressor = gd;
        DefaultGifLzwCompressor = gc;
        DefaultTiffLzwDecompressor = td;
        DefaultTiffLzwCompressor = tc;
    }
};

void FakeGifDecode(TStream&, int, int, uint8_t*, bool) {}
void FakeGifEncode(TStream&, int, int, int, const uint8_t*, bool) {}
const uint8_t* FakeTiffDecode(const uint8_t*, size_t, int, std::unique_ptr<TTiffLzwDecodeState>&) {
    return nullptr;
}
void FakeTiffEncode(const uint8_t*, int, TStream&, bool*, std::unique_ptr<TTiffLzwEncodeState>&) {}

// Pixel access through the rows (24-bit pixels are B, G, R).
TRGB PixelAt(TIEBitmap& b, int x, int y) {
    const uint8_t* px = b.Scanline(y) + 3 * x;
    return TRGB{px[0], px[1], px[2]};
}
void SetPixelAt(TIEBitmap& b, int x, int y, TRGB c) {
    uint8_t* px = b.Scanline(y) + 3 * x;
    px[0] = c.b;
    px[1] = c.g;
    px[2] = c.r;
}

std::unique_ptr<TIEBitmap> SmallThumbnail(uint8_t red) {
    auto bmp = std::make_unique<TIEBitmap>(4, 3, ie24RGB);
    SetPixelAt(*bmp, 1, 1, MakeRGB(red, 20, 30));
    return bmp;
}

} // namespace

TEST(Params, FreshRecordHasZeroSizeAndDefaultResolution) {
    TIOParamsVals p;
    EXPECT_EQ(p.Width, 0);
    EXPECT_EQ(p.Height, 0);
    EXPECT_EQ(p.DpiX(), 300);
    EXPECT_EQ(p.DpiY(), 300);
    EXPECT_EQ(p.ExifXResolution(), 0.0);
    EXPECT_EQ(p.ColorMapCount(), 0);
    EXPECT_FALSE(p.ExifThumbnail);
    EXPECT_EQ(p.Owner, nullptr);
}

TEST(Params, ResetValues) {
    TIOParamsVals p;
    struct Row {
        const char* name;
        double actual;
        double expected;
    };
    const Row rows[] = {
        {"BitsPerSample", double(p.BitsPerSample), 8},
        {"SamplesPerPixel", double(p.SamplesPerPixel), 3},
        {"FileType", double(p.FileType), 0},
        {"TiffOrientation", double(p.TiffOrientation), 1},
        {"ExifOrientation", double(p.ExifOrientation), 0},
        {"ExifExposureMode", double(p.ExifExposureMode), -1},
        {"ExifWhiteBalance", double(p.ExifWhiteBalance), -1},
        {"ExifDigitalZoomRatio", p.ExifDigitalZoomRatio, -1.0},
        {"ExifFocalLengthIn35mmFilm", double(p.ExifFocalLengthIn35mmFilm), -1},
        {"ExifSubjectDistanceRange", double(p.ExifSubjectDistanceRange), -1},
        {"ExifSharpness", double(p.ExifSharpness), -1},
        {"ExifFlash", double(p.ExifFlash), 0},
        {"TiffSubIndex", double(p.TiffSubIndex), -1},
        {"TiffPhotometric", double(p.TiffPhotometric), 2},
        {"TiffPlanarConfig", double(p.TiffPlanarConfig), 1},
        {"TiffPageNumber", double(p.TiffPageNumber), -1},
        {"TiffPageCount", double(p.TiffPageCount), -1},
        {"TiffJpegQuality", double(p.TiffJpegQuality), 80},
        {"TiffJpegColorSpace", double(p.TiffJpegColorSpace), 2},
        {"TiffFillOrder", double(p.TiffFillOrder), 1},
        {"TiffLittleEndian", double(p.TiffLittleEndian), 1},
        {"TiffZipCompression", double(p.TiffZipCompression), 1},
        {"GifDisposal", double(p.GifDisposal), 2},
        {"JpegColorSpace", double(p.JpegColorSpace), 2},
        {"JpegQuality", double(p.JpegQuality), 80},
        {"JpegDCTMethod", double(p.JpegDCTMethod), 1},
        {"JpegScale", double(p.JpegScale), 1},
        {"JpegScaleUsed", double(p.JpegScaleUsed), 1},
        {"Jp2ColorSpace", double(p.Jp2ColorSpace), 1},
        {"Jp2Rate", p.Jp2Rate, 1.0},
        {"PcxVersion", double(p.PcxVersion), 5},
        {"PcxCompression", double(p.PcxCompression), 1},
        {"BmpVersion", double(p.BmpVersion), 1},
        {"IcoImageSizes[0].Width", double(p.IcoImageSizes[0].Width), 64},
        {"IcoImageSizes[0].Height", double(p.IcoImageSizes[0].Height), 64},
        {"IcoImageSizes[1].Width", double(p.IcoImageSizes[1].Width), 0},
        {"IcoImageSizes[15].Height", double(p.IcoImageSizes[15].Height), 0},
        {"IcoImageDepths[0]", double(p.IcoImageDepths[0]), 8},
        {"IcoImageDepths[1]", double(p.IcoImageDepths[1]), 0},
        {"IcoImageDepths[15]", double(p.IcoImageDepths[15]), 0},
        {"PngCompression", double(p.PngCompression), 5},
        {"TgaCompressed", double(p.TgaCompressed), 1},
        {"TgaAspectRatio", p.TgaAspectRatio, 1.0},
        {"TgaGamma", p.TgaGamma, 2.2},
        {"PsdLayerOption", double(p.PsdLayerOption), 1},
        {"PsPaperWidth", double(p.PsPaperWidth), 595},
        {"PsPaperHeight", double(p.PsPaperHeight), 842},
        {"PsCompression", double(p.PsCompression), 1},
        {"PdfCompression", double(p.PdfCompression), 2},
        {"RawOption2", p.RawOption2, 0.6},
        {"RawOption5", p.RawOption5, 1.0},
        {"RawOption6", double(p.RawOption6), 1},
        {"RawOption7", double(p.RawOption7), 0},
        {"RawOption16", double(p.RawOption16), 8},
        {"RawOption17", double(p.RawOption17), 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.actual, r.expected);
    }
    EXPECT_EQ(p.GifVersion, "GIF89a");
    EXPECT_EQ(p.PsTitle, "No Title");
    EXPECT_EQ(p.IcoBackground, MakeRGB(255, 255, 255));
    EXPECT_EQ(p.CurBackground, MakeRGB(255, 255, 255));
    EXPECT_EQ(p.GifBackground, MakeRGB(0, 0, 0));
}

TEST(Params, TgaDateIsTodaysLocalDate) {
    // Days between 1899-12-30 and 1970-01-01 is 25569; the local offset comes from the C library.
    auto today = [] {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return std::floor(double(now + local.tm_gmtoff) / 86400.0) + 25569.0;
    };
    double before = today();
    TIOParamsVals p;
    double after = today();
    EXPECT_GE(p.TgaDate, before);
    EXPECT_LE(p.TgaDate, after);
    EXPECT_EQ(p.TgaDate, std::floor(p.TgaDate)); // a date without time of day
}

TEST(Params, ResetRestoresEverythingButTheSize) {
    TIOParamsVals p;
    p.Width = 640;
    p.Height = 480;
    p.JpegQuality = 10;
    p.SetDpiX(72);
    p.SetExifYResolution(96.5);
    p.ColorMap.assign(4, MakeRGB(1, 2, 3));
    p.GifComments = {"a", "b"};
    p.IptcInfo.Add(2, 5, "x", 1);
    p.JpegMarkerList.Add(JPEG_COM, "hi", 2);
    p.DicomTags.Add(0x28, 0x10, "US", "\x00\x02", 2);
    p.InputIccProfile.LoadFromBuffer("abc", 3);
    p.ExifThumbnail = SmallThumbnail(9);
    p.SetImageIndex(4);
    p.ExifPresent = true;
    p.ExifMakerNote.Data = {1, 2, 3};

    p.Reset();
    TIOParamsVals fresh;
    EXPECT_EQ(p.Width, 640); // no owner image: the size stays
    EXPECT_EQ(p.Height, 480);
    p.Width = p.Height = 0;
    EXPECT_EQ(p.DpiX(), 300);
    EXPECT_EQ(p.ExifYResolution(), 0.0);
    EXPECT_FALSE(p.ExifThumbnail);
    EXPECT_TRUE(static_cast<const TIOParamsFields&>(p) == static_cast<const TIOParamsFields&>(fresh));
}

TEST(Params, ResetTakesTheOwnersImageSize) {
    TIOParamsVals p;
    bool hasImage = true;
    p.OwnerLink.ImageSize = [&](int32_t& w, int32_t& h) {
        w = 320;
        h = 200;
        return hasImage;
    };
    p.Width = 5;
    p.Reset();
    EXPECT_EQ(p.Width, 320);
    EXPECT_EQ(p.Height, 200);
    hasImage = false;
    p.Width = 7;
    p.Reset();
    EXPECT_EQ(p.Width, 7);
}

TEST(Params, ResetCopiesTheProcessWideCodecs) {
    DefaultSlotsGuard guard;
    DefaultGifLzwDecompressor = FakeGifDecode;
    DefaultGifLzwCompressor = FakeGifEncode;
    DefaultTiffLzwDecompressor = FakeTiffDecode;
    DefaultTiffLzwCompressor = FakeTiffEncode;
    TIOParamsVals p;
    EXPECT_EQ(p.GifLzwDecompressor, &FakeGifDecode);
    EXPECT_EQ(p.GifLzwCompressor, &FakeGifEncode);
    EXPECT_EQ(p.TiffLzwDecompressor, &FakeTiffDecode);
    EXPECT_EQ(p.TiffLzwCompressor, &FakeTiffEncode);
    p.GifLzwDecompressor = nullptr;
    p.Reset();
    EXPECT_EQ(p.GifLzwDecompressor, &FakeGifDecode);
}

TEST(Params, GroupSetters) {
    TIOParamsVals p;
    p.SetImageIndex(3);
    for (int32_t v :
         {p.ImageIndex, p.TiffImageIndex, p.GifImageIndex, p.DcxImageIndex, p.IcoImageIndex, p.CurImageIndex})
        EXPECT_EQ(v, 3);
    EXPECT_EQ(p.ImageCount, 0); // the count group is separate
    p.SetImageCount(5);
    for (int32_t v : {p.ImageCount, p.TiffImageCount, p.GifImageCount, p.VideoFrameCount, p.MediaFrameCount})
        EXPECT_EQ(v, 5);
    EXPECT_EQ(p.ImageIndex, 3);
    EXPECT_EQ(p.VideoFrameDelay, 0);

    p.SetTiffOrientation(6);
    EXPECT_EQ(p.TiffOrientation, 6);
    EXPECT_EQ(p.ExifOrientation, 6);
    p.SetReadThumbnail(true);
    EXPECT_TRUE(p.ReadThumbnail);
    EXPECT_TRUE(p.JpegLoadExifThumbnail);
}

TEST(Params, ResolutionCoupling) {
    TIOParamsVals p;
    std::vector<std::pair<int32_t, int32_t>> told;
    p.OwnerLink.DpiChanged = [&](int32_t x, int32_t y) { told.emplace_back(x, y); };

    p.SetDpiX(150);
    EXPECT_EQ(p.ExifXResolution(), 150.0);
    EXPECT_EQ(p.DpiY(), 300);
    EXPECT_EQ(p.ExifYResolution(), 0.0);
    p.SetDpiY(151);
    EXPECT_EQ(p.ExifYResolution(), 151.0);

    p.SetExifXResolution(72.9); // truncated, not rounded
    EXPECT_EQ(p.DpiX(), 72);
    EXPECT_EQ(p.ExifXResolution(), 72.9);
    p.SetExifYResolution(-3.7);
    EXPECT_EQ(p.DpiY(), -3);

    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(told[0], std::make_pair(150, 300));
    EXPECT_EQ(told[3], std::make_pair(72, -3));

    // Values outside the integer range are limited, not undefined.
    p.SetExifXResolution(1e300);
    EXPECT_EQ(p.DpiX(), std::numeric_limits<int32_t>::max());
    p.SetExifXResolution(std::nan(""));
    EXPECT_EQ(p.DpiX(), 0);
}

TEST(Params, ResetInfoKeepsWriterOptions) {
    TIOParamsVals p;
    p.JpegQuality = 33;
    p.PngCompression = 9;
    p.TiffCompression = 5;
    p.TiffImageDescription = "desc";
    p.TiffDocumentName = "doc";
    p.TgaAuthor = "me";
    p.XmpPacket = "<x/>";
    p.GifComments = {"c"};
    p.PngTextKeys = {"k"};
    p.PngTextValues = {"v"};
    p.PnmComments = {"p"};
    p.IptcInfo.Add(2, 5, "t", 1);
    p.JpegMarkerList.Add(JPEG_COM, "c", 1);
    p.DicomTags.Add(1, 2, "UL", nullptr, 0);
    p.ImagingAnnot.Data = {1};
    p.InputIccProfile.LoadFromBuffer("in", 2);
    p.OutputIccProfile.LoadFromBuffer("out", 3);
    p.ColorMap.assign(2, MakeRGB(1, 1, 1));
    p.ExifPresent = true;
    p.ExifMake = "Cam";
    p.ExifThumbnail = SmallThumbnail(1);

    p.ResetInfo();
    EXPECT_EQ(p.JpegQuality, 33);
    EXPECT_EQ(p.PngCompression, 9);
    EXPECT_EQ(p.TiffCompression, 5);
    EXPECT_EQ(p.ColorMapCount(), 2);
    EXPECT_EQ(p.OutputIccProfile.Size(), 3u);
    EXPECT_TRUE(p.TiffImageDescription.empty());
    EXPECT_TRUE(p.TiffDocumentName.empty());
    EXPECT_TRUE(p.TgaAuthor.empty());
    EXPECT_TRUE(p.XmpPacket.empty());
    EXPECT_TRUE(p.GifComments.empty());
    EXPECT_TRUE(p.PngTextKeys.empty() && p.PngTextValues.empty() && p.PnmComments.empty());
    EXPECT_EQ(p.IptcInfo.Count(), 0);
    EXPECT_EQ(p.JpegMarkerList.Count(), 0);
    EXPECT_EQ(p.DicomTags.Count(), 0);
    EXPECT_TRUE(p.ImagingAnnot.Empty());
    EXPECT_TRUE(p.InputIccProfile.IsEmpty());
    EXPECT_FALSE(p.ExifPresent);
    EXPECT_TRUE(p.ExifMake.empty());
    EXPECT_FALSE(p.ExifThumbnail);
}

TEST(Params, ResetExifRemovesOnlyTheFirstExifBlock) {
    TIOParamsVals p;
    const std::string exif("Exif\0\0II*\0", 10);
    p.JpegMarkerList.Add(JPEG_APP1, "http://ns.adobe.com/xap/1.0/\0<x/>", 33);
    p.JpegMarkerList.Add(JPEG_APP1, exif.data(), exif.size());
    p.JpegMarkerList.Add(JPEG_APP1, "Exif-not-a-block", 16);
    p.JpegMarkerList.Add(JPEG_APP1, exif.data(), exif.size());
    p.SetExifXResolution(72);
    p.ExifGPSLatitude = {1, 2, 3};
    p.ExifXPTitle = u"Title";
    p.ExifExposureMode = 2;

    p.ResetExif();
    ASSERT_EQ(p.JpegMarkerList.Count(), 3);
    EXPECT_EQ(p.JpegMarkerList.IndexOf(JPEG_APP1, std::string_view("Exif\0\0", 6)), 2);
    EXPECT_EQ(p.ExifXResolution(), 0.0);
    EXPECT_EQ(p.DpiX(), 72); // ResetExif does not touch the resolution
    EXPECT_EQ(p.ExifGPSLatitude[2], 0.0);
    EXPECT_TRUE(p.ExifXPTitle.empty());
    EXPECT_EQ(p.ExifExposureMode, -1);
}

TEST(Params, AssignMakesADeepCopy) {
    TIOParamsVals source;
    source.ExifThumbnail = SmallThumbnail(200);
    source.JpegQuality = 55;
    source.SetDpiX(123);
    source.ColorMap = {MakeRGB(1, 2, 3), MakeRGB(4, 5, 6)};
    source.GifComments = {"one"};
    source.IptcInfo.Add(2, 5, "Title", 5);
    source.JpegMarkerList.Add(JPEG_COM, "note", 4);
    source.InputIccProfile.LoadFromBuffer("icc", 3);
    source.ExifMakerNote.Data = {9, 8};
    source.ExifXPComment = u"c";
    source.ImageIndex = 1;
    source.TiffImageIndex = 2;
    source.GifImageIndex = 3;
    source.DcxImageIndex = 4;
    source.IcoImageIndex = 5;
    source.CurImageIndex = 6;
    source.NativePixelFormat = true;
    source.MediaFrameCount = 11;
    source.MediaFrameValue = 12;
    source.TiffImageCount = 13;

    int ownerTag = 0;
    TIOParamsVals target(reinterpret_cast<TImageIO*>(&ownerTag));
    target.MediaFrameCount = 21;
    target.MediaFrameValue = 22;
    target.Assign(source);

    EXPECT_EQ(target.Owner, reinterpret_cast<TImageIO*>(&ownerTag));
    EXPECT_FALSE(target.NativePixelFormat);
    EXPECT_EQ(target.MediaFrameCount, 21);
    EXPECT_EQ(target.MediaFrameValue, 22);
    for (int32_t v : {target.ImageIndex, target.TiffImageIndex, target.GifImageIndex, target.DcxImageIndex,
                      target.IcoImageIndex, target.CurImageIndex})
        EXPECT_EQ(v, 6);
    EXPECT_EQ(target.TiffImageCount, 13);
    EXPECT_EQ(target.JpegQuality, 55);
    EXPECT_EQ(target.DpiX(), 123);
    EXPECT_EQ(target.ExifXResolution(), 123.0);
    EXPECT_EQ(target.ColorMap, source.ColorMap);
    EXPECT_EQ(target.IptcInfo, source.IptcInfo);
    EXPECT_EQ(target.ExifMakerNote, source.ExifMakerNote);
    EXPECT_EQ(target.ExifXPComment, u"c");

    // The thumbnail is a copy of its own.
    ASSERT_TRUE(target.ExifThumbnail);
    ASSERT_NE(target.ExifThumbnail.get(), source.ExifThumbnail.get());
    EXPECT_EQ(target.ExifThumbnail->Width(), 4);
    EXPECT_EQ(PixelAt(*target.ExifThumbnail, 1, 1), MakeRGB(200, 20, 30));
    SetPixelAt(*source.ExifThumbnail, 1, 1, MakeRGB(7, 7, 7));
    EXPECT_EQ(PixelAt(*target.ExifThumbnail, 1, 1), MakeRGB(200, 20, 30));
    SetPixelAt(*target.ExifThumbnail, 0, 0, MakeRGB(1, 1, 1));
    EXPECT_EQ(PixelAt(*source.ExifThumbnail, 0, 0), MakeRGB(0, 0, 0));

    // Lists are copies as well.
    source.GifComments.push_back("two");
    source.IptcInfo.Clear();
    source.JpegMarkerList.Clear();
    EXPECT_EQ(target.GifComments.size(), 1u);
    EXPECT_EQ(target.IptcInfo.Count(), 1);
    EXPECT_EQ(target.JpegMarkerList.Count(), 1);

    // A source without thumbnail frees the target's.
    TIOParamsVals empty;
    target.Assign(empty);
    EXPECT_FALSE(target.ExifThumbnail);
}
