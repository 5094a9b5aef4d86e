#include "cli/processing.h"

#include <algorithm>
#include <string>

namespace tw {

TResampleFilter FilterOf(const std::string& filterText) {
    if (filterText == "1") return rfFastLinear;
    if (filterText == "2") return rfBilinear;
    if (filterText == "3") return rfLanczos3;
    return rfNone;
}

// num / den rounded to the nearest integer, halves to the even neighbour (den > 0).
static int64_t RoundQuotient(int64_t num, int64_t den) {
    int64_t q = num / den, r = num % den;
    if (r < 0) { // floor division
        q -= 1;
        r += den;
    }
    if (2 * r > den || (2 * r == den && (q & 1))) ++q;
    return q;
}

static int32_t Clamp32(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

void FitSize(int32_t iw, int32_t ih, int32_t w, int32_t h, int32_t& tw, int32_t& th) {
    tw = w;
    th = h;
    if (iw < w || ih < h) {
        tw = iw;
        th = ih;
        return;
    }
    // The image sides are at least 1 here (a loaded image), so nothing divides by zero.
    if (iw < 1 || ih < 1) return;
    if (w < h) th = Clamp32(RoundQuotient(int64_t(ih) * w, iw));
    else if (w > h) tw = Clamp32(RoundQuotient(int64_t(iw) * h, ih));
    else if (ih > iw) th = Clamp32(RoundQuotient(int64_t(ih) * w, iw));
    else if (iw > ih) tw = Clamp32(RoundQuotient(int64_t(iw) * h, ih));
}

void ProcessingSequence(const TRunState& state, TImageProc& proc, TLineWriter& out) {
    const std::string& deg = state.Degrees;
    if (deg == "90") {
        proc.Rotate(90.0, true, aamShear, ieUseComponentBackground);
        out.Line("Degrees Rotate 90");
    } else if (deg == "-90" || deg == "270") {
        proc.Rotate(270.0, true, aamShear, ieUseComponentBackground);
        out.Line("Degrees Rotate -90/270");
    } else if (deg == "180") {
        proc.Rotate(180.0, true, aamShear, ieUseComponentBackground);
        out.Line("Degrees Rotate 180");
    }
    if (state.Mirror) {
        proc.Flip(flipHorizontal);
        out.Line("Horizontally");
    }
    if (state.UpsideDown) {
        proc.Flip(flipVertical);
        out.Line("Vertically");
    }

    const std::string w = std::to_string(state.Width), h = std::to_string(state.Height);
    const bool resample = !state.Filter.empty();
    TIEBitmap& image = *proc.Bitmap();
    if (state.ResizeMode == "1") {
        int32_t right = std::min(state.Width, image.Width()) - 1;
        int32_t bottom = std::min(state.Height, image.Height()) - 1;
        proc.Crop(0, 0, right, bottom);
        out.Line("[Success] Crop image to selected sizeW*H ", w, "*", h);
    } else if (state.ResizeMode == "2") {
        if (resample) proc.Resample(state.Width, state.Height, FilterOf(state.Filter));
        out.Line("[Success] Shrink or enlarge images to the selected size.W*H ", w, "*", h);
    } else if (state.ResizeMode == "3") {
        int32_t tw, th;
        FitSize(image.Width(), image.Height(), state.Width, state.Height, tw, th);
        if (resample) proc.Resample(tw, th, FilterOf(state.Filter));
        out.Line("[Success] Fit image to selected size.W*H ", std::to_string(tw), "*", std::to_string(th));
    }
}

} // namespace tw
