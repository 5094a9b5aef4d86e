// TIEBitmap: the raster image every reader fills, every writer reads and every
// processing operation rewrites. Pixels live in one of three locations: a memory
// block (bottom-up, 32-byte aligned), a temporary file (top-down, reached through
// row views) or an in-process device bitmap (TBitmap). Rows are reached only through
// Scanline, which hides the location.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/devicebitmap.h"
#include "image/memblock.h"
#include "image/tempfile.h"
#include "image/types.h"

namespace tw {

class TIEMask;

// Process-wide default memory threshold: physical memory / 1.3, or 32 MiB when the
// physical memory cannot be obtained.
int64_t DefaultMemoryThreshold();
// Threshold for a given amount of physical memory (0 = unknown).
int64_t MemoryThresholdFor(uint64_t physicalMemory);

class TIEBitmap {
  public:
    TIEBitmap();
    TIEBitmap(int width, int height, TIEPixelFormat format); // CreateSized
    ~TIEBitmap();
    TIEBitmap(const TIEBitmap&) = delete;
    TIEBitmap& operator=(const TIEBitmap&) = delete;

    // ---- construction and storage -------------------------------------------------
    bool Allocate(int width, int height, TIEPixelFormat format);
    void FreeImage(bool freeAlpha = true);
    bool IsEmpty();

    int Width();
    int Height();
    TIEPixelFormat PixelFormat();
    int BitsPerPixel();
    int ChannelCount();
    int RowLength();
    TIELocation Location() const { return location_; }

    // Address of row `row` (0 = top). In ieFile it stays valid until the next Scanline.
    uint8_t* Scanline(int row);
    // A row address that stays valid until ReleaseScanline or FreeImage.
    uint8_t* KeepScanline(int row);
    void ReleaseScanline(uint8_t* address);

    void TransferStorageTo(TIEBitmap& target);
    void SetLocation(TIELocation location);
    TBitmap* DeviceBitmap();
    void AttachDeviceBitmap(TBitmap* bitmap, bool freeFirst);
    void SetRowAlignment(int bits);
    int RowAlignment() const { return rowAlignment_; }
    void SetWidth(int width);
    void SetHeight(int height);

    // ---- palette and alpha --------------------------------------------------------
    void GetPaletteColor(int index, TRGB& color);
    TRGB PaletteColor(int index);
    void SetPaletteColor(int index, TRGB color);
    int PaletteLength() const { return paletteLength_; }
    TRGB* Palette() { return palette_.empty() ? nullptr : palette_.data(); }

    TIEBitmap* AlphaChannel();
    bool HasAlphaChannel() const { return alpha_ != nullptr; }
    void AdoptAlphaChannel(std::unique_ptr<TIEBitmap> alpha);
    void RemoveAlphaChannel(bool merge = false, TColor background = clWhite);
    bool IsAlpha() const { return isAlpha_; }

    // ---- whole-image operations ---------------------------------------------------
    void Assign(TIEBitmap& source);
    void AssignImage(TIEBitmap& source);
    // Converts the image in place (pixel-format conversion).
    void SetPixelFormat(TIEPixelFormat format);
    // Target already allocated at source's size: converts every pixel and takes
    // over source's alpha bitmap.
    void CopyConvertFrom(TIEBitmap& source);

