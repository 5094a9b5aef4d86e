// Internal interface between the resampling paths. Each path works on rows handed in
// by a reader (source row y, W pixels of L interleaved samples) and hands finished
// rows to a writer (target row y, Wd pixels of L samples), so the same code serves
// colour images, alpha bitmaps and expanded 1-bit rows.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "proc/imageproc.h"
#include "proc/procutil.h"

namespace tw::proc {

using TRowReader = std::function<const uint8_t*(int y)>;
using TRowWriter = std::function<void(int y, const uint8_t* row)>;

// ResampleBitmap with the destination size given: target is allocated here in the
// format the path produces (through a scratch and Assign when target's location
// cannot hold that format).
void ResampleInto(TIEBitmap& source, TIEBitmap& target, int Wd, int Hd, TResampleFilter filter,
                  const TIEProcProgress& progress);

// ---- kernels and contributor lists (separable filter) ------------------------------
double FilterSupport(TResampleFilter filter);
double FilterKernel(TResampleFilter filter, double x);

// The contributor lists of one axis. For destination index i the weights
// Weights[i * Stride + k], k < Count[i], apply to the virtual source indices
// First[i] + k; a virtual index outside 0..SourceSize-1 stands for Mirror(index).
// Zero weights are kept in place (they add nothing); Stride is a multiple of 8 and
// the weights past Count are zero.
struct TContributors {
    int SourceSize = 0, DestSize = 0, Stride = 0;
    int PadLow = 0, PadHigh = 0; // how far the virtual indices reach past each end
    std::vector<int> First, Count, Sum;
    std::vector<int16_t> Weights;
    int Mirror(int64_t j) const;
    // The stored (index, weight) pairs of destination i: mirrored, nonzero weights only.
    std::vector<std::pair<int, int>> Pairs(int i) const;
};
TContributors BuildContributors(int sourceSize, int destSize, TResampleFilter filter);

// Separable filter (filters 1..8) on 8-bit samples with L channels.
void SeparableFilter(int W, int H, int Wd, int Hd, int L, TResampleFilter filter, const TRowReader& read,
                     const TRowWriter& write, TProgress& progress);

// ---- 17-bit fixed-point linear interpolation ---------------------------------------
// Shared by the fast linear path and the 1-bit enlargement.
constexpr int kLinearFracBits = 17;
constexpr double kLinearFracOne = 131072.0;

// a + floor((b - a) * frac / 2^17): the arithmetic shift floors.
inline uint8_t Lerp17(int a, int b, int32_t frac) { return uint8_t(a + (((b - a) * frac) >> kLinearFracBits)); }

// Where destination index i falls at scale = destSize / sourceSize: the source index at
// or left of it (clamped), its right neighbour (clamped) and the 17-bit fraction between.
struct TLinearTap {
    int Lo, Hi;
    int32_t Frac;
};
inline TLinearTap LinearTap(int i, double scale, int sourceSize) {
    const double f = double(i) / scale;
    const int64_t q = TruncInt(f);
    const int lo = ClampInt(q, 0, sourceSize - 1);
    return {lo, lo + 1 < sourceSize ? lo + 1 : lo, int32_t(TruncInt((f - double(q)) * kLinearFracOne))};
}

// Fixed-point linear interpolation / box average on 8-bit samples with L channels.
void FastLinear(int W, int H, int Wd, int Hd, int L, const TRowReader& read, const TRowWriter& write,
                TProgress& progress);

// Area-weighted resampling. Samples are bytes (Bits16 false) or 16-bit words.
void AreaWeighted(int W, int H, int Wd, int Hd, int L, bool bits16, bool cubic, const TRowReader& read,
                  const TRowWriter& write, TProgress& progress);

} // namespace tw::proc
