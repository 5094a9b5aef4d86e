// The NeuQuant neural-network quantiser (Kohonen self-organising map over the
// colour cube, after A. Dekker, 1994): the quantiser used for 128 colours and more.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/types.h"

namespace tw {

class TIEBitmap;

class TIENeuralQuantizer {
  public:
    // source must be ie24RGB; samplingFactor in 1..30. Writes n palette entries.
    TIENeuralQuantizer(TIEBitmap& source, int n, int samplingFactor, TRGB* palette);

    // Palette index of the closest neuron (searching out from the green index).
    int IndexOf(TRGB c) const;

  private:
    struct TNeuron {
        int32_t b, g, r, index;
    };

    void Learn(TIEBitmap& source);
    int Contest(int b, int g, int r);
    void AlterSingle(int alpha, int i, int b, int g, int r);
    void AlterNeighbours(int rad, int i, int b, int g, int r);
    void ComputeRadiusPowers(int rad, int alpha);
    void BuildIndex();

    int n_;
    int samplingFactor_;
    std::vector<TNeuron> network_;
    std::vector<int32_t> freq_, bias_, radPower_;
    std::array<int, 256> netIndex_{};
};

} // namespace tw
