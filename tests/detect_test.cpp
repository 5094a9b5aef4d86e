#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "io/formats.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pad(Bytes b, size_t size) {
    b.resize(std::max(b.size(), size), 0);
    return b;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

void PutLE16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void PutLE32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A little-endian TIFF with one directory of (tag, type, count, value) entries.
Bytes Tiff(const std::vector<std::array<uint32_t, 4>>& entries) {
    Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
    b.resize(8 + 2 + entries.size() * 12 + 4, 0);
    PutLE16(b, 8, uint16_t(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = 10 + i * 12;
        PutLE16(b, at, uint16_t(entries[i][0]));
        PutLE16(b, at + 2, uint16_t(entries[i][1]));
        PutLE32(b, at + 4, entries[i][2]);
        PutLE32(b, at + 8, entries[i][3]);
    }
    return Pad(b, 64);
}

Bytes Icon(uint16_t type) {
    Bytes b(6 + 16 + 40, 0);
    PutLE16(b, 2, type);
    PutLE16(b, 4, 1);
    b[6] = 16;
    b[7] = 16;
    PutLE32(b, 6 + 8, 40);
    PutLE32(b, 6 + 12, 22);
    return b;
}

Bytes Jpeg(size_t leading) {
    Bytes b(leading, 0);
    for (uint8_t v : {0xFF, 0xD8, 0xFF, 0xE0}) b.push_back(v);
    return Pad(b, leading + 200);
}

int32_t Detect(const Bytes& data) {
    TMemoryStream s(data.data(), data.size());
    s.SetPosition(0);
    int32_t r = DetectStreamType(s);
    EXPECT_EQ(s.Position(), 0) << "detection restores the position";
    return r;
}

} // namespace

TEST(Detect, SignatureTable) {
    Bytes targa(18 + 12, 0);
    targa[2] = 2;
    targa[16] = 24;
    PutLE16(targa, 12, 3);
    PutLE16(targa, 14, 2);
    Bytes dcx(16, 0);
    PutLE32(dcx, 0, 0x3ADE68B1);
    PutLE32(dcx, 4, 12);
    Bytes psd = Str("8BPS");
    psd.resize(26, 0);
    psd[5] = 1;
    psd[13] = 3;
    psd[23] = 8;
    psd[25] = 3;
    Bytes dicom(140, 0);
    std::memcpy(dicom.data() + 128, "DICM", 4);
    Bytes wmf(40, 0);
    PutLE16(wmf, 0, 1);
    PutLE16(wmf, 2, 9);
    Bytes emf(60, 0);
    PutLE32(emf, 0, 1);
    PutLE32(emf, 40, 0x464D4520);
    Bytes jp2 = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A, 0, 0};
    Bytes j2k = {0xFF, 0x4F, 0xFF, 0x51, 0, 0};
    Bytes avi = Str(std::string("RIFF\x10\0\0\0AVI LIST", 16));
    Bytes bmp = Pad(Str("BM"), 60);
    Bytes pcx = Pad({0x0A, 5, 1, 8}, 200);
    Bytes dng = Tiff({{256, 3, 1, 10}, {257, 3, 1, 10}, {50706, 1, 4, 0x01010000}});

    struct Row {
        const char* name;
        Bytes data;
        int32_t expected;
    } rows[] = {
        {"GIF", Pad(Str("GIF89a"), 20), ioGIF},
        {"GIF too short", Str("GIF89a"), ioUnknown},
        {"PCX bytes only", Str(std::string("PCX\0", 4)), ioUnknown},
        {"PCX with one more byte", Str(std::string("PCX\0\0", 5)), ioPCX},
        {"BMP", bmp, ioBMP},
        {"PCX header", pcx, ioPCX},
        {"PCX header, version 6", Pad({0x0A, 6, 1, 8}, 200), ioUnknown},
        {"TIFF", Tiff({{256, 3, 1, 10}, {257, 3, 1, 10}}), ioTIFF},
        {"TIFF without ImageLength", Tiff({{256, 3, 1, 10}}), ioUnknown},
        {"TIFF that is a camera raw", dng, ioUnknown},
        {"PNG", Pad({0x89, 'P', 'N', 'G', 13, 10, 26, 10}, 40), ioPNG},
        {"DICOM", dicom, ioDICOM},
        {"icon", Icon(1), ioICO},
        {"cursor", Icon(2), ioCUR},
        {"Targa", targa, ioTGA},
        {"PNM", Str("P6\n# comment\n3 2\n255\n"), ioPXM},
        {"PNM with zero width", Str("P6\n0 2\n255\n"), ioUnknown},
        {"JPEG at 0", Jpeg(0), ioJPEG},
        {"JPEG after 50 bytes", Jpeg(50), ioJPEG},
        {"JPEG after 99 bytes", Jpeg(99), ioJPEG},
        {"JPEG after 100 bytes", Jpeg(100), ioUnknown},
        {"JPEG 2000 file", jp2, ioJP2},
        {"JPEG 2000 code stream", j2k, ioJ2K},
        {"video", avi, ioAVI},
        {"multi-page PCX", dcx, ioDCX},
        {"metafile", wmf, ioWMF},
        {"enhanced metafile", emf, ioEMF},
        {"Photoshop", psd, ioPSD},
        {"empty", {}, ioUnknown},
        {"text", Str("hello, this is not an image at all"), ioUnknown},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Detect(r.data), r.expected);
    }
}

