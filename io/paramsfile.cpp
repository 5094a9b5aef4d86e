// The parameters file: the stored form of a TIOParamsVals record. All numbers are
// little-endian; a version number at the start decides which groups of members follow.
// Newer versions only add members at the places shown below, so one layout function
// serves every version; it is used both to read and to write, which keeps the two in step.
//
// Reading is bounded: every count and length is checked against the bytes that remain
// in the stream before anything is allocated or read, and a file that does not hold
// what it declares raises EIEParamsFileError. Members are read into a copy of the
// record, which replaces the record only when the whole block has been read.

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "io/params.h"
#include "io/stream.h"

namespace tw {

namespace {

// Smallest stored size of one list entry, used to refuse counts the file cannot hold.
constexpr int64_t kTextEntryMin = 4;   // int32 length
constexpr int64_t kMarkerEntryMin = 5; // code byte + int32 length
constexpr int64_t kIptcEntryMin = 12;  // three int32
constexpr int64_t kDicomEntryMin = 16; // the entry head
constexpr int64_t kColorEntrySize = 3; // one TRGB

class TParamsReader {
  public:
    static constexpr bool Reading = true;

    explicit TParamsReader(TStream& stream) : stream_(stream) {
        pos_ = stream.Position();
        end_ = std::max(stream.Size(), pos_);
    }

    int64_t Remaining() const { return end_ - pos_; }

    [[noreturn]] void Damaged(const std::string& what, int64_t offset) const {
        throw EIEParamsFileError("Parameters file is damaged: " + what + " at offset " +
                                 std::to_string(offset));
    }

    void Raw(void* target, int64_t count, const char* what) {
        if (count > Remaining())
            Damaged(std::string(what) + " needs " + std::to_string(count) + " bytes but only " +
                        std::to_string(Remaining()) + " remain",
                    pos_);
        stream_.ReadBuffer(target, count);
        pos_ += count;
    }

    int32_t ReadInt32(const char* what) {
        uint8_t b[4];
        Raw(b, 4, what);
        return int32_t(uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) |
                       (uint32_t(b[3]) << 24));
    }

    uint8_t ReadByte(const char* what) {
        uint8_t b;
        Raw(&b, 1, what);
        return b;
    }

    // A count or length of entries of at least entryMin bytes each: must not be
    // negative and must fit in what remains.
    int32_t ReadCount(const char* what, int64_t entryMin) {
        int64_t at = pos_;
        int32_t n = ReadInt32(what);
        if (n < 0) Damaged("negative " + std::string(what) + " count " + std::to_string(n), at);
        if (int64_t(n) * entryMin > Remaining())
            Damaged(std::string(what) + " count " + std::to_string(n) + " exceeds the " +
                        std::to_string(Remaining()) + " bytes that remain",
                    at);
        return n;
    }

    std::vector<uint8_t> ReadBytes(int64_t count, const char* what) {
        // Checked before the allocation, so that nothing larger than the stream is reserved.
        if (count < 0 || count > Remaining())
            Damaged(std::string(what) + " needs " + std::to_string(count) + " bytes but only " +
                        std::to_string(Remaining()) + " remain",
                    pos_);
        std::vector<uint8_t> data(static_cast<size_t>(count));
        if (count > 0) Raw(data.data(), count, what);
        return data;
    }

    void Int32(int32_t& v, const char* what) { v = ReadInt32(what); }
    void Byte(uint8_t& v, const char* what) { v = ReadByte(what); }
    void ByteInt32(int32_t& v, const char* what) { v = ReadByte(what); }
    void Bool(bool& v, const char* what) { v = ReadByte(what) != 0; }
    void Skip(int64_t count, const char* what) {
        uint8_t b[8];
        while (count > 0) {
            int64_t n = std::min<int64_t>(count, sizeof b);
            Raw(b, n, what);
            count -= n;
        }
    }

    void Double(double& v, const char* what) {
        uint8_t b[8];
        Raw(b, 8, what);
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i)
            bits = (bits << 8) | b[i];
        std::memcpy(&v, &bits, sizeof v);
    }

    void Rgb(TRGB& v, const char* what) {
        uint8_t b[3];
        Raw(b, 3, what);
        v = TRGB{b[0], b[1], b[2]};
    }

    void Text(std::string& v, const char* what) {
        int64_t at = pos_;
        int32_t n = ReadInt32(what);
        if (n < 0) Damaged("negative length " + std::to_string(n) + " of " + what, at);
        if (n > Remaining())
            Damaged(std::string(what) + " length " + std::to_string(n) + " exceeds the " +
                        std::to_string(Remaining()) + " bytes that remain",
                    at);
        std::string s(size_t(n), '\0');
        if (n > 0) Raw(s.data(), n, what);
        v = std::move(s);
    }

