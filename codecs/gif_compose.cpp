// GIF load: the selected frame of an animated file composed on the logical screen.
//
// The file is walked twice: once to count the images and collect the comments, once
// to decode the frames 0 .. GifImageIndex in order and draw each on a canvas. Frames
// after the selected one are never decoded, so the work is bounded by the frames that
// the picture is made of.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs/gif.h"
#include "codecs/gif_frame.h"
#include "io/limits.h"

namespace tw {

namespace {

constexpr int32_t kFileTypeGif = 2;

struct TRect {
    int X = 0, Y = 0, W = 0, H = 0;
};

// The part of a frame rectangle that lies on a canvas of cw × ch pixels.
TRect ClipToCanvas(int x, int y, int w, int h, int cw, int ch) {
    TRect r;
    r.X = std::clamp(x, 0, cw);
    r.Y = std::clamp(y, 0, ch);
    r.W = std::max(0, std::min(x + w, cw) - r.X);
    r.H = std::max(0, std::min(y + h, ch) - r.Y);
    if (r.W == 0 || r.H == 0) r.W = r.H = 0;
    return r;
}

// One row of a frame as TRGB (the frame is ie1g, ie8p or ie24RGB).
void FrameRow(TIEBitmap& frame, int y, TRGB* out) {
    const int w = frame.Width();
    const uint8_t* row = frame.Scanline(y);
    switch (frame.PixelFormat()) {
    case ie1g:
        for (int x = 0; x < w; ++x) {
            uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            out[x] = TRGB{v, v, v};
        }
        break;
    case ie8p:
        for (int x = 0; x < w; ++x)
            out[x] = frame.PaletteColor(row[x]);
        break;
    default:
        std::memcpy(out, row, size_t(w) * 3);
        break;
    }
}

// The canvas: a 24-bit picture with an 8-bit alpha plane.
class TGifCanvas {
  public:
    explicit TGifCanvas(TRGB background) : background_(background) {}

    bool Empty() { return image_.IsEmpty(); }
    int Width() { return image_.Width(); }
    int Height() { return image_.Height(); }
    TIEBitmap& Image() { return image_; }

    // Allocates w × h, background colour, fully transparent.
    bool Create(int w, int h) {
        if (!image_.Allocate(w, h, ie24RGB) || image_.PixelFormat() != ie24RGB) return false;
        TIEBitmap* alpha = image_.AlphaChannel();
        if (!alpha || alpha->IsEmpty()) return false;
        Fill(TRect{0, 0, w, h}, 0);
        return true;
    }

    // Enlarges to w × h keeping the picture at the top left; the new area is
    // background colour and opaque.
    void Grow(int w, int h) { image_.ResizeCanvas(w, h, double(TRGB2TColor(background_)), 255, 0, 0); }

    // Background colour and the given alpha over r (clipped).
    void Fill(TRect r, uint8_t alphaValue) {
        r = ClipToCanvas(r.X, r.Y, r.W, r.H, Width(), Height());
        TIEBitmap* alpha = image_.AlphaChannel();
        for (int y = r.Y; y < r.Y + r.H; ++y) {
            auto* p = reinterpret_cast<TRGB*>(image_.Scanline(y)) + r.X;
            std::fill(p, p + r.W, background_);
            std::memset(alpha->Scanline(y) + r.X, alphaValue, size_t(r.W));
        }
    }

    // Keeps the pixels and alpha under r so that Restore can put them back.
    void Save(TRect r) {
        saved_ = ClipToCanvas(r.X, r.Y, r.W, r.H, Width(), Height());
        savedPixels_.resize(size_t(saved_.W) * size_t(saved_.H));
        savedAlpha_.resize(savedPixels_.size());
        TIEBitmap* alpha = image_.AlphaChannel();
        for (int i = 0; i < saved_.H; ++i) {
            const int y = saved_.Y + i;
            std::memcpy(&savedPixels_[size_t(i) * size_t(saved_.W)],
                        reinterpret_cast<TRGB*>(image_.Scanline(y)) + saved_.X, size_t(saved_.W) * 3);
            std::memcpy(&savedAlpha_[size_t(i) * size_t(saved_.W)], alpha->Scanline(y) + saved_.X,
                        size_t(saved_.W));
        }
    }

    void Restore() {
        TIEBitmap* alpha = image_.AlphaChannel();
        for (int i = 0; i < saved_.H; ++i) {
            const int y = saved_.Y + i;
            std::memcpy(reinterpret_cast<TRGB*>(image_.Scanline(y)) + saved_.X,
                        &savedPixels_[size_t(i) * size_t(saved_.W)], size_t(saved_.W) * 3);
            std::memcpy(alpha->Scanline(y) + saved_.X, &savedAlpha_[size_t(i) * size_t(saved_.W)],
                        size_t(saved_.W));
        }
        saved_ = TRect{};
    }