TEST(Detect, StartsAtTheCurrentPosition) {
    Bytes data = Str("xxxx");
    Bytes gif = Pad(Str("GIF87a"), 20);
    data.insert(data.end(), gif.begin(), gif.end());
    TMemoryStream s(data.data(), data.size());
    s.SetPosition(4);
    EXPECT_EQ(DetectStreamType(s), ioGIF);
    EXPECT_EQ(s.Position(), 4);
}

TEST(Detect, FileTypeWithExtension) {
    twtest::TempDir dir;
    Bytes png = Pad({0x89, 'P', 'N', 'G', 13, 10, 26, 10}, 40);
    Bytes gif = Pad(Str("GIF89a"), 20);
    Bytes tiff = Tiff({{256, 3, 1, 10}, {257, 3, 1, 10}});
    struct Row {
        const char* name;
        Bytes data;
        bool verify;
        int32_t expected;
    } rows[] = {
        {"a.gif", png, false, ioPNG},  {"a.png", gif, false, ioGIF},   {"x.nef", tiff, false, ioRAW},
        {"x.tif", tiff, false, ioTIFF}, {"x.cur", Icon(1), true, ioCUR}, {"x.ico", Icon(1), true, ioICO},
        {"x.png", gif, true, ioUnknown}, {"x.xyz", gif, true, ioUnknown}, {"x.xyz", gif, false, ioGIF},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string path = dir.file(r.name);
        twtest::WriteFile(path, r.data);
        EXPECT_EQ(DetectFileType(path, r.verify), r.expected);
    }
    EXPECT_EQ(DetectFileType(dir.file("missing.png"), false), ioUnknown);
    EXPECT_EQ(DetectFileType(dir.path().string(), false), ioUnknown) << "a folder is not a file";
    EXPECT_EQ(DetectFileType("", false), ioUnknown);
}

TEST(FormatTable, Lookups) {
    ASSERT_EQ(FormatTable().size(), 24u);
    EXPECT_EQ(FormatTable()[8].TypeCode, ioDICOM) << "rows keep registration order";
    struct Row {
        const char* ext;
        int32_t expected;
    } rows[] = {{".JPE", ioJPEG}, {"jpeg", ioJPEG}, {".win", ioUnknown}, {"jfif", ioUnknown},
                {"tif", ioTIFF},  {"", ioUnknown},  {".PIX", ioTGA},     {"pbm", ioPXM}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.ext);
        const TIEFormatRow* row = FormatByExtension(r.ext);
        EXPECT_EQ(row ? row->TypeCode : ioUnknown, r.expected);
    }
    EXPECT_EQ(ExtensionCount(ioTIFF), 6);
    EXPECT_EQ(ExtensionAt(ioTIFF, 5), "XIF");
    EXPECT_EQ(ExtensionAt(ioTIFF, 6), "");
    EXPECT_EQ(ExtensionCount(ioAVI), 0);
    EXPECT_EQ(ExtractFileExt("dir.v1/name"), "");
    EXPECT_EQ(ExtractFileExt("c:\\a.b\\x.PNG"), ".PNG");
    EXPECT_EQ(ExtractFileExt("x."), ".");
}

TEST(FormatTable, RegisteredProbe) {
    TIEFormatRow row;
    row.TypeCode = 100;
    row.DisplayName = "Test format";
    row.ExtensionList = "TST";
    row.ProbeProc = [](TStream& s, int32_t) {
        char c = 0;
        return s.Read(&c, 1) == 1 && c == '!';
    };
    RegisterFormat(row);
    EXPECT_EQ(Detect(Str("!abc")), 100);
    EXPECT_EQ(Detect(Str("?abc")), ioUnknown);
    UnregisterFormat(100);
    EXPECT_EQ(Detect(Str("!abc")), ioUnknown);
    EXPECT_EQ(FormatByType(100), nullptr);
}