    void TextList(std::vector<std::string>& v, const char* what) {
        int32_t n = ReadCount(what, kTextEntryMin);
        v.clear();
        v.resize(size_t(n));
        for (auto& s : v)
            Text(s, what);
    }

    // The palette: a non-positive count leaves the record without palette.
    void ColorMap(std::vector<TRGB>& v, const char* what) {
        int64_t at = pos_;
        int32_t n = ReadInt32("ColorMapCount");
        v.clear();
        if (n <= 0) return;
        if (int64_t(n) * kColorEntrySize > Remaining())
            Damaged("ColorMapCount " + std::to_string(n) + " exceeds the " + std::to_string(Remaining()) +
                        " bytes that remain",
                    at);
        std::vector<uint8_t> raw = ReadBytes(int64_t(n) * kColorEntrySize, what);
        v.resize(size_t(n));
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = TRGB{raw[3 * i], raw[3 * i + 1], raw[3 * i + 2]};
    }

    void Markers(TIEMarkerList& v, const char* what) {
        ReadByte(what); // not used
        int32_t n = ReadCount(what, kMarkerEntryMin);
        v.Clear();
        for (int32_t i = 0; i < n; ++i) {
            uint8_t code = ReadByte(what);
            int32_t length = ReadCount("JpegMarkerList payload", 1);
            v.Add(code, ReadBytes(length, what));
        }
    }

    void Iptc(TIEIPTCInfoList& v, const char* what) {
        ReadInt32(what); // not used
        int32_t n = ReadCount(what, kIptcEntryMin);
        v.Clear();
        for (int32_t i = 0; i < n; ++i) {
            int32_t record = ReadInt32(what);
            int32_t dataSet = ReadInt32(what);
            int32_t length = ReadCount("IptcInfo data", 1);
            v.Add(uint8_t(record), uint8_t(dataSet), ReadBytes(length, what));
        }
        // Read records count as the user's: the JPEG writer stores them in the next file.
        v.UserChanged = true;
    }

    // DICOM tags are added to those already present.
    void Dicom(TIEDicomTags& v, const char* what) {
        if (ReadByte(what) == 0) return;
        int32_t n = ReadCount(what, kDicomEntryMin);
        for (int32_t i = 0; i < n; ++i) {
            uint8_t head[16];
            Raw(head, sizeof head, what);
            TIEDicomTag tag;
            tag.Group = uint16_t(head[0] | (head[1] << 8));
            tag.Element = uint16_t(head[2] | (head[3] << 8));
            tag.VR = {char(head[4]), char(head[5])};
            tag.Length = int32_t(uint32_t(head[12]) | (uint32_t(head[13]) << 8) | (uint32_t(head[14]) << 16) |
                                 (uint32_t(head[15]) << 24));
            if (tag.Length > 0) {
                if (tag.Length > Remaining())
                    Damaged("DicomTags data length " + std::to_string(tag.Length) + " exceeds the " +
                                std::to_string(Remaining()) + " bytes that remain",
                            pos_ - 4);
                tag.Data = ReadBytes(tag.Length, what);
            }
            v.Add(std::move(tag));
        }
    }

    void Icc(TIEICC& v, const char* what) {
        int32_t length = ReadCount(what, 1);
        v.LoadFromBuffer(ReadBytes(length, what));
    }

  private:
    TStream& stream_;
    int64_t pos_ = 0;
    int64_t end_ = 0;
};

class TParamsWriter {
  public:
    static constexpr bool Reading = false;

    std::vector<uint8_t> Out;

