// JPEG codec: encode/decode round trips, scaled decoding, marker handling, the start
// search and datastream length, ICC chunk collection, and the library's error paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "codecs/jpeg.h"
#include "codecs/jpeg_lib.h"
#include "image/color.h"
#include "tests/helpers.h"
#include "tests/jpeg_helpers.h"

using namespace tw;
using namespace jpegtest;

namespace {

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Offset of the first marker code (the byte after 0xFF) at or after from, or npos.
size_t FindMarker(const Bytes& b, uint8_t code, size_t from = 2) {
    for (size_t i = from; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == code) return i + 1;
    return std::string::npos;
}

// n fill bytes followed by data (built without growing the vector).
Bytes Prefixed(size_t n, uint8_t fill, const Bytes& data) {
    Bytes b(n + data.size(), fill);
    std::copy(data.begin(), data.end(), b.begin() + long(n));
    return b;
}

void PutBE16(Bytes& b, size_t at, int v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

Bytes SmallJpeg(int w = 64, int h = 48, bool progressive = false) {
    auto card = TestCard(w, h);
    TJpegEncodeOptions o;
    o.Progressive = progressive;
    o.Quality = 90;
    return Encode(*card, o);
}

// A stream that accepts only the first `limit` bytes written.
class TShortStream : public TMemoryStream {
  public:
    explicit TShortStream(int64_t limit) : limit_(limit) {}
    int64_t Write(const void* buffer, int64_t count) override {
        int64_t n = std::clamp<int64_t>(limit_ - Size(), 0, count);
        return TMemoryStream::Write(buffer, n);
    }

  private:
    int64_t limit_;
};

// A stream whose reads and writes raise once `limit` bytes have passed.
class TFailingStream : public TMemoryStream {
  public:
    TFailingStream(const Bytes& data, int64_t limit) : TMemoryStream(data), limit_(limit) {}
    int64_t Read(void* buffer, int64_t count) override {
        if (Position() + count > limit_) throw EReadError("disk gone");
        return TMemoryStream::Read(buffer, count);
    }
    int64_t Write(const void* buffer, int64_t count) override {
        if (Size() + count > limit_) throw EWriteError("disk full");
        return TMemoryStream::Write(buffer, count);
    }

  private:
    int64_t limit_;
};

} // namespace

// ---- round trips ----------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    int colorSpace, quality, dct;
    bool progressive, optimize;
    int smoothing;
    double maxMeanError; // per sample, against the source
};

TEST(JpegRoundTrip, SettingsReadBack) {
    const RoundTripCase cases[] = {
        {"YCbCr quality 95", jcsYCbCr, 95, 1, false, false, 0, 3.0},
        {"YCbCr quality 30 progressive", jcsYCbCr, 30, 1, true, false, 0, 6.0},
        {"optimised Huffman tables, slow DCT", jcsYCbCr, 80, 0, false, true, 0, 3.0},
        {"floating-point DCT, smoothing 40", jcsYCbCr, 80, 2, false, false, 40, 4.0},
        {"progressive and optimised", jcsYCbCr, 85, 1, true, true, 0, 3.0},
        {"RGB", jcsRGB, 90, 1, false, false, 0, 2.0},
        {"RGB progressive", jcsRGB, 90, 1, true, false, 0, 2.0},
    };
    auto card = TestCard(80, 60);
    for (const RoundTripCase& c : cases) {
        SCOPED_TRACE(c.name);
        TJpegEncodeOptions o;
        o.ColorSpace = c.colorSpace;
        o.Quality = c.quality;
        o.DCTMethod = c.dct;
        o.Progressive = c.progressive;
        o.OptimizeCoding = c.optimize;
        o.Smoothing = c.smoothing;
        Bytes file = Encode(*card, o);
        ASSERT_GT(file.size(), 100u);
        EXPECT_EQ(FindMarker(file, c.progressive ? 0xC2 : 0xC0) != std::string::npos, true);

        Decoded d = Decode(file);
        ASSERT_FALSE(d.aborted) << d.reason;
        EXPECT_EQ(d.result.Rows, 60);
        EXPECT_EQ(d.result.Width, 80);
        EXPECT_EQ(d.result.Height, 60);
        EXPECT_EQ(d.result.ColorSpace, c.colorSpace);
        EXPECT_EQ(d.result.SamplesPerPixel, 3);
        EXPECT_EQ(d.result.Progressive, c.progressive);
        EXPECT_EQ(d.result.WarningCount, 0);
        ASSERT_EQ(d.bitmap->PixelFormat(), ie24RGB);
        EXPECT_LT(MeanDifference(*card, *d.bitmap), c.maxMeanError);
        // Channel order: the red block stays red, the blue block blue.
        TRGB red = Pixel24(*d.bitmap, 4, 4), blue = Pixel24(*d.bitmap, 75, 4);
        EXPECT_GT(red.r, 200);
        EXPECT_LT(red.b, 60);
        EXPECT_GT(blue.b, 200);
        EXPECT_LT(blue.r, 60);
    }
}

