// Fast linear resampling: 17-bit fixed-point interpolation when a direction
// enlarges, an integer box mean when it shrinks. Horizontal pass into a work image of
// destination width, then the vertical pass over the work rows.
#include <algorithm>
#include <cstring>

#include "proc/resample_impl.h"

namespace tw::proc {

namespace {

// The integer mean sum div count of byte samples.
inline uint8_t MeanOf(uint64_t sum, const TDivider& count) { return uint8_t(count(sum)); }

} // namespace

void FastLinear(int W, int H, int Wd, int Hd, int L, const TRowReader& read, const TRowWriter& write,
                TProgress& progress) {
    if (W <= 0 || H <= 0 || Wd <= 0 || Hd <= 0) return;
    const double xs = double(Wd) / double(W);
    const double ys = double(Hd) / double(H);
    if (xs == 1.0 && ys == 1.0) {
        for (int y = 0; y < H; ++y) write(y, read(y));
        return;
    }
    const double P = 100.0 / (double(H) + double(Hd) + 0.5);

    // Column tables, computed once.
    std::vector<int> q(static_cast<size_t>(Wd)), q1(static_cast<size_t>(Wd)), e(static_cast<size_t>(Wd));
    std::vector<int32_t> frac(static_cast<size_t>(Wd));
    for (int i = 0; i < Wd; ++i) {
        const TLinearTap tap = LinearTap(i, xs, W);
        q[size_t(i)] = tap.Lo;
        q1[size_t(i)] = tap.Hi;
        frac[size_t(i)] = tap.Frac;
        int64_t ei = TruncInt(double(std::min(i + 1, Wd - 1)) / xs + 1e-10);
        e[size_t(i)] = ClampInt(ei, q[size_t(i)], W - 1);
    }

    TIEWorkBitmap work;
    AllocateWork(work, Wd, H, 8 * L);
    for (int y = 0; y < H; ++y) {
        const uint8_t* s = read(y);
        uint8_t* d = work.Scanline(y);
        if (xs > 1.0) {
            for (int i = 0; i < Wd; ++i) {
                const uint8_t* a = s + size_t(q[size_t(i)]) * size_t(L);
                const uint8_t* b = s + size_t(q1[size_t(i)]) * size_t(L);
                for (int ch = 0; ch < L; ++ch) d[size_t(i) * size_t(L) + size_t(ch)] = Lerp17(a[ch], b[ch], frac[size_t(i)]);
            }
        } else {
            for (int i = 0; i < Wd; ++i) {
                const int lo = q[size_t(i)], hi = e[size_t(i)];
                const TDivider count(uint32_t(hi - lo + 1));
                if (L == 3) {
                    uint64_t s0 = 0, s1 = 0, s2 = 0;
                    for (const uint8_t* p = s + 3 * size_t(lo); p <= s + 3 * size_t(hi); p += 3) {
                        s0 += p[0];
                        s1 += p[1];
                        s2 += p[2];
                    }
                    d[3 * size_t(i)] = MeanOf(s0, count);
                    d[3 * size_t(i) + 1] = MeanOf(s1, count);
                    d[3 * size_t(i) + 2] = MeanOf(s2, count);
                } else {
                    for (int ch = 0; ch < L; ++ch) {
                        uint64_t sum = 0;
                        for (int x = lo; x <= hi; ++x) sum += s[size_t(x) * size_t(L) + size_t(ch)];
                        d[size_t(i) * size_t(L) + size_t(ch)] = MeanOf(sum, count);
                    }
                }
            }
        }
        if (progress.Active()) progress.Send(int(TruncInt(P * double(y))));
    }

    const int n = Wd * L;
    std::vector<uint8_t> row(static_cast<size_t>(n));
    std::vector<uint64_t> acc;
    for (int j = 0; j < Hd; ++j) {
        if (ys > 1.0) {
            const TLinearTap tap = LinearTap(j, ys, H);
            const uint8_t* a = work.Scanline(tap.Lo);
            const uint8_t* b = work.Scanline(tap.Hi);
            for (int x = 0; x < n; ++x) row[size_t(x)] = Lerp17(a[x], b[x], tap.Frac);
        } else {
            int lo = ClampInt(TruncInt(double(j) / ys), 0, H - 1);
            int hi = ClampInt(TruncInt(double(std::min(j + 1, Hd - 1)) / ys), lo, H - 1);
            acc.assign(size_t(n), 0);
            for (int r = lo; r <= hi; ++r) {
                const uint8_t* a = work.Scanline(r);
                for (int x = 0; x < n; ++x) acc[size_t(x)] += a[x];
            }
            const TDivider count(uint32_t(hi - lo + 1));
            for (int x = 0; x < n; ++x) row[size_t(x)] = MeanOf(acc[size_t(x)], count);
        }
        write(j, row.data());
        if (progress.Active()) progress.Send(int(TruncInt(P * double(H + j))));
    }
}

} // namespace tw::proc
