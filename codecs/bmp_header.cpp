// BMP file header, info header, bit-field masks and colour table.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "codecs/bmp_core.h"

namespace tw {

namespace {

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
int32_t Le32s(const uint8_t* p) {
    return int32_t(Le32(p));
}

// Reads up to count bytes, zero-filling what the stream does not have.
int64_t ReadZeroFilled(TStream& stream, uint8_t* buffer, int64_t count) {
    int64_t got = count > 0 ? stream.Read(buffer, count) : 0;
    if (got < 0) got = 0;
    if (got < count) std::memset(buffer + got, 0, size_t(count - got));
    return got;
}

// Pixels per metre to dots per inch, rounding half to even.
int DpiFromPelsPerMeter(int32_t ppm) {
    return int(std::nearbyint(double(ppm) / 100.0 * 2.54));
}

void ReadColorTable(TStream& stream, TBmpInfo& info, int count, int entryBytes) {
    std::vector<uint8_t> raw(size_t(count) * size_t(entryBytes));
    ReadZeroFilled(stream, raw.data(), int64_t(raw.size()));
    info.ColorMap.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = raw.data() + size_t(i) * size_t(entryBytes);
        info.ColorMap[size_t(i)] = TRGB{e[0], e[1], e[2]};
    }
}

std::string ReadCoreHeader(TStream& stream, TBmpInfo& info) {
    uint8_t h[12];
    if (ReadZeroFilled(stream, h, 12) < 12) return "BMP: the file ends inside the info header";
    info.Version = 2;
    info.Width = Le16(h + 4);
    info.Height = Le16(h + 6);
    info.BitCount = Le16(h + 10);
    info.Compression = bmpRGB;
    info.DpiX = info.DpiY = 0;
    if (info.BitCount <= 8) ReadColorTable(stream, info, 1 << info.BitCount, 3);
    return {};
}

std::string ReadInfoHeader(TStream& stream, TBmpInfo& info) {
    // Fields beyond a short header read as 0.
    uint8_t h[64] = {};
    uint32_t take = std::min<uint32_t>(info.HeaderSize, 64);
    if (ReadZeroFilled(stream, h, take) < take) return "BMP: the file ends inside the info header";
    if (info.HeaderSize > 64) stream.Seek(int64_t(info.HeaderSize) - 64, TSeekOrigin::Current);
    info.Version = info.HeaderSize == 64 ? 3 : info.HeaderSize == 40 ? 1 : 0;

    int32_t width = Le32s(h + 4), height = Le32s(h + 8);
    if (width < 0) return "BMP: negative width " + std::to_string(width);
    if (height == INT32_MIN) return "BMP: height " + std::to_string(height) + " is out of range";
    info.Width = width;
    info.TopDown = height < 0;
    info.Height = height < 0 ? -height : height;
    info.BitCount = Le16(h + 14);
    info.Compression = Le32(h + 16);
    info.ImageSize = Le32(h + 20);
    info.XPelsPerMeter = Le32s(h + 24);
    info.YPelsPerMeter = Le32s(h + 28);
    info.DpiX = DpiFromPelsPerMeter(info.XPelsPerMeter);
    info.DpiY = DpiFromPelsPerMeter(info.YPelsPerMeter);

    // Bit-field masks: inside headers of 52 bytes and more, else right after the
    // header, in front of the colour table.
    if (info.Compression == bmpBitFields) {
        uint8_t m[12];
        if (info.HeaderSize >= 52)
            std::memcpy(m, h + 40, 12);
        else
            ReadZeroFilled(stream, m, 12);
        for (int i = 0; i < 3; ++i)
            info.Masks[i] = Le32(m + 4 * i);
        if (info.HeaderSize >= 56) info.AlphaMask = Le32(h + 52);
        info.HasMasks = true;
    }

    uint32_t colors = Le32(h + 32);
    if (colors > 256) colors = 0;
    if (colors == 0 && info.BitCount <= 8) colors = 1u << info.BitCount;
    ReadColorTable(stream, info, int(colors), 4);
    return {};
}

} // namespace

std::string BmpReadHeader(TStream& stream, TBmpInfo& info) {
    info = TBmpInfo{};
    info.Start = stream.Position();
    uint8_t fh[14];
    int64_t got = ReadZeroFilled(stream, fh, 14);
    if (got < 2 || fh[0] != 'B' || fh[1] != 'M') return "BMP: no \"BM\" signature";
    if (got < 14) return "BMP: the file ends inside the file header";
    info.FileSize = Le32(fh + 2);
    info.DataOffset = Le32(fh + 10);

    uint8_t hs[4];
    if (ReadZeroFilled(stream, hs, 4) < 4) return "BMP: the file ends inside the info header";
    stream.Seek(-4, TSeekOrigin::Current);
    info.HeaderSize = Le32(hs);
    if (info.HeaderSize < 12 || (info.HeaderSize > 12 && info.HeaderSize < 16))
        return "BMP: info header size " + std::to_string(info.HeaderSize) + " is too small";
    if (int64_t(info.HeaderSize) > stream.Remaining())
        return "BMP: info header size " + std::to_string(info.HeaderSize) + " runs past the end of the file";

    std::string err = info.HeaderSize == 12 ? ReadCoreHeader(stream, info) : ReadInfoHeader(stream, info);
    if (!err.empty()) return err;

    if (info.DataOffset != 0) stream.Seek(info.Start + int64_t(info.DataOffset), TSeekOrigin::Begin);
    info.DataPosition = info.Start + int64_t(info.DataOffset);
    if (info.DataOffset == 0) info.DataPosition = stream.Position();
    return {};
}

} // namespace tw
