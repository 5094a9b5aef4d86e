// Kernel filters and the separable two-pass resampler (filters 1..8).
//
// Each axis gets a table of integer weights (8 fractional bits) per destination
// index, computed once. The horizontal pass filters every source row into a work
// image of destination width, clamping to bytes; the vertical pass filters the work
// image's columns into the target. Both passes accumulate in 32-bit integers and
// divide by the sum of the weights.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image/errors.h"
#include "proc/resample_impl.h"

namespace tw::proc {

double FilterSupport(TResampleFilter filter) {
    switch (filter) {
    case rfTriangle:
    case rfHermite:
    case rfNearest:
    case rfLinear: return 1.0;
    case rfBell: return 1.5;
    case rfBSpline:
    case rfMitchell: return 2.0;
    case rfLanczos3: return 3.0;
    default: return 0.0;
    }
}

static double Sinc(double x) {
    if (x == 0) return 1.0;
    double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

double FilterKernel(TResampleFilter filter, double x) {
    double ax = std::fabs(x);
    double x2 = x * x;
    switch (filter) {
    case rfTriangle: return ax < 1.0 ? 1.0 - ax : 0.0;
    case rfHermite: return ax < 1.0 ? (2.0 * ax - 3.0) * x2 + 1.0 : 0.0;
    case rfBell:
        if (ax < 0.5) return 0.75 - x2;
        if (ax < 1.5) {
            double t = ax - 1.5;
            return 0.5 * (t * t);
        }
        return 0.0;
    case rfBSpline:
        if (ax < 1.0) return 0.5 * (x2 * ax) - x2 + 2.0 / 3.0;
        if (ax < 2.0) {
            double t = 2.0 - ax;
            return (t * t * t) / 6.0;
        }
        return 0.0;
    case rfLanczos3: return ax < 3.0 ? Sinc(x) * Sinc(x / 3.0) : 0.0;
    case rfMitchell:
        if (ax < 1.0) return (7.0 * (x2 * ax) - 12.0 * x2 + 16.0 / 3.0) / 6.0;
        if (ax < 2.0) return (-7.0 / 3.0 * (x2 * ax) + 12.0 * x2 - 20.0 * ax + 32.0 / 3.0) / 6.0;
        return 0.0;
    case rfNearest: return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0;
    case rfLinear:
        if (x >= -1.0 && x < 0.0) return x + 1.0;
        if (x >= 0.0 && x < 1.0) return 1.0 - x;
        return 0.0;
    default: return 0.0;
    }
}

int TContributors::Mirror(int64_t j) const {
    if (j < 0) j = -j;
    else if (j >= SourceSize) j = 2 * int64_t(SourceSize) - 1 - j;
    return int(std::clamp<int64_t>(j, 0, SourceSize - 1));
}

std::vector<std::pair<int, int>> TContributors::Pairs(int i) const {
    std::vector<std::pair<int, int>> out;
    for (int k = 0; k < Count[size_t(i)]; ++k) {
        int w = Weights[size_t(i) * size_t(Stride) + size_t(k)];
        if (w != 0) out.emplace_back(Mirror(int64_t(First[size_t(i)]) + k), w);
    }
    return out;
}

TContributors BuildContributors(int sourceSize, int destSize, TResampleFilter filter) {
    TContributors c;
    c.SourceSize = sourceSize;
    c.DestSize = destSize;
    const double R = FilterSupport(filter);
    const double scale = (sourceSize == 1 || destSize == 1) ? double(destSize) / double(sourceSize)
                                                             : double(destSize - 1) / double(sourceSize - 1);
    const bool enlarge = scale >= 1.0;
    const double support = enlarge ? R : R / scale;
    const double s = enlarge ? 1.0 : 1.0 / scale;

    // Every list spans at most this many source indices.
    double spanD = std::ceil(2.0 * support) + 3.0;
    if (spanD * 2.0 + double(sourceSize) + 16.0 > double(INT32_MAX) ||
        spanD * double(destSize) * 2.0 > double(WorkBytesLimit()))
        throw EIELimitError("Image too large: filter tables for " + std::to_string(sourceSize) + " -> " +
                            std::to_string(destSize));

    std::vector<std::vector<int16_t>> lists(static_cast<size_t>(destSize));
    c.First.resize(static_cast<size_t>(destSize));
    c.Count.resize(static_cast<size_t>(destSize));
    c.Sum.resize(static_cast<size_t>(destSize));
    int maxCount = 0;
    int64_t lowest = 0, highest = sourceSize - 1;
    for (int i = 0; i < destSize; ++i) {
        double center = double(i) / scale;
        int64_t lo = int64_t(std::floor(center - support));
        int64_t hi = int64_t(std::ceil(center + support));
        auto& w = lists[size_t(i)];
        w.reserve(size_t(hi - lo + 1));
        int sum = 0;
        for (int64_t j = lo; j <= hi; ++j) {
            double v = enlarge ? FilterKernel(filter, center - double(j)) * 256.0
                               : FilterKernel(filter, (center - double(j)) / s) * 256.0 / s;
            int weight = int(RoundEvenInt(v));
            w.push_back(int16_t(weight));
            sum += weight;
        }
        // Trim zero weights at both ends; zeros inside stay (they add nothing).
        size_t b = 0, e = w.size();
        while (b < e && w[b] == 0) ++b;
        while (e > b && w[e - 1] == 0) --e;
        w = std::vector<int16_t>(w.begin() + ptrdiff_t(b), w.begin() + ptrdiff_t(e));
        if (w.empty()) lo = 0;
        else lo += int64_t(b);
        c.First[size_t(i)] = int(lo);
        c.Count[size_t(i)] = int(w.size());
        c.Sum[size_t(i)] = sum;
        maxCount = std::max(maxCount, int(w.size()));
        if (!w.empty()) {
            lowest = std::min(lowest, lo);
            highest = std::max(highest, lo + int64_t(w.size()) - 1);
        }
    }
    c.Stride = std::max(8, (maxCount + 7) & ~7);
    c.PadLow = int(-lowest);
    c.PadHigh = int(highest - (sourceSize - 1));
    c.Weights.assign(size_t(destSize) * size_t(c.Stride), 0);
    for (int i = 0; i < destSize; ++i)
        std::copy(lists[size_t(i)].begin(), lists[size_t(i)].end(),
                  c.Weights.begin() + ptrdiff_t(size_t(i) * size_t(c.Stride)));
    return c;
}

// Sum of w[k] * x[k] for k < n (n a multiple of 8).
static inline int32_t Dot16(const int16_t* w, const int16_t* x, int n) {
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (int k = 0; k < n; k += 8) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + k));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + k));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(a, b));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(acc);
#else
    int32_t s = 0;
    for (int k = 0; k < n; ++k) s += int32_t(w[k]) * int32_t(x[k]);
    return s;