    void Raw(const void* data, size_t count) {
        const auto* b = static_cast<const uint8_t*>(data);
        Out.insert(Out.end(), b, b + count);
    }
    void PutInt32(int32_t v) {
        uint32_t u = uint32_t(v);
        uint8_t b[4] = {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
        Raw(b, 4);
    }
    void PutCount(size_t n, const char* what) {
        if (n > size_t(std::numeric_limits<int32_t>::max()))
            throw EWriteError(std::string("Parameters file: ") + what + " is too large to store");
        PutInt32(int32_t(n));
    }

    void Int32(const int32_t& v, const char*) { PutInt32(v); }
    void Byte(const uint8_t& v, const char*) { Out.push_back(v); }
    void ByteInt32(const int32_t& v, const char*) { Out.push_back(uint8_t(v)); }
    void Bool(const bool& v, const char*) { Out.push_back(v ? 1 : 0); }
    void Skip(int64_t count, const char*) { Out.insert(Out.end(), size_t(count), 0); }
    void Double(const double& v, const char*) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 8; ++i)
            Out.push_back(uint8_t(bits >> (8 * i)));
    }
    void Rgb(const TRGB& v, const char*) { Out.insert(Out.end(), {v.b, v.g, v.r}); }
    void Text(const std::string& v, const char* what) {
        PutCount(v.size(), what);
        Raw(v.data(), v.size());
    }
    void TextList(const std::vector<std::string>& v, const char* what) {
        PutCount(v.size(), what);
        for (const auto& s : v)
            Text(s, what);
    }
    void ColorMap(const std::vector<TRGB>& v, const char* what) {
        PutCount(v.size(), what);
        for (const TRGB& c : v)
            Rgb(c, what);
    }
    void Markers(const TIEMarkerList& v, const char* what) {
        Out.push_back(0);
        PutCount(size_t(v.Count()), what);
        for (const TIEMarker& m : v.Items()) {
            Out.push_back(m.Code);
            PutCount(m.Data.size(), what);
            Raw(m.Data.data(), m.Data.size());
        }
    }
    void Iptc(const TIEIPTCInfoList& v, const char* what) {
        PutInt32(0);
        PutCount(size_t(v.Count()), what);
        for (const TIEIPTCInfo& item : v.Items()) {
            PutInt32(item.Record);
            PutInt32(item.DataSet);
            PutCount(item.Data.size(), what);
            Raw(item.Data.data(), item.Data.size());
        }
    }
    void Dicom(const TIEDicomTags& v, const char* what) {
        Out.push_back(1);
        PutCount(size_t(v.Count()), what);
        for (const TIEDicomTag& tag : v.Items()) {
            uint8_t head[12] = {uint8_t(tag.Group),        uint8_t(tag.Group >> 8), uint8_t(tag.Element),
                                uint8_t(tag.Element >> 8), uint8_t(tag.VR[0]),      uint8_t(tag.VR[1])};
            Raw(head, sizeof head);
            if (tag.Data.empty()) {
                PutInt32(std::min(tag.Length, 0)); // 0, or -1 for an undefined length
            } else {
                PutCount(tag.Data.size(), what);
                Raw(tag.Data.data(), tag.Data.size());
            }
        }
    }
    void Icc(const TIEICC& v, const char* what) {
        PutCount(v.Size(), what);
        Raw(v.Bytes().data(), v.Size());
    }
};

} // namespace

