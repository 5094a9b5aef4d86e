// JpegReadStream, JpegWriteStream and the marker preparation, through the parameter
// record: resolution, colour space, start search, markers kept and written back,
// ICC, IPTC and XMP, table streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "codecs/jpeg.h"
#include "io/params.h"
#include "tests/helpers.h"
#include "tests/jpeg_helpers.h"

using namespace tw;
using namespace jpegtest;

namespace {

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Read {
    int32_t rows = 0;
    bool aborted = false;
    std::string reason;
    TIOParamsVals params;
    TIEBitmap bitmap;
};

// Reads as a file load does: no tables, all rows, ICC and metadata.
void ReadInto(const Bytes& bytes, Read& r, bool paramsOnly = false, TStream* tables = nullptr) {
    TMemoryViewStream stream(bytes.data(), bytes.size());
    TIEProgressRecord progress;
    progress.AbortFlag = &r.aborted;
    progress.AbortReason = &r.reason;
    r.rows = JpegReadStream(stream, tables, r.bitmap, r.params.NativePixelFormat, -1, true, false, true, false,
                            paramsOnly, progress, r.params);
}

Bytes Write(TIEBitmap& bitmap, TIOParamsVals& params) {
    TMemoryStream out;
    bool aborted = false;
    TIEProgressRecord progress;
    progress.AbortFlag = &aborted;
    JpegPrepareMarkers(params);
    JpegWriteStream(out, bitmap, params, progress);
    EXPECT_FALSE(aborted);
    return out.Data();
}

Bytes WithMarkers(const std::vector<TJpegSegment>& segments, int colorSpace = jcsYCbCr) {
    TJpegEncodeOptions o;
    o.ColorSpace = colorSpace;
    for (const auto& s : segments) o.Markers.push_back({s.Code, s.Data.data(), s.Data.size()});
    auto card = TestCard(24, 16);
    return Encode(*card, o);
}

// The segments of a datastream between SOI and the first SOS, as (code, whole segment).
std::vector<std::pair<uint8_t, Bytes>> HeaderSegments(const Bytes& b, size_t& sos) {
    std::vector<std::pair<uint8_t, Bytes>> out;
    size_t p = 2;
    while (p + 4 <= b.size() && b[p] == 0xFF && b[p + 1] != 0xDA) {
        size_t len = size_t(b[p + 2] * 256 + b[p + 3]);
        out.push_back({b[p + 1], Bytes(b.begin() + long(p), b.begin() + long(p + 2 + len))});
        p += 2 + len;
    }
    sos = p;
    return out;
}

int CountJfif(const Bytes& b) {
    size_t sos = 0;
    int n = 0;
    for (auto& [code, seg] : HeaderSegments(b, sos))
        if (code == 0xE0 && seg.size() >= 9 && std::memcmp(seg.data() + 4, "JFIF\0", 5) == 0) ++n;
    return n;
}

const Bytes kExif = Str(std::string("Exif\0\0II*\0\x08\0\0\0", 14));
const Bytes kXmp = Str(std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta>one</x:xmpmeta>", 55));
Bytes Icc(int seq, int total, const std::string& data) {
    return Str(std::string("ICC_PROFILE", 12) + char(seq) + char(total) + data);
}
// A Photoshop resource block holding IPTC 2:5 "Title" and 2:120 "Caption".
Bytes PhotoshopIptc() {
    Bytes datasets = {0x1C, 2, 5, 0, 5, 'T', 'i', 't', 'l', 'e', 0x1C, 2, 120, 0, 7, 'C', 'a', 'p', 't', 'i', 'o', 'n'};
    Bytes b = Str(std::string("Photoshop 3.0\0" "8BIM\x04\x04\0\0", 22));
    b.insert(b.end(), {0, 0, 0, uint8_t(datasets.size())});
    b.insert(b.end(), datasets.begin(), datasets.end());
    return b;
}

} // namespace

TEST(JpegReadStream, FillsTheRecord) {
    auto card = TestCard(40, 30);
    TJpegEncodeOptions o;
    o.Progressive = true;
    Bytes file = Encode(*card, o);
    Read r;
    r.params.JpegColorSpace = 0;
    r.params.SamplesPerPixel = 0;
    r.params.ColorMap.resize(4);
    ReadInto(file, r);
    ASSERT_FALSE(r.aborted) << r.reason;
    EXPECT_EQ(r.rows, 30);
    EXPECT_EQ(r.params.Width, 40);
    EXPECT_EQ(r.params.Height, 30);
    EXPECT_EQ(r.params.BitsPerSample, 8);
    EXPECT_EQ(r.params.SamplesPerPixel, 3);
    EXPECT_EQ(r.params.JpegColorSpace, jcsYCbCr);
    EXPECT_TRUE(r.params.ColorMap.empty());
    EXPECT_TRUE(r.params.JpegProgressive);
    EXPECT_EQ(r.params.JpegOriginalWidth, 40);
    EXPECT_EQ(r.params.JpegScaleUsed, 1);
    EXPECT_EQ(r.params.JpegWarningCount, 0);
    EXPECT_EQ(r.bitmap.PixelFormat(), ie24RGB);
}

TEST(JpegReadStream, ParamsOnlyReadsTheHeader) {
    auto card = TestCard(40, 30);
    Bytes file = Encode(*card);
    Read r;
    r.params.JpegScale = 3;
    ReadInto(file, r, true);
    EXPECT_FALSE(r.aborted);
    EXPECT_EQ(r.rows, 0);
    EXPECT_EQ(r.params.Width, 40); // the full size, whatever the scale
    EXPECT_EQ(r.params.Height, 30);
    EXPECT_EQ(r.params.JpegScaleUsed, 4);
    EXPECT_TRUE(r.bitmap.IsEmpty());
}

TEST(JpegReadStream, ResolutionFromJfif) {
    struct Case {
        const char* name;
        int unit, x, y; // -1: no JFIF header at all
        int dpiX, dpiY;
    } cases[] = {
        {"dots per centimetre", 2, 100, 100, 254, 254},
        {"dots per inch", 1, 300, 300, 300, 300},
        {"aspect ratio only", 0, 2, 1, 2, 1},
        {"unknown unit", 7, 50, 50, 123, 456},
        {"no JFIF header", -1, 0, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = TestCard(16, 16);
        Bytes file = Encode(*card);
        ASSERT_EQ(std::memcmp(file.data() + 6, "JFIF", 4), 0);
        if (c.unit < 0) {
            file.erase(file.begin() + 2, file.begin() + 2 + 2 + file[4] * 256 + file[5]);
        } else {
            file[13] = uint8_t(c.unit);
            file[14] = uint8_t(c.x >> 8), file[15] = uint8_t(c.x);
            file[16] = uint8_t(c.y >> 8), file[17] = uint8_t(c.y);
        }
        Read r;
        r.params.SetDpiX(123);
        r.params.SetDpiY(456);
        ReadInto(file, r);
        ASSERT_FALSE(r.aborted) << r.reason;
        EXPECT_EQ(r.params.DpiX(), c.dpiX);
        EXPECT_EQ(r.params.DpiY(), c.dpiY);
    }
}

TEST(JpegReadStream, StartOfImageWithinNinetyNineBytes) {
    auto card = TestCard(16, 16);
    Bytes jpeg = Encode(*card);
    for (size_t junk : {50, 99, 100}) {
        SCOPED_TRACE(std::to_string(junk) + " bytes before the image");
        Bytes file(junk, 'x');
        file.insert(file.end(), jpeg.begin(), jpeg.end());
        Read r;
        r.params.JpegMarkerList.Add(0xFE, "kept", 4);
        ReadInto(file, r);
        if (junk < 100) {
            EXPECT_FALSE(r.aborted) << r.reason;
            EXPECT_EQ(r.rows, 16);
            EXPECT_EQ(r.params.JpegMarkerList.Count(), 0);
        } else {
            EXPECT_TRUE(r.aborted);
            EXPECT_EQ(r.reason, "JPEG: no start-of-image marker within the first 100 bytes");
            EXPECT_EQ(r.rows, 0);
            EXPECT_EQ(r.params.Width, 0);
            EXPECT_EQ(r.params.JpegMarkerList.Count(), 1); // nothing else changed
        }
    }
}

TEST(JpegReadStream, CmykTargetThatCannotHoldCmykGetsRgb) {
    // A device bitmap holds no CMYK: with NativePixelFormat the image comes as 24-bit.
    const std::string corpus = twtest::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "corpus not present";
    Bytes file = twtest::ReadFile(corpus + "/files/jpeg/jdec__mozilla-jpg-cmyk-1.jpg");
    Read native;
    native.params.NativePixelFormat = true;
    ReadInto(file, native);
    ASSERT_FALSE(native.aborted) << native.reason;
    EXPECT_EQ(native.bitmap.PixelFormat(), ieCMYK);
    EXPECT_EQ(native.params.JpegColorSpace, jcsCMYK);
    EXPECT_EQ(native.params.SamplesPerPixel, 4);

    Read device;
    device.params.NativePixelFormat = true;
    device.bitmap.SetLocation(ieTBitmap);
    ReadInto(file, device);
    ASSERT_FALSE(device.aborted) << device.reason;
    EXPECT_EQ(device.bitmap.Location(), ieTBitmap);
    EXPECT_EQ(device.bitmap.PixelFormat(), ie24RGB);
    EXPECT_EQ(device.rows, device.bitmap.Height());
    // The same pixels as a load without NativePixelFormat.
    Read plain;
    ReadInto(file, plain);
    ASSERT_EQ(plain.bitmap.PixelFormat(), ie24RGB);
    EXPECT_EQ(MaxDifference(plain.bitmap, device.bitmap), 0);
    EXPECT_FALSE(device.bitmap.IsAllZero());
}

TEST(JpegReadStream, GrayNativeFormat) {
    auto card = TestCard(16, 16);
    TJpegEncodeOptions o;
    o.ColorSpace = jcsGray;
    Bytes file = Encode(*card, o);
    Read r;
    r.params.NativePixelFormat = true;
    ReadInto(file, r);
    EXPECT_EQ(r.bitmap.PixelFormat(), ie8g);
    EXPECT_EQ(r.params.SamplesPerPixel, 1);
    Read d;
    d.params.NativePixelFormat = true;
    d.bitmap.SetLocation(ieTBitmap);
    ReadInto(file, d);
    EXPECT_EQ(d.bitmap.PixelFormat(), ie8g);
}

TEST(JpegReadStream, WarningsOfATruncatedFile) {
    auto card = TestCard(64, 64);
    Bytes file = Encode(*card);
    file.resize(file.size() * 3 / 4);
    Read r;
    ReadInto(file, r);
    EXPECT_FALSE(r.aborted) << r.reason;
    EXPECT_EQ(r.rows, 64);
    EXPECT_GT(r.params.JpegWarningCount, 0);
    EXPECT_NE(r.params.JpegLastWarning, 0);
}

TEST(JpegReadStream, TablesFromASeparateStream) {
    auto card = TestCard(32, 32);
    Bytes whole = Encode(*card);
    size_t sos = 0;
    auto segments = HeaderSegments(whole, sos);
    // Tables: SOI, DQT, DHT, EOI. Image: SOI, the other segments, then the scan.
    Bytes tables = {0xFF, 0xD8}, image = {0xFF, 0xD8};
    for (auto& [code, seg] : segments) {
        Bytes& to = (code == 0xDB || code == 0xC4) ? tables : image;
        to.insert(to.end(), seg.begin(), seg.end());
    }
    tables.insert(tables.end(), {0xFF, 0xD9});
    image.insert(image.end(), whole.begin() + long(sos), whole.end());

    Read full, split;
    ReadInto(whole, full);
    TMemoryViewStream tablesStream(tables.data(), tables.size());
    ReadInto(image, split, false, &tablesStream);
    ASSERT_FALSE(split.aborted) << split.reason;
    EXPECT_EQ(MaxDifference(full.bitmap, split.bitmap), 0);

    // Without the tables the image cannot be decoded.
    Read alone;
    ReadInto(image, alone);
    EXPECT_TRUE(alone.aborted);

    // A tables stream the library rejects raises the library's error.
    Bytes bad = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x01, 0xFF, 0xD9};
    TMemoryViewStream badStream(bad.data(), bad.size());
    Read r;
    EXPECT_THROW(ReadInto(image, r, false, &badStream), EIEJpegException);
}

// ---- markers and metadata ---------------------------------------------------------

TEST(JpegMetadata, MarkersKeptAndWrittenBackInOrder) {
    const Bytes jfxx = Str(std::string("JFXX\0\x13", 6));
    const Bytes comment = Str("made by hand");
    const std::vector<TJpegSegment> fileOrder = {
        {0xFE, comment}, {0xE2, Icc(2, 2, "second")}, {0xE1, kXmp}, {0xED, PhotoshopIptc()},
        {0xE2, Icc(1, 2, "first")}, {0xE1, kExif}, {0xE0, jfxx},
    };
    Read r;
    ReadInto(WithMarkers(fileOrder), r);
    ASSERT_FALSE(r.aborted) << r.reason;
    // Read: file order, the writer's JFIF header left out.
    std::vector<TJpegSegment> kept;
    for (const TIEMarker& m : r.params.JpegMarkerList.Items()) kept.push_back({m.Code, m.Data});
    EXPECT_EQ(kept, fileOrder);
    EXPECT_EQ(std::string(r.params.InputIccProfile.Bytes().begin(), r.params.InputIccProfile.Bytes().end()),
              "firstsecond");
    EXPECT_EQ(r.params.XmpPacket, "<x:xmpmeta>one</x:xmpmeta>");
    ASSERT_EQ(r.params.IptcInfo.Count(), 2);
    EXPECT_EQ(r.params.IptcInfo[1].DataSet, 120);

    // Re-saved: one JFIF header; then APP0, EXIF before XMP, ICC chunks in order, APP13, COM.
    Bytes saved = Write(r.bitmap, r.params);
    EXPECT_EQ(CountJfif(saved), 1);
    Decoded again = Decode(saved);
    const std::vector<TJpegSegment> written = {
        {0xE0, jfxx}, {0xE1, kExif}, {0xE1, kXmp}, {0xE2, Icc(1, 2, "first")}, {0xE2, Icc(2, 2, "second")},
        {0xED, PhotoshopIptc()}, {0xFE, comment},
    };
    EXPECT_EQ(again.result.Markers, written);
}

TEST(JpegMetadata, IptcAndXmpReplacedBeforeASave) {
    Read r;
    ReadInto(WithMarkers({{0xED, PhotoshopIptc()}, {0xE1, kXmp}, {0xFE, Str("c")}}), r);
    ASSERT_FALSE(r.aborted) << r.reason;
    r.params.IptcInfo.Add(2, 25, "keyword", 7);
    r.params.XmpPacket = "<x:xmpmeta>two</x:xmpmeta>";
    Write(r.bitmap, r.params);
    const TIEMarkerList& list = r.params.JpegMarkerList;
    // One APP13 with three records, one XMP packet with the new text.
    int app13 = 0, xmp = 0;
    for (int i = 0; i < list.Count(); ++i) {
        if (list.Code(i) == 0xED) {
            ++app13;
            TIEIPTCInfoList back;
            ASSERT_TRUE(back.LoadFromBuffer(list.Data(i).data(), list.Data(i).size()));
            EXPECT_EQ(back.Count(), 3);
        }
        if (list.Code(i) == 0xE1 && JpegIsXmpPayload(list.Data(i))) {
            ++xmp;
            const auto& d = list.Data(i);
            EXPECT_EQ(std::string(d.begin() + 29, d.end()), "<x:xmpmeta>two</x:xmpmeta>");
        }
    }
    EXPECT_EQ(app13, 1);
    EXPECT_EQ(xmp, 1);

    // Records cleared by the user: the APP13 entry goes.
    r.params.IptcInfo.Clear();
    JpegPrepareMarkers(r.params);
    EXPECT_EQ(r.params.JpegMarkerList.IndexOf(0xED), -1);
}

TEST(JpegMetadata, IptcOfAFreshImageIsWritten) {
    // No markers yet and records present: they are written even if not changed since.
    TIOParamsVals params;
    params.IptcInfo.LoadFromBuffer(PhotoshopIptc().data(), PhotoshopIptc().size());
    ASSERT_FALSE(params.IptcInfo.UserChanged);
    auto card = TestCard(8, 8);
    Bytes file = Write(*card, params);
    Read r;
    ReadInto(file, r);
    EXPECT_EQ(r.params.IptcInfo.Count(), 2);
}

TEST(JpegWriteStream, WriterOptionsFromTheRecord) {
    auto card = TestCard(32, 24);
    TIOParamsVals params;
    params.SetDpiX(0);
    params.SetDpiY(96);
    params.JpegProgressive = true;
    params.JpegColorSpace = jcsGray;
    Bytes file = Write(*card, params);
    Read r;
    ReadInto(file, r);
    ASSERT_FALSE(r.aborted) << r.reason;
    EXPECT_EQ(r.params.DpiX(), DefaultDpiX);
    EXPECT_EQ(r.params.DpiY(), 96);
    EXPECT_TRUE(r.params.JpegProgressive);
    EXPECT_EQ(r.params.JpegColorSpace, jcsGray);

    // A gray bitmap is converted to 24 bits for the encoder.
    TIEBitmap gray;
    ASSERT_TRUE(gray.Allocate(10, 10, ie8g));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) gray.Scanline(y)[x] = uint8_t(20 * x);
    TIOParamsVals plain;
    Bytes grayFile = Write(gray, plain);
    Read g;
    ReadInto(grayFile, g);
    ASSERT_FALSE(g.aborted) << g.reason;
    EXPECT_EQ(g.bitmap.Width(), 10);
    EXPECT_NEAR(Pixel24(g.bitmap, 9, 5).g, 180, 4);
    EXPECT_EQ(gray.PixelFormat(), ie8g); // the caller's bitmap is left alone

    TIEBitmap empty;
    TMemoryStream out;
    bool aborted = false;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    JpegWriteStream(out, empty, params, p);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(out.Size(), 0);
}