#endif
}

// The three sums of w[k] * x_c[k] over the planes x0, x1, x2 (n a multiple of 8).
static inline void Dot16x3(const int16_t* w, const int16_t* x0, const int16_t* x1, const int16_t* x2, int n,
                           int32_t out[3]) {
#if defined(__SSE2__)
    __m128i a0 = _mm_setzero_si128(), a1 = _mm_setzero_si128(), a2 = _mm_setzero_si128();
    for (int k = 0; k < n; k += 8) {
        __m128i ww = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + k));
        a0 = _mm_add_epi32(a0, _mm_madd_epi16(ww, _mm_loadu_si128(reinterpret_cast<const __m128i*>(x0 + k))));
        a1 = _mm_add_epi32(a1, _mm_madd_epi16(ww, _mm_loadu_si128(reinterpret_cast<const __m128i*>(x1 + k))));
        a2 = _mm_add_epi32(a2, _mm_madd_epi16(ww, _mm_loadu_si128(reinterpret_cast<const __m128i*>(x2 + k))));
    }
    // Transpose-add the three accumulators into their totals.
    __m128i t01lo = _mm_unpacklo_epi32(a0, a1), t01hi = _mm_unpackhi_epi32(a0, a1);
    __m128i t01 = _mm_add_epi32(t01lo, t01hi); // a0[0]+a0[2], a1[0]+a1[2], a0[1]+a0[3], a1[1]+a1[3]
    __m128i s01 = _mm_add_epi32(t01, _mm_shuffle_epi32(t01, _MM_SHUFFLE(1, 0, 3, 2)));
    __m128i s2 = _mm_add_epi32(a2, _mm_shuffle_epi32(a2, _MM_SHUFFLE(1, 0, 3, 2)));
    s2 = _mm_add_epi32(s2, _mm_shuffle_epi32(s2, _MM_SHUFFLE(2, 3, 0, 1)));
    out[0] = _mm_cvtsi128_si32(s01);
    out[1] = _mm_cvtsi128_si32(_mm_shuffle_epi32(s01, _MM_SHUFFLE(1, 1, 1, 1)));
    out[2] = _mm_cvtsi128_si32(s2);
