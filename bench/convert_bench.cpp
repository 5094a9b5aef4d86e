// Pixel-format conversion of a full-HD photographic picture: 24-bit colour to an
// 8-bit palette (quantiser and mapping) and, for comparison, to 8-bit gray.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "image/bitmap.h"

using namespace tw;

namespace {

// A smooth, natural-looking picture: sky with a sun, rolling hills, textured grass and
// a little sensor noise (deterministic).
void Photograph(TIEBitmap& b, int w, int h) {
    b.Allocate(w, h, ie24RGB);
    uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<TRGB*>(b.Scanline(y));
        for (int x = 0; x < w; ++x) {
            double u = double(x) / w, v = double(y) / h;
            double hill = 0.55 + 0.08 * std::sin(u * 9.0) + 0.05 * std::sin(u * 23.0 + 1.0);
            double r, g, bl;
            if (v < hill) {
                double d = std::hypot(u - 0.7, v - 0.2), sun = std::exp(-d * d * 60);
                r = 70 + 120 * v + 180 * sun;
                g = 120 + 90 * v + 150 * sun;
                bl = 230 - 40 * v + 40 * sun;
            } else {
                double t = 0.5 + 0.5 * std::sin(u * 40 + std::sin(v * 30) * 3) * std::cos(v * 25);
                r = 60 + 70 * t + 40 * (v - hill);
                g = 110 + 60 * t - 50 * (v - hill);
                bl = 30 + 30 * t;
            }
            auto px = [&](double c) {
                seed = seed * 1103515245u + 12345u;
                return uint8_t(std::clamp(int(std::lround(c)) + int((seed >> 16) % 7) - 3, 0, 255));
            };
            row[x] = MakeRGB(px(r), px(g), px(bl));
        }
    }
}

TIEBitmap& Source() {
    static TIEBitmap picture;
    if (picture.IsEmpty()) Photograph(picture, 1920, 1080);
    return picture;
}

void Convert(benchmark::State& state, TIEPixelFormat target) {
    TIEBitmap& source = Source();
    TIEBitmap work;
    for (auto _ : state) {
        state.PauseTiming();
        work.Assign(source);
        state.ResumeTiming();
        work.SetPixelFormat(target);
        benchmark::DoNotOptimize(work.Scanline(0));
    }
    state.SetItemsProcessed(state.iterations() * int64_t(source.Width()) * source.Height());
}

void BM_Convert24To8Palette(benchmark::State& state) { Convert(state, ie8p); }
void BM_Convert24To8Gray(benchmark::State& state) { Convert(state, ie8g); }

} // namespace

BENCHMARK(BM_Convert24To8Palette)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert24To8Gray)->Unit(benchmark::kMillisecond);