// The layout, in file order. "v >= n" marks members that versions before n do not carry;
// members a version does not carry are left untouched when reading.
struct TIOParamsFileLayout {
    template <class IO, class P> static void Transfer(IO& io, P& p, int32_t v) {
#define TW_FIELD(kind, member) io.kind(p.member, #member)
        TW_FIELD(Text, FileName); // 8-bit text; on this system it is kept as it is (UTF-8)
        if (v >= 2)
            TW_FIELD(Int32, FileType);
        else
            TW_FIELD(ByteInt32, FileType);
        TW_FIELD(Int32, BitsPerSample);
        TW_FIELD(Int32, SamplesPerPixel);
        TW_FIELD(Int32, Width);
        TW_FIELD(Int32, Height);
        // Stored directly: reading the resolution does not touch the EXIF resolution.
        io.Int32(p.dpiX_, "DpiX");
        io.Int32(p.dpiY_, "DpiY");
        TW_FIELD(ColorMap, ColorMap);
        if (v >= 25) {
            TW_FIELD(Int32, ImageIndex);
            TW_FIELD(Int32, ImageCount);
            TW_FIELD(Bool, ReadThumbnail);
        }
        if (v >= 38) TW_FIELD(Bool, SpareFlag);

        // TIFF
        TW_FIELD(Byte, TiffCompression);
        TW_FIELD(Int32, TiffImageIndex);
        TW_FIELD(Byte, TiffPhotometric);
        TW_FIELD(Int32, TiffPlanarConfig);
        TW_FIELD(Int32, TiffXPos);
        TW_FIELD(Int32, TiffYPos);
        TW_FIELD(Text, TiffDocumentName);
        TW_FIELD(Text, TiffImageDescription);
        TW_FIELD(Text, TiffPageName);
        TW_FIELD(Int32, TiffPageNumber);
        TW_FIELD(Int32, TiffPageCount);
        if (v >= 4) TW_FIELD(Int32, TiffImageCount);
        if (v >= 6) TW_FIELD(Int32, TiffOrientation);
        if (v >= 10) TW_FIELD(Int32, TiffJpegQuality);
        if (v >= 16) TW_FIELD(Byte, TiffJpegColorSpace);
        if (v >= 26) TW_FIELD(Int32, TiffFillOrder);
        if (v >= 30) TW_FIELD(Int32, TiffZipCompression);
        if (v >= 31) TW_FIELD(Int32, TiffSubIndex);
        if (v >= 32) TW_FIELD(Bool, TiffLittleEndian);

        // GIF
        TW_FIELD(Text, GifVersion);
        TW_FIELD(Int32, GifImageIndex);
        TW_FIELD(Int32, GifXPos);
        TW_FIELD(Int32, GifYPos);
        TW_FIELD(Int32, GifDelayTime);
        TW_FIELD(Bool, GifHasTransparency);
        TW_FIELD(Rgb, GifTransparentColor);
        TW_FIELD(Bool, GifInterlaced);
        TW_FIELD(Int32, GifScreenWidth);
        TW_FIELD(Int32, GifScreenHeight);
        TW_FIELD(Rgb, GifBackground);
        TW_FIELD(Int32, GifAspectByte);
        if (v >= 4) TW_FIELD(Int32, GifImageCount);
        if (v >= 9) TW_FIELD(TextList, GifComments);
        if (v >= 12) TW_FIELD(Byte, GifDisposal);

        // JPEG
        TW_FIELD(Byte, JpegColorSpace);
        TW_FIELD(Int32, JpegQuality);
        TW_FIELD(Byte, JpegDCTMethod);
        TW_FIELD(Bool, JpegOptimizeCoding);
        TW_FIELD(Int32, JpegSmoothing);
        TW_FIELD(Bool, JpegProgressive);
        if (v >= 1) TW_FIELD(Byte, JpegScale);
        if (v >= 4) TW_FIELD(Markers, JpegMarkerList);
        if (v >= 7) {
            TW_FIELD(Int32, JpegOriginalWidth);
            TW_FIELD(Int32, JpegOriginalHeight);
        }
        if (v >= 20) {
            TW_FIELD(Bool, JpegAutoRotate);
            TW_FIELD(Bool, JpegLoadExifThumbnail);
        }

        // JPEG 2000
        if (v >= 8) {
            TW_FIELD(Byte, Jp2ColorSpace);
            TW_FIELD(Double, Jp2Rate);
            TW_FIELD(Byte, Jp2ScalableBy);
        }

        // PCX, BMP
        TW_FIELD(Int32, PcxVersion);
        TW_FIELD(Byte, PcxCompression);
        TW_FIELD(Byte, BmpVersion);
        TW_FIELD(Byte, BmpCompression);
        if (v >= 28) TW_FIELD(Bool, BmpUseAlpha);

        // ICO and CUR. Version 0 holds two unused numbers in place of each group.
        if (v >= 1) {
            TW_FIELD(Int32, IcoImageIndex);
        } else {
            io.Skip(8, "IcoImageIndex");
            if constexpr (IO::Reading) p.IcoImageIndex = 0;
        }
        if (v >= 3) TW_FIELD(Rgb, IcoBackground);
        if (v >= 11) {
            for (auto& size : p.IcoImageSizes) {
                io.Int32(size.Width, "IcoImageSizes");
                io.Int32(size.Height, "IcoImageSizes");
            }
            for (auto& depth : p.IcoImageDepths)
                io.Int32(depth, "IcoImageDepths");
        }
        if (v >= 1) {
            TW_FIELD(Int32, CurImageIndex);
            TW_FIELD(Int32, CurHotSpotX);
            TW_FIELD(Int32, CurHotSpotY);
        } else {
            io.Skip(8, "CurImageIndex");
            if constexpr (IO::Reading) p.CurImageIndex = p.CurHotSpotX = p.CurHotSpotY = 0;
        }
        if (v >= 3) TW_FIELD(Rgb, CurBackground);

        // PNG
        TW_FIELD(Bool, PngInterlaced);
        TW_FIELD(Rgb, PngBackground);
        TW_FIELD(Byte, PngFilter);
        TW_FIELD(Int32, PngCompression);
        if (v >= 23) {
            TW_FIELD(TextList, PngTextKeys);
            TW_FIELD(TextList, PngTextValues);
        }

        // DICOM, PSD
        if (v >= 37) TW_FIELD(Dicom, DicomTags);
        if (v >= 27) TW_FIELD(Bool, PsdReadLayers);
        if (v >= 34) TW_FIELD(Bool, PsdLayerOption);
        if (v >= 36) TW_FIELD(Bool, PsdSpareFlag);

        // Targa
        if (v >= 3) {
            TW_FIELD(Int32, TgaXPos);
            TW_FIELD(Int32, TgaYPos);
            TW_FIELD(Bool, TgaCompressed);
            TW_FIELD(Text, TgaDescription);
            TW_FIELD(Text, TgaAuthor);
            TW_FIELD(Double, TgaDate);
            TW_FIELD(Text, TgaImageName);
            TW_FIELD(Rgb, TgaBackground);
            TW_FIELD(Double, TgaAspectRatio);
            TW_FIELD(Double, TgaGamma);
            TW_FIELD(Bool, TgaGrayscale);
        }

        if (v >= 4) TW_FIELD(Iptc, IptcInfo);
        if (v >= 5) TW_FIELD(TextList, PnmComments);
        if (v >= 6) {
            TW_FIELD(Int32, VideoFrameCount);
            TW_FIELD(Int32, VideoFrameDelay);
        }

        // PostScript and PDF
        if (v >= 14) {
            TW_FIELD(Int32, PsPaperWidth);
            TW_FIELD(Int32, PsPaperHeight);
            TW_FIELD(Byte, PsCompression);
            TW_FIELD(Text, PsTitle);
            TW_FIELD(Int32, PdfPaperWidth);
            TW_FIELD(Int32, PdfPaperHeight);
            TW_FIELD(Byte, PdfCompression);
        }
        if (v >= 15) {
            TW_FIELD(Text, PdfTitle);
            TW_FIELD(Text, PdfAuthor);
            TW_FIELD(Text, PdfSubject);
            TW_FIELD(Text, PdfKeywords);
            TW_FIELD(Text, PdfCreator);
            TW_FIELD(Text, PdfProducer);
        }

        // From here on the order is fixed even where the versions do not ascend.
        if (v >= 18) TW_FIELD(Int32, DcxImageIndex);
        // v >= 13: the annotations take no bytes.
        if (v >= 17) {
            TW_FIELD(Icc, InputIccProfile);
            TW_FIELD(Icc, OutputIccProfile);
        }
        if (v >= 33) TW_FIELD(Icc, DefaultIccProfile);
        if (v >= 18) {
            TW_FIELD(Bool, RawOption1);
            TW_FIELD(Double, RawOption2);
            TW_FIELD(Double, RawOption3);
            TW_FIELD(Double, RawOption4);
            TW_FIELD(Double, RawOption5);
            TW_FIELD(Bool, RawOption6);
            TW_FIELD(Bool, RawOption7);
            TW_FIELD(Bool, RawOption8);
            TW_FIELD(Bool, RawOption9);
            TW_FIELD(Text, RawOption10);
            TW_FIELD(Bool, RawOption11);
        }
        if (v >= 22) TW_FIELD(Bool, RawOption12);
        if (v >= 35) TW_FIELD(Text, RawOption13);
        if (v >= 21) {
            TW_FIELD(Int32, MediaFrameCount);
            TW_FIELD(Int32, MediaFrameValue);
        }
        if (v >= 23) {
            TW_FIELD(Bool, RawOption14);
            TW_FIELD(Bool, RawOption15);
            TW_FIELD(Int32, RawOption16);
            TW_FIELD(Int32, RawOption17);
        }
#undef TW_FIELD
    }
};

