// Single-colour conversions: gray level, CMYK and CIE L*a*b* to and from RGB.
// Colours are TRGB triples; CMYK and L*a*b* colours are the stored bytes of the
// ieCMYK and ieCIELab pixel formats.
#pragma once

#include <cstdint>
#include <memory>

#include "image/types.h"

namespace tw {

// Gray weights in percent (fixed for the whole process).
constexpr int GrayWeightRed = 21;
constexpr int GrayWeightGreen = 71;
constexpr int GrayWeightBlue = 8;

inline uint8_t GrayLevel(int r, int g, int b) {
    return uint8_t((r * GrayWeightRed + g * GrayWeightGreen + b * GrayWeightBlue) / 100);
}
inline uint8_t GrayLevel(TRGB c) { return GrayLevel(c.r, c.g, c.b); }

// The four stored bytes of an ieCMYK pixel, each 255 minus the ink amount.
struct TCMYK {
    uint8_t c = 255, m = 255, y = 255, k = 255;
    friend bool operator==(const TCMYK&, const TCMYK&) = default;
};

// The three stored bytes of an ieCIELab pixel: L* scaled to 0..255, a* and b* signed.
struct TCIELab {
    uint8_t l = 0;
    int8_t a = 0, b = 0;
    friend bool operator==(const TCIELab&, const TCIELab&) = default;
};

// CMYK <-> RGB conversion of runs of pixels. The formulas are the default; a
// colour-managed implementation can be installed without touching any caller.
class TIECmykConverter {
  public:
    virtual ~TIECmykConverter() = default;
    // cmyk: count pixels of four stored bytes (C, M, Y, K).
    virtual void CmykToRgb(const uint8_t* cmyk, TRGB* rgb, int count) const = 0;
    virtual void RgbToCmyk(const TRGB* rgb, uint8_t* cmyk, int count) const = 0;
};

// R = C' * K' / 255 ...; K' = max(R, G, B) (1 when 0), C' = R * 255 / K' ...
class TIEFormulaCmykConverter final : public TIECmykConverter {
  public:
    void CmykToRgb(const uint8_t* cmyk, TRGB* rgb, int count) const override;
    void RgbToCmyk(const TRGB* rgb, uint8_t* cmyk, int count) const override;
};

// Process-wide colour-management switch, true from start-up. While it is true and a
// colour-managed converter is installed, CMYK conversions go through it; otherwise
// the formulas are used.
extern bool ColorManagement;
void SetColorManagedCmykConverter(std::unique_ptr<TIECmykConverter> converter);
// The converter in force.
const TIECmykConverter& CmykConverter();

TRGB CMYKToRGB(uint8_t c, uint8_t m, uint8_t y, uint8_t k);
inline TRGB CMYKToRGB(TCMYK v) { return CMYKToRGB(v.c, v.m, v.y, v.k); }
TCMYK RGBToCMYK(TRGB rgb);

TCIELab RGBToLab(TRGB rgb);
TRGB LabToRGB(uint8_t l, int8_t a, int8_t b);
inline TRGB LabToRGB(TCIELab v) { return LabToRGB(v.l, v.a, v.b); }

// Row forms of the L*a*b* conversions (three bytes per pixel).
void LabToRGBRow(const uint8_t* lab, TRGB* rgb, int count);
void RGBToLabRow(const TRGB* rgb, uint8_t* lab, int count);

} // namespace tw
