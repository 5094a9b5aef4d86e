// TIEQuantizer: builds a palette of at most N colours for an image and maps colours
// to palette indexes. Depending on the image it uses the image's own colours, a gray
// ramp, the source palette, box splitting (fewer than 128 colours) or the neural
// quantiser (128 colours and more).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/types.h"

namespace tw {

class TIEBitmap;
class TIEBoxQuantizer;
class TIENeuralQuantizer;

// Process-wide choice of the colour quantiser: -1 automatic (box splitting below 128
// colours, neural otherwise), 0 always neural, 1 always box splitting.
extern int QuantizerMethod;
// Process-wide quality of the neural quantiser: -1 automatic (from the image size),
// 0..100 otherwise (higher samples more pixels).
extern int NeuralQuality;

// The neural quantiser's sampling factor (1..30): one pixel in f is learnt from.
int NeuralSamplingFactor(int64_t pixels, int quality);

class TIEQuantizer {
  public:
    enum TMethod { qmNone = -1, qmNeural = 0, qmBox = 1 };

    // Builds the palette for source asking for colorCount colours (1..256); writes up
    // to colorCount entries of palette, leaving the entries it does not produce as
    // the caller initialised them.
    TIEQuantizer(TIEBitmap& source, int colorCount, TRGB* palette);
    ~TIEQuantizer();
    TIEQuantizer(const TIEQuantizer&) = delete;
    TIEQuantizer& operator=(const TIEQuantizer&) = delete;

    // The palette index of a colour; -1 for a colour missing from an exact list.
    int PaletteIndexOf(TRGB color) const;
    int PaletteIndexOf(uint8_t r, uint8_t g, uint8_t b) const { return PaletteIndexOf(MakeRGB(r, g, b)); }
    // Maps a run of colours to indexes stored as bytes (-1 becomes 255).
    void MapRow(const TRGB* colors, uint8_t* indexes, int count) const;

    TMethod Method() const { return method_; }
    bool Grayscale() const { return grayscale_; }
    bool HasExactColors() const { return !exactColors_.empty(); }
    int ColorCount() const { return colorCount_; }

  private:
    bool FindExactColors(TIEBitmap& rgb, int n);
    int ExactIndexOf(TRGB c) const;

    TMethod method_ = qmNone;
    std::unique_ptr<TIEBoxQuantizer> box_;
    std::unique_ptr<TIENeuralQuantizer> neural_;
    bool grayscale_ = false;
    std::vector<TRGB> exactColors_;
    std::vector<int32_t> exactTable_; // open-addressing table: colour key + 1, or 0
    std::vector<int16_t> exactSlot_;  // list position of each table slot
    int colorCount_ = 0;
    bool paletteSource_ = false;
    std::vector<TRGB> sourcePalette_;
    // Answers of the network search remembered by colour (MapRow only): colour + 1
    // (0 = empty slot) and the index found for it.
    mutable std::vector<uint32_t> cacheKeys_;
    mutable std::vector<uint8_t> cacheIndexes_;
};

} // namespace tw
