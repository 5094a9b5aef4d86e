// The process-wide row colour conversion of the JPEG and TIFF codecs.
#include <algorithm>
#include <cstring>

#include "codecs/jpeg.h"
#include "image/color.h"

namespace tw {

TIEColorConvertProc ColorConvertHook = DefaultColorConvert;

static uint8_t ClampByte(double v) {
    int i = int(v); // toward zero
    return uint8_t(std::clamp(i, 0, 255));
}

namespace {

// The colour formulas work on TRGB runs; rows are bytes. Pixels go through a small
// TRGB buffer so that no byte row is accessed as TRGB.
constexpr int Chunk = 256;

void CmykToBgr(const uint8_t* s, uint8_t* d, size_t n) {
    TRGB buf[Chunk];
    for (size_t done = 0; done < n;) {
        const int k = int(std::min<size_t>(Chunk, n - done));
        CmykConverter().CmykToRgb(s + 4 * done, buf, k);
        std::memcpy(d + 3 * done, buf, size_t(k) * 3);
        done += size_t(k);
    }
}

void BgrToCmyk(const uint8_t* s, uint8_t* d, size_t n) {
    TRGB buf[Chunk];
    for (size_t done = 0; done < n;) {
        const int k = int(std::min<size_t>(Chunk, n - done));
        std::memcpy(buf, s + 3 * done, size_t(k) * 3);
        CmykConverter().RgbToCmyk(buf, d + 4 * done, k);
        done += size_t(k);
    }
}

void LabToBgr(const uint8_t* s, uint8_t* d, size_t n) {
    TRGB buf[Chunk];
    for (size_t done = 0; done < n;) {
        const int k = int(std::min<size_t>(Chunk, n - done));
        LabToRGBRow(s + 3 * done, buf, k);
        std::memcpy(d + 3 * done, buf, size_t(k) * 3);
        done += size_t(k);
    }
}

void BgrToLab(const uint8_t* s, uint8_t* d, size_t n) {
    TRGB buf[Chunk];
    for (size_t done = 0; done < n;) {
        const int k = int(std::min<size_t>(Chunk, n - done));
        std::memcpy(buf, s + 3 * done, size_t(k) * 3);
        RGBToLabRow(buf, d + 3 * done, k);
        done += size_t(k);
    }
}

} // namespace

void DefaultColorConvert(const uint8_t* s, int sourceFormat, uint8_t* d, int destFormat, int32_t count,
                         TIOParamsVals*) {
    if (count <= 0 || !s || !d) return;
    const size_t n = size_t(count);
    if (sourceFormat == iecBGR && destFormat == iecCMYK) return BgrToCmyk(s, d, n);
    if (sourceFormat == iecBGR && destFormat == iecCIELab) return BgrToLab(s, d, n);
    if (destFormat == iecBGR) {
        switch (sourceFormat) {
        case iecRGB:
            for (size_t i = 0; i < n; ++i, s += 3, d += 3) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
            }
            return;
        case iecBGR: std::copy(s, s + 3 * n, d); return;
        case iecCMYK: CmykToBgr(s, d, n); return;
        case iecCIELab: LabToBgr(s, d, n); return;
        case iecRGB48: // high bytes of little-endian words R, G, B
            for (size_t i = 0; i < n; ++i, s += 6, d += 3) {
                d[0] = s[5];
                d[1] = s[3];
                d[2] = s[1];
            }
            return;
        case iecRGB48BE:
            for (size_t i = 0; i < n; ++i, s += 6, d += 3) {
                d[0] = s[4];
                d[1] = s[2];
                d[2] = s[0];
            }
            return;
        case iecYCbCr:
            for (size_t i = 0; i < n; ++i, s += 3, d += 3) {
                const double y = s[0], cb = s[1] - 128.0, cr = s[2] - 128.0;
                d[2] = ClampByte(y + 1.402 * cr);
                d[1] = ClampByte(y - 0.34414 * cb - 0.71414 * cr);
                d[0] = ClampByte(y + 1.772 * cb);
            }
            return;
        default: return;
        }
    }
}

} // namespace tw
