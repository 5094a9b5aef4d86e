#include "quant/neuquant.h"

#include <algorithm>
#include <cstdlib>

#include "image/bitmap.h"

namespace tw {

namespace {

constexpr int NetBiasShift = 4;        // colour values are kept scaled by 16
constexpr int IntBiasShift = 16;       // frequency and bias fractions
constexpr int IntBias = 1 << IntBiasShift;
constexpr int GammaShift = 10;
constexpr int BetaShift = 10;
constexpr int Beta = IntBias >> BetaShift;                        // 64
constexpr int BetaGamma = IntBias << (GammaShift - BetaShift);    // 65536
constexpr int RadiusBiasShift = 6;
constexpr int RadiusBias = 1 << RadiusBiasShift;
constexpr int RadiusDec = 30;
constexpr int AlphaBiasShift = 10;
constexpr int InitAlpha = 1 << AlphaBiasShift;                    // 1024
constexpr int RadBiasShift = 8;
constexpr int AlphaRadBias = 1 << (AlphaBiasShift + RadBiasShift); // 262144
constexpr int Cycles = 100;
constexpr int Primes[4] = {499, 491, 487, 503};

} // namespace

TIENeuralQuantizer::TIENeuralQuantizer(TIEBitmap& source, int n, int samplingFactor, TRGB* palette)
    : n_(std::max(n, 1)), samplingFactor_(std::clamp(samplingFactor, 1, 30)), network_(size_t(n_)),
      freq_(size_t(n_)), bias_(size_t(n_)), radPower_(size_t(std::max(n_ / 8, 1))) {
    for (int i = 0; i < n_; ++i) {
        int v = (i << (NetBiasShift + 8)) / n_;
        network_[size_t(i)] = TNeuron{v, v, v, i};
        freq_[size_t(i)] = IntBias / n_;
        bias_[size_t(i)] = 0;
    }
    Learn(source);
    for (int i = 0; i < n_; ++i) {
        TNeuron& p = network_[size_t(i)];
        p.b = std::clamp(p.b >> NetBiasShift, 0, 255);
        p.g = std::clamp(p.g >> NetBiasShift, 0, 255);
        p.r = std::clamp(p.r >> NetBiasShift, 0, 255);
        p.index = i;
        palette[i] = TRGB{uint8_t(p.b), uint8_t(p.g), uint8_t(p.r)};
    }
    BuildIndex();
}

void TIENeuralQuantizer::ComputeRadiusPowers(int rad, int alpha) {
    for (int j = 0; j < rad && j < int(radPower_.size()); ++j)
        radPower_[size_t(j)] = alpha * (((rad * rad - j * j) << RadBiasShift) / (rad * rad));
}

void TIENeuralQuantizer::Learn(TIEBitmap& source) {
    const int w = source.Width(), h = source.Height();
    const int64_t pixels = int64_t(w) * h;
    if (pixels <= 0) return;
    const int64_t lengthCount = pixels * 3;
    const int alphaDec = 30 + (samplingFactor_ - 1) / 3;
    const int64_t samples = lengthCount / (3 * int64_t(samplingFactor_));
    const int64_t every = std::max<int64_t>(samples / Cycles, 1);
    int alpha = InitAlpha;
    int radius = (n_ >> 3) * RadiusBias;
    int rad = radius >> RadiusBiasShift;
    if (rad <= 1) rad = 0;
    ComputeRadiusPowers(rad, alpha);

    int64_t step = Primes[3];
    for (int i = 0; i < 3; ++i)
        if (lengthCount % Primes[i] != 0) {
            step = Primes[i];
            break;
        }

    int64_t pos = 0;
    for (int64_t i = 0; i < samples;) {
        const TRGB* px = reinterpret_cast<const TRGB*>(source.Scanline(int(pos / w))) + pos % w;
        int b = px->b << NetBiasShift, g = px->g << NetBiasShift, r = px->r << NetBiasShift;
        int j = Contest(b, g, r);
        AlterSingle(alpha, j, b, g, r);
        if (rad) AlterNeighbours(rad, j, b, g, r);
        pos = (pos + step) % pixels;
        ++i;
        if (i % every == 0) {
            alpha -= alpha / alphaDec;
            radius -= radius / RadiusDec;
            rad = radius >> RadiusBiasShift;
            if (rad <= 1) rad = 0;
            ComputeRadiusPowers(rad, alpha);
        }
    }
}

// Finds the closest neuron (raising its frequency) and returns the one with the
// smallest biased distance.
int TIENeuralQuantizer::Contest(int b, int g, int r) {
    int bestd = INT32_MAX, bestBiasd = INT32_MAX, bestPos = 0, bestBiasPos = 0;
    const TNeuron* net = network_.data();
    const int32_t* bias = bias_.data();
    for (int i = 0; i < n_; ++i) {
        int dist = std::abs(net[i].b - b) + std::abs(net[i].g - g) + std::abs(net[i].r - r);
        if (dist < bestd) {
            bestd = dist;
            bestPos = i;
        }
        int biasDist = dist - (bias[i] >> (IntBiasShift - NetBiasShift));
        if (biasDist < bestBiasd) {
            bestBiasd = biasDist;
            bestBiasPos = i;
        }
    }
    // Every neuron's frequency decays and its bias grows by the same amount (after the
    // distances above were taken with the old bias).
    int32_t* freq = freq_.data();
    int32_t* biasw = bias_.data();
    for (int i = 0; i < n_; ++i) {
        int32_t betaFreq = freq[i] >> BetaShift;
        freq[i] -= betaFreq;
        biasw[i] += betaFreq << GammaShift;
    }
    freq_[size_t(bestPos)] += Beta;
    bias_[size_t(bestPos)] -= BetaGamma;
    return bestBiasPos;
}

void TIENeuralQuantizer::AlterSingle(int alpha, int i, int b, int g, int r) {
    TNeuron& p = network_[size_t(i)];
    p.b -= int32_t(int64_t(alpha) * (p.b - b) / InitAlpha);
    p.g -= int32_t(int64_t(alpha) * (p.g - g) / InitAlpha);
    p.r -= int32_t(int64_t(alpha) * (p.r - r) / InitAlpha);
}

void TIENeuralQuantizer::AlterNeighbours(int rad, int i, int b, int g, int r) {
    int lo = std::max(i - rad, -1), hi = std::min(i + rad, n_);
    int j = i + 1, k = i - 1, q = 0;
    while (j < hi || k > lo) {
        int64_t a = radPower_[size_t(++q)];
        if (j < hi) {
            TNeuron& p = network_[size_t(j++)];
            p.b -= int32_t(a * (p.b - b) / AlphaRadBias);
            p.g -= int32_t(a * (p.g - g) / AlphaRadBias);
            p.r -= int32_t(a * (p.r - r) / AlphaRadBias);
        }
        if (k > lo) {
            TNeuron& p = network_[size_t(k--)];
            p.b -= int32_t(a * (p.b - b) / AlphaRadBias);
            p.g -= int32_t(a * (p.g - g) / AlphaRadBias);
            p.r -= int32_t(a * (p.r - r) / AlphaRadBias);
        }
    }
}

// Sorts the network by green (selection sort) and records where each green value is
// first served, as the published scheme does.
void TIENeuralQuantizer::BuildIndex() {
    const int maxPos = n_ - 1;
    int previous = 0, start = 0;
    for (int i = 0; i < n_; ++i) {
        int smallPos = i, smallVal = network_[size_t(i)].g;
        for (int j = i + 1; j < n_; ++j)
            if (network_[size_t(j)].g < smallVal) {
                smallPos = j;
                smallVal = network_[size_t(j)].g;
            }
        if (smallPos != i) std::swap(network_[size_t(i)], network_[size_t(smallPos)]);
        if (smallVal != previous) {
            netIndex_[size_t(previous)] = (start + i) >> 1;
            for (int j = previous + 1; j < smallVal; ++j) netIndex_[size_t(j)] = i;
            previous = smallVal;
            start = i;
        }
    }
    netIndex_[size_t(previous)] = (start + maxPos) >> 1;
    for (int j = previous + 1; j < 256; ++j) netIndex_[size_t(j)] = maxPos;
}

int TIENeuralQuantizer::IndexOf(TRGB c) const {
    const int b = c.b, g = c.g, r = c.r;
    int bestd = 1000, best = -1;
    int i = netIndex_[g], j = i - 1;
    while (i < n_ || j >= 0) {
        if (i < n_) {
            const TNeuron& p = network_[size_t(i)];
            int dist = p.g - g;
            if (dist >= bestd) i = n_;
            else {
                ++i;
                dist = std::abs(dist) + std::abs(p.b - b);
                if (dist < bestd) {
                    dist += std::abs(p.r - r);
                    if (dist < bestd) {
                        bestd = dist;
                        best = p.index;
                    }
                }
            }
        }
        if (j >= 0) {
            const TNeuron& p = network_[size_t(j)];
            int dist = g - p.g;
            if (dist >= bestd) j = -1;
            else {
                --j;
                dist = std::abs(dist) + std::abs(p.b - b);
                if (dist < bestd) {
                    dist += std::abs(p.r - r);
                    if (dist < bestd) {
                        bestd = dist;
                        best = p.index;
                    }
                }
            }
        }
    }
    return best < 0 ? 0 : best;
}

} // namespace tw