    // Draws frame at (x, y): transparent pixels leave the canvas, opaque ones replace
    // it; the canvas alpha becomes the larger of its own and the frame's.
    void Draw(TIEBitmap& frame, const TIEMask* plane, int x, int y) {
        const TRect r = ClipToCanvas(x, y, frame.Width(), frame.Height(), Width(), Height());
        if (r.W == 0 || r.H == 0) return;
        const int sx = r.X - x;
        std::vector<TRGB> row(size_t(frame.Width()));
        TIEBitmap* alpha = image_.AlphaChannel();
        for (int i = 0; i < r.H; ++i) {
            const int fy = r.Y - y + i;
            FrameRow(frame, fy, row.data());
            const uint8_t* fa = plane ? plane->Scanline(fy) : nullptr;
            auto* dst = reinterpret_cast<TRGB*>(image_.Scanline(r.Y + i)) + r.X;
            uint8_t* da = alpha->Scanline(r.Y + i) + r.X;
            for (int c = 0; c < r.W; ++c) {
                const uint8_t a = fa ? fa[sx + c] : 255;
                if (a != 0) dst[c] = row[size_t(sx + c)];
                da[c] = std::max(da[c], a);
            }
        }
    }

  private:
    TIEBitmap image_;
    TRGB background_;
    TRect saved_;
    std::vector<TRGB> savedPixels_;
    std::vector<uint8_t> savedAlpha_;
};

// The canvas alpha as a plane; null when every pixel is opaque.
std::unique_ptr<TIEMask> PlaneOf(TIEBitmap& image) {
    TIEBitmap* alpha = image.AlphaChannel();
    const int w = image.Width(), h = image.Height();
    auto plane = std::make_unique<TIEMask>(w, h, 8);
    for (int y = 0; y < h; ++y)
        std::memcpy(plane->Scanline(y), alpha->Scanline(y), size_t(w));
    plane->UpdateFull();
    if (plane->Full) return nullptr;
    plane->UpdateBoundingBox();
    return plane;
}

// Puts the canvas picture into target in the selected frame's pixel format when that
// loses nothing (black and white for ie1g, at most 256 colours for ie8p), else as ie24RGB.
void DeliverCanvas(TIEBitmap& canvas, TIEBitmap& target, TIEPixelFormat frameFormat) {
    const int w = canvas.Width(), h = canvas.Height();
    if (frameFormat == ie1g) {
        TIEBitmap bw;
        bool onlyBlackWhite = bw.Allocate(w, h, ie1g);
        for (int y = 0; y < h && onlyBlackWhite; ++y) {
            const auto* p = reinterpret_cast<const TRGB*>(canvas.Scanline(y));
            uint8_t* out = bw.Scanline(y);
            for (int x = 0; x < w; ++x) {
                if (p[x] == TRGB{255, 255, 255})
                    out[x >> 3] |= uint8_t(0x80 >> (x & 7));
                else if (!(p[x] == TRGB{})) {
                    onlyBlackWhite = false;
                    break;
                }
            }
        }
        if (onlyBlackWhite) {
            target.AssignImage(bw);
            return;
        }
    } else if (frameFormat == ie8p) {
        TIEBitmap indexed;
        std::vector<TRGB> colors;
        std::vector<int16_t> slotIndex(size_t(1) << 16, -1); // small open hash of colours
        std::vector<uint32_t> slotKey(slotIndex.size(), 0);
        bool fits = indexed.Allocate(w, h, ie8p);
        for (int y = 0; y < h && fits; ++y) {
            const auto* p = reinterpret_cast<const TRGB*>(canvas.Scanline(y));
            uint8_t* out = indexed.Scanline(y);
            for (int x = 0; x < w && fits; ++x) {
                const uint32_t key = (uint32_t(p[x].r) << 16 | uint32_t(p[x].g) << 8 | p[x].b) + 1;
                size_t s = size_t((key * 2654435761u) >> 16);
                while (slotKey[s] != 0 && slotKey[s] != key)
                    s = (s + 1) & (slotKey.size() - 1);
                if (slotKey[s] == 0) {
                    if (colors.size() == 256) {
                        fits = false;
                        break;
                    }
                    slotKey[s] = key;
                    slotIndex[s] = int16_t(colors.size());
                    colors.push_back(p[x]);
                }
                out[x] = uint8_t(slotIndex[s]);
            }
        }
        if (fits) {
            for (size_t i = 0; i < colors.size(); ++i)
                indexed.SetPaletteColor(int(i), colors[i]);
            target.AssignImage(indexed);
            return;
        }
    }
    target.AssignImage(canvas);
}

} // namespace

TRGB GifLoadBackground(const TIOParamsVals& params) {
    return params.GifHasTransparency ? params.GifTransparentColor : params.GifBackground;
}

TGifReadResult GifLoadComposed(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                               TIEProgressRecord& progress) {
    TGifReadResult result;
    const int32_t selected = params.GifImageIndex;
    const int64_t start = stream.Position();

    // First walk: header, comments, number of images.
    progress.Report(0);
    TGifInput in(stream);
    params.GifComments.clear();
    TGifHeader header;
    int count = 0;
    {
        TGifWalker walker(in, &params.GifComments);
        std::string error = walker.ReadHeader(header);
        if (!header.Version.empty()) GifSetHeaderFields(params, header);
        if (!error.empty()) {
            progress.Abort(error);
            return result;
        }
        TGifImageInfo skipped;
        while (walker.NextImage(skipped)) {
        }
        count = walker.ImagesSeen();
    }
    params.SetImageCount(count);
    result.ImageCount = count;
    params.FileType = kFileTypeGif;
    if (count == 0) {
        progress.Abort("GIF: the file holds no image");
        return result;
    }

    // Second walk: frames 0 .. selected. Only the first frame reports progress through
    // the caller's record, and only when it is the selected one.
    in.SeekTo(start);
    TGifWalker walker(in, nullptr);
    TGifHeader again;
    walker.ReadHeader(again);
    TIEProgressRecord silent;
    silent.AbortFlag = progress.AbortFlag;
    silent.AbortReason = progress.AbortReason;
    TIEProgressRecord& frameProgress = selected < 1 ? progress : silent;

    TGifCanvas canvas(params.GifBackground);
    TRect previous;
    int previousDisposal = 0;
    TIEPixelFormat frameFormat = ie24RGB;
    TGifImageInfo info;
    while (walker.NextImage(info)) {
        const int i = info.Index;
        params.SetImageIndex(i);
        frameProgress.Report(0);
        TIEBitmap frame;
        std::unique_ptr<TIEMask> plane;
        TGifTake taken = GifTakeImage(in, header, info, count == 1 ? bitmap : frame, params, frameProgress,
                                      false, false, plane);
        if (taken == TGifTake::Failed || progress.Aborted()) break;
        frameProgress.Report(100);

        if (count == 1) {
            if (taken == TGifTake::NoPixels) {
                progress.Abort("GIF: the only image is " + std::to_string(info.Width) + " x " +
                               std::to_string(info.Height) + " pixels");
                break;
            }
            result.Transparency = std::move(plane);
            break;
        }

        const int cw = std::max(params.GifScreenWidth, info.Width);
        const int ch = std::max(params.GifScreenHeight, info.Height);
        if (!canvas.Empty()) {
            if (previousDisposal == 2)
                canvas.Fill(previous, 0);
            else if (previousDisposal == 3)
                canvas.Restore();
        }
        if (canvas.Empty() || canvas.Width() < cw || canvas.Height() < ch) {
            const int nw = canvas.Empty() ? cw : std::max(cw, canvas.Width());
            const int nh = canvas.Empty() ? ch : std::max(ch, canvas.Height());
            if (std::string limit = CheckImageSize(nw, nh); !limit.empty()) {
                progress.Abort("GIF: logical screen: " + limit);
                break;
            }
            if (canvas.Empty()) {
                if (!canvas.Create(nw, nh)) {
                    progress.Abort("GIF: cannot allocate the logical screen of " + std::to_string(nw) +
                                   " x " + std::to_string(nh) + " pixels");
                    break;
                }
            } else {
                canvas.Grow(nw, nh);
            }
        }
        previous = TRect{info.Left, info.Top, info.Width, info.Height};
        previousDisposal = info.Disposal;
        if (previousDisposal == 3) canvas.Save(previous);
        if (taken == TGifTake::Taken) {
            canvas.Draw(frame, plane.get(), info.Left, info.Top);
            frameFormat = frame.PixelFormat();
        }
        params.GifDisposal = 2;
        params.GifXPos = 0;
        params.GifYPos = 0;

        progress.Report(int(int64_t(i) * 100 / count));
        if (i == selected) break;
    }
    params.SetImageIndex(selected);
    if (progress.Aborted()) return result;

    if (count > 1 && !canvas.Empty()) {
        DeliverCanvas(canvas.Image(), bitmap, frameFormat);
        result.Transparency = PlaneOf(canvas.Image());
    }
    params.Width = bitmap.Width();
    params.Height = bitmap.Height();
    params.FileType = kFileTypeGif;
    return result;
}

} // namespace tw
