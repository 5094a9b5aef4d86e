#include "proc/imageproc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "image/errors.h"
#include "proc/geometry_impl.h"
#include "proc/resample_impl.h"

namespace tw {

using namespace proc;

namespace {

// Formats tried, in order, when an operation does not accept the current one.
constexpr TIEPixelFormat kPreference[ieFormatCount][7] = {
    /* ieNone   */ {ie24RGB, ie32RGB, ie8g, ie8p, ie1g, ie16g, ieRGB48},
    /* ie1g     */ {ie8g, ie8p, ie24RGB, ie16g, ie32RGB, ieRGB48, ie32f},
    /* ie8p     */ {ie24RGB, ie32RGB, ieRGB48, ie8g, ie16g, ie1g, ieCMYK},
    /* ie8g     */ {ie16g, ie32f, ie24RGB, ie32RGB, ieRGB48, ie8p, ie1g},
    /* ie16g    */ {ie32f, ie8g, ieRGB48, ie24RGB, ie32RGB, ie8p, ie1g},
    /* ie24RGB  */ {ie32RGB, ieRGB48, ieCIELab, ieCMYK, ie8p, ie8g, ie16g},
    /* ie32f    */ {ie16g, ie8g, ieRGB48, ie24RGB, ie32RGB, ie8p, ie1g},
    /* ieCMYK   */ {ie24RGB, ie32RGB, ieRGB48, ieCIELab, ie8p, ie8g, ie16g},
    /* ieRGB48  */ {ie24RGB, ie32RGB, ieCIELab, ieCMYK, ie16g, ie8g, ie8p},
    /* ieCIELab */ {ie24RGB, ieRGB48, ie32RGB, ieCMYK, ie8p, ie8g, ie16g},
    /* ie32RGB  */ {ie24RGB, ieRGB48, ieCMYK, ieCIELab, ie8p, ie8g, ie16g},
};

// Memory exhaustion inside an operation arrives as the engine's own error.
template <typename F> void Guarded(F&& work) {
    try {
        work();
    } catch (const std::bad_alloc&) {
        throw EIELimitError("Not enough memory for the image operation");
    } catch (const std::length_error&) {
        throw EIELimitError("Not enough memory for the image operation");
    }
}

// The target size of a resample (integer arithmetic, truncating). False when both
// requested sides are negative (nothing to do).
bool ResampleTargetSize(int W, int H, int newWidth, int newHeight, int64_t& width, int64_t& height) {
    if (newWidth < 0 && newHeight < 0) return false;
    // The height as it will be resolved when it is given directly; -1 for the width
    // follows it, so that "-1 x 0" keeps the proportions of the unchanged height.
    const int64_t givenHeight = newHeight == 0 ? H : std::abs(int64_t(newHeight));
    if (newWidth == -1) width = givenHeight * W / H;
    else if (newWidth == 0) width = W;
    else width = std::abs(int64_t(newWidth));
    width = std::max<int64_t>(width, 1);
    if (newHeight == -1) height = width * H / W;
    else height = givenHeight;
    height = std::max<int64_t>(height, 1);
    return true;
}

// Resamples source into target at the requested size, after checking that the
// result can be held within limitBytes.
bool ResampleSized(TIEBitmap& source, TIEBitmap& target, int newWidth, int newHeight, TResampleFilter filter,
                   int64_t limitBytes, const TIEProcProgress& progress) {
    const int W = source.Width(), H = source.Height();
    int64_t w = 0, h = 0;
    if (!ResampleTargetSize(W, H, newWidth, newHeight, w, h)) return false;
    CheckImageSize(w, h, ResampleResultFormat(source.PixelFormat(), filter, W, H, int(std::min<int64_t>(w, INT32_MAX)),
                                              int(std::min<int64_t>(h, INT32_MAX))),
                   limitBytes);
    if (source.HasAlphaChannel()) CheckImageSize(w, h, ie8g, limitBytes);
    ResampleInto(source, target, int(w), int(h), filter, progress);
    return true;
}

// The background colour as one pixel of the given format.
std::vector<uint8_t> BackgroundPixel(TIEBitmap& image, TColor color) {
    const TRGB c = TColor2TRGB(color);
    const TIEPixelFormat f = image.PixelFormat();
    std::vector<uint8_t> px(size_t(std::max(1, PixelBytes(f))), 0);
    const int gray = (c.r * 21 + c.g * 71 + c.b * 8) / 100;
    switch (f) {
    case ie1g: px[0] = (c.r && c.g && c.b) ? 1 : 0; break;
    case ie8g: px[0] = uint8_t(gray); break;
    case ie8p: {
        // The nearest palette entry.
        int best = 0;
        int64_t bestDistance = INT64_MAX;
        for (int i = 0; i < 256; ++i) {
            TRGB p = image.PaletteColor(i);
            int64_t d = int64_t(p.r - c.r) * (p.r - c.r) + int64_t(p.g - c.g) * (p.g - c.g) +
                        int64_t(p.b - c.b) * (p.b - c.b);
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
        px[0] = uint8_t(best);
        break;
    }
    case ie16g: {
        uint16_t v = uint16_t((c.r * 54484 + c.g * 183241 + c.b * 19275) / 1000);
        std::memcpy(px.data(), &v, 2);
        break;
    }
    case ie24RGB: px = {c.b, c.g, c.r}; break;
    case ie32RGB: px = {c.b, c.g, c.r, 255}; break;
    case ie32f: {
        float v = float((c.r * 0.2126 + c.g * 0.7152 + c.b * 0.0722) / 255.0);
        std::memcpy(px.data(), &v, 4);
        break;
    }
    case ieRGB48: {
        const uint16_t w[3] = {uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257)};
        std::memcpy(px.data(), w, 6);
        break;
    }
    case ieCMYK: {
        int k = std::max({int(c.r), int(c.g), int(c.b)});
        if (k == 0) k = 1;
        px = {uint8_t(c.r * 255 / k), uint8_t(c.g * 255 / k), uint8_t(c.b * 255 / k), uint8_t(k)};
        break;
    }
    case ieCIELab: {
        auto lin = [](int v) {
            double x = v / 255.0;
            return x <= 0.03928 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
        };
        const double r = lin(c.r), g = lin(c.g), b = lin(c.b);
        const double X = (0.412453 * r + 0.35758 * g + 0.180423 * b) / 0.95047;
        const double Y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
        const double Z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088883;
        auto fn = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 0.13793103448275862; };
        const double L = Y > 0.008856 ? 116.0 * fn(Y) - 16.0 : 903.3 * Y;
        px = {uint8_t(TruncInt(L * 255.0 / 100.0)), uint8_t(TruncInt((fn(X) - fn(Y)) * 500.0) & 0xFF),
              uint8_t(TruncInt((fn(Y) - fn(Z)) * 200.0) & 0xFF)};
        break;
    }
    default: break;
    }
    return px;
}

} // namespace

