// Geometric processing on a 6000 x 4000 true-colour image: the resize and rotation
// runs the program makes most often.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "image/bitmap.h"
#include "proc/imageproc.h"

using namespace tw;

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// A photo-like source: smooth gradients with some noise, built once.
TIEBitmap& Source() {
    static TIEBitmap* image = [] {
        auto* b = new TIEBitmap(kWidth, kHeight, ie24RGB);
        std::mt19937 rng(1);
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = b->Scanline(y);
            for (int x = 0; x < kWidth; ++x) {
                const int noise = int(rng() & 15);
                row[3 * x] = uint8_t((x / 24 + noise) & 0xFF);
                row[3 * x + 1] = uint8_t((y / 16 + noise) & 0xFF);
                row[3 * x + 2] = uint8_t(((x + y) / 40 + noise) & 0xFF);
            }
        }
        return b;
    }();
    return *image;
}

// The working image as the program keeps it: in the device location.
void LoadWorkingImage(TIEBitmap& image) {
    image.SetLocation(ieTBitmap);
    image.Assign(Source());
}

void BM_ResampleBitmap(benchmark::State& state, int w, int h, TResampleFilter filter) {
    TIEBitmap& source = Source();
    TIEBitmap target(w, h, ie24RGB);
    for (auto _ : state) {
        ResampleBitmap(source, target, filter);
        benchmark::DoNotOptimize(target.Scanline(0));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
}

// The whole operation on the working image: resample into a scratch and assign back.
void BM_ProcResample(benchmark::State& state, int w, int h, TResampleFilter filter) {
    TIEBitmap image;
    for (auto _ : state) {
        state.PauseTiming();
        LoadWorkingImage(image);
        state.ResumeTiming();
        TImageProc(&image).Resample(w, h, filter);
        benchmark::DoNotOptimize(image.Scanline(0));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
}

void BM_ProcRotate(benchmark::State& state, double angle) {
    TIEBitmap image;
    LoadWorkingImage(image);
    TImageProc proc(&image);
    for (auto _ : state) {
        proc.Rotate(angle, true, aamShear, ieUseComponentBackground);
        benchmark::DoNotOptimize(image.Scanline(0));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
}

} // namespace

BENCHMARK_CAPTURE(BM_ResampleBitmap, Lanczos3_800x600, 800, 600, rfLanczos3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ResampleBitmap, Bilinear_3000x2000, 3000, 2000, rfBilinear)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ResampleBitmap, FastLinear_800x600, 800, 600, rfFastLinear)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProcResample, Lanczos3_800x600, 800, 600, rfLanczos3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProcResample, Bilinear_3000x2000, 3000, 2000, rfBilinear)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProcRotate, Rotate90, 90.0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProcRotate, Rotate270, 270.0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProcRotate, Rotate180, 180.0)->Unit(benchmark::kMillisecond);
