// ResampleBitmap: chooses the path for the source format and filter, resamples the
// colour, then the alpha channel. Nearest-neighbour stretch, the projections to 1 bit
// and the 1-bit source paths live here; the kernel, fast linear and area-weighted
// paths have their own files.
#include <algorithm>
#include <cstring>

#include "image/errors.h"
#include "proc/resample_impl.h"

namespace tw {

using namespace proc;

namespace {

bool IsKernelFilter(TResampleFilter f) { return f >= rfTriangle && f <= rfLinear; }
bool IsProjection(TResampleFilter f) { return f == rfProjectBW || f == rfProjectWB; }
bool IsAreaFilter(TResampleFilter f) { return f == rfBilinear || f == rfBicubic; }

// True when the dispatch has a path for a (non 1-bit) source format and filter.
bool DispatchHandles(TIEPixelFormat f, TResampleFilter filter) {
    if (IsAreaFilter(filter) && (f == ie24RGB || f == ie8g || f == ieRGB48 || f == ie16g)) return true;
    return f == ie24RGB && (filter == rfFastLinear || IsProjection(filter) || IsKernelFilter(filter));
}

// Rows of a bitmap handed to the paths: the reader returns the source row, the writer
// copies a finished row of `bytes` bytes into the target.
TRowReader BitmapReader(TIEBitmap& b) {
    return [&b](int y) -> const uint8_t* { return b.Scanline(y); };
}
TRowWriter BitmapWriter(TIEBitmap& b, size_t bytes) {
    return [&b, bytes](int y, const uint8_t* row) { std::memcpy(b.Scanline(y), row, bytes); };
}
// 1-bit rows expanded to one byte per pixel (0 or 255).
TRowReader BitsAsBytesReader(TIEBitmap& b, std::vector<uint8_t>& buffer) {
    buffer.resize(size_t(std::max(b.Width(), 1)));
    return [&b, &buffer](int y) -> const uint8_t* {
        const uint8_t* s = b.Scanline(y);
        const int w = int(buffer.size());
        for (int x = 0; x < w; ++x) buffer[size_t(x)] = GetBit(s, x) ? 255 : 0;
        return buffer.data();
    };
}
// Gray rows written to all three channels of a 24-bit target.
TRowWriter GrayTo24Writer(TIEBitmap& b) {
    return [&b](int y, const uint8_t* row) {
        uint8_t* d = b.Scanline(y);
        const int w = b.Width();
        for (int x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = row[x];
    };
}

// ---- nearest-neighbour stretch ---------------------------------------------------------

std::vector<int> NearestMap(int from, int to) {
    std::vector<int> map(static_cast<size_t>(to));
    const double q = double(from) / double(to);
    for (int i = 0; i < to; ++i) map[size_t(i)] = ClampInt(TruncInt(q * double(i)), 0, from - 1);
    return map;
}

void NearestStretch(TIEBitmap& source, TIEBitmap& target) {
    const int W = source.Width(), H = source.Height(), Wd = target.Width(), Hd = target.Height();
    const TIEPixelFormat f = source.PixelFormat();
    if (f != target.PixelFormat() || W <= 0 || H <= 0 || Wd <= 0 || Hd <= 0) return;
    const std::vector<int> cols = NearestMap(W, Wd), rows = NearestMap(H, Hd);
    TAccessScope read(source, iedRead);
    TAccessScope write(target, iedWrite);
    const int P = f == ie1g ? 0 : PixelBytes(f);
    for (int j = 0; j < Hd; ++j) {
        const uint8_t* s = source.Scanline(rows[size_t(j)]);
        uint8_t* d = target.Scanline(j);
        if (P == 0) {
            std::memset(d, 0, size_t(target.RowLength()));
            for (int i = 0; i < Wd; ++i)
                if (GetBit(s, cols[size_t(i)])) SetBit(d, i, true);
        } else if (P == 1) {
            for (int i = 0; i < Wd; ++i) d[i] = s[cols[size_t(i)]];
        } else if (P == 3) {
            for (int i = 0; i < Wd; ++i) {
                const uint8_t* p = s + 3 * size_t(cols[size_t(i)]);
                d[3 * i] = p[0];
                d[3 * i + 1] = p[1];
                d[3 * i + 2] = p[2];
            }
        } else {
            for (int i = 0; i < Wd; ++i) std::memcpy(d + size_t(i) * size_t(P), s + size_t(cols[size_t(i)]) * size_t(P), size_t(P));
        }
    }
    if (f == ie8p)
        for (int i = 0; i < 256; ++i) target.SetPaletteColor(i, source.PaletteColor(i));
}

// ---- projections -------------------------------------------------------------------------

// Source span [lo, hi] of target index k for the projections: k = 0 covers index 0,
// k > 0 covers Trunc(q * (k - 1)) .. Trunc(q * k).
std::pair<int, int> ProjectionSpan(int k, double q, int size) {
    if (k == 0) return {0, 0};
    int lo = ClampInt(TruncInt(q * double(k - 1)), 0, size - 1);
    int hi = ClampInt(TruncInt(q * double(k)), 0, size - 1);
    return {lo, std::max(lo, hi)};
}

// Projection of rows into a 1-bit target. `mark` tells, for source row y, which
// pixels are "marked" (black for BW, white for WB); a target pixel takes the marked
// colour when any pixel it covers is marked.
void Project(int W, int H, TIEBitmap& target, bool blackWins,
             const std::function<void(int y, std::vector<uint8_t>& mark)>& mark) {
    const int Wd = target.Width(), Hd = target.Height();
    const double qx = double(W) / double(Wd), qy = double(H) / double(Hd);
    std::vector<std::pair<int, int>> cols(static_cast<size_t>(Wd));
    for (int k = 0; k < Wd; ++k) cols[size_t(k)] = ProjectionSpan(k, qx, W);
    std::vector<uint8_t> rowMark(static_cast<size_t>(W)), any(static_cast<size_t>(W));
    std::vector<int> prefix(size_t(W) + 1);
    TAccessScope write(target, iedWrite);
    for (int j = 0; j < Hd; ++j) {
        auto [lo, hi] = ProjectionSpan(j, qy, H);
        std::fill(any.begin(), any.end(), 0);
        for (int y = lo; y <= hi; ++y) {
            mark(y, rowMark);
            for (int x = 0; x < W; ++x) any[size_t(x)] |= rowMark[size_t(x)];
        }
        for (int x = 0; x < W; ++x) prefix[size_t(x) + 1] = prefix[size_t(x)] + any[size_t(x)];
        uint8_t* d = target.Scanline(j);
        std::memset(d, blackWins ? 0xFF : 0x00, size_t(target.RowLength()));
        for (int k = 0; k < Wd; ++k) {
            auto [c0, c1] = cols[size_t(k)];
            if (prefix[size_t(c1) + 1] - prefix[size_t(c0)] > 0) SetBit(d, k, !blackWins);
        }
    }
}

void Project24(TIEBitmap& source, TIEBitmap& target, bool blackWins) {
    const int W = source.Width();
    TAccessScope read(source, iedRead);
    Project(W, source.Height(), target, blackWins, [&](int y, std::vector<uint8_t>& m) {
        const uint8_t* s = source.Scanline(y);
        for (int x = 0; x < W; ++x) {
            const uint8_t b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
            m[size_t(x)] = blackWins ? (r < 128 && g < 128 && b < 128) : (r > 128 && g > 128 && b > 128);
        }
    });
}

void Project1(TIEBitmap& source, TIEBitmap& target, bool blackWins) {
    const int W = source.Width();
    TAccessScope read(source, iedRead);
    Project(W, source.Height(), target, blackWins, [&](int y, std::vector<uint8_t>& m) {
        const uint8_t* s = source.Scanline(y);
        for (int x = 0; x < W; ++x) m[size_t(x)] = GetBit(s, x) != blackWins;
    });
}

// ---- 1-bit sources with the linear filters ----------------------------------------------

// Enlargement in at least one direction: bits as 0/255, 17-bit linear interpolation
// in both directions (horizontal pass into a byte work image, then vertical).
void OneBitInterpolate(TIEBitmap& source, TIEBitmap& target) {
    const int W = source.Width(), H = source.Height(), Wd = target.Width(), Hd = target.Height();
    const double xs = double(Wd) / double(W), ys = double(Hd) / double(H);
    std::vector<int> q(static_cast<size_t>(Wd)), q1(static_cast<size_t>(Wd));
    std::vector<int32_t> frac(static_cast<size_t>(Wd));
    for (int i = 0; i < Wd; ++i) {
        const TLinearTap tap = LinearTap(i, xs, W);
        q[size_t(i)] = tap.Lo;
        q1[size_t(i)] = tap.Hi;
        frac[size_t(i)] = tap.Frac;
    }
    TIEWorkBitmap work;
    AllocateWork(work, Wd, H, 8);
    {
        TAccessScope read(source, iedRead);
        for (int y = 0; y < H; ++y) {
            const uint8_t* s = source.Scanline(y);
            uint8_t* d = work.Scanline(y);
            for (int i = 0; i < Wd; ++i) {
                int a = GetBit(s, q[size_t(i)]) ? 255 : 0, b = GetBit(s, q1[size_t(i)]) ? 255 : 0;
                d[i] = Lerp17(a, b, frac[size_t(i)]);
            }
        }
    }
    TAccessScope write(target, iedWrite);
    for (int j = 0; j < Hd; ++j) {
        const TLinearTap tap = LinearTap(j, ys, H);
        const uint8_t* a = work.Scanline(tap.Lo);
        const uint8_t* b = work.Scanline(tap.Hi);
        uint8_t* d = target.Scanline(j);
        for (int i = 0; i < Wd; ++i) {
            const uint8_t v = Lerp17(a[i], b[i], tap.Frac);
            d[3 * i] = d[3 * i + 1] = d[3 * i + 2] = v;
        }
    }
}

// Shrinking in both directions: the share of white bits in a box around each target
// pixel.
void OneBitShrink(TIEBitmap& source, TIEBitmap& target) {
    const int W = source.Width(), H = source.Height(), Wd = target.Width(), Hd = target.Height();
    const double gx = double(W) / double(Wd), gy = double(H) / double(Hd);
    std::vector<int> c0(static_cast<size_t>(Wd)), c1(static_cast<size_t>(Wd));
    for (int j = 0; j < Wd; ++j) {
        c0[size_t(j)] = ClampInt(TruncInt(gx * double(j) - gx / 2.0), 0, W - 1);
        c1[size_t(j)] = ClampInt(TruncInt(gx / 2.0 + gx * double(j)), c0[size_t(j)], W - 1);
    }
    std::vector<int64_t> colSum(static_cast<size_t>(W)), prefix(size_t(W) + 1);
    TAccessScope read(source, iedRead);
    TAccessScope write(target, iedWrite);
    for (int i = 0; i < Hd; ++i) {
        int r0 = ClampInt(TruncInt(gy * double(i) - gy / 2.0), 0, H - 1);
        int r1 = ClampInt(TruncInt(double(TruncInt(gy)) / 2.0 + gy * double(i)), r0, H - 1);
        std::fill(colSum.begin(), colSum.end(), 0);
        for (int y = r0; y <= r1; ++y) {
            const uint8_t* s = source.Scanline(y);
            for (int x = 0; x < W; ++x) colSum[size_t(x)] += GetBit(s, x);
        }
        for (int x = 0; x < W; ++x) prefix[size_t(x) + 1] = prefix[size_t(x)] + colSum[size_t(x)];
        uint8_t* d = target.Scanline(i);
        const int64_t rowsCounted = r1 - r0 + 1;
        for (int j = 0; j < Wd; ++j) {
            int64_t set = prefix[size_t(c1[size_t(j)]) + 1] - prefix[size_t(c0[size_t(j)])];
            int64_t counted = rowsCounted * (c1[size_t(j)] - c0[size_t(j)] + 1);
            uint8_t v = uint8_t(255 * set / counted);
            d[3 * j] = d[3 * j + 1] = d[3 * j + 2] = v;
        }
    }
}

// ---- the alpha pre-pass ---------------------------------------------------------------------

// Pixels of a 24-bit image whose alpha is 0 become (128, 128, 128), so their colour
// does not bleed into the resampled result.
void GrayOutTransparent(TIEBitmap& image) {
    TIEBitmap* alpha = image.AlphaChannel();
    if (!alpha || alpha->IsEmpty()) return;
    std::unique_ptr<TIEBitmap> holder;
    TIEBitmap& a = AlphaAsBytes(*alpha, holder);
    const int w = std::min(image.Width(), a.Width()), h = std::min(image.Height(), a.Height());
    TAccessScope read(a, iedRead);
    std::vector<uint8_t> arow(size_t(std::max(w, 1)));
    for (int y = 0; y < h; ++y) {
        std::memcpy(arow.data(), a.Scanline(y), size_t(w));
        if (std::find(arow.begin(), arow.begin() + w, uint8_t(0)) == arow.begin() + w) continue;
        uint8_t* p = image.Scanline(y);
        for (int x = 0; x < w; ++x)
            if (arow[size_t(x)] == 0) p[3 * x] = p[3 * x + 1] = p[3 * x + 2] = 128;
    }
}

// ---- colour dispatch --------------------------------------------------------------------------

// Resamples the colour of source (any format) into target, already allocated at the
// destination size in the format the path produces.
void ResampleColour(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter, TProgress& progress) {
    const int W = source.Width(), H = source.Height(), Wd = target.Width(), Hd = target.Height();
    const TIEPixelFormat f = source.PixelFormat();

    if (filter == rfNone) {
        NearestStretch(source, target);
        return;
    }

    if (f == ie1g) {
        if (IsProjection(filter)) {
            Project1(source, target, filter == rfProjectBW);
        } else if (filter == rfFastLinear || IsAreaFilter(filter)) {
            if (W == Wd && H == Hd) CopyAllRows(source, target);
            else if (Wd > W || Hd > H) OneBitInterpolate(source, target);
            else OneBitShrink(source, target);
        } else if (W < 2 && H < 2) {
            // One pixel: every kernel reproduces it.
            std::vector<uint8_t> buffer;
            TAccessScope read(source, iedRead);
            const uint8_t v = BitsAsBytesReader(source, buffer)(0)[0];
            const uint8_t px[3] = {v, v, v};
            FillBitmap(target, px);
        } else {
            std::vector<uint8_t> buffer;
            TAccessScope read(source, iedRead);
            TAccessScope write(target, iedWrite);
            SeparableFilter(W, H, Wd, Hd, 1, filter, BitsAsBytesReader(source, buffer), GrayTo24Writer(target),
                            progress);
        }
        return;
    }

    TAccessScope read(source, iedRead);
    TAccessScope write(target, iedWrite);
    if (IsAreaFilter(filter) && (f == ie24RGB || f == ie8g || f == ieRGB48 || f == ie16g)) {
        const int L = (f == ie24RGB || f == ieRGB48) ? 3 : 1;
        const bool bits16 = f == ieRGB48 || f == ie16g;
        AreaWeighted(W, H, Wd, Hd, L, bits16, filter == rfBicubic, BitmapReader(source),
                     BitmapWriter(target, size_t(Wd) * size_t(L) * (bits16 ? 2 : 1)), progress);
    } else if (f == ie24RGB && filter == rfFastLinear) {
        FastLinear(W, H, Wd, Hd, 3, BitmapReader(source), BitmapWriter(target, size_t(Wd) * 3), progress);
    } else if (f == ie24RGB && IsProjection(filter)) {
        Project24(source, target, filter == rfProjectBW);
    } else if (f == ie24RGB && IsKernelFilter(filter)) {
        if (W < 2 && H < 2) NearestStretch(source, target); // one pixel: every kernel reproduces it
        else SeparableFilter(W, H, Wd, Hd, 3, filter, BitmapReader(source), BitmapWriter(target, size_t(Wd) * 3),
                             progress);
    }
}

void ResampleAlpha(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter, TProgress& progress) {
    TIEBitmap* sourceAlpha = source.AlphaChannel();
    TIEBitmap* targetAlpha = target.AlphaChannel();
    if (!sourceAlpha || !targetAlpha || sourceAlpha->IsEmpty() || targetAlpha->IsEmpty()) return;
    std::unique_ptr<TIEBitmap> holder;
    TIEBitmap& sa = AlphaAsBytes(*sourceAlpha, holder);
    const int W = sa.Width(), H = sa.Height(), Wd = targetAlpha->Width(), Hd = targetAlpha->Height();
    if (filter == rfNone || (IsKernelFilter(filter) && W < 2 && H < 2)) {
        NearestStretch(sa, *targetAlpha);
    } else {
        TAccessScope read(sa, iedRead);
        TAccessScope write(*targetAlpha, iedWrite);
        if (IsKernelFilter(filter))
            SeparableFilter(W, H, Wd, Hd, 1, filter, BitmapReader(sa), BitmapWriter(*targetAlpha, size_t(Wd)),
                            progress);
        else
            FastLinear(W, H, Wd, Hd, 1, BitmapReader(sa), BitmapWriter(*targetAlpha, size_t(Wd)), progress);
    }
    targetAlpha->Full = sourceAlpha->Full;
}

} // namespace

TIEPixelFormat ResampleResultFormat(TIEPixelFormat source, TResampleFilter filter, int width, int height,
                                    int newWidth, int newHeight) {
    if (filter == rfNone || filter > rfProjectWB) return source;
    if (source == ie1g) {
        if (IsProjection(filter)) return ie1g;
        if ((filter == rfFastLinear || IsAreaFilter(filter)) && width == newWidth && height == newHeight) return ie1g;
        return ie24RGB;
    }
    if (!DispatchHandles(source, filter)) source = ie24RGB; // converted first
    if (source == ie24RGB && IsProjection(filter)) return ie1g;
    return source;
}

void ResampleBitmap(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter, const TIEProcProgress& progress) {
    if (target.IsEmpty()) return;
    ResampleInto(source, target, target.Width(), target.Height(), filter, progress);
}

namespace proc {

void ResampleInto(TIEBitmap& source, TIEBitmap& target, int Wd, int Hd, TResampleFilter filter,
                  const TIEProcProgress& progress) {
    if (filter > rfProjectWB) filter = rfNone;
    if (source.IsEmpty() || Wd <= 0 || Hd <= 0 || &source == &target) return;
    const int W = source.Width(), H = source.Height();
    TProgress report(progress);

    if (source.HasAlphaChannel() && source.PixelFormat() == ie24RGB) GrayOutTransparent(source);

    // Sources the dispatch has no path for are resampled from a 24-bit copy.
    TIEBitmap* src = &source;
    TIEBitmap converted;
    const TIEPixelFormat f = source.PixelFormat();
    if (filter != rfNone && f != ie1g && !DispatchHandles(f, filter)) {
        converted.AssignImage(source);
        converted.SetPixelFormat(ie24RGB);
        // Without a conversion the colour is left as allocated.
        src = (converted.PixelFormat() == ie24RGB && !converted.IsEmpty()) ? &converted : nullptr;
    }

    const TIEPixelFormat want = ResampleResultFormat(f, filter, W, H, Wd, Hd);
    const bool fits = target.Allocate(Wd, Hd, want) && !target.IsEmpty() && target.PixelFormat() == want;
    if (fits) {
        if (src) ResampleColour(*src, target, filter, report);
    } else {
        if (target.Location() != ieTBitmap)
            throw EIELimitError("Not enough memory for a " + std::to_string(Wd) + "x" + std::to_string(Hd) +
                                " image");
        // The device location cannot hold the result format: resample into a scratch
        // and let Assign convert it.
        TIEBitmap scratch;
        AllocateOrThrow(scratch, Wd, Hd, want);
        if (src) ResampleColour(*src, scratch, filter, report);
        target.Assign(scratch);
        if (target.IsEmpty())
            throw EIELimitError("Not enough memory for a " + std::to_string(Wd) + "x" + std::to_string(Hd) +
                                " image");
    }

    if (source.HasAlphaChannel()) ResampleAlpha(source, target, filter, report);
}

} // namespace proc

} // namespace tw