TEST(JpegRoundTrip, CmykAndYcck) {
    struct Case {
        const char* name;
        int colorSpace, adobeTransform;
    } cases[] = {{"CMYK", jcsCMYK, 0}, {"YCCK", jcsYCCK, 2}};
    auto card = TestCard(48, 32);
    const std::string djpeg = FindTool("djpeg");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TJpegEncodeOptions o;
        o.ColorSpace = c.colorSpace;
        o.Quality = 95;
        Bytes file = Encode(*card, o);
        // The Adobe marker names the transform; a CMYK file also carries a JFIF header.
        size_t app14 = FindMarker(file, 0xEE);
        ASSERT_NE(app14, std::string::npos);
        EXPECT_EQ(file[app14 + 14], c.adobeTransform);
        EXPECT_EQ(FindMarker(file, 0xE0) != std::string::npos, c.colorSpace == jcsCMYK);

        TJpegDecodeOptions native;
        native.NativeFormat = true;
        Decoded n = Decode(file, native);
        ASSERT_FALSE(n.aborted) << n.reason;
        EXPECT_EQ(n.result.ColorSpace, c.colorSpace);
        EXPECT_EQ(n.result.SamplesPerPixel, 4);
        EXPECT_EQ(n.bitmap->PixelFormat(), ieCMYK);
        Decoded d = Decode(file);
        ASSERT_FALSE(d.aborted) << d.reason;
        ASSERT_EQ(d.bitmap->PixelFormat(), ie24RGB);
        EXPECT_LT(MeanDifference(*card, *d.bitmap), 4.0);
        TRGB red = Pixel24(*d.bitmap, 4, 4);
        EXPECT_GT(red.r, 200);
        EXPECT_LT(red.b, 60);

        if (djpeg.empty()) continue;
        twtest::TempDir tmp; // another reader agrees on the colours
        twtest::WriteFile(tmp.file("c.jpg"), file);
        ASSERT_EQ(RunTool({djpeg, "-pnm", "-outfile", tmp.file("c.ppm"), tmp.file("c.jpg")}), 0);
        Pnm ref;
        ASSERT_TRUE(ReadPnm(twtest::ReadFile(tmp.file("c.ppm")), ref));
        const uint8_t* topLeft = ref.data.data() + 3 * (4 * 48 + 4);
        EXPECT_GT(topLeft[0], 200);
        EXPECT_LT(topLeft[2], 60);
    }
}

TEST(JpegRoundTrip, QualityAndOptimisationChangeTheSize) {
    auto card = TestCard(96, 64);
    TJpegEncodeOptions o;
    o.Quality = 95;
    const size_t q95 = Encode(*card, o).size();
    o.Quality = 20;
    const size_t q20 = Encode(*card, o).size();
    o.OptimizeCoding = true;
    const size_t q20opt = Encode(*card, o).size();
    EXPECT_GT(q95, q20);
    EXPECT_LT(q20opt, q20);
}

TEST(JpegRoundTrip, RgbFileStoresRedGreenBlue) {
    // A JPEG written in the RGB colour space holds the samples in R, G, B order with
    // an Adobe marker saying "no transform"; djpeg (another reader) sees the colours.
    auto card = TestCard(32, 32);
    TJpegEncodeOptions o;
    o.ColorSpace = jcsRGB;
    o.Quality = 100;
    Bytes file = Encode(*card, o);
    size_t app14 = FindMarker(file, 0xEE);
    ASSERT_NE(app14, std::string::npos);
    EXPECT_EQ(std::string(file.begin() + long(app14) + 3, file.begin() + long(app14) + 8), "Adobe");
    EXPECT_EQ(file[app14 + 14], 0); // transform 0: RGB
    EXPECT_EQ(FindMarker(file, 0xE0), std::string::npos); // no JFIF for RGB

    const std::string djpeg = FindTool("djpeg");
    if (djpeg.empty()) GTEST_SKIP() << "djpeg not installed";
    twtest::TempDir tmp;
    twtest::WriteFile(tmp.file("rgb.jpg"), file);
    ASSERT_EQ(RunTool({djpeg, "-pnm", "-outfile", tmp.file("rgb.ppm"), tmp.file("rgb.jpg")}), 0);
    Pnm ref;
    ASSERT_TRUE(ReadPnm(twtest::ReadFile(tmp.file("rgb.ppm")), ref));
    ASSERT_EQ(ref.channels, 3);
    const uint8_t* topLeft = ref.data.data() + 3 * (4 * 32 + 4);
    EXPECT_GT(topLeft[0], 240); // R
    EXPECT_LT(topLeft[2], 15);  // B
}

