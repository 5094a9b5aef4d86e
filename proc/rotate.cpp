// Rotation algorithms: exact quarter turns, the three-shear rotation with optional
// blending, nearest-neighbour rotation of 1-bit and 8-bit images, the padded
// nearest-neighbour rotation of the other formats and the inverse-mapped bilinear /
// bicubic rotation.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "image/errors.h"
#include "proc/geometry_impl.h"

namespace tw::proc {

void CopyPalette(TIEBitmap& source, TIEBitmap& target) {
    if (source.PixelFormat() != ie8p || target.PixelFormat() != ie8p) return;
    for (int i = 0; i < 256; ++i) target.SetPaletteColor(i, source.PaletteColor(i));
}

int QuarterTurnsOf(double angle) {
    if (!std::isfinite(angle)) return -1;
    double m = std::fmod(angle, 360.0); // exact
    if (m < 0) m += 360.0;
    if (std::fmod(m, 90.0) != 0.0) return -1;
    return int(m / 90.0) & 3;
}

// Allocates a scratch result of the given size and format, checking the size first.
static void AllocateResult(TIEBitmap& result, int64_t width, int64_t height, TIEPixelFormat format,
                           int64_t limitBytes) {
    CheckImageSize(width, height, format, limitBytes);
    AllocateOrThrow(result, int(width), int(height), format);
    if (result.PixelFormat() != format)
        throw EIELimitError(std::string("Cannot hold a ") + PixelFormatName(format) + " result");
}

// ---- quarter turns ---------------------------------------------------------------------

// One tile of a quarter turn: target rows [y0, y1) x target columns [x0, x1), whole
// pixels of P bytes. Tiles keep the rows touched on both sides few enough to stay in
// the caches and the address translation buffers.
template <int P>
static void TurnTile(const TRowSet& rows, uint8_t* const* dst, int W, int H, int x0, int x1, int y0, int y1,
                     int turns) {
    for (int y = y0; y < y1; ++y) {
        uint8_t* d = dst[y];
        if (turns == 1) { // target (x, y) = source (W - 1 - y, x)
            const size_t off = size_t(W - 1 - y) * P;
            for (int x = x0; x < x1; ++x) std::memcpy(d + size_t(x) * P, rows[x] + off, P);
        } else { // target (x, y) = source (y, H - 1 - x)
            const size_t off = size_t(y) * P;
            for (int x = x0; x < x1; ++x) std::memcpy(d + size_t(x) * P, rows[H - 1 - x] + off, P);
        }
    }
}

template <int P>
static void TurnTiles(const TRowSet& rows, uint8_t* const* dst, int W, int H, int Wn, int Hn, int turns) {
    // Each target row of a tile reads one pixel from each of kTileX source rows; the
    // source lines stay cached for the next target rows, which read their neighbours.
    constexpr int kTileX = 256, kTileY = 256;
    for (int y0 = 0; y0 < Hn; y0 += kTileY)
        for (int x0 = 0; x0 < Wn; x0 += kTileX)
            TurnTile<P>(rows, dst, W, H, x0, std::min(Wn, x0 + kTileX), y0, std::min(Hn, y0 + kTileY), turns);
}

static void TurnTilesAny(const TRowSet& rows, uint8_t* const* dst, int W, int H, int Wn, int Hn, int turns, int P) {
    switch (P) {
    case 1: TurnTiles<1>(rows, dst, W, H, Wn, Hn, turns); return;
    case 2: TurnTiles<2>(rows, dst, W, H, Wn, Hn, turns); return;
    case 3: TurnTiles<3>(rows, dst, W, H, Wn, Hn, turns); return;
    case 4: TurnTiles<4>(rows, dst, W, H, Wn, Hn, turns); return;
    case 6: TurnTiles<6>(rows, dst, W, H, Wn, Hn, turns); return;
    default: return;
    }
}

// dst pixel x = src pixel W - 1 - x, pixels of P bytes.
template <int P> static void ReverseRowP(const uint8_t* src, uint8_t* dst, int W) {
    for (int x = 0; x < W; ++x) std::memcpy(dst + size_t(x) * P, src + size_t(W - 1 - x) * P, P);
}

static void ReverseRow(const uint8_t* src, uint8_t* dst, int W, int P) {
    switch (P) {
    case 1: ReverseRowP<1>(src, dst, W); return;
    case 2: ReverseRowP<2>(src, dst, W); return;
    case 3: ReverseRowP<3>(src, dst, W); return;
    case 4: ReverseRowP<4>(src, dst, W); return;
    case 6: ReverseRowP<6>(src, dst, W); return;
    default:
        for (int x = 0; x < W; ++x) std::memcpy(dst + size_t(x) * size_t(P), src + size_t(W - 1 - x) * size_t(P), size_t(P));
    }
}

void QuarterTurn(TIEBitmap& source, TIEBitmap& target, int ccwTurns, int64_t limitBytes) {
    const int W = source.Width(), H = source.Height();
    const TIEPixelFormat f = source.PixelFormat();
    const int turns = ccwTurns & 3;
    const bool odd = turns & 1;
    const int Wn = odd ? H : W, Hn = odd ? W : H;
    AllocateResult(target, Wn, Hn, f, limitBytes);
    const TRowSet rows(source);
    const int P = f == ie1g ? 0 : PixelBytes(f);
    TAccessScope write(target, iedWrite);

    if (P == 0 || turns == 0 || turns == 2 || target.Location() == ieFile) {
        // One target row at a time.
        for (int y = 0; y < Hn; ++y) {
            uint8_t* d = target.Scanline(y);
            if (P == 0) {
                std::memset(d, 0, size_t(target.RowLength()));
                for (int x = 0; x < Wn; ++x) {
                    bool bit = turns == 1   ? GetBit(rows[x], W - 1 - y)
                               : turns == 3 ? GetBit(rows[H - 1 - x], y)
                               : turns == 2 ? GetBit(rows[H - 1 - y], W - 1 - x)
                                            : GetBit(rows[y], x);
                    if (bit) SetBit(d, x, true);
                }
            } else if (turns == 2) {
                ReverseRow(rows[H - 1 - y], d, Wn, P);
            } else {
                for (int x = 0; x < Wn; ++x) {
                    const uint8_t* s = turns == 1   ? rows[x] + size_t(W - 1 - y) * size_t(P)
                                       : turns == 3 ? rows[H - 1 - x] + size_t(y) * size_t(P)
                                                    : rows[y] + size_t(x) * size_t(P);
                    std::memcpy(d + size_t(x) * size_t(P), s, size_t(P));
                }
            }
        }
    } else {
        std::vector<uint8_t*> dst(static_cast<size_t>(Hn));
        for (int y = 0; y < Hn; ++y) dst[size_t(y)] = target.Scanline(y);
        TurnTilesAny(rows, dst.data(), W, H, Wn, Hn, turns, P);
    }
    CopyPalette(source, target);
}

void QuarterTurnInPlace(TIEBitmap& image, int ccwTurns, int64_t limitBytes) {
    if ((ccwTurns & 3) == 0) return;
    // The image's storage moves to a scratch, the image is allocated anew at the turned
    // size and the pixels are turned straight into it.
    TIEBitmap source;
    image.TransferStorageTo(source);
    try {
        QuarterTurn(source, image, ccwTurns, limitBytes);
    } catch (...) {
        source.TransferStorageTo(image); // put the image back as it was
        throw;
    }
}

// ---- three-shear rotation -------------------------------------------------------------------

// Blend of two samples with A/4096 of prev and the rest of cur, rounded half up
// (the sum plus 2048, divided by 4096 with the floor), so that blending a sample with
// itself gives it back.
static inline uint8_t Blend(int prev, int cur, int A) {
    return uint8_t(ClampByte((int64_t(prev) * A + int64_t(cur) * (4096 - A) + 2048) >> 12));
}

namespace {

// A plain top-down pixel buffer of L bytes per pixel.
struct TPlane {
    int W = 0, H = 0, L = 0;
    std::vector<uint8_t> data;
    void Init(int w, int h, int l, const uint8_t* fill) {
        CheckWorkSize(w, h, l);
        W = w;
        H = h;
        L = l;
        data.resize(size_t(w) * size_t(h) * size_t(l));
        FillPixels(data.data(), w * h, fill, l);
    }
    uint8_t* At(int x, int y) { return data.data() + (size_t(y) * size_t(W) + size_t(x)) * size_t(L); }
};

} // namespace

void RotateShear(TIEBitmap& image, double angle, bool antialias, const uint8_t* bg, TProgress& progress,
                 int64_t limitBytes) {
    const int L = image.PixelFormat() == ie24RGB ? 3 : 1;
    const int64_t a = TruncInt(angle * 1000.0) % 360000;
    double c = double(a) / 1000.0;
    int turns = 0;
    while (c > 45.0) {
        ++turns;
        c -= 90.0;
    }
    while (c < -45.0) {
        --turns;
        c += 90.0;
    }
    // The quarter turns compose into one exact turn.
    if (c == 0.0) {
        QuarterTurnInPlace(image, turns & 3, limitBytes);
        return;
    }
    TIEBitmap turned;
    TIEBitmap* src = &image;
    if ((turns & 3) != 0) {
        QuarterTurn(image, turned, turns & 3, limitBytes);
        src = &turned;
    }

    const int W = src->Width(), H = src->Height();
    const double theta = c * std::numbers::pi / 180.0;
    const double T = std::fabs(std::sin(theta / 2.0) / std::cos(theta / 2.0));
    const double S = std::fabs(std::sin(theta));
    const int64_t W1 = RoundEvenInt(double(H) * T + double(W) + 1.0);
    const int64_t K2 = RoundEvenInt(double(W1 - W) * S);
    int64_t H2 = RoundEvenInt(S * double(W1) + double(H) + 1.0);
    const int64_t K3 = RoundEvenInt(T * double(H2 - H - K2));
    H2 -= 2 * K2;
    const int64_t W3 = std::max<int64_t>(1, RoundEvenInt(T * double(H2) + double(W1) + 1.0 - double(2 * K3)));
    H2 = std::max<int64_t>(1, H2);
    CheckImageSize(W1, H2, image.PixelFormat(), limitBytes);
    CheckImageSize(W3, H2, image.PixelFormat(), limitBytes);
    const bool positive = theta > 0;
    const double P = 100.0 / double(int64_t(H) + W1 + H2);

    // Pass 1: horizontal shear into W1 x H.
    TPlane p1;
    p1.Init(int(W1), H, L, bg);
    {
        TAccessScope read(*src, iedRead);
        for (int y = 0; y < H; ++y) {
            const uint8_t* s = src->Scanline(y);
            const double F = double(positive ? y : H - y) * T;
            const int64_t n = RoundEvenInt(F);
            if (!antialias) {
                for (int x = 0; x < W; ++x)
                    if (n + x >= 0 && n + x < W1) std::memcpy(p1.At(int(n + x), y), s + size_t(x) * size_t(L), size_t(L));
            } else {
                const int A = int(TruncInt((F - double(n)) * 4096.0));
                const uint8_t* prev = bg;
                for (int x = 0; x < W; ++x) {
                    const uint8_t* cur = s + size_t(x) * size_t(L);
                    if (n + x >= 0 && n + x < W1) {
                        uint8_t* d = p1.At(int(n + x), y);
                        for (int ch = 0; ch < L; ++ch) d[ch] = Blend(prev[ch], cur[ch], A);
                    }
                    prev = cur;
                }
                if (A > 0 && n + W >= 0 && n + W < W1) {
                    uint8_t* d = p1.At(int(n + W), y);
                    for (int ch = 0; ch < L; ++ch) d[ch] = Blend(prev[ch], bg[ch], A);
                }
            }
            if (progress.Active()) progress.Send(int(TruncInt(double(y) * P)));
        }
    }
    turned.FreeImage();

    // Pass 2: vertical shear into W1 x H2.
    TPlane p2;
    p2.Init(int(W1), int(H2), L, bg);
    for (int x = 0; x < W1; ++x) {
        const double F = double(positive ? W1 - x : x) * S;
        const int64_t n = RoundEvenInt(F);
        const int A = int(RoundEvenInt((F - double(n)) * 4096.0));
        const int64_t o = n - K2;
        const uint8_t* prev = bg;
        for (int y = 0; y < H; ++y) {
            const int64_t t = y + o;
            if (t < 0 || t >= H2) continue;
            const uint8_t* cur = p1.At(x, y);
            uint8_t* d = p2.At(x, int(t));
            if (antialias)
                for (int ch = 0; ch < L; ++ch) d[ch] = Blend(prev[ch], cur[ch], A);
            else
                std::memcpy(d, cur, size_t(L));
            prev = cur;
        }
        if (antialias && A > 0 && o + H >= 0 && o + H < H2) {
            uint8_t* d = p2.At(x, int(o + H));
            for (int ch = 0; ch < L; ++ch) d[ch] = Blend(prev[ch], bg[ch], A);
        }
        if (progress.Active()) progress.Send(int(TruncInt(double(H + x) * P)));
    }
    p1 = TPlane();

    // Pass 3: horizontal shear into the W3 x H2 result.
    TIEBitmap result;
    AllocateResult(result, W3, H2, image.PixelFormat(), limitBytes);
    {
        TAccessScope write(result, iedWrite);
        for (int y = 0; y < H2; ++y) {
            uint8_t* d = result.Scanline(y);
            FillPixels(d, int(W3), bg, L);
            const double F = double(positive ? y : H2 - y) * T;
            const int64_t n = RoundEvenInt(F);
            const int A = int(RoundEvenInt((F - double(n)) * 4096.0));
            const int64_t o = n - K3;
            const uint8_t* prev = bg;
            for (int x = 0; x < W1; ++x) {
                const int64_t t = x + o;
                if (t < 0 || t >= W3) continue;
                const uint8_t* cur = p2.At(x, y);
                uint8_t* q = d + size_t(t) * size_t(L);
                if (antialias)
                    for (int ch = 0; ch < L; ++ch) q[ch] = Blend(prev[ch], cur[ch], A);
                else
                    std::memcpy(q, cur, size_t(L));
                prev = cur;
            }
            if (antialias && A > 0 && o + W1 >= 0 && o + W1 < W3) {
                uint8_t* q = d + size_t(o + W1) * size_t(L);
                for (int ch = 0; ch < L; ++ch) q[ch] = Blend(prev[ch], bg[ch], A);
            }
            if (progress.Active()) progress.Send(int(TruncInt(double(H + W1 + y) * P)));
        }
    }
    image.AssignImage(result);
}

// ---- nearest-neighbour rotation of 1-bit and 8-bit images ------------------------------------

void RotateNearest(TIEBitmap& image, double angle, uint8_t background, TProgress& progress, int64_t limitBytes) {
    const TIEPixelFormat f = image.PixelFormat();
    if (angle == 90.0) return QuarterTurnInPlace(image, 1, limitBytes);
    if (angle == -90.0 || angle == 270.0) return QuarterTurnInPlace(image, 3, limitBytes);
    if (angle == 180.0 || angle == -180.0) return QuarterTurnInPlace(image, 2, limitBytes);

    const int W = image.Width(), H = image.Height();
    const double phi = -angle / 57.295779513082320877;
    const double cs = double(TruncInt(std::cos(phi) * 10000.0)) / 10000.0;
    const double sn = double(TruncInt(std::sin(phi) * 10000.0)) / 10000.0;
    const int64_t Wn = std::max<int64_t>(1, TruncInt(std::fabs(double(W) * cs) + std::fabs(double(H) * sn)));
    const int64_t Hn = std::max<int64_t>(1, TruncInt(std::fabs(sn * double(W)) + std::fabs(cs * double(H))));
    TIEBitmap result;
    AllocateResult(result, Wn, Hn, f, limitBytes);

    std::vector<int64_t> dx(static_cast<size_t>(Wn)), dy(static_cast<size_t>(Wn));
    for (int64_t j = 0; j < Wn; ++j) {
        const double u = double(j) - (double(Wn) / 2.0 - 0.5);
        dx[size_t(j)] = TruncInt(cs * u);
        dy[size_t(j)] = TruncInt(-sn * u);
    }
    const TRowSet rows(image);
    const bool bits = f == ie1g;
    TAccessScope write(result, iedWrite);
    for (int64_t r = 0; r < Hn; ++r) {
        const double v = double(r) - (double(Hn) / 2.0 - 0.5);
        const int64_t X0 = TruncInt((double(W) / 2.0 - 0.5) + sn * v);
        const int64_t Y0 = TruncInt((double(H) / 2.0 - 0.5) + cs * v);
        uint8_t* d = result.Scanline(int(r));
        if (bits) std::memset(d, 0, size_t(result.RowLength()));
        for (int64_t j = 0; j < Wn; ++j) {
            const int64_t sx = X0 + dx[size_t(j)], sy = Y0 + dy[size_t(j)];
            const bool inside = sx >= 0 && sx < W && sy >= 0 && sy < H;
            if (bits) {
                if (inside ? GetBit(rows[int(sy)], sx) : background != 0) SetBit(d, j, true);
            } else {
                d[j] = inside ? rows[int(sy)][sx] : background;
            }
        }
        if (progress.Active()) progress.Send(int(TruncInt(double(r) * 100.0 / double(Hn))));
    }
    image.AssignImage(result);
}

// ---- padded nearest-neighbour rotation ------------------------------------------------------

void RotatePadded(TIEBitmap& image, double angle, const uint8_t* bg, TProgress& progress, int64_t limitBytes) {
    const TIEPixelFormat f = image.PixelFormat();
    const int P = PixelBytes(f);
    const int64_t W = image.Width(), H = image.Height();
    const int64_t Wp = W + 6, Hp = H + 6;
    const double theta = angle * std::numbers::pi / 180.0;
    const double cs = std::cos(theta), sn = std::sin(theta);
    const int64_t Wn = RoundEvenInt(std::fabs(cs * double(Wp - 1)) + std::fabs(sn * double(Hp - 1)));
    const int64_t Hn = RoundEvenInt(std::fabs(double(Wp - 1) * sn) + std::fabs(double(Hp - 1) * cs));
    // The 3-pixel border is cut from the result again.
    const int64_t Wf = std::max<int64_t>(1, Wn - 6), Hf = std::max<int64_t>(1, Hn - 6);
    TIEBitmap result;
    AllocateResult(result, Wf, Hf, f, limitBytes);

    std::vector<int64_t> px(static_cast<size_t>(Wf)), py(static_cast<size_t>(Wf));
    for (int64_t x = 0; x < Wf; ++x) {
        const double J = double(x + 3) - double(Wn - 1) / 2.0;
        px[size_t(x)] = TruncInt(double(Wp - 1) / 2.0 + cs * J);
        py[size_t(x)] = TruncInt(double(Hp - 1) / 2.0 + sn * J);
    }
    const TRowSet rows(image);
    TAccessScope write(result, iedWrite);
    for (int64_t y = 0; y < Hf; ++y) {
        const double O = double(y + 3) - double(Hn - 1) / 2.0;
        const int64_t Pm = TruncInt(sn * O), Qm = TruncInt(cs * O);
        uint8_t* d = result.Scanline(int(y));
        for (int64_t x = 0; x < Wf; ++x) {
            // Position in the padded source; the border and beyond read as background.
            const int64_t sx = px[size_t(x)] - Pm - 3, sy = Qm + py[size_t(x)] - 3;
            const uint8_t* s = (sx >= 0 && sx < W && sy >= 0 && sy < H) ? rows[int(sy)] + size_t(sx) * size_t(P) : bg;
            std::memcpy(d + size_t(x) * size_t(P), s, size_t(P));
        }
        if (progress.Active()) progress.Send(int(TruncInt(100.0 / double(Hn) * double(y + 3))));
    }
    CopyPalette(image, result);
    image.AssignImage(result);
}

// ---- inverse-mapped rotation ------------------------------------------------------------------

void RotateInverse(TIEBitmap& image, double angle, bool bicubic, const uint8_t* bg, TProgress& progress,
                   int64_t limitBytes) {
    const TIEPixelFormat f = image.PixelFormat();
    const int L = f == ie24RGB ? 3 : 1;
    const int64_t W = image.Width(), H = image.Height();
    const int64_t Wp = W + 6, Hp = H + 6;
    const double theta = angle * std::numbers::pi / 180.0;
    const double cs = std::cos(theta), sn = std::sin(theta);
    const int64_t Wn = RoundEvenInt(std::fabs(sn * double(Hp - 1)) + std::fabs(cs * double(Wp - 1)));
    const int64_t Hn = RoundEvenInt(std::fabs(cs * double(Hp - 1)) + std::fabs(sn * double(Wp - 1)));
    const int64_t Wf = std::max<int64_t>(1, Wn - 6), Hf = std::max<int64_t>(1, Hn - 6);
    TIEBitmap result;
    AllocateResult(result, Wf, Hf, f, limitBytes);

    const double cx = double(Wn - 1) / 2.0, cy = double(Hn - 1) / 2.0;
    const double sx0 = double(Wp - 1) / 2.0, sy0 = double(Hp - 1) / 2.0;
    const TRowSet rows(image);
    // Pixel of the padded source; the border and everything outside is background.
    const auto pixel = [&](int64_t x, int64_t y) -> const uint8_t* {
        x -= 3;
        y -= 3;
        return (x >= 0 && x < W && y >= 0 && y < H) ? rows[int(y)] + size_t(x) * size_t(L) : bg;
    };
    const auto weights = [](double t, double w[4]) {
        w[0] = -t * ((1.0 - t) * (1.0 - t));
        w[1] = 1.0 - 2.0 * (t * t) + t * t * t;
        w[2] = t * (1.0 + t - t * t);
        w[3] = -(1.0 - t) * (t * t);
    };

    TAccessScope write(result, iedWrite);
    for (int64_t y = 0; y < Hf; ++y) {
        const int64_t m = y + 3;
        uint8_t* d = result.Scanline(int(y));
        for (int64_t x = 0; x < Wf; ++x) {
            const int64_t i = x + 3;
            const double X = (double(i) - cx) * cs + sx0 - (double(m) - cy) * sn;
            const double Y = (double(i) - cx) * sn + sy0 + (double(m) - cy) * cs;
            const int64_t tx = TruncInt(X), ty = TruncInt(Y);
            uint8_t* q = d + size_t(x) * size_t(L);
            if (!bicubic) {
                const double fx = X - std::floor(X), fy = Y - std::floor(Y);
                const uint8_t *p00 = pixel(tx, ty), *p10 = pixel(tx + 1, ty), *p01 = pixel(tx, ty + 1),
                              *p11 = pixel(tx + 1, ty + 1);
                for (int ch = 0; ch < L; ++ch) {
                    const double top = p00[ch] + (double(p10[ch]) - double(p00[ch])) * fx;
                    const double bottom = p01[ch] + (double(p11[ch]) - double(p01[ch])) * fx;
                    q[ch] = uint8_t(ClampByte(TruncInt(top + (bottom - top) * fy)));
                }
            } else {
                double wx[4], wy[4];
                weights(X - double(tx), wx);
                weights(Y - double(ty), wy);
                for (int ch = 0; ch < L; ++ch) {
                    double sum = 0.0;
                    for (int r = 0; r < 4; ++r) {
                        double h = 0.0;
                        for (int k = 0; k < 4; ++k) h += wx[k] * pixel(tx - 1 + k, ty - 1 + r)[ch];
                        sum += wy[r] * h;
                    }
                    // The weights sum to 1; allow for their rounding error before truncating.
                    q[ch] = uint8_t(ClampByte(TruncInt(sum + 1e-6)));
                }
            }
        }
        if (progress.Active()) progress.Send(int(TruncInt(double(m) * 100.0 / double(Hn))));
    }
    image.AssignImage(result);
}

} // namespace tw::proc
