// Variance-driven box splitting on a 5-bit-per-channel histogram: the quantiser used
// for fewer than 128 colours.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/types.h"

namespace tw {

class TIEBitmap;

class TIEBoxQuantizer {
  public:
    // source must be ie24RGB. Writes up to n entries of palette.
    TIEBoxQuantizer(TIEBitmap& source, int n, TRGB* palette);

    int IndexOf(TRGB c) const { return lookup_[size_t(((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3))]; }
    int BoxCount() const { return int(boxes_.size()); }

    // Sum of the two halves' errors reported by a split that cannot be made.
    static constexpr double FailedSplit = 17523.6;

  private:
    struct TBox {
        double error = 0;
        double mean[3] = {0, 0, 0};
        int64_t count = 0;
        int64_t hist[3][32] = {};
        int lo[3] = {0, 0, 0}, hi[3] = {32, 32, 32}; // hi is exclusive
    };

    static size_t Cell(int r, int g, int b) { return size_t(r * 1024 + g * 32 + b); }
    void Statistics(TBox& box) const;
    bool Split(const TBox& box, int axis, TBox& first, TBox& second) const;

    std::vector<int64_t> histogram_; // 32768 cells
    int64_t pixels_ = 0;
    std::vector<TBox> boxes_;
    std::array<uint8_t, 32768> lookup_{};
};

} // namespace tw