TEST(JpegRoundTrip, GrayFile) {
    auto card = TestCard(40, 30);
    TJpegEncodeOptions o;
    o.ColorSpace = jcsGray;
    o.Quality = 100;
    Bytes file = Encode(*card, o);
    TJpegDecodeOptions native;
    native.NativeFormat = true;
    Decoded g = Decode(file, native);
    ASSERT_FALSE(g.aborted) << g.reason;
    EXPECT_EQ(g.result.ColorSpace, jcsGray);
    EXPECT_EQ(g.result.SamplesPerPixel, 1);
    ASSERT_EQ(g.bitmap->PixelFormat(), ie8g);
    Decoded c = Decode(file);
    ASSERT_EQ(c.bitmap->PixelFormat(), ie24RGB);
    for (int y = 0; y < 30; y += 7) {
        for (int x = 0; x < 40; x += 5) {
            SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
            TRGB src = Pixel24(*card, x, y);
            // The luminance of the JPEG colour transform.
            double luma = 0.299 * src.r + 0.587 * src.g + 0.114 * src.b;
            uint8_t gray = Pixel8(*g.bitmap, x, y);
            EXPECT_NEAR(gray, luma, 3.0);
            TRGB expanded = Pixel24(*c.bitmap, x, y);
            EXPECT_EQ(expanded, MakeRGB(gray, gray, gray));
        }
    }
}

TEST(JpegRoundTrip, Density) {
    struct Case {
        int dpiX, dpiY, wantX, wantY;
    } cases[] = {{72, 150, 72, 150}, {300, 300, 300, 300}, {70000, 0, 65535, 1}};
    auto card = TestCard(16, 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dpiX) + " x " + std::to_string(c.dpiY));
        TJpegEncodeOptions o;
        o.DpiX = c.dpiX;
        o.DpiY = c.dpiY;
        Bytes file = Encode(*card, o);
        // JFIF APP0 right after SOI: unit at 13, densities at 14 and 16.
        ASSERT_EQ(std::string(file.begin() + 6, file.begin() + 11), std::string("JFIF\0", 5));
        EXPECT_EQ(file[13], 1);
        EXPECT_EQ(file[14] * 256 + file[15], c.wantX);
        EXPECT_EQ(file[16] * 256 + file[17], c.wantY);
        TJpegDecodeOptions po;
        po.ParamsOnly = true;
        Decoded d = Decode(file, po);
        ASSERT_FALSE(d.aborted);
        EXPECT_EQ(d.result.DensityUnit, 1);
        EXPECT_EQ(d.result.XDensity, c.wantX);
        EXPECT_EQ(d.result.YDensity, c.wantY);
        EXPECT_EQ(d.result.Rows, 0);
        EXPECT_TRUE(d.bitmap->IsEmpty());
    }
}

// ---- markers ----------------------------------------------------------------------

TEST(JpegMarkers, WrittenInOrderAndReadBackByteForByte) {
    Bytes exif = Str(std::string("Exif\0\0MM\0*\0\0\0\x08", 14));
    Bytes icc1 = Str(std::string("ICC_PROFILE\0\x01\x02", 14) + std::string(3000, 'a'));
    Bytes icc2 = Str(std::string("ICC_PROFILE\0\x02\x02", 14) + std::string(70, 'b'));
    Bytes xmp = Str(std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 41));
    Bytes iptc = Str(std::string("Photoshop 3.0\0", 14) + std::string("8BIM\x04\x04\0\0\0\0\0\x08", 12) +
                     std::string("\x1c\x02\x05\0\x03" "abc", 8));
    Bytes jfxx = Str(std::string("JFXX\0\x10", 6));
    Bytes big(65533, 0x5A); // the largest payload a segment holds
    Bytes comment = Str("a comment");
    Bytes empty;
    Bytes adobe = Str(std::string("Adobe\0\x64\0\0\0\0\x01", 12));
    const std::vector<TJpegSegment> written = {
        {0xE1, exif}, {0xE2, icc1}, {0xE2, icc2}, {0xE1, xmp}, {0xED, iptc},
        {0xE0, jfxx}, {0xEF, big},  {0xFE, comment}, {0xEA, empty},
    };
    TJpegEncodeOptions o;
    for (const auto& s : written) o.Markers.push_back({s.Code, s.Data.data(), s.Data.size()});
    o.Markers.push_back({0xEE, adobe.data(), adobe.size()}); // not written: the library owns APP14
    Bytes eoi = {1, 2};
    o.Markers.push_back({0xD9, eoi.data(), eoi.size()}); // not a segment kept with an image
    o.Markers.push_back({0xDB, eoi.data(), eoi.size()});
    auto card = TestCard(24, 24);
    Bytes file = Encode(*card, o);

    Decoded d = Decode(file);
    ASSERT_FALSE(d.aborted) << d.reason;
    // The library's own JFIF header is not kept; everything else comes back in order.
    EXPECT_EQ(d.result.Markers, written);
    EXPECT_EQ(FindMarker(file, 0xEE), std::string::npos);
}

