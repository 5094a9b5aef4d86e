#include "quant/boxquantizer.h"

#include <cmath>

#include "image/bitmap.h"

namespace tw {

namespace {

// Round half to even.
int RoundEven(double v) { return int(std::nearbyint(v)); }

} // namespace

void TIEBoxQuantizer::Statistics(TBox& box) const {
    if (box.count == 0 || pixels_ == 0) {
        box.error = 0;
        return;
    }
    double n = double(box.count), error = 0;
    for (int a = 0; a < 3; ++a) {
        double s1 = 0, s2 = 0;
        for (int j = 0; j < 32; ++j) {
            s1 += double(j) * double(box.hist[a][j]);
            s2 += double(j) * double(j) * double(box.hist[a][j]);
        }
        box.mean[a] = s1 / n;
        error += s2 - box.mean[a] * box.mean[a] * n;
    }
    box.error = error / double(pixels_);
}

bool TIEBoxQuantizer::Split(const TBox& box, int axis, TBox& first, TBox& second) const {
    const int lo = box.lo[axis], hi = box.hi[axis];
    if (hi == lo + 1) return false;
    const int64_t n = box.count;
    const double c = box.mean[axis];
    const int64_t* h = box.hist[axis];
    int s = RoundEven((lo + c) * 0.5), e = RoundEven((c + hi) * 0.5);
    int64_t cum = 0;
    for (int j = lo; j < s; ++j) cum += h[j];
    double total = 0, best = -1;
    int bestT = -1;
    int64_t bestCum = 0;
    for (int t = s; t <= e && t < hi && t < 32; ++t) {
        cum += h[t];
        if (cum == n) break;
        total += double(h[t]) * t / double(n);
        double score = double(cum) / double(n - cum) * (c - total) * (c - total);
        if (score > best) {
            best = score;
            bestT = t;
            bestCum = cum;
        }
    }
    if (bestT < 0 || bestCum == 0 || n - bestCum == 0) return false;

    first = box;
    second = box;
    first.count = bestCum;
    first.hi[axis] = bestT + 1;
    second.count = n - bestCum;
    second.lo[axis] = bestT + 1;

    // The first half's histograms from the cube cells inside its bounds; the second
    // half keeps the rest.
    for (auto& axisHist : first.hist)
        for (int64_t& v : axisHist) v = 0;
    for (int r = first.lo[0]; r < first.hi[0]; ++r)
        for (int g = first.lo[1]; g < first.hi[1]; ++g)
            for (int b = first.lo[2]; b < first.hi[2]; ++b) {
                int64_t v = histogram_[Cell(r, g, b)];
                first.hist[0][r] += v;
                first.hist[1][g] += v;
                first.hist[2][b] += v;
            }
    for (int a = 0; a < 3; ++a)
        for (int j = 0; j < 32; ++j) second.hist[a][j] -= first.hist[a][j];

    for (TBox* half : {&first, &second}) {
        for (int a = 0; a < 3; ++a) {
            int l = 0, u = 31;
            while (l < 32 && half->hist[a][l] == 0) ++l;
            while (u > l && half->hist[a][u] == 0) --u;
            if (l < 32) {
                half->lo[a] = l;
                half->hi[a] = u + 1;
            }
        }
        Statistics(*half);
    }
    return true;
}

TIEBoxQuantizer::TIEBoxQuantizer(TIEBitmap& source, int n, TRGB* palette) : histogram_(32768, 0) {
    int w = source.Width(), h = source.Height();
    for (int y = 0; y < h; ++y) {
        const TRGB* p = reinterpret_cast<const TRGB*>(source.Scanline(y));
        for (int x = 0; x < w; ++x) ++histogram_[Cell(p[x].r >> 3, p[x].g >> 3, p[x].b >> 3)];
    }
    pixels_ = int64_t(w) * h;
    if (pixels_ == 0 || n < 1) return;

    TBox whole;
    whole.count = pixels_;
    for (int r = 0; r < 32; ++r)
        for (int g = 0; g < 32; ++g)
            for (int b = 0; b < 32; ++b) {
                int64_t v = histogram_[Cell(r, g, b)];
                whole.hist[0][r] += v;
                whole.hist[1][g] += v;
                whole.hist[2][b] += v;
            }
    Statistics(whole);
    boxes_.reserve(size_t(n));
    boxes_.push_back(whole);

    while (int(boxes_.size()) < n) {
        int pick = -1;
        double largest = 0;
        for (int i = 0; i < int(boxes_.size()); ++i)
            if (boxes_[size_t(i)].error > largest) {
                largest = boxes_[size_t(i)].error;
                pick = i;
            }
        if (pick < 0) break;
        TBox& box = boxes_[size_t(pick)];

        TBox halves[3][2];
        double sum[3];
        for (int a = 0; a < 3; ++a)
            sum[a] = Split(box, a, halves[a][0], halves[a][1]) ? halves[a][0].error + halves[a][1].error : FailedSplit;
        int axis = -1;
        if (sum[0] < FailedSplit && sum[0] <= sum[1] && sum[0] <= sum[2]) axis = 0;
        else if (sum[1] < FailedSplit && sum[1] <= sum[0] && sum[1] <= sum[2]) axis = 1;
        else if (sum[2] < FailedSplit) axis = 2;
        if (axis < 0) {
            box.error = 0;
            continue;
        }
        box = halves[axis][0];
        boxes_.push_back(halves[axis][1]);
    }

    for (size_t i = 0; i < boxes_.size(); ++i) {
        const TBox& b = boxes_[i];
        palette[i] = MakeRGB(uint8_t(RoundEven(b.mean[0]) << 3), uint8_t(RoundEven(b.mean[1]) << 3),
                             uint8_t(RoundEven(b.mean[2]) << 3));
        for (int r = b.lo[0]; r < b.hi[0]; ++r)
            for (int g = b.lo[1]; g < b.hi[1]; ++g)
                for (int bl = b.lo[2]; bl < b.hi[2]; ++bl) lookup_[Cell(r, g, bl)] = uint8_t(i);
    }
}

} // namespace tw
