// The parameters file. Files are built here by hand, row by row from the stored layout,
// independently of the record's own writer.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "io/params.h"
#include "io/stream.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

using Bytes = std::vector<uint8_t>;

// The record's fields with direct access to the stored resolution, to state what a file
// read must give.
struct ExpectedFields : TIOParamsFields {
    void SetStoredDpi(int32_t x, int32_t y) {
        dpiX_ = x;
        dpiY_ = y;
    }
};

const TIOParamsFields& Fields(const TIOParamsVals& p) {
    return p;
}

// Writes little-endian values and remembers where named items start.
class FileBuilder {
  public:
    Bytes out;
    std::map<std::string, size_t> at;
    int next = 1;

    void Mark(const std::string& name) { at[name] = out.size(); }
    void I32(int32_t v) {
        uint32_t u = uint32_t(v);
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(u >> (8 * i)));
    }
    void I16(uint16_t v) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    void U8(uint8_t v) { out.push_back(v); }
    void Bool(bool v) { out.push_back(v ? 1 : 0); }
    void F64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 0; i < 8; ++i)
            out.push_back(uint8_t(bits >> (8 * i)));
    }
    void Rgb(TRGB c) { out.insert(out.end(), {c.b, c.g, c.r}); }
    void Text(const std::string& s) {
        I32(int32_t(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    void TextList(const std::vector<std::string>& list) {
        I32(int32_t(list.size()));
        for (const auto& s : list)
            Text(s);
    }
    void Raw(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

    // Distinct values, so that a member read from the wrong place shows.
    int32_t NewInt() { return 1000 + 37 * next++; }
    uint8_t NewByte() { return uint8_t(3 + 11 * next++); }
    double NewDouble() { return 0.25 + double(next++); }
    TRGB NewRgb() {
        int n = next++;
        return TRGB{uint8_t(n), uint8_t(n + 100), uint8_t(n + 200)};
    }
    std::string NewText() { return "text" + std::to_string(next++); }
};

Bytes IccProfileBytes() {
    Bytes profile(140, 0);
    profile[3] = 140;
    std::memcpy(profile.data() + 16, "CMYK", 4);
    std::memcpy(profile.data() + 36, "acsp", 4);
    profile[139] = 0x5A;
    return profile;
}

// Builds a file of version v, row by row, and applies to `e` what reading it must change.
// Ignored bytes are written as zero and the DICOM list with version byte 1, as the
// record's writer does.
Bytes BuildFile(int32_t v, ExpectedFields& e, std::map<std::string, size_t>* offsets = nullptr) {
    FileBuilder f;
    f.Mark("version");
    f.I32(v); // 1
    f.Mark("FileName");
    f.Text(e.FileName = "C:\\Images\\photo " + std::to_string(v) + ".bmp"); // 2
    if (v >= 2)
        f.I32(e.FileType = 5); // 3
    else
        f.U8(uint8_t(e.FileType = 0xFE)); // 3a: one byte
    f.I32(e.BitsPerSample = f.NewInt());  // 4
    f.I32(e.SamplesPerPixel = f.NewInt());
    f.I32(e.Width = f.NewInt());
    f.I32(e.Height = f.NewInt());
    int32_t dpiX = f.NewInt(), dpiY = f.NewInt();
    f.I32(dpiX);
    f.I32(dpiY);
    e.SetStoredDpi(dpiX, dpiY);
    f.Mark("ColorMapCount");
    e.ColorMap = {f.NewRgb(), f.NewRgb()};
    f.I32(2);             // 5
    f.Rgb(e.ColorMap[0]); // 6
    f.Rgb(e.ColorMap[1]);
    if (v >= 25) {
        f.I32(e.ImageIndex = 1); // 7
        f.I32(e.ImageCount = 7);
        f.Bool(e.ReadThumbnail = true); // 8
    }
    if (v >= 38) f.Bool(e.SpareFlag = true); // 9

    f.U8(e.TiffCompression = f.NewByte());  // 10
    f.I32(e.TiffImageIndex = 2);            // 11
    f.U8(e.TiffPhotometric = f.NewByte());  // 12
    f.I32(e.TiffPlanarConfig = f.NewInt()); // 13
    f.I32(e.TiffXPos = f.NewInt());
    f.I32(e.TiffYPos = f.NewInt());
    f.Text(e.TiffDocumentName = f.NewText()); // 14
    f.Text(e.TiffImageDescription = "");
    f.Text(e.TiffPageName = f.NewText());
    f.I32(e.TiffPageNumber = f.NewInt()); // 15
    f.I32(e.TiffPageCount = f.NewInt());
    if (v >= 4) f.I32(e.TiffImageCount = 8);               // 16
    if (v >= 6) f.I32(e.TiffOrientation = 6);              // 17
    if (v >= 10) f.I32(e.TiffJpegQuality = f.NewInt());    // 18
    if (v >= 16) f.U8(e.TiffJpegColorSpace = f.NewByte()); // 19
    if (v >= 26) f.I32(e.TiffFillOrder = 2);               // 20
    if (v >= 30) f.I32(e.TiffZipCompression = 2);          // 21
    if (v >= 31) f.I32(e.TiffSubIndex = f.NewInt());       // 22
    if (v >= 32) f.Bool(e.TiffLittleEndian = false);       // 23

    f.Text(e.GifVersion = "GIF87a"); // 24
    f.I32(e.GifImageIndex = 3);      // 25
    f.I32(e.GifXPos = f.NewInt());
    f.I32(e.GifYPos = f.NewInt());
    f.I32(e.GifDelayTime = f.NewInt());
    f.Bool(e.GifHasTransparency = true);       // 26
    f.Rgb(e.GifTransparentColor = f.NewRgb()); // 27
    f.Mark("GifInterlaced");
    f.Bool(e.GifInterlaced = true);       // 28
    f.I32(e.GifScreenWidth = f.NewInt()); // 29
    f.I32(e.GifScreenHeight = f.NewInt());
    f.Rgb(e.GifBackground = f.NewRgb());    // 30
    f.I32(e.GifAspectByte = f.NewInt());    // 31
    if (v >= 4) f.I32(e.GifImageCount = 9); // 32
    if (v >= 9) {                           // 33
        f.Mark("GifComments");
        f.TextList(e.GifComments = {"first comment", "", "third"});
    }
    if (v >= 12) f.U8(e.GifDisposal = 1); // 34

    f.U8(e.JpegColorSpace = 3); // 35
    f.I32(e.JpegQuality = 93);  // 36
    f.U8(e.JpegDCTMethod = 2);  // 37
    f.Bool(e.JpegOptimizeCoding = true);
    f.I32(e.JpegSmoothing = f.NewInt()); // 38
    f.Bool(e.JpegProgressive = true);    // 39
    if (v >= 1) f.U8(e.JpegScale = 4);   // 40
    if (v >= 4) {                        // 41
        e.JpegMarkerList.Clear();
        e.JpegMarkerList.Add(JPEG_COM, "a comment", 9);
        e.JpegMarkerList.Add(JPEG_APP2, nullptr, 0);
        f.U8(0);
        f.Mark("JpegMarkerList");
        f.I32(2);
        f.U8(JPEG_COM);
        f.Mark("JpegMarkerList payload");
        f.I32(9);
        f.Raw(Bytes{'a', ' ', 'c', 'o', 'm', 'm', 'e', 'n', 't'});
        f.U8(JPEG_APP2);
        f.I32(0);
    }
    if (v >= 7) { // 42
        f.I32(e.JpegOriginalWidth = f.NewInt());
        f.I32(e.JpegOriginalHeight = f.NewInt());
    }
    if (v >= 20) { // 43
        f.Bool(e.JpegAutoRotate = true);
        f.Bool(e.JpegLoadExifThumbnail = true);
    }
    if (v >= 8) {
        f.U8(e.Jp2ColorSpace = f.NewByte()); // 44
        f.F64(e.Jp2Rate = f.NewDouble());    // 45
        f.U8(e.Jp2ScalableBy = f.NewByte()); // 46
    }

    f.I32(e.PcxVersion = f.NewInt());     // 47
    f.U8(e.PcxCompression = f.NewByte()); // 48
    f.U8(e.BmpVersion = f.NewByte());
    f.U8(e.BmpCompression = f.NewByte());
    if (v >= 28) f.Bool(e.BmpUseAlpha = true); // 49
    if (v >= 1) {
        f.I32(e.IcoImageIndex = 4); // 50
    } else {
        f.I32(0x11111111); // 50a: read and dropped
        f.I32(0x22222222);
        e.IcoImageIndex = 0;
    }
    if (v >= 3) f.Rgb(e.IcoBackground = f.NewRgb()); // 51
    if (v >= 11) {
        f.Mark("IcoImageSizes");
        for (auto& s : e.IcoImageSizes) { // 52
            f.I32(s.Width = f.NewInt());
            f.I32(s.Height = f.NewInt());
        }
        f.Mark("IcoImageDepths");
        for (auto& d : e.IcoImageDepths)
            f.I32(d = f.NewInt()); // 53
        f.Mark("after IcoImageDepths");
    }
    if (v >= 1) { // 54
        f.I32(e.CurImageIndex = 5);
        f.I32(e.CurHotSpotX = f.NewInt());
        f.I32(e.CurHotSpotY = f.NewInt());
    } else {
        f.I32(0x33333333); // 54a
        f.I32(0x44444444);
        e.CurImageIndex = e.CurHotSpotX = e.CurHotSpotY = 0;
    }
    if (v >= 3) f.Rgb(e.CurBackground = f.NewRgb()); // 55

    f.Bool(e.PngInterlaced = true);      // 56
    f.Rgb(e.PngBackground = f.NewRgb()); // 57
    f.U8(e.PngFilter = f.NewByte());     // 58
    f.I32(e.PngCompression = 9);         // 59
    if (v >= 23) {                       // 60
        f.Mark("PngTextKeys");
        f.TextList(e.PngTextKeys = {"Title", "Author"});
        f.TextList(e.PngTextValues = {"A title", "Someone"});
    }
    if (v >= 37) { // 61: added to the tags already present
        f.U8(1);
        f.Mark("DicomTags");
        f.I32(2);
        f.I16(0x0028); // group, element, VR, 2 + 4 filler bytes, length, data
        f.I16(0x0010);
        f.Raw(Bytes{'U', 'S', 0, 0, 0, 0, 0, 0});
        f.Mark("DicomTags data");
        f.I32(2);
        f.Raw(Bytes{0x00, 0x02});
        e.DicomTags.Add(0x0028, 0x0010, "US", "\x00\x02", 2);
        f.I16(0xFFFE);
        f.I16(0xE000);
        f.Raw(Bytes{0, 0, 0, 0, 0, 0, 0, 0});
        f.I32(-1);
        e.DicomTags.Add(0xFFFE, 0xE000, nullptr, nullptr, -1);
    }
    if (v >= 27) f.Bool(e.PsdReadLayers = true);   // 62
    if (v >= 34) f.Bool(e.PsdLayerOption = false); // 63
    if (v >= 36) f.Bool(e.PsdSpareFlag = true);    // 64
    if (v >= 3) {
        f.I32(e.TgaXPos = f.NewInt()); // 65
        f.I32(e.TgaYPos = f.NewInt());
        f.Bool(e.TgaCompressed = false);        // 66
        f.Text(e.TgaDescription = f.NewText()); // 67
        f.Text(e.TgaAuthor = f.NewText());
        f.F64(e.TgaDate = 45123.5);              // 68
        f.Text(e.TgaImageName = f.NewText());    // 69
        f.Rgb(e.TgaBackground = f.NewRgb());     // 70
        f.F64(e.TgaAspectRatio = f.NewDouble()); // 71
        f.F64(e.TgaGamma = f.NewDouble());
        f.Bool(e.TgaGrayscale = true); // 72
    }
    if (v >= 4) { // 73
        e.IptcInfo.Clear();
        e.IptcInfo.Add(2, 5, "Title", 5);
        e.IptcInfo.Add(2, 120, "Caption text", 12);
        e.IptcInfo.UserChanged = true;
        f.I32(0);
        f.Mark("IptcInfo");
        f.I32(2);
        f.I32(2);
        f.I32(5);
        f.Mark("IptcInfo data");
        f.Text("Title");
        f.I32(2);
        f.I32(120);
        f.Text("Caption text");
    }
    if (v >= 5) f.TextList(e.PnmComments = {"created by hand"}); // 74
    if (v >= 6) {                                                // 75
        f.I32(e.VideoFrameCount = 10);
        f.I32(e.VideoFrameDelay = f.NewInt());
    }
    if (v >= 14) {
        f.I32(e.PsPaperWidth = f.NewInt()); // 76
        f.I32(e.PsPaperHeight = f.NewInt());
        f.U8(e.PsCompression = f.NewByte()); // 77
        f.Text(e.PsTitle = f.NewText());     // 78
        f.I32(e.PdfPaperWidth = f.NewInt()); // 79
        f.I32(e.PdfPaperHeight = f.NewInt());
        f.U8(e.PdfCompression = f.NewByte()); // 80
    }
    if (v >= 15) { // 81
        f.Text(e.PdfTitle = f.NewText());
        f.Text(e.PdfAuthor = f.NewText());
        f.Text(e.PdfSubject = f.NewText());
        f.Text(e.PdfKeywords = f.NewText());
        f.Text(e.PdfCreator = f.NewText());
        f.Text(e.PdfProducer = f.NewText());
    }
    if (v >= 18) f.I32(e.DcxImageIndex = 6); // 82
    // 83: the annotations take no bytes.
    if (v >= 17) { // 84
        Bytes profile = IccProfileBytes();
        f.Mark("InputIccProfile");
        f.I32(int32_t(profile.size()));
        f.Raw(profile);
        e.InputIccProfile.LoadFromBuffer(profile);
        f.I32(3);
        f.Raw(Bytes{'a', 'b', 'c'});
        e.OutputIccProfile.LoadFromBuffer("abc", 3);
    }
    if (v >= 33) { // 85
        f.I32(0);
        e.DefaultIccProfile.Clear();
    }
    if (v >= 18) {
        f.Bool(e.RawOption1 = true);         // 86
        f.F64(e.RawOption2 = f.NewDouble()); // 87
        f.F64(e.RawOption3 = f.NewDouble());
        f.F64(e.RawOption4 = f.NewDouble());
        f.F64(e.RawOption5 = f.NewDouble());
        f.Bool(e.RawOption6 = false); // 88
        f.Bool(e.RawOption7 = true);
        f.Bool(e.RawOption8 = true);
        f.Bool(e.RawOption9 = true);
        f.Text(e.RawOption10 = f.NewText()); // 89
        f.Bool(e.RawOption11 = true);        // 90
    }
    if (v >= 22) f.Bool(e.RawOption12 = true);        // 91
    if (v >= 35) f.Text(e.RawOption13 = f.NewText()); // 92
    if (v >= 21) {                                    // 93
        f.I32(e.MediaFrameCount = 11);
        f.I32(e.MediaFrameValue = f.NewInt());
    }
    if (v >= 23) {
        f.Bool(e.RawOption14 = true); // 94
        f.Bool(e.RawOption15 = true);
        f.I32(e.RawOption16 = f.NewInt()); // 95
        f.I32(e.RawOption17 = f.NewInt());
    }
    f.Mark("end");
    if (offsets) *offsets = f.at;
    return f.out;
}

// A record whose members differ from the reset values, so that members a file does not
// carry can be seen to keep their values.
void FillBefore(TIOParamsVals& p) {
    p.SetImageIndex(77);
    p.SetImageCount(78);
    p.SetTiffOrientation(8);
    p.SetExifXResolution(96.5);
    p.JpegScale = 3;
    p.TgaXPos = 13;
    p.TgaDate = 40000;
    p.ColorMap = {MakeRGB(9, 9, 9)};
    p.GifComments = {"old"};
    p.JpegMarkerList.Add(JPEG_APP14, "Adobe", 5);
    p.IptcInfo.Add(2, 80, "Byline", 6);
    p.IptcInfo.UserChanged = false;
    p.DicomTags.Add(0x0008, 0x0060, "CS", "MR", 2);
    p.InputIccProfile.LoadFromBuffer("old", 3);
    p.XmpPacket = "<xmp/>";
    p.JpegWarningCount = 4;
    p.TiffAutoRotate = true;
    p.ExifMake = "Camera";
    p.PsTitle = "old title";
    p.RawOption16 = 99;
}

// Loads bytes into a record prepared by FillBefore; returns the stream position reached.
int64_t LoadInto(TIOParamsVals& p, const Bytes& file) {
    TMemoryStream s(file);
    p.LoadFromStream(s);
    return s.Position();
}

Bytes SaveBytes(const TIOParamsVals& p) {
    TMemoryStream s;
    p.SaveToStream(s);
    return s.Data();
}

void PatchInt32(Bytes& file, size_t offset, int32_t v) {
    for (int i = 0; i < 4; ++i)
        file[offset + size_t(i)] = uint8_t(uint32_t(v) >> (8 * i));
}

} // namespace

TEST(ParamsFile, EveryVersionReadsItsLayout) {
    for (int32_t v = 0; v <= 38; ++v) {
        SCOPED_TRACE("version " + std::to_string(v));
        TIOParamsVals loaded;
        FillBefore(loaded);
        ExpectedFields expected;
        static_cast<TIOParamsFields&>(expected) = Fields(loaded);
        Bytes file = BuildFile(v, expected);

        EXPECT_EQ(LoadInto(loaded, file), int64_t(file.size())); // the whole block, no more
        EXPECT_EQ(loaded.DpiX(), expected.DpiX());
        EXPECT_TRUE(Fields(loaded) == static_cast<const TIOParamsFields&>(expected));
    }
}

TEST(ParamsFile, Version38StoresEachMemberByItself) {
    TIOParamsVals p;
    FillBefore(p);
    ExpectedFields expected;
    Bytes file = BuildFile(38, expected);
    LoadInto(p, file);

    // Image indexes and counts each get their own stored value.
    EXPECT_EQ(p.ImageIndex, 1);
    EXPECT_EQ(p.TiffImageIndex, 2);
    EXPECT_EQ(p.GifImageIndex, 3);
    EXPECT_EQ(p.IcoImageIndex, 4);
    EXPECT_EQ(p.CurImageIndex, 5);
    EXPECT_EQ(p.DcxImageIndex, 6);
    EXPECT_EQ(p.ImageCount, 7);
    EXPECT_EQ(p.TiffImageCount, 8);
    EXPECT_EQ(p.GifImageCount, 9);
    EXPECT_EQ(p.VideoFrameCount, 10);
    EXPECT_EQ(p.MediaFrameCount, 11);
    // No coupling: the EXIF resolution and orientation keep their values.
    EXPECT_EQ(p.DpiX(), expected.DpiX());
    EXPECT_EQ(p.ExifXResolution(), 96.5);
    EXPECT_EQ(p.TiffOrientation, 6);
    EXPECT_EQ(p.ExifOrientation, 8);
    // Members no file carries keep their values.
    EXPECT_EQ(p.XmpPacket, "<xmp/>");
    EXPECT_EQ(p.JpegWarningCount, 4);
    EXPECT_TRUE(p.TiffAutoRotate);
    EXPECT_EQ(p.ExifMake, "Camera");
    // Lists.
    EXPECT_EQ(p.JpegQuality, 93);
    EXPECT_EQ(p.GifComments, (std::vector<std::string>{"first comment", "", "third"}));
    ASSERT_EQ(p.JpegMarkerList.Count(), 2); // replaced
    EXPECT_EQ(p.JpegMarkerList.Code(0), JPEG_COM);
    ASSERT_EQ(p.IptcInfo.Count(), 2); // replaced, and marked for writing
    EXPECT_EQ(p.IptcInfo[1].DataSet, 120);
    EXPECT_TRUE(p.IptcInfo.UserChanged);
    ASSERT_EQ(p.DicomTags.Count(), 3); // added to the tag already present
    EXPECT_EQ(p.DicomTags[0].Group, 0x0008);
    EXPECT_EQ(p.DicomTags[2].Length, -1);
    EXPECT_TRUE(p.InputIccProfile.IsValid()); // the holder parsed the profile
    EXPECT_EQ(p.InputIccProfile.ColorSpace(), "CMYK");
    EXPECT_EQ(p.OutputIccProfile.Size(), 3u);
    EXPECT_TRUE(p.DefaultIccProfile.IsEmpty());
    EXPECT_EQ(p.TgaDate, 45123.5);
    EXPECT_EQ(p.ColorMapCount(), 2);
}

TEST(ParamsFile, EarlyVersions) {
    {
        SCOPED_TRACE("version 0");
        TIOParamsVals p;
        FillBefore(p);
        p.IcoImageIndex = 7;
        p.CurHotSpotX = 9;
        ExpectedFields e;
        Bytes file = BuildFile(0, e);
        LoadInto(p, file);
        EXPECT_EQ(p.FileType, 0xFE); // one byte
        EXPECT_EQ(p.IcoImageIndex, 0);
        EXPECT_EQ(p.CurImageIndex, 0);
        EXPECT_EQ(p.CurHotSpotX, 0);
        EXPECT_EQ(p.CurHotSpotY, 0);
        EXPECT_EQ(p.JpegScale, 3);       // a version-1 row: not read
        EXPECT_EQ(p.TgaXPos, 13);        // version 3
        EXPECT_EQ(p.TiffImageCount, 78); // version 4
        EXPECT_EQ(p.ImageIndex, 77);     // version 25
        EXPECT_EQ(p.ColorMapCount(), 2);
    }
    {
        SCOPED_TRACE("version 3");
        TIOParamsVals p;
        FillBefore(p);
        ExpectedFields e;
        Bytes file = BuildFile(3, e);
        LoadInto(p, file);
        EXPECT_EQ(p.FileType, 5);
        EXPECT_EQ(p.JpegScale, 4);
        EXPECT_EQ(p.TgaXPos, e.TgaXPos);
        EXPECT_EQ(p.TgaDate, 45123.5);
        // Rows of version 4 and later are not read.
        ASSERT_EQ(p.JpegMarkerList.Count(), 1);
        EXPECT_EQ(p.JpegMarkerList.Code(0), JPEG_APP14);
        ASSERT_EQ(p.IptcInfo.Count(), 1);
        EXPECT_EQ(p.IptcInfo[0].DataSet, 80);
        EXPECT_EQ(p.GifImageCount, 78);
    }
    {
        SCOPED_TRACE("version 11");
        ExpectedFields e;
        std::map<std::string, size_t> at;
        BuildFile(11, e, &at);
        EXPECT_EQ(at["IcoImageDepths"] - at["IcoImageSizes"], 128u);
        EXPECT_EQ(at["after IcoImageDepths"] - at["IcoImageDepths"], 64u);
    }
}

TEST(ParamsFile, ZeroColorMapCountRemovesThePalette) {
    TIOParamsVals p;
    p.ColorMap.assign(16, MakeRGB(1, 2, 3));
    ExpectedFields e;
    std::map<std::string, size_t> at;
    Bytes file = BuildFile(38, e, &at);
    // Drop the two entries and store a count of 0.
    size_t c = at["ColorMapCount"];
    PatchInt32(file, c, 0);
    file.erase(file.begin() + long(c + 4), file.begin() + long(c + 10));
    LoadInto(p, file);
    EXPECT_EQ(p.ColorMapCount(), 0);
    EXPECT_TRUE(p.ColorMap.empty());
}

TEST(ParamsFile, AnyNonZeroByteIsTrue) {
    ExpectedFields e;
    std::map<std::string, size_t> at;
    Bytes file = BuildFile(38, e, &at);
    file[at["GifInterlaced"]] = 0x80;
    TIOParamsVals p;
    LoadInto(p, file);
    EXPECT_TRUE(p.GifInterlaced);
}

TEST(ParamsFile, WriterMatchesTheHandBuiltFile) {
    ExpectedFields e;
    Bytes file = BuildFile(38, e);
    TIOParamsVals p;
    LoadInto(p, file);
    EXPECT_EQ(SaveBytes(p), file);
}

TEST(ParamsFile, WriteReadWriteIsIdentical) {
    TIOParamsVals p;
    FillBefore(p);
    ExpectedFields e;
    LoadInto(p, BuildFile(38, e));
    p.ExifMake = "not stored";
    Bytes first = SaveBytes(p);
    TIOParamsVals q;
    LoadInto(q, first);
    EXPECT_EQ(SaveBytes(q), first);
    EXPECT_EQ(q.DpiX(), p.DpiX());
    EXPECT_EQ(q.JpegMarkerList, p.JpegMarkerList);

    // Through a file as well.
    twtest::TempDir dir;
    std::string name = dir.file("UserParams");
    p.SaveToFile(name);
    TIOParamsVals r;
    r.LoadFromFile(name);
    EXPECT_EQ(SaveBytes(r), first);
    EXPECT_EQ(twtest::ReadFile(name), first);
}

TEST(ParamsFile, NewerVersionIsReadInTheLatestLayout) {
    ExpectedFields e;
    Bytes file = BuildFile(38, e);
    size_t layoutSize = file.size();
    PatchInt32(file, 0, 41);
    file.insert(file.end(), {1, 2, 3, 4, 5, 6, 7, 8}); // members of a later version
    TIOParamsVals p;
    EXPECT_EQ(LoadInto(p, file), int64_t(layoutSize));
    EXPECT_EQ(p.JpegQuality, 93);
}

TEST(ParamsFile, MissingFileRaises) {
    twtest::TempDir dir;
    TIOParamsVals p;
    try {
        p.LoadFromFile(dir.file("absent"));
        FAIL() << "no exception";
    } catch (const EFOpenError& ex) {
        EXPECT_NE(std::string(ex.what()).find("Cannot open file"), std::string::npos);
    }
}

TEST(ParamsFile, EveryTruncationFailsAndLeavesTheRecordAlone) {
    ExpectedFields e;
    const Bytes file = BuildFile(38, e);
    TIOParamsVals p;
    FillBefore(p);
    const TIOParamsFields before = Fields(p);
    for (size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes cut(file.begin(), file.begin() + long(length));
        TMemoryStream s(cut);
        EXPECT_THROW(p.LoadFromStream(s), EIEParamsFileError);
        if (!(Fields(p) == before)) {
            ADD_FAILURE() << "the record changed";
            break;
        }
    }
}

TEST(ParamsFile, DamagedCountsAndLengthsFailFast) {
    struct Row {
        const char* name;
        const char* at; // where the int32 to patch starts
        int32_t value;
        const char* mentions; // in the message
    };
    const Row rows[] = {
        {"2 GB file name", "FileName", 0x7FFFFFFF, "FileName"},
        {"negative file name length", "FileName", -5, "negative length"},
        {"huge palette", "ColorMapCount", 0x7FFFFFFF, "ColorMapCount"},
        {"huge comment list", "GifComments", 0x7FFFFFFF, "GifComments"},
        {"negative comment count", "GifComments", -1, "negative GifComments count"},
        {"huge marker list", "JpegMarkerList", 0x7FFFFFFF, "JpegMarkerList"},
        {"huge marker payload", "JpegMarkerList payload", 0x7FFFFFF0, "JpegMarkerList payload"},
        {"negative marker payload", "JpegMarkerList payload", -9, "negative"},
        {"huge text keys", "PngTextKeys", 0x40000000, "PngTextKeys"},
        {"huge DICOM list", "DicomTags", 0x7FFFFFFF, "DicomTags"},
        {"huge DICOM value", "DicomTags data", 0x7FFFFFFF, "DicomTags data length"},
        {"huge IPTC list", "IptcInfo", 0x7FFFFFFF, "IptcInfo"},
        {"huge IPTC data", "IptcInfo data", 0x7FFFFFFF, "IptcInfo data"},
        {"huge ICC profile", "InputIccProfile", 0x7FFFFFFF, "InputIccProfile"},
        {"negative version", "version", -1, "negative version"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ExpectedFields e;
        std::map<std::string, size_t> at;
        Bytes file = BuildFile(38, e, &at);
        ASSERT_TRUE(at.count(r.at));
        PatchInt32(file, at[r.at], r.value);
        TIOParamsVals p;
        TMemoryStream s(file);
        try {
            p.LoadFromStream(s);
            ADD_FAILURE() << "no exception";
        } catch (const EIEException& ex) {
            std::string msg = ex.what();
            EXPECT_EQ(msg.rfind("Parameters file is damaged: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(r.mentions), std::string::npos) << msg;
            EXPECT_NE(msg.find("at offset " + std::to_string(at[r.at])), std::string::npos) << msg;
        }
    }
}
