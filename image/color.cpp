#include "image/color.h"

#include <algorithm>
#include <cmath>

namespace tw {

bool ColorManagement = true;

namespace {

std::unique_ptr<TIECmykConverter>& ManagedConverter() {
    static std::unique_ptr<TIECmykConverter> converter;
    return converter;
}

const TIEFormulaCmykConverter& FormulaConverter() {
    static const TIEFormulaCmykConverter converter;
    return converter;
}

} // namespace

void TIEFormulaCmykConverter::CmykToRgb(const uint8_t* cmyk, TRGB* rgb, int count) const {
    for (int i = 0; i < count; ++i, cmyk += 4) {
        int k = cmyk[3];
        rgb[i].r = uint8_t(cmyk[0] * k / 255);
        rgb[i].g = uint8_t(cmyk[1] * k / 255);
        rgb[i].b = uint8_t(cmyk[2] * k / 255);
    }
}

void TIEFormulaCmykConverter::RgbToCmyk(const TRGB* rgb, uint8_t* cmyk, int count) const {
    for (int i = 0; i < count; ++i, cmyk += 4) {
        int k = std::max({rgb[i].r, rgb[i].g, rgb[i].b});
        if (k == 0) k = 1;
        cmyk[0] = uint8_t(rgb[i].r * 255 / k);
        cmyk[1] = uint8_t(rgb[i].g * 255 / k);
        cmyk[2] = uint8_t(rgb[i].b * 255 / k);
        cmyk[3] = uint8_t(k);
    }
}

void SetColorManagedCmykConverter(std::unique_ptr<TIECmykConverter> converter) {
    ManagedConverter() = std::move(converter);
}

const TIECmykConverter& CmykConverter() {
    if (ColorManagement && ManagedConverter()) return *ManagedConverter();
    return FormulaConverter();
}

TRGB CMYKToRGB(uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
    const uint8_t px[4] = {c, m, y, k};
    TRGB out;
    CmykConverter().CmykToRgb(px, &out, 1);
    return out;
}

TCMYK RGBToCMYK(TRGB rgb) {
    uint8_t px[4];
    CmykConverter().RgbToCmyk(&rgb, px, 1);
    return TCMYK{px[0], px[1], px[2], px[3]};
}

// ---- CIE L*a*b* ------------------------------------------------------------------

namespace {

double Linearise(uint8_t v) {
    double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double LabF(double t) { return t > 0.008856 ? std::pow(t, 1.0 / 3.0) : 7.787 * t + 0.13793103448275862; }

uint8_t LowByte(double v) { return uint8_t(int64_t(std::trunc(v)) & 0xFF); }

uint8_t GammaByte(double c) {
    c = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
    double v = std::nearbyint(c * 255);
    if (!(v >= 0)) return 0; // negative or NaN
    return v > 255 ? 255 : uint8_t(v);
}

double LabInverse(double f) {
    double f3 = f * f * f;
    return f3 > 0.008856 ? f3 : (f - 0.13793103448) / 7.787;
}

} // namespace

TCIELab RGBToLab(TRGB rgb) {
    double r = Linearise(rgb.r), g = Linearise(rgb.g), b = Linearise(rgb.b);
    double x = (0.412453 * r + 0.35758 * g + 0.180423 * b) / 0.95047;
    double y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
    double z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088883;
    double fx = LabF(x), fy = LabF(y), fz = LabF(z);
    double l = y > 0.008856 ? 116 * fy - 16 : 903.3 * y;
    TCIELab out;
    out.l = LowByte(l * 255 / 100);
    out.a = int8_t(LowByte((fx - fy) * 500));
    out.b = int8_t(LowByte((fy - fz) * 200));
    return out;
}

TRGB LabToRGB(uint8_t l, int8_t a, int8_t b) {
    double fy = (l * 0.39215686275 + 16) / 116;
    double fx = fy + a / 500.0;
    double fz = fy - b / 200.0;
    double x = LabInverse(fx) * 0.95047, y = LabInverse(fy), z = LabInverse(fz) * 1.08883;
    double r = 3.2406 * x - 1.5372 * y - 0.4986 * z;
    double g = -0.9689 * x + 1.8758 * y + 0.0415 * z;
    double bb = 0.0557 * x - 0.204 * y + 1.057 * z;
    return MakeRGB(GammaByte(r), GammaByte(g), GammaByte(bb));
}

void LabToRGBRow(const uint8_t* lab, TRGB* rgb, int count) {
    for (int i = 0; i < count; ++i, lab += 3) rgb[i] = LabToRGB(lab[0], int8_t(lab[1]), int8_t(lab[2]));
}

void RGBToLabRow(const TRGB* rgb, uint8_t* lab, int count) {
    for (int i = 0; i < count; ++i, lab += 3) {
        TCIELab v = RGBToLab(rgb[i]);
        lab[0] = v.l;
        lab[1] = uint8_t(v.a);
        lab[2] = uint8_t(v.b);
    }
}

} // namespace tw