// ---- component plumbing -------------------------------------------------------------------

bool TImageProc::HasImage() { return bitmap_ && !bitmap_->IsEmpty(); }

TIEProcProgress TImageProc::ProgressFn() {
    if (!OnProgress) return {};
    return [this](int percent) { OnProgress(*this, percent); };
}

void TImageProc::Finish() {
    if (OnProgress) OnProgress(*this, 100);
    if (OnFinishWork) OnFinishWork(*this);
}

void TImageProc::Changed() {
    if (OnImageChanged) OnImageChanged(*this);
}

bool TImageProc::CheckFormat(TIEPixelFormatSet allowed) {
    if (!bitmap_) return false;
    if (allowed == 0) return true;
    const TIEPixelFormat f = bitmap_->PixelFormat();
    if (InFormatSet(allowed, f)) return true;
    if (!AutoConvertFormat) return false;
    TIEPixelFormat target = ieNone;
    for (TIEPixelFormat p : kPreference[f < ieFormatCount ? f : 0])
        if (InFormatSet(allowed, p)) {
            target = p;
            break;
        }
    if (target == ieNone)
        for (int i = ieFormatCount - 1; i > 0; --i)
            if (InFormatSet(allowed, TIEPixelFormat(i))) {
                target = TIEPixelFormat(i);
                break;
            }
    if (target == ieNone) return false;
    bitmap_->SetPixelFormat(target);
    // A conversion the bitmap could not make (for example in the device location)
    // stops the operation rather than letting it run on a format it does not know.
    return bitmap_->PixelFormat() == target;
}

// ---- resampling ---------------------------------------------------------------------------------

void TImageProc::Resample(int newWidth, int newHeight, TResampleFilter filter) {
    if (!CheckFormat(0) || !HasImage()) return;
    bool done = false;
    const int64_t limit = ImageBytesLimit(*bitmap_);
    Guarded([&] {
        // The image's storage moves to a scratch that serves as the source; the image is
        // allocated anew at the target size and resampled straight into. On failure the
        // image gets its storage back unchanged.
        TIEBitmap source;
        bitmap_->TransferStorageTo(source);
        try {
            done = ResampleSized(source, *bitmap_, newWidth, newHeight, filter, limit, ProgressFn());
        } catch (...) {
            source.TransferStorageTo(*bitmap_);
            throw;
        }
        if (!done) source.TransferStorageTo(*bitmap_);
    });
    if (!done) return;
    Changed();
    Finish();
}

void TImageProc::ResampleTo(TIEBitmap& target, int newWidth, int newHeight, TResampleFilter filter) {
    if (!CheckFormat(0) || !HasImage() || &target == bitmap_) return;
    bool done = false;
    Guarded([&] {
        done = ResampleSized(*bitmap_, target, newWidth, newHeight, filter, ImageBytesLimit(target), ProgressFn());
    });
    if (done) Finish();
}

// ---- rotation -------------------------------------------------------------------------------------

