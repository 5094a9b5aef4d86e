#include "quant/quantizer.h"

#include <algorithm>
#include <cmath>

#include "image/bitmap.h"
#include "image/convert.h"
#include "quant/boxquantizer.h"
#include "quant/neuquant.h"

namespace tw {

int QuantizerMethod = -1;
int NeuralQuality = -1;

int NeuralSamplingFactor(int64_t pixels, int quality) {
    if (quality >= 0 && quality <= 100) return int(std::trunc((100 - quality) / 100.0 * 29)) + 1;
    if (pixels < 2000) return 1;
    double f = std::nearbyint((double(pixels) * 13 - 26000) / 148000 + 2);
    return int(std::clamp(f, 1.0, 30.0));
}

namespace {

constexpr size_t ExactTableSize = 1024; // at least four slots per colour of a 256-entry list

inline uint32_t Key(TRGB c) { return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }
inline size_t Slot(uint32_t key) { return size_t((key * 2654435761u) >> 22) & (ExactTableSize - 1); }

bool IsColourFormat(TIEPixelFormat f) {
    return f == ie24RGB || f == ie32RGB || f == ieCMYK || f == ieRGB48 || f == ieCIELab;
}

} // namespace

TIEQuantizer::TIEQuantizer(TIEBitmap& source, int colorCount, TRGB* palette) : colorCount_(colorCount) {
    const int n = std::clamp(colorCount, 1, 256);
    if (source.IsEmpty()) return;
    grayscale_ = source.IsGrayscale();
    const TIEPixelFormat f = source.PixelFormat();

    if (IsColourFormat(f) && !grayscale_) {
        // Colour formats other than 24-bit are quantised from a 24-bit copy.
        TIEBitmap converted;
        TIEBitmap* rgb = &source;
        if (f != ie24RGB) {
            if (!converted.Allocate(source.Width(), source.Height(), ie24RGB)) return;
            ConvertPixels(source, converted);
            rgb = &converted;
        }
        if (FindExactColors(*rgb, n)) {
            std::copy(exactColors_.begin(), exactColors_.end(), palette);
            return;
        }
        bool box = QuantizerMethod == 1 || (QuantizerMethod != 0 && n < 128);
        if (box) {
            method_ = qmBox;
            box_ = std::make_unique<TIEBoxQuantizer>(*rgb, n, palette);
        } else {
            method_ = qmNeural;
            int64_t pixels = int64_t(rgb->Width()) * rgb->Height();
            neural_ = std::make_unique<TIENeuralQuantizer>(*rgb, n, NeuralSamplingFactor(pixels, NeuralQuality),
                                                           palette);
        }
    } else if (f == ie8p) {
        paletteSource_ = true;
        sourcePalette_.resize(size_t(n));
        for (int i = 0; i < n; ++i) palette[i] = sourcePalette_[size_t(i)] = source.PaletteColor(i);
    } else if (grayscale_) {
        for (int i = 0; i < n; ++i) {
            auto v = uint8_t(std::trunc(256.0 / n * i));
            palette[i] = TRGB{v, v, v};
        }
    }
}

TIEQuantizer::~TIEQuantizer() = default;

// Collects the distinct colours in order of first appearance; gives up at the
// (n + 1)-th.
bool TIEQuantizer::FindExactColors(TIEBitmap& rgb, int n) {
    exactTable_.assign(ExactTableSize, 0);
    exactSlot_.assign(ExactTableSize, 0);
    exactColors_.clear();
    int w = rgb.Width(), h = rgb.Height();
    uint32_t lastKey = UINT32_MAX;
    for (int y = 0; y < h; ++y) {
        const TRGB* p = reinterpret_cast<const TRGB*>(rgb.Scanline(y));
        for (int x = 0; x < w; ++x) {
            uint32_t key = Key(p[x]);
            if (key == lastKey) continue;
            lastKey = key;
            size_t s = Slot(key);
            while (exactTable_[s] != 0 && uint32_t(exactTable_[s] - 1) != key) s = (s + 1) & (ExactTableSize - 1);
            if (exactTable_[s] != 0) continue;
            if (int(exactColors_.size()) == n) {
                exactColors_.clear();
                exactTable_.clear();
                exactSlot_.clear();
                return false;
            }
            exactTable_[s] = int32_t(key + 1);
            exactSlot_[s] = int16_t(exactColors_.size());
            exactColors_.push_back(p[x]);
        }
    }
    return true;
}

int TIEQuantizer::ExactIndexOf(TRGB c) const {
    uint32_t key = Key(c);
    for (size_t s = Slot(key); exactTable_[s] != 0; s = (s + 1) & (ExactTableSize - 1))
        if (uint32_t(exactTable_[s] - 1) == key) return exactSlot_[s];
    return -1;
}

int TIEQuantizer::PaletteIndexOf(TRGB color) const {
    if (!exactColors_.empty()) return ExactIndexOf(color);
    // A palette source maps through its own palette, gray or not.
    if (paletteSource_) {
        for (size_t i = 0; i < sourcePalette_.size(); ++i)
            if (sourcePalette_[i] == color) return int(i);
        return int(sourcePalette_.size());
    }
    if (grayscale_) return color.r * std::clamp(colorCount_, 1, 256) / 256;
    if (box_) return box_->IndexOf(color);
    if (neural_) return neural_->IndexOf(color);
    return 0;
}

void TIEQuantizer::MapRow(const TRGB* colors, uint8_t* indexes, int count) const {
    if (box_ && exactColors_.empty()) {
        for (int i = 0; i < count; ++i) indexes[i] = uint8_t(box_->IndexOf(colors[i]));
        return;
    }
    if (neural_ && exactColors_.empty()) {
        // The network search is the costly part of mapping a photograph; colours recur
        // often enough that remembering recent answers pays.
        constexpr int CacheBits = 16;
        if (cacheKeys_.empty()) {
            cacheKeys_.assign(size_t(1) << CacheBits, 0);
            cacheIndexes_.assign(size_t(1) << CacheBits, 0);
        }
        for (int i = 0; i < count; ++i) {
            uint32_t key = Key(colors[i]) + 1;
            size_t slot = size_t((key * 2654435761u) >> (32 - CacheBits));
            if (cacheKeys_[slot] != key) {
                cacheKeys_[slot] = key;
                cacheIndexes_[slot] = uint8_t(neural_->IndexOf(colors[i]));
            }
            indexes[i] = cacheIndexes_[slot];
        }
        return;
    }
    // Neighbouring pixels often share a colour: remember the last answer.
    TRGB last{};
    int lastIndex = -2;
    for (int i = 0; i < count; ++i) {
        if (lastIndex == -2 || !(colors[i] == last)) {
            last = colors[i];
            lastIndex = PaletteIndexOf(last);
        }
        indexes[i] = uint8_t(lastIndex);
    }
}

} // namespace tw