    // ---- pixel access by coordinates (no bounds checks) -----------------------------
    TRGB GetPixelRGB(int x, int y);
    uint8_t Pixels_ie8(int x, int y);
    void SetPixels_ie8(int x, int y, uint8_t v);
    uint16_t Pixels_ie16g(int x, int y);
    void SetPixels_ie16g(int x, int y, uint16_t v);
    float Pixels_ie32f(int x, int y);
    void SetPixels_ie32f(int x, int y, float v);
    uint32_t Pixels_ie32(int x, int y);
    void SetPixels_ie32(int x, int y, uint32_t v);
    TRGB Pixels_ie24RGB(int x, int y);
    void SetPixels_ie24RGB(int x, int y, TRGB v);
    TRGB* PPixels_ie24RGB(int x, int y);
    void Pixels_ie48RGB(int x, int y, uint16_t& r, uint16_t& g, uint16_t& b);
    void SetPixels_ie48RGB(int x, int y, uint16_t r, uint16_t g, uint16_t b);
    bool Pixels_ie1(int x, int y);
    void SetPixels_ie1(int x, int y, bool v);
    uint8_t AlphaPixel(int x, int y);
    void SetAlphaPixel(int x, int y, uint8_t v);

    // ---- fills, rectangles, masks -----------------------------------------------
    void Fill(double value);
    void FillRect(int x1, int y1, int x2, int y2, double value);
    void CopyRectangleTo(TIEBitmap& target, int sourceX, int sourceY, int targetX, int targetY,
                         int rectWidth, int rectHeight);
    void ResizeCanvas(int newWidth, int newHeight, double background, double alphaFill,
                      int horizontalAlign, int verticalAlign);
    void CopyFromMask(const TIEMask* mask);
    void CopyToMask(TIEMask& mask);
    void UpdateFull();
    bool IsAllZero();
    bool IsGrayscale();

    // ---- flags and settings -------------------------------------------------------
    bool Full = false;
    bool Dirty = true;
    int ColorCount = 256;
    TIEDataAccessSet Access = iedReadWrite;
    TIEAllocator Allocator = ieaMixed;
    int64_t MemoryThreshold;

    // Creates an alpha bitmap, on which IsAlpha is set.
    static std::unique_ptr<TIEBitmap> NewAlpha();

  private:
    friend class TIEBitmapTestAccess;

    void Sync();
    void ComputeDerived();
    void RebuildRowTable();
    bool AllocateStorage();
    void ReleaseViews();
    void PushPaletteToDevice();
    void CopyRowsFrom(TIEBitmap& source);
    void RebuildFrom(TIEBitmap& scratch);
    TBitmap* Device() const { return device_ ? device_ : nullptr; }
    bool AllocateDevice();
    void FreeDevice();

    int width_ = 0, height_ = 0;
    int bitsPerPixel_ = 0, channelCount_ = 0, rowLength_ = 0;
    TIEPixelFormat format_ = ieNone;
    TIELocation location_ = ieFile;
    int rowAlignment_ = 32;
    bool isAlpha_ = false;

    // ieMemory
    TIEMemoryBlock memory_;
    uint8_t* bits_ = nullptr;

    // ieFile
    std::unique_ptr<TIEFileBuffer> fileBuffer_;
    uint8_t* currentView_ = nullptr;
    std::vector<uint8_t*> keptViews_;
    std::vector<int> keptRows_;

    // ieTBitmap
    TBitmap* device_ = nullptr;
    std::unique_ptr<TBitmap> ownedDevice_;
    bool deviceNotOwned_ = false;
    std::vector<uint8_t*> rowTable_;
    uint64_t deviceVersion_ = 0;

    std::vector<TRGB> palette_;
    int paletteLength_ = 0;
    std::unique_ptr<TIEBitmap> alpha_;
};

// A bare bottom-up work buffer used by the resampling code.
class TIEWorkBitmap {
  public:
    TIEWorkBitmap() = default;
    TIEWorkBitmap(int width, int bitsPerPixel, int height) { Allocate(width, height, bitsPerPixel); }
    void Allocate(int width, int height, int bitsPerPixel);
    void FreeImage();
    uint8_t* Scanline(int row) { return block_.Data() + size_t(RowLength) * size_t(Height - 1 - row); }
    int Width = 0, Height = 0, BitsPerPixel = 0, RowLength = 0;
    uint8_t* Bits() { return block_.Data(); }

  private:
    TIEMemoryBlock block_;
};

} // namespace tw
