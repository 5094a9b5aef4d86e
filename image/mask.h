// TIEMask: a 1- or 8-bit mask in which readers return transparency (nonzero =
// opaque). Rows are padded to 32 bits and stored bottom-up in one zero-filled block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw {

class TIEMask {
  public:
    static constexpr int EmptyBox = 2147483647;

    TIEMask() = default;
    TIEMask(int width, int height, int bitsPerPixel) { Allocate(width, height, bitsPerPixel); }

    // Frees, sets the size, zero-fills, empties the bounding box and clears Full.
    // Depths other than 1 and 8 leave an empty mask.
    void Allocate(int width, int height, int bitsPerPixel);
    void Free();

    int Width() const { return width_; }
    int Height() const { return height_; }
    int BitsPerPixel() const { return bitsPerPixel_; }
    int RowLength() const { return rowLength_; }
    uint8_t* Bits() { return bits_.empty() ? nullptr : bits_.data(); }
    uint8_t* Scanline(int row) { return bits_.data() + size_t(rowLength_) * size_t(height_ - 1 - row); }
    const uint8_t* Scanline(int row) const {
        return bits_.data() + size_t(rowLength_) * size_t(height_ - 1 - row);
    }

    // Coordinates outside the mask are ignored (SetPixel) or read as 0 (GetPixel).
    void SetPixel(int x, int y, int value);
    int GetPixel(int x, int y) const;
    void Fill(int value);
    // True when no nonzero pixel has been set.
    bool IsEmpty() const { return x1_ == EmptyBox; }
    // Recomputes Full: every pixel set (1-bit) or 255 (8-bit).
    void UpdateFull();
    // Recomputes the bounding box from the pixels (after rows were written directly).
    void UpdateBoundingBox();

    // Bounding box of the nonzero pixels set so far (inclusive); X1 = Y1 = 2147483647
    // and X2 = Y2 = 0 when empty.
    int X1() const { return x1_; }
    int Y1() const { return y1_; }
    int X2() const { return x2_; }
    int Y2() const { return y2_; }

    // Every pixel opaque.
    bool Full = false;

  private:
    void EmptyTheBox();

    int width_ = 0, height_ = 0, bitsPerPixel_ = 0, rowLength_ = 0;
    std::vector<uint8_t> bits_;
    int x1_ = EmptyBox, y1_ = EmptyBox, x2_ = 0, y2_ = 0;
};

} // namespace tw