#else
    out[0] = Dot16(w, x0, n);
    out[1] = Dot16(w, x1, n);
    out[2] = Dot16(w, x2, n);
#endif
}

// acc[x] += w * row[x] for x < n.
static inline void AddScaledRow(int32_t* acc, const uint8_t* row, int32_t w, int n) {
    int x = 0;
    // Fixed-size blocks so the compiler vectorises this at every optimisation level.
    for (; x + 16 <= n; x += 16)
        for (int l = 0; l < 16; ++l) acc[x + l] += w * int32_t(row[x + l]);
    for (; x < n; ++x) acc[x] += w * int32_t(row[x]);
}

// The weighted sum T over the weights' sum S (quotient truncated toward zero), as a
// byte. With S > 0 a negative T gives 0 and a T of 256 S or more gives 255, so only
// quotients 0..255 are computed, through the column's divider.
static inline uint8_t Normalise(int32_t t, int32_t s, const TDivider& bySum) {
    if (s > 0) {
        if (t <= 0) return 0;
        uint64_t q = bySum(uint64_t(t));
        return q >= 255 ? 255 : uint8_t(q);
    }
    int32_t v = s != 0 ? t / s : (t >> 8);
    return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
}

static std::vector<TDivider> Dividers(const TContributors& c) {
    std::vector<TDivider> d;
    d.reserve(c.Sum.size());
    for (int s : c.Sum) d.emplace_back(s > 0 ? uint32_t(s) : 1u);
    return d;
}

// Spreads a row of W pixels of L interleaved bytes into L planes of 16-bit samples
// extended by mirrored samples: plane c holds sample Mirror(j) at j + PadLow.
static void SpreadRow(const uint8_t* src, int W, int L, const TContributors& cx, int16_t* planes, int planeLen) {
    for (int ch = 0; ch < L; ++ch) {
        int16_t* p = planes + size_t(ch) * size_t(planeLen);
        for (int j = -cx.PadLow; j < 0; ++j) p[j + cx.PadLow] = src[size_t(cx.Mirror(j)) * size_t(L) + size_t(ch)];
        for (int j = W; j < W + cx.PadHigh; ++j)
            p[j + cx.PadLow] = src[size_t(cx.Mirror(j)) * size_t(L) + size_t(ch)];
    }
    if (L == 3) {
        int16_t* p0 = planes + cx.PadLow;
        int16_t* p1 = p0 + planeLen;
        int16_t* p2 = p1 + planeLen;
        for (int j = 0; j < W; ++j) {
            p0[j] = src[3 * j];
            p1[j] = src[3 * j + 1];
            p2[j] = src[3 * j + 2];
        }
    } else {
        for (int ch = 0; ch < L; ++ch) {
            int16_t* p = planes + size_t(ch) * size_t(planeLen) + cx.PadLow;
            for (int j = 0; j < W; ++j) p[j] = src[size_t(j) * size_t(L) + size_t(ch)];
        }
    }
}