void TIOParamsVals::LoadFromStream(TStream& stream) {
    TParamsReader reader(stream);
    const int64_t start = stream.Position();
    int32_t version = reader.ReadInt32("version");
    if (version < 0) reader.Damaged("negative version " + std::to_string(version), start);
    // A version above the highest known one is read in the layout of the highest: newer
    // versions only append members, so what follows them is simply not read.
    version = std::min(version, ParamsFileVersion);

    TIOParamsFields loaded = static_cast<const TIOParamsFields&>(*this);
    TIOParamsFileLayout::Transfer(reader, loaded, version);
    static_cast<TIOParamsFields&>(*this) = std::move(loaded);
}

void TIOParamsVals::LoadFromFile(const std::string& fileName) {
    TIEWideFileStream file(fileName, fmOpenReadShared);
    LoadFromStream(file);
}

void TIOParamsVals::SaveToStream(TStream& stream) const {
    TParamsWriter writer;
    writer.PutInt32(ParamsFileVersion);
    TIOParamsFileLayout::Transfer(writer, static_cast<const TIOParamsFields&>(*this), ParamsFileVersion);
    stream.WriteBuffer(writer.Out.data(), int64_t(writer.Out.size()));
}

void TIOParamsVals::SaveToFile(const std::string& fileName) const {
    TIEWideFileStream file(fileName, fmCreate);
    SaveToStream(file);
}

} // namespace tw