TEST(JpegMarkers, OversizedSegmentRaisesLibraryError) {
    Bytes huge(65534, 1);
    TJpegEncodeOptions o;
    o.Markers.push_back({0xE5, huge.data(), huge.size()});
    auto card = TestCard(8, 8);
    TMemoryStream out;
    bool aborted = false;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    try {
        JpegEncode(out, *card, o, p);
        ADD_FAILURE() << "no exception";
    } catch (const EIEJpegException& e) {
        EXPECT_STREQ(e.what(), "Bogus marker length");
    }
    EXPECT_TRUE(aborted);
}

// ---- scaling ---------------------------------------------------------------------

TEST(JpegScale, FixedScales) {
    struct Case {
        int scale, width, height, used;
    } cases[] = {
        {1, 101, 75, 1}, {2, 51, 38, 2}, {3, 26, 19, 4}, {4, 13, 10, 8}, {9, 101, 75, 1},
    };
    Bytes file = SmallJpeg(101, 75);
    for (const Case& c : cases) {
        SCOPED_TRACE("JpegScale " + std::to_string(c.scale));
        TJpegDecodeOptions o;
        o.Scale = c.scale;
        Decoded d = Decode(file, o);
        ASSERT_FALSE(d.aborted) << d.reason;
        EXPECT_EQ(d.bitmap->Width(), c.width);
        EXPECT_EQ(d.bitmap->Height(), c.height);
        EXPECT_EQ(d.result.Rows, c.height);
        EXPECT_EQ(d.result.ScaleUsed, c.used);
        EXPECT_EQ(d.result.OriginalWidth, 101);
        EXPECT_EQ(d.result.OriginalHeight, 75);
    }
}

TEST(JpegScale, AutomaticScaleFromRequestedSize) {
    struct Case {
        int fileW, fileH, wantW, wantH, width, height;
    } cases[] = {
        {2400, 1600, 300, 200, 300, 200},   // one eighth
        {2000, 1600, 300, 200, 500, 400},   // one quarter: an eighth would be too small
        {2000, 1600, 3000, 3000, 2000, 1600}, // larger than the image: full size
        {2000, 1600, 300, 0, 2000, 1600},   // no height requested: full size
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fileW) + " x " + std::to_string(c.fileH) + " asked " +
                     std::to_string(c.wantW) + " x " + std::to_string(c.wantH));
        TIEBitmap flat;
        ASSERT_TRUE(flat.Allocate(c.fileW, c.fileH, ie24RGB));
        Bytes file = Encode(flat);
        TJpegDecodeOptions o;
        o.Scale = 0;
        o.RequestWidth = c.wantW;
        o.RequestHeight = c.wantH;
        Decoded d = Decode(file, o);
        ASSERT_FALSE(d.aborted) << d.reason;
        EXPECT_EQ(d.result.Width, c.width);
        EXPECT_EQ(d.result.Height, c.height);
        EXPECT_EQ(d.result.ScaleUsed, c.fileW / c.width);
    }
}

// ---- partial decoding ----------------------------------------------------------------

TEST(JpegDecode, MaxRowsStopsEarlyWithoutAbort) {
    Bytes file = SmallJpeg(40, 40);
    TJpegDecodeOptions o;
    o.MaxRows = 10;
    Decoded d = Decode(file, o);
    EXPECT_FALSE(d.aborted) << d.reason;
    EXPECT_EQ(d.result.Rows, 10);
    EXPECT_EQ(d.bitmap->Height(), 40);
}

TEST(JpegDecode, ProgressIsReportedOncePerPercentStep) {
    Bytes file = SmallJpeg(16, 250);
    bool aborted = false;
    std::vector<int> seen;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    p.Handler = [&](void*, int percent) { seen.push_back(percent); };
    TMemoryViewStream s(file.data(), file.size());
    TIEBitmap bmp;
    TJpegDecodeResult r;
    JpegDecode(s, nullptr, bmp, {}, p, r);
    ASSERT_FALSE(aborted);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()); // no repeats
}

TEST(JpegDecode, AbortFromTheProgressHandlerStopsDecoding) {
    Bytes file = SmallJpeg(16, 200);
    bool aborted = false;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    p.Handler = [&](void*, int percent) {
        if (percent >= 25) aborted = true;
    };
    TMemoryViewStream s(file.data(), file.size());
    TIEBitmap bmp;
    TJpegDecodeResult r;
    JpegDecode(s, nullptr, bmp, {}, p, r);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(r.Rows, 50);
}

// ---- start search and datastream length ------------------------------------------------

