// Area-weighted resampling (bilinear and bicubic). Source and target pixels are
// areas on a common axis: a source pixel is 1 wide, a target pixel gx = W / Wd wide
// (gy = H / Hd tall). The plane is cut along both sets of boundaries into rectangles;
// each rectangle adds (its area x a sample taken at its far edge) to the target pixel
// it lies in, and a finished target pixel is the sum over its area.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "proc/resample_impl.h"

namespace tw::proc {

namespace {

constexpr double kEps = 1e-4;
// Truncations of sums allow for the rounding error of the floating-point arithmetic:
// without it a constant image loses one level wherever an exact integer comes out a
// hair below itself (255 over a third of a pixel's width summing to 254.99999999999997).
constexpr double kTruncSlack = 1e-6;
inline int64_t TruncSum(double v) { return TruncInt(v + kTruncSlack); }

// Cubic convolution (a = -1) of four samples at fraction t, clamped to 0..maxValue.
inline double Cubic(double sm1, double s0, double s1, double s2, double t, double maxValue) {
    double d = std::fabs(t + 1.0);
    double v = sm1 * (5.0 * (d * d) - d * d * d - 8.0 * d + 4.0);
    d = std::fabs(t);
    v += s0 * (d * d * d - 2.0 * (d * d) + 1.0);
    d = std::fabs(t - 1.0);
    v += s1 * (d * d * d - 2.0 * (d * d) + 1.0);
    d = std::fabs(t - 2.0);
    v += s2 * (5.0 * (d * d) - d * d * d - 8.0 * d + 4.0);
    return v < 0.0 ? 0.0 : (v > maxValue ? maxValue : v);
}

// One horizontal segment: the piece of source column C inside target column Tx,
// W wide, ending at fraction Lf of the source pixel.
struct TSegment {
    int C, Tx;
    double Lf, W;
};

std::vector<TSegment> HorizontalSegments(int W, int Wd, double gx) {
    std::vector<TSegment> segs;
    segs.reserve(size_t(W) + size_t(Wd));
    double pos = 0.0, target = gx;
    int c = 0, tx = 0;
    while (c < W || tx < Wd) {
        bool sourceFirst = tx >= Wd || (c < W && double(c + 1) + kEps < target);
        if (sourceFirst) {
            double end = double(c + 1);
            if (tx < Wd) segs.push_back({c, tx, 1.0, end - pos});
            pos = end;
            ++c;
        } else {
            segs.push_back({std::min(c, W - 1), tx, target - double(c), target - pos});
            pos = target;
            ++tx;
            target = target + gx;
        }
    }
    return segs;
}

// The four-row window: source rows as doubles, each read once, kept by row & 3.
class TRowWindow {
  public:
    TRowWindow(int W, int H, int L, bool bits16, const TRowReader& read)
        : W_(W), H_(H), L_(L), bits16_(bits16), read_(read) {
        for (auto& r : rows_) r.resize(size_t(W) * size_t(L));
    }
    const double* Row(int64_t y) {
        int r = ClampInt(y, 0, H_ - 1);
        int slot = r & 3;
        if (tag_[slot] != r) {
            const uint8_t* s = read_(r);
            double* d = rows_[slot].data();
            size_t n = size_t(W_) * size_t(L_);
            if (bits16_) {
                for (size_t i = 0; i < n; ++i) {
                    uint16_t v;
                    std::memcpy(&v, s + 2 * i, 2);
                    d[i] = double(v);
                }
            } else {
                for (size_t i = 0; i < n; ++i) d[i] = double(s[i]);
            }
            tag_[slot] = r;
        }
        return rows_[slot].data();
    }