void SeparableFilter(int W, int H, int Wd, int Hd, int L, TResampleFilter filter, const TRowReader& read,
                     const TRowWriter& write, TProgress& progress) {
    if (W <= 0 || H <= 0 || Wd <= 0 || Hd <= 0) return;
    const TContributors cx = BuildContributors(W, Wd, filter);
    const TContributors cy = BuildContributors(H, Hd, filter);
    const double P = 100.0 / (double(H) + double(Wd) + 0.5);
    const std::vector<TDivider> divX = Dividers(cx), divY = Dividers(cy);

    TIEWorkBitmap work;
    AllocateWork(work, Wd, H, 8 * L);

    // Horizontal pass. The source row is spread into one 16-bit plane per channel,
    // extended by mirrored samples so that every list reads a contiguous run.
    const int planeLen = cx.PadLow + W + cx.PadHigh + 8;
    std::vector<int16_t> planes(size_t(planeLen) * size_t(L), 0);
    for (int y = 0; y < H; ++y) {
        SpreadRow(read(y), W, L, cx, planes.data(), planeLen);
        uint8_t* out = work.Scanline(y);
        for (int i = 0; i < Wd; ++i) {
            const int16_t* w = cx.Weights.data() + size_t(i) * size_t(cx.Stride);
            const int n = (cx.Count[size_t(i)] + 7) & ~7;
            const size_t base = size_t(cx.First[size_t(i)] + cx.PadLow);
            const int32_t S = cx.Sum[size_t(i)];
            if (L == 3) {
                int32_t T[3];
                const int16_t* p0 = planes.data() + base;
                Dot16x3(w, p0, p0 + planeLen, p0 + 2 * size_t(planeLen), n, T);
                out[3 * size_t(i)] = Normalise(T[0], S, divX[size_t(i)]);
                out[3 * size_t(i) + 1] = Normalise(T[1], S, divX[size_t(i)]);
                out[3 * size_t(i) + 2] = Normalise(T[2], S, divX[size_t(i)]);
            } else {
                for (int ch = 0; ch < L; ++ch) {
                    int32_t T = Dot16(w, planes.data() + size_t(ch) * size_t(planeLen) + base, n);
                    out[size_t(i) * size_t(L) + size_t(ch)] = Normalise(T, S, divX[size_t(i)]);
                }
            }
        }
        if (progress.Active()) progress.SendChanged(int(TruncInt(double(y + 1) * P)));
    }

    // Vertical pass, one target row at a time over whole work rows.
    const int n = Wd * L;
    std::vector<int32_t> acc(static_cast<size_t>(n));
    std::vector<uint8_t> row(static_cast<size_t>(n));
    for (int r = 0; r < Hd; ++r) {
        std::fill(acc.begin(), acc.end(), 0);
        const int16_t* w = cy.Weights.data() + size_t(r) * size_t(cy.Stride);
        for (int k = 0; k < cy.Count[size_t(r)]; ++k) {
            if (w[k] == 0) continue;
            AddScaledRow(acc.data(), work.Scanline(cy.Mirror(int64_t(cy.First[size_t(r)]) + k)), w[k], n);
        }
        const int32_t S = cy.Sum[size_t(r)];
        for (int x = 0; x < n; ++x) row[size_t(x)] = Normalise(acc[size_t(x)], S, divY[size_t(r)]);
        write(r, row.data());
        if (progress.Active())
            progress.SendChanged(int(TruncInt((double(H) + double(Wd) * double(r + 1) / double(Hd)) * P)));
    }
}

} // namespace tw::proc