TEST(JpegFindStart, WithinNinetyNineBytes) {
    const Bytes jpeg = SmallJpeg(8, 8);
    struct Case {
        size_t junk;
        int64_t want;
    } cases[] = {{0, 0}, {50, 50}, {99, 99}, {100, -1}, {150, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.junk) + " bytes of junk");
        TMemoryStream s(Prefixed(c.junk, 0x20, jpeg));
        s.SetPosition(0);
        EXPECT_EQ(JpegFindStart(s), c.want);
        EXPECT_EQ(s.Position(), 0);
    }
    // From a position other than 0.
    TMemoryStream s(Prefixed(10, 0, jpeg));
    s.SetPosition(4);
    EXPECT_EQ(JpegFindStart(s), 10);
    EXPECT_EQ(s.Position(), 4);
    // FF D8 without a following FF is not a start.
    TMemoryStream t(Bytes{0xFF, 0xD8, 0x00, 0xFF, 0xD8, 0xFF, 0xE0});
    EXPECT_EQ(JpegFindStart(t), 3);
}

TEST(JpegStreamLength, EndsAtEndOfImage) {
    const Bytes jpeg = SmallJpeg(20, 20);
    Bytes b = Prefixed(7, 0xAB, jpeg);
    b.resize(b.size() + 300, 0xFF); // trailing data, itself fill bytes
    TMemoryStream s(b);
    s.SetPosition(7);
    EXPECT_EQ(JpegStreamLength(s), int64_t(jpeg.size()));
    EXPECT_EQ(s.Position(), 7);

    // Fill bytes before the end-of-image marker still end the datastream.
    Bytes filled(jpeg.begin(), jpeg.end() - 2);
    filled.insert(filled.end(), {0xFF, 0xFF, 0xFF, 0xD9, 1, 2, 3});
    TMemoryStream f(filled);
    EXPECT_EQ(JpegStreamLength(f), int64_t(filled.size() - 3));

    // Without an end-of-image marker: up to the end of the stream.
    Bytes cut(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2));
    TMemoryStream c(cut);
    EXPECT_EQ(JpegStreamLength(c), int64_t(cut.size()));

    // A segment length below 2 does not make the scan go backwards.
    Bytes bad = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00, 0xFF, 0xD9, 0x00};
    TMemoryStream bs(bad);
    EXPECT_EQ(JpegStreamLength(bs), 8);
}

// ---- ICC profile chunks ---------------------------------------------------------------------

namespace {

Bytes IccChunk(int seq, int total, const std::string& data) {
    return Str(std::string("ICC_PROFILE", 12) + char(seq) + char(total) + data);
}

Bytes WithMarkers(const std::vector<TJpegSegment>& segments) {
    TJpegEncodeOptions o;
    for (const auto& s : segments) o.Markers.push_back({s.Code, s.Data.data(), s.Data.size()});
    auto card = TestCard(8, 8);
    return Encode(*card, o);
}

} // namespace

