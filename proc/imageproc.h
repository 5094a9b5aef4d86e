// TImageProc: the processing component. It works in place on one TIEBitmap that it
// does not own (the host's working image) and offers the geometric operations the
// program needs: resampling, rotation, flips, orientation and crop.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

#include "image/bitmap.h"
#include "image/types.h"

namespace tw {

// Resampling filters. The numbering is fixed: callers pass these values around.
enum TResampleFilter : uint8_t {
    rfNone = 0,       // nearest-neighbour stretch, no kernel
    rfTriangle = 1,
    rfHermite = 2,
    rfBell = 3,
    rfBSpline = 4,
    rfLanczos3 = 5,
    rfMitchell = 6,
    rfNearest = 7,
    rfLinear = 8,
    rfFastLinear = 9, // fixed-point linear interpolation / box average
    rfBilinear = 10,  // area-weighted, linear
    rfBicubic = 11,   // area-weighted, cubic
    rfProjectBW = 12, // 1-bit projection, black wins
    rfProjectWB = 13, // 1-bit projection, white wins
};

// Interpolation of general-angle rotations.
enum TIERotateAntialias : uint8_t { aamShear = 0, aamBilinear = 1, aamBicubic = 2 };

enum TIEFlipDirection : uint8_t { flipHorizontal = 0, flipVertical = 1 };

// A rectangle with inclusive right and bottom edges.
struct TIERect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// A set of pixel formats, one bit per format value.
using TIEPixelFormatSet = uint16_t;
constexpr TIEPixelFormatSet IEFormats(std::initializer_list<TIEPixelFormat> formats) {
    TIEPixelFormatSet s = 0;
    for (TIEPixelFormat f : formats) s = TIEPixelFormatSet(s | (1u << f));
    return s;
}
constexpr bool InFormatSet(TIEPixelFormatSet s, TIEPixelFormat f) { return f < ieFormatCount && (s >> f) & 1u; }

// Background colour of general-angle rotations when none is given: a fixed light gray.
constexpr TColor ieDefaultBackground = 0xF0F0F0;
// Passed as a background colour: use the component's Background property.
constexpr TColor ieUseComponentBackground = 0xFFFFFFFF;

// Progress of a long operation, in percent.
using TIEProcProgress = std::function<void(int percent)>;

// The resampling core on two bitmaps. Target is (re)allocated at its current size in
// the format the chosen path produces; Source may be touched where its alpha is 0
// (those pixels are set to gray so that they do not bleed into the result).
void ResampleBitmap(TIEBitmap& source, TIEBitmap& target, TResampleFilter filter,
                    const TIEProcProgress& progress = {});

// The pixel format ResampleBitmap produces for a source format, filter and sizes.
TIEPixelFormat ResampleResultFormat(TIEPixelFormat source, TResampleFilter filter, int width, int height,
                                    int newWidth, int newHeight);

class TImageProc {
  public:
    explicit TImageProc(TIEBitmap* bitmap = nullptr) : bitmap_(bitmap) {}

    void AttachBitmap(TIEBitmap* bitmap) { bitmap_ = bitmap; }
    TIEBitmap* Bitmap() const { return bitmap_; }

    // Colour used where a rotation uncovers area and no colour is given.
    TColor Background = ieDefaultBackground;
    // Convert an image whose format an operation does not accept (see CheckFormat).
    bool AutoConvertFormat = true;

    std::function<void(TImageProc& sender, int percent)> OnProgress;
    std::function<void(TImageProc& sender)> OnFinishWork;
    // Raised after the image has changed, so a host can refresh.
    std::function<void(TImageProc& sender)> OnImageChanged;

    // True when the operation may proceed on the bitmap (converting it when needed and
    // allowed). An empty set accepts every format.
    bool CheckFormat(TIEPixelFormatSet allowed);

    // ---- resampling -----------------------------------------------------------------
    // NewWidth / NewHeight: -1 keeps the proportions from the other side, 0 keeps the
    // current side, other values are taken by magnitude. A result that could not be
    // held raises EIELimitError ("Image too large: ...").
    void Resample(int newWidth, int newHeight, TResampleFilter filter);
    void ResampleTo(TIEBitmap& target, int newWidth, int newHeight, TResampleFilter filter);
    // Changes the canvas size without scaling (new areas take Background, the alpha
    // AlphaFill); align 0 keeps the left/top edge, 1 centres, 2 keeps the right/bottom.
    void ImageResize(int newWidth, int newHeight, int alphaFill = 255, int horizontalAlign = 0,
                     int verticalAlign = 0);

    // ---- rotation, flips, crop ------------------------------------------------------
    // Angle in degrees, positive counter-clockwise. Multiples of 90 are exact pixel
    // permutations in every format.
    void Rotate(double angle, bool antialias = true, TIERotateAntialias mode = aamShear,
                TColor background = ieUseComponentBackground);
    void Flip(TIEFlipDirection direction);
    // Reorients by an EXIF/TIFF orientation value (1..8).
    void ApplyOrientation(int orientation);
    // Keeps the inclusive rectangle.
    void Crop(const TIERect& rect);
    void Crop(int left, int top, int right, int bottom) { Crop(TIERect{left, top, right, bottom}); }

  private:
    bool HasImage();
    TIEProcProgress ProgressFn();
    void Finish();
    void Changed();

    TIEBitmap* bitmap_ = nullptr;
};

} // namespace tw