  private:
    int W_, H_, L_;
    bool bits16_;
    const TRowReader& read_;
    std::vector<double> rows_[4];
    int tag_[4] = {-1, -1, -1, -1};
};

// The rows a vertical step samples: j - 1, j, j + 1, j + 2 (clamped by the window).
struct TStepRows {
    const double *rm, *r0, *r1, *r2;
};

// Adds one vertical step (height I, vertical fraction G) to the accumulators. Each
// target pixel's segments are contiguous; its accumulators are kept in registers
// while they are added in segment order, which is the order of the plain walk.
template <int Mode, bool IsCubic, int L>
void AccumulateStep(const std::vector<TSegment>& segs, const std::vector<int>& groupStart, int Wd, int W, double I,
                    double G, const TStepRows& rows, double maxValue, double* acc) {
    const auto at = [W](const double* row, int c, int ch) {
        return row[size_t(ClampInt(c, 0, W - 1)) * size_t(L) + size_t(ch)];
    };
    for (int tx = 0; tx < Wd; ++tx) {
        double a[L];
        for (int ch = 0; ch < L; ++ch) a[ch] = acc[size_t(tx) * L + size_t(ch)];
        for (int k = groupStart[size_t(tx)]; k < groupStart[size_t(tx) + 1]; ++k) {
            const TSegment& s = segs[size_t(k)];
            const double M = s.W * I;
            const int c = s.C;
            const double Lf = s.Lf;
            for (int ch = 0; ch < L; ++ch) {
                double v;
                if constexpr (Mode == 3) {
                    v = rows.r0[size_t(c) * L + size_t(ch)];
                } else if constexpr (!IsCubic) {
                    const int c1 = std::min(c + 1, W - 1);
                    if constexpr (Mode == 1) {
                        v = (1.0 - Lf) * at(rows.r0, c, ch) + Lf * at(rows.r0, c1, ch);
                    } else if constexpr (Mode == 2) {
                        v = (1.0 - G) * at(rows.r0, c, ch) + G * at(rows.r1, c, ch);
                    } else {
                        v = (1.0 - G) * ((1.0 - Lf) * at(rows.r0, c, ch) + Lf * at(rows.r0, c1, ch)) +
                            G * ((1.0 - Lf) * at(rows.r1, c, ch) + Lf * at(rows.r1, c1, ch));
                    }
                } else {
                    auto horizontal = [&](const double* row) {
                        return Cubic(at(row, c - 1, ch), at(row, c, ch), at(row, c + 1, ch), at(row, c + 2, ch), Lf,
                                     maxValue);
                    };
                    if constexpr (Mode == 1) {
                        v = horizontal(rows.r0);
                    } else if constexpr (Mode == 2) {
                        v = Cubic(at(rows.rm, c, ch), at(rows.r0, c, ch), at(rows.r1, c, ch), at(rows.r2, c, ch), G,
                                  maxValue);
                    } else {
                        v = Cubic(double(TruncSum(horizontal(rows.rm))), double(TruncSum(horizontal(rows.r0))),
                                  double(TruncSum(horizontal(rows.r1))), double(TruncSum(horizontal(rows.r2))), G,
                                  maxValue);
                    }
                }
                a[ch] += M * v;
            }
        }
        for (int ch = 0; ch < L; ++ch) acc[size_t(tx) * L + size_t(ch)] = a[ch];
    }
}

using TStepFn = void (*)(const std::vector<TSegment>&, const std::vector<int>&, int, int, double, double,
                         const TStepRows&, double, double*);

template <int L> TStepFn StepFor(int mode, bool cubic) {
    switch (mode) {
    case 0: return cubic ? AccumulateStep<0, true, L> : AccumulateStep<0, false, L>;
    case 1: return cubic ? AccumulateStep<1, true, L> : AccumulateStep<1, false, L>;
    case 2: return cubic ? AccumulateStep<2, true, L> : AccumulateStep<2, false, L>;
    default: return AccumulateStep<3, false, L>;
    }
}

} // namespace

void AreaWeighted(int W, int H, int Wd, int Hd, int L, bool bits16, bool cubic, const TRowReader& read,
                  const TRowWriter& write, TProgress& progress) {
    if (W <= 0 || H <= 0 || Wd <= 0 || Hd <= 0 || (L != 1 && L != 3)) return;
    const double maxValue = bits16 ? 65535.0 : 255.0;
    const double gx = double(W) / double(Wd);
    const double gy = double(H) / double(Hd);
    const int mode = (gx < 1.0 && gy < 1.0) ? 0 : (gx < 1.0 ? 1 : (gy < 1.0 ? 2 : 3));
    const double area = gx * gy;

    CheckWorkSize(int64_t(W) + int64_t(Wd), 1, int64_t(sizeof(TSegment)));
    // Segments of zero width add nothing; they are left out.
    std::vector<TSegment> segs = HorizontalSegments(W, Wd, gx);
    std::erase_if(segs, [](const TSegment& s) { return s.W == 0.0; });
    std::vector<int> groupStart(static_cast<size_t>(Wd) + 1, 0);
    for (const TSegment& s : segs) ++groupStart[size_t(s.Tx) + 1];
    for (int tx = 0; tx < Wd; ++tx) groupStart[size_t(tx) + 1] += groupStart[size_t(tx)];
    const TStepFn step = L == 3 ? StepFor<3>(mode, cubic) : StepFor<1>(mode, cubic);

    TRowWindow window(W, H, L, bits16, read);
    std::vector<double> acc(size_t(Wd) * size_t(L), 0.0);
    std::vector<uint8_t> out(size_t(Wd) * size_t(L) * (bits16 ? 2 : 1));
    const bool twoRows = mode == 0 || mode == 2;

    double pos = 0.0, target = gy;
    int j = 0, ty = 0;
    while (ty < Hd) {
        const bool sourceFirst = double(j + 1) + kEps < target;
        const double end = sourceFirst ? double(j + 1) : target;
        const double G = sourceFirst ? 1.0 : target - double(j);
        const double I = end - pos;
        pos = end;

        // A step of no height adds nothing.
        if (I != 0.0) {
            TStepRows rows;
            rows.r0 = window.Row(j);
            rows.r1 = twoRows ? window.Row(j + 1) : rows.r0;
            rows.rm = (cubic && twoRows) ? window.Row(j - 1) : rows.r0;
            rows.r2 = (cubic && twoRows) ? window.Row(j + 2) : rows.r0;
            step(segs, groupStart, Wd, W, I, G, rows, maxValue, acc.data());
        }

        if (sourceFirst) {
            ++j;
            continue;
        }
        // The target row is complete.
        // Each channel is Trunc(sum / area) limited to the sample range. The sums are
        // bounded by area x maxValue, so they fit 32-bit integers after the division.
        const size_t n = size_t(Wd) * size_t(L);
        const int32_t top = int32_t(maxValue);
        if (bits16) {
            for (size_t i = 0; i < n; ++i) {
                int32_t t = std::clamp(int32_t(acc[i] / area + kTruncSlack), 0, top);
                uint16_t w = uint16_t(t);
                std::memcpy(out.data() + 2 * i, &w, 2);
            }
        } else {
            for (size_t i = 0; i < n; ++i) out[i] = uint8_t(std::clamp(int32_t(acc[i] / area + kTruncSlack), 0, top));
        }
        std::fill(acc.begin(), acc.end(), 0.0);
        write(ty, out.data());
        ++ty;
        target = target + gy;
        if (progress.Active()) progress.Send(int(TruncInt(double(ty) / double(Hd) * 100.0)));
    }
}

} // namespace tw::proc