TEST(JpegIcc, ChunksJoinedInSequenceOrder) {
    struct Case {
        const char* name;
        std::vector<TJpegSegment> segments;
        std::string want;
    } cases[] = {
        {"one chunk", {{0xE2, IccChunk(1, 1, "whole")}}, "whole"},
        {"chunks out of order", {{0xE2, IccChunk(2, 3, "BB")}, {0xE2, IccChunk(3, 3, "CCC")}, {0xE2, IccChunk(1, 3, "A")}},
         "ABBCCC"},
        {"a chunk missing", {{0xE2, IccChunk(1, 3, "A")}, {0xE2, IccChunk(3, 3, "CCC")}}, "ACCC"},
        {"other APP2 data ignored", {{0xE2, Str("FPXR\0stuff")}, {0xE2, IccChunk(1, 1, "p")}}, "p"},
        {"chunk number 0 ignored", {{0xE2, IccChunk(0, 1, "zero")}, {0xE2, IccChunk(1, 1, "one")}}, "one"},
        {"header cut short", {{0xE2, Str(std::string("ICC_PROFILE\0\x01", 13))}}, ""},
        {"no profile", {{0xE1, Str("Exif")}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = WithMarkers(c.segments);
        TMemoryStream s(file);
        std::vector<uint8_t> profile = JpegCollectIccProfile(s);
        EXPECT_EQ(std::string(profile.begin(), profile.end()), c.want);
        EXPECT_EQ(s.Position(), 0);
    }
}

TEST(JpegIcc, ProfileAfterTheFrameHeaderIsFound) {
    // Move the APP2 segment of a small file behind its SOF marker.
    Bytes file = WithMarkers({{0xE2, IccChunk(1, 1, "late profile")}});
    size_t app2 = FindMarker(file, 0xE2) - 1;
    size_t len = size_t(file[app2 + 2] * 256 + file[app2 + 3]) + 2;
    Bytes segment(file.begin() + long(app2), file.begin() + long(app2 + len));
    file.erase(file.begin() + long(app2), file.begin() + long(app2 + len));
    size_t sof = FindMarker(file, 0xC0) - 1;
    size_t sofLen = size_t(file[sof + 2] * 256 + file[sof + 3]) + 2;
    file.insert(file.begin() + long(sof + sofLen), segment.begin(), segment.end());
    TMemoryStream s(file);
    std::vector<uint8_t> profile = JpegCollectIccProfile(s);
    EXPECT_EQ(std::string(profile.begin(), profile.end()), "late profile");
    Decoded d = Decode(file);
    EXPECT_FALSE(d.aborted) << d.reason;
}

// ---- library errors and hostile files --------------------------------------------------

TEST(JpegErrors, DamagedFilesAbortCleanly) {
    const Bytes good = SmallJpeg(64, 48);
    struct Case {
        const char* name;
        Bytes bytes;
        const char* reason; // expected reason, or nullptr for "starts with JPEG: "
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, "JPEG: Not a JPEG file: starts with 0xff 0xd9"});
    cases.push_back({"not a JPEG", Str("GIF89a......"), "JPEG: Not a JPEG file: starts with 0x47 0x49"});
    cases.push_back({"cut in the header", Bytes(good.begin(), good.begin() + 60), nullptr});
    cases.push_back({"cut before the first scan", Bytes(good.begin(), good.begin() + long(FindMarker(good, 0xDA) - 1)),
                     "JPEG: Invalid JPEG file structure: missing SOS marker"});
    cases.push_back({"cut before the frame header", Bytes(good.begin(), good.begin() + long(FindMarker(good, 0xC0) - 1)),
                     "JPEG: JPEG datastream contains no image"});
    {
        Bytes b = good; // Huffman code counts adding up to more than 256 codes
        size_t dht = FindMarker(b, 0xC4);
        for (int i = 0; i < 16; ++i) b[dht + 4 + size_t(i)] = 0xFF;
        cases.push_back({"corrupt Huffman table", b, "JPEG: Bogus Huffman table definition"});
    }
    {
        Bytes b = good; // a segment length of 1
        size_t dqt = FindMarker(b, 0xDB);
        PutBE16(b, dqt + 1, 1);
        cases.push_back({"bad segment length", b, nullptr});
    }
    {
        Bytes b = good; // 12-bit precision in the frame header
        b[FindMarker(b, 0xC0) + 3] = 12;
        cases.push_back({"unsupported precision", b, "JPEG: Unsupported JPEG data precision 12"});
    }
    {
        Bytes b = good; // width 0
        PutBE16(b, FindMarker(b, 0xC0) + 6, 0);
        cases.push_back({"zero width", b, nullptr});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        ASSERT_NO_THROW(d = Decode(c.bytes));
        EXPECT_TRUE(d.aborted);
        if (c.reason) EXPECT_EQ(d.reason, c.reason);
        else EXPECT_EQ(d.reason.rfind("JPEG: ", 0), 0u) << d.reason;
    }
}

TEST(JpegErrors, TruncatedScanDataDecodesWithWarnings) {
    const Bytes good = SmallJpeg(64, 64);
    Bytes cut(good.begin(), good.begin() + long(good.size() * 2 / 3));
    Decoded d = Decode(cut);
    EXPECT_FALSE(d.aborted) << d.reason;
    EXPECT_EQ(d.result.Rows, 64);
    EXPECT_GT(d.result.WarningCount, 0);
    EXPECT_EQ(d.result.LastWarning, int(JWRN_HIT_MARKER));
}

TEST(JpegErrors, ThousandsOfScansAreRefused) {
    const Bytes prog = SmallJpeg(32, 32, true);
    // Repeat the last scan (a refinement scan) until there are thousands of them.
    size_t lastSos = 0;
    for (size_t at = 0; (at = FindMarker(prog, 0xDA, at + 1)) != std::string::npos;) lastSos = at - 1;
    ASSERT_GT(lastSos, 0u);
    Bytes scan(prog.begin() + long(lastSos), prog.end() - 2);
    auto build = [&](int copies) {
        Bytes b(prog.begin(), prog.end() - 2);
        for (int i = 0; i < copies; ++i) b.insert(b.end(), scan.begin(), scan.end());
        b.insert(b.end(), {0xFF, 0xD9});
        return b;
    };
    Decoded many = Decode(build(3000));
    EXPECT_TRUE(many.aborted);
    EXPECT_EQ(many.reason, "JPEG: the file has more than 1000 scans");
    // A few hundred repeated scans are only odd: they decode, with warnings.
    Decoded some = Decode(build(300));
    EXPECT_FALSE(some.aborted) << some.reason;
    EXPECT_EQ(some.result.Rows, 32);
}

TEST(JpegErrors, HugeDeclaredSizesAreRefusedBeforeAllocating) {
    // A tiny progressive file that declares 16384 x 16384 pixels (at the pixel limit):
    // the library's coefficient buffers would take 1.5 GiB, and the file holds far less
    // than the one bit per block that any Huffman-coded image needs.
    auto card = TestCard(16, 16);
    TJpegEncodeOptions o;
    o.Progressive = true;
    Bytes file = Encode(*card, o);
    size_t sof = FindMarker(file, 0xC2);
    // 4:4:4 sampling so that all three components are full size.
    for (int c = 0; c < 3; ++c) file[sof + 10 + size_t(3 * c)] = 0x11;
    PutBE16(file, sof + 4, 16384);
    PutBE16(file, sof + 6, 16384);
    Decoded d = Decode(file);
    EXPECT_TRUE(d.aborted);
    EXPECT_EQ(d.reason, "JPEG: a 16384 x 16384 image cannot come from 286 bytes of data");
    EXPECT_TRUE(d.bitmap->IsEmpty());

    // Beyond the decoded-pixel limit the library is not even started.
    PutBE16(file, sof + 4, 65000);
    PutBE16(file, sof + 6, 65000);
    Decoded e = Decode(file);
    EXPECT_TRUE(e.aborted);
    EXPECT_NE(e.reason.find("exceeds the limit"), std::string::npos) << e.reason;
    // The header alone can still be read.
    TJpegDecodeOptions po;
    po.ParamsOnly = true;
    Decoded h = Decode(file, po);
    EXPECT_FALSE(h.aborted);
    EXPECT_EQ(h.result.Width, 65000);
}

TEST(JpegErrors, StreamExceptionsWhileReadingBecomeAnAbort) {
    const Bytes good = SmallJpeg(64, 64);
    TFailingStream s(good, 200);
    bool aborted = false;
    std::string reason;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    p.AbortReason = &reason;
    TIEBitmap bmp;
    TJpegDecodeResult r;
    EXPECT_NO_THROW(JpegDecode(s, nullptr, bmp, {}, p, r));
    EXPECT_TRUE(aborted);
    EXPECT_EQ(reason, "JPEG: the stream could not be read (disk gone)");
}

// ---- writer failures ---------------------------------------------------------------------

TEST(JpegWriterErrors, EmptyBitmapWritesNothing) {
    TIEBitmap empty;
    TMemoryStream out;
    bool aborted = false;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    JpegEncode(out, empty, {}, p);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(out.Size(), 0);
}

TEST(JpegWriterErrors, ShortWriteStopsAndSetsTheAbortFlag) {
    TIEBitmap big;
    ASSERT_TRUE(big.Allocate(600, 600, ie24RGB));
    auto card = TestCard(600, 600);
    TShortStream out(1000);
    bool aborted = false;
    std::string reason;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    p.AbortReason = &reason;
    TJpegEncodeOptions o;
    o.Quality = 100;
    EXPECT_NO_THROW(JpegEncode(out, *card, o, p));
    EXPECT_TRUE(aborted);
    EXPECT_EQ(reason, "JPEG: the output stream accepted fewer bytes than written");
    EXPECT_EQ(out.Size(), 1000);
}

TEST(JpegWriterErrors, StreamExceptionPassesOn) {
    auto card = TestCard(600, 600);
    TFailingStream out({}, 70000);
    bool aborted = false;
    TIEProgressRecord p;
    p.AbortFlag = &aborted;
    TJpegEncodeOptions o;
    o.Quality = 100;
    EXPECT_THROW(JpegEncode(out, *card, o, p), EWriteError);
    EXPECT_TRUE(aborted);
}

// ---- row colour conversion ---------------------------------------------------------------

TEST(JpegColorConvert, DefaultConversionPairs) {
    struct Case {
        const char* name;
        int from, to;
        Bytes source, want; // want empty: the destination stays untouched
    } cases[] = {
        {"RGB to BGR", iecRGB, iecBGR, {10, 20, 30, 1, 2, 3}, {30, 20, 10, 3, 2, 1}},
        {"BGR to BGR", iecBGR, iecBGR, {10, 20, 30}, {10, 20, 30}},
        {"48-bit little-endian", iecRGB48, iecBGR, {0x34, 0x12, 0xCD, 0xAB, 0xFF, 0x00}, {0x00, 0xAB, 0x12}},
        {"48-bit big-endian", iecRGB48BE, iecBGR, {0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF}, {0x00, 0xAB, 0x12}},
        // R = Y + 1.402 (Cr-128), G = Y - 0.34414 (Cb-128) - 0.71414 (Cr-128), B = Y + 1.772 (Cb-128)
        {"YCbCr grey", iecYCbCr, iecBGR, {128, 128, 128}, {128, 128, 128}},
        {"YCbCr clamped high", iecYCbCr, iecBGR, {255, 128, 255}, {255, 164, 255}},
        {"YCbCr clamped low", iecYCbCr, iecBGR, {0, 0, 0}, {0, 135, 0}},
        {"YCbCr truncated", iecYCbCr, iecBGR, {100, 140, 90}, {121, 123, 46}},
        // CMYK bytes are 255 - ink: R = C' K' / 255 ...
        {"CMYK to BGR", iecCMYK, iecBGR, {255, 128, 0, 255, 255, 255, 255, 100}, {0, 128, 255, 100, 100, 100}},
        // K' = max(R, G, B), C' = R 255 / K' ...
        {"BGR to CMYK", iecBGR, iecCMYK, {50, 100, 200}, {255, 127, 63, 200}},
        {"RGB to CMYK is not a pair", iecRGB, iecCMYK, {1, 2, 3}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int bytesPerPixel = c.from == iecCMYK ? 4 : (c.from == iecRGB48 || c.from == iecRGB48BE) ? 6 : 3;
        const int count = int(c.source.size()) / bytesPerPixel;
        Bytes dest(16, 0xEE);
        ColorConvertHook(c.source.data(), c.from, dest.data(), c.to, count, nullptr);
        Bytes want = c.want;
        want.resize(16, 0xEE);
        EXPECT_EQ(dest, want);
    }
}

namespace {
int hookCalls = 0;
void CountingHook(const uint8_t* s, int sf, uint8_t* d, int df, int32_t n, TIOParamsVals* p) {
    ++hookCalls;
    DefaultColorConvert(s, sf, d, df, n, p);
}
} // namespace

TEST(JpegColorConvert, CodecsCallThroughTheHook) {
    auto card = TestCard(16, 8);
    TJpegEncodeOptions o;
    o.ColorSpace = jcsCMYK;
    TIEColorConvertProc saved = ColorConvertHook;
    ColorConvertHook = CountingHook;
    hookCalls = 0;
    Bytes file = Encode(*card, o); // BGR -> CMYK per row
    EXPECT_EQ(hookCalls, 8);
    Decoded d = Decode(file); // CMYK -> BGR per row
    EXPECT_EQ(hookCalls, 16);
    ColorConvertHook = saved;
    EXPECT_FALSE(d.aborted);
}

TEST(JpegDecode, InvertedCmykAndRawYCbCr) {
    auto card = TestCard(32, 16);
    TJpegEncodeOptions o;
    o.ColorSpace = jcsCMYK;
    Bytes cmyk = Encode(*card, o);
    TJpegDecodeOptions native;
    native.NativeFormat = true;
    Decoded n = Decode(cmyk, native);
    TJpegDecodeOptions invert;
    invert.InvertCmyk = true;
    Decoded i = Decode(cmyk, invert);
    ASSERT_FALSE(i.aborted);
    for (int y = 0; y < 16; y += 5) {
        for (int x = 0; x < 32; x += 7) {
            const uint8_t* p = n.bitmap->Scanline(y) + 4 * x;
            EXPECT_EQ(Pixel24(*i.bitmap, x, y), CMYKToRGB(255 - p[0], 255 - p[1], 255 - p[2], 255 - p[3]));
        }
    }

    // Raw YCbCr: the samples arrive unconverted; converting them gives the normal decode
    // within the rounding of the two conversions.
    Bytes ycc = Encode(*card);
    TJpegDecodeOptions raw;
    raw.RawYCbCr = true;
    raw.DCTMethod = 0;
    Decoded r = Decode(ycc, raw);
    TJpegDecodeOptions plain;
    plain.DCTMethod = 0;
    Decoded p = Decode(ycc, plain);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.result.ColorSpace, jcsYCbCr);
    TRGB redYcc = Pixel24(*r.bitmap, 4, 4); // stored Y, Cb, Cr of pure red: 76, 85, 255
    EXPECT_NEAR(redYcc.b, 76, 6);
    EXPECT_NEAR(redYcc.g, 85, 6);
    EXPECT_NEAR(redYcc.r, 255, 6);
    for (int y = 0; y < 16; ++y) {
        Bytes row(3 * 32);
        ColorConvertHook(r.bitmap->Scanline(y), iecYCbCr, row.data(), iecBGR, 32, nullptr);
        const uint8_t* q = p.bitmap->Scanline(y);
        for (size_t k = 0; k < row.size(); ++k) EXPECT_NEAR(row[k], q[k], 2) << "row " << y << " byte " << k;
    }
}

TEST(JpegErrors, MutatedCopiesNeverCrash) {
    // Damaged copies of a baseline and a progressive file (a few bytes changed at
    // random, fixed seed): each decodes in full or aborts with a reason.
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (bool progressive : {false, true}) {
        const Bytes good = SmallJpeg(48, 40, progressive);
        for (int round = 0; round < 300; ++round) {
            Bytes b = good;
            const int changes = 1 + int(next() % 4);
            for (int k = 0; k < changes; ++k) b[next() % b.size()] = uint8_t(next());
            SCOPED_TRACE(std::string(progressive ? "progressive" : "baseline") + " round " + std::to_string(round));
            Decoded d;
            ASSERT_NO_THROW(d = Decode(b));
            if (d.aborted) EXPECT_EQ(d.reason.rfind("JPEG: ", 0), 0u) << d.reason;
            else EXPECT_EQ(d.result.Rows, d.bitmap->Height());
        }
    }
}