void TImageProc::Rotate(double angle, bool antialias, TIERotateAntialias mode, TColor background) {
    if (angle == 0.0 || !std::isfinite(angle) || !CheckFormat(0) || !HasImage()) return;
    const TColor color = background == ieUseComponentBackground ? Background : background;
    const TIEPixelFormat f = bitmap_->PixelFormat();
    const int quarter = QuarterTurnsOf(angle);

    enum class TPath { OneBit, Inverse, Shear, Exact, Padded };
    TPath path;
    if (f == ie1g) path = TPath::OneBit;
    else if (f == ie24RGB) path = (antialias && mode != aamShear && quarter < 0) ? TPath::Inverse : TPath::Shear;
    else path = quarter >= 0 ? TPath::Exact : TPath::Padded; // quarter turns stay exact in every format

    const int64_t limit = ImageBytesLimit(*bitmap_);
    Guarded([&] {
        // The alpha channel is rotated separately on a copy, with the image's path and
        // a transparent background, and put back afterwards.
        std::unique_ptr<TIEBitmap> alpha;
        if (bitmap_->HasAlphaChannel()) {
            TIEBitmap* current = bitmap_->AlphaChannel();
            std::unique_ptr<TIEBitmap> holder;
            TIEBitmap& bytes = AlphaAsBytes(*current, holder);
            alpha = std::make_unique<TIEBitmap>();
            alpha->AssignImage(bytes);
            if (alpha->IsEmpty()) throw EIELimitError("Not enough memory for the alpha channel");
            const TIEProcProgress none;
            TProgress quiet(none);
            const uint8_t transparent = 0;
            switch (path) {
            case TPath::OneBit: RotateNearest(*alpha, angle, transparent, quiet, limit); break;
            case TPath::Inverse: RotateInverse(*alpha, angle, mode == aamBicubic, &transparent, quiet, limit); break;
            case TPath::Shear: RotateShear(*alpha, angle, antialias, &transparent, quiet, limit); break;
            case TPath::Exact: QuarterTurnInPlace(*alpha, quarter, limit); break;
            case TPath::Padded: RotatePadded(*alpha, angle, &transparent, quiet, limit); break;
            }
            // Exact turns keep an opaque alpha opaque; other angles uncover transparent corners.
            const bool oneBitExact = angle == 90.0 || angle == -90.0 || angle == 270.0 || std::fabs(angle) == 180.0;
            const bool exact = quarter >= 0 && (path != TPath::OneBit || oneBitExact);
            alpha->Full = exact && current->Full;
        }

        const TIEProcProgress fn = ProgressFn();
        TProgress progress(fn);
        const std::vector<uint8_t> bg = BackgroundPixel(*bitmap_, color);
        switch (path) {
        case TPath::OneBit: RotateNearest(*bitmap_, angle, bg[0], progress, limit); break;
        case TPath::Inverse: RotateInverse(*bitmap_, angle, mode == aamBicubic, bg.data(), progress, limit); break;
        case TPath::Shear: RotateShear(*bitmap_, angle, antialias, bg.data(), progress, limit); break;
        case TPath::Exact: QuarterTurnInPlace(*bitmap_, quarter, limit); break;
        case TPath::Padded: RotatePadded(*bitmap_, angle, bg.data(), progress, limit); break;
        }
        if (bitmap_->IsEmpty()) throw EIELimitError("Not enough memory for the rotated image");

        if (alpha) {
            TIEBitmap* target = bitmap_->AlphaChannel();
            const bool full = alpha->Full;
            alpha->TransferStorageTo(*target);
            target->Full = full;
        }
    });
    Changed();
    Finish();
}

// ---- flips, orientation, crop ------------------------------------------------------------------------

void TImageProc::Flip(TIEFlipDirection direction) {
    if (!CheckFormat(0) || !HasImage()) return;
    Guarded([&] {
        FlipBitmap(*bitmap_, direction);
        if (bitmap_->HasAlphaChannel()) FlipBitmap(*bitmap_->AlphaChannel(), direction);
    });
    Changed();
    Finish();
}

void TImageProc::ApplyOrientation(int orientation) {
    switch (orientation) {
    case 2: Flip(flipHorizontal); break;
    case 3:
        Flip(flipVertical);
        Flip(flipHorizontal);
        break;
    case 4: Flip(flipVertical); break;
    case 5:
        Rotate(90, false, aamShear, Background);
        Flip(flipHorizontal);
        break;
    case 6: Rotate(-90, false, aamShear, Background); break;
    case 7:
        Rotate(-90, false, aamShear, Background);
        Flip(flipHorizontal);
        break;
    case 8: Rotate(90, false, aamShear, Background); break;
    default: break;
    }
}

void TImageProc::Crop(const TIERect& rect) {
    if (!CheckFormat(0) || !HasImage()) return;
    if (rect.Left == 0 && rect.Top == 0 && int64_t(rect.Right) + 1 == bitmap_->Width() &&
        int64_t(rect.Bottom) + 1 == bitmap_->Height())
        return;
    bool done = false;
    Guarded([&] { done = CropBitmap(*bitmap_, rect, ImageBytesLimit(*bitmap_)); });
    if (!done) return;
    Changed();
    Finish();
}

} // namespace tw
