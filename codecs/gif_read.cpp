// GIF reader: the frame-level read of one image.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs/gif.h"
#include "codecs/gif_frame.h"
#include "io/limits.h"

namespace tw {

namespace {

// Images smaller than this are decoded even when their data cannot fill them, so a
// short or damaged small file still gives what it holds.
constexpr int64_t kAlwaysDecodablePixels = 4096;

std::string ImageName(const TGifImageInfo& info) {
    return "image " + std::to_string(info.Index);
}

// The colour table the image uses: its local table, else the global one. A file
// with neither gets a gray ramp (index i shows gray level i).
TGifColorTable TableOf(const TGifHeader& header, const TGifImageInfo& info) {
    if (info.Local.Present) return info.Local;
    if (header.Global.Present) return header.Global;
    TGifColorTable ramp;
    ramp.Present = true;
    ramp.Bits = 7;
    ramp.Colors.resize(256);
    for (int i = 0; i < 256; ++i)
        ramp.Colors[size_t(i)] = MakeRGB(uint8_t(i), uint8_t(i), uint8_t(i));
    return ramp;
}

bool IsBlackAndWhite(const TGifColorTable& t) {
    return t.Bits == 0 && t.Colors.size() == 2 && t.Colors[0] == MakeRGB(0, 0, 0) &&
           t.Colors[1] == MakeRGB(255, 255, 255);
}

// Decodes the image's LZW data into indexes (width × height, zero-filled beforehand).
bool DecodeIndexes(TGifInput& in, const TGifImageInfo& info, TIOParamsVals& params,
                   TIEProgressRecord& progress, std::vector<uint8_t>& indexes) {
    TGifLzwDecompressor decode =
        params.GifLzwDecompressor ? params.GifLzwDecompressor : DefaultGifLzwDecompressor;
    if (!decode) {
        progress.Abort("GIF: no LZW decoder is installed");
        return false;
    }
    in.SeekTo(info.DataOffset);
    decode(in.Stream(), info.Height, info.Width, indexes.data(), info.Interlaced);
    in.Resync();
    const bool moved = in.Position() != info.DataOffset;
    in.SeekTo(info.DataEnd);
    if (!moved) {
        if (info.CodeSize < 2 || info.CodeSize > 9)
            progress.Abort("GIF: " + ImageName(info) + " has an LZW minimum code size of " +
                           std::to_string(info.CodeSize) + " (2 to 9 are allowed)");
        else
            progress.Abort("GIF: the LZW data of " + ImageName(info) + " is damaged");
        return false;
    }
    return true;
}

void FillBlackAndWhite(TIEBitmap& bitmap, const std::vector<uint8_t>& indexes, int w, int h) {
    const int bytes = (w + 7) / 8;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = bitmap.Scanline(y);
        std::memset(row, 0, size_t(bytes));
        const uint8_t* src = indexes.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            if (src[x] == 1) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
}

void FillPalette(TIEBitmap& bitmap, const std::vector<uint8_t>& indexes, int w, int h,
                 const std::vector<TRGB>& colors) {
    for (size_t i = 0; i < colors.size() && i < 256; ++i)
        bitmap.SetPaletteColor(int(i), colors[i]);
    for (int y = 0; y < h; ++y)
        std::memcpy(bitmap.Scanline(y), indexes.data() + size_t(y) * size_t(w), size_t(w));
}

void FillTrueColor(TIEBitmap& bitmap, const std::vector<uint8_t>& indexes, int w, int h,
                   const std::vector<TRGB>& colors) {
    TRGB lut[256] = {}; // indexes beyond the table show black
    std::copy_n(colors.begin(), std::min<size_t>(colors.size(), 256), lut);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<TRGB*>(bitmap.Scanline(y));
        const uint8_t* src = indexes.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            row[x] = lut[src[x]];
    }
}

// The 8-bit plane with 0 where the index is the transparent one; null when no pixel is.
std::unique_ptr<TIEMask> TransparencyPlane(const std::vector<uint8_t>& indexes, int w, int h,
                                           int transparentIndex) {
    if (std::find(indexes.begin(), indexes.end(), uint8_t(transparentIndex)) == indexes.end()) return nullptr;
    auto plane = std::make_unique<TIEMask>(w, h, 8);
    plane->Fill(255);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = plane->Scanline(y);
        const uint8_t* src = indexes.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            if (src[x] == transparentIndex) row[x] = 0;
    }
    plane->UpdateFull();
    plane->UpdateBoundingBox();
    return plane;
}

} // namespace

void GifSetHeaderFields(TIOParamsVals& params, const TGifHeader& header) {
    params.GifVersion = header.Version;
    params.GifScreenWidth = header.ScreenWidth;
    params.GifScreenHeight = header.ScreenHeight;
    params.GifAspectByte = header.AspectByte;
    params.SetDpiX(DefaultDpiX);
    params.SetDpiY(DefaultDpiY);
    params.SamplesPerPixel = 1;
    if (header.Global.Present) params.GifBackground = GifTableColor(header.Global, header.BackgroundIndex);
}

TGifTake GifTakeImage(TGifInput& in, const TGifHeader& header, const TGifImageInfo& info, TIEBitmap& bitmap,
                      TIOParamsVals& params, TIEProgressRecord& progress, bool preview,
                      bool ignoreTransparency, std::unique_ptr<TIEMask>& transparency) {
    transparency.reset();
    progress.Report(30);
    if (progress.Aborted()) return TGifTake::Failed;

    const TGifColorTable& forTransparent = info.Local.Present ? info.Local : header.Global;
    params.GifTransparentColor = GifTableColor(forTransparent, info.TransparentIndex);
    params.GifXPos = info.Left;
    params.GifYPos = info.Top;
    params.Width = info.Width;
    params.Height = info.Height;
    params.GifDelayTime = info.Delay;
    params.GifHasTransparency = info.HasTransparency;
    params.GifInterlaced = info.Interlaced;
    params.GifDisposal = uint8_t(info.Disposal);

    const int w = info.Width, h = info.Height;
    const TGifColorTable table = TableOf(header, info);
    auto setColorMap = [&] {
        params.ColorMap = table.Colors;
        params.BitsPerSample = table.Bits + 1;
    };
    if (preview) {
        setColorMap();
        return TGifTake::Taken;
    }
    if (w == 0 || h == 0) {
        setColorMap();
        return TGifTake::NoPixels;
    }

    // Checks before any pixel memory is taken.
    if (std::string limit = CheckImageSize(w, h); !limit.empty()) {
        progress.Abort("GIF: " + ImageName(info) + ": " + limit);
        return TGifTake::Failed;
    }
    const int64_t pixels = int64_t(w) * h;
    const int64_t fillable = GifMaxDecodablePixels(info.DataBytes);
    if (pixels > kAlwaysDecodablePixels && pixels > fillable) {
        progress.Abort("GIF: " + ImageName(info) + " declares " + std::to_string(w) + " x " +
                       std::to_string(h) + " pixels, but its " + std::to_string(info.DataBytes) +
                       " bytes of image data can fill at most " + std::to_string(fillable));
        return TGifTake::Failed;
    }

    std::vector<uint8_t> indexes(size_t(pixels), 0);
    if (!DecodeIndexes(in, info, params, progress, indexes)) return TGifTake::Failed;
    progress.Report(70);
    if (progress.Aborted()) return TGifTake::Failed;

    setColorMap();
    const bool bw = IsBlackAndWhite(table);
    if (!bw && (w > 65000 || h > 65000) && in.Remaining() < 2000) {
        progress.Abort("GIF: " + ImageName(info) + " of " + std::to_string(w) + " x " + std::to_string(h) +
                       " pixels is refused: a side above 65000 pixels in a file this short");
        return TGifTake::Failed;
    }

    const TIEPixelFormat want = bw ? ie1g : (params.NativePixelFormat ? ie8p : ie24RGB);
    if (!bitmap.Allocate(w, h, want) || bitmap.PixelFormat() != want || bitmap.Width() != w ||
        bitmap.Height() != h) {
        progress.Abort("GIF: cannot allocate a bitmap of " + std::to_string(w) + " x " + std::to_string(h) +
                       " pixels");
        return TGifTake::Failed;
    }
    switch (want) {
    case ie1g:
        FillBlackAndWhite(bitmap, indexes, w, h);
        break;
    case ie8p:
        FillPalette(bitmap, indexes, w, h, table.Colors);
        break;
    default:
        FillTrueColor(bitmap, indexes, w, h, table.Colors);
        break;
    }
    if (info.HasTransparency && !ignoreTransparency)
        transparency = TransparencyPlane(indexes, w, h, info.TransparentIndex);
    return TGifTake::Taken;
}

TGifReadResult GifReadStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params,
                             TIEProgressRecord& progress, bool preview, bool ignoreTransparency) {
    TGifReadResult result;
    progress.Report(0);
    TGifInput in(stream);
    params.GifComments.clear();
    TGifWalker walker(in, &params.GifComments);
    TGifHeader header;
    std::string error = walker.ReadHeader(header);
    if (!header.Version.empty()) GifSetHeaderFields(params, header);
    if (!error.empty()) {
        progress.Abort(error);
        if (!header.Version.empty()) params.SetImageCount(0);
        return result;
    }

    const int selected = params.GifImageIndex;
    TGifImageInfo info;
    while (!progress.Aborted() && walker.NextImage(info)) {
        if (info.Index != selected) continue;
        TGifTake taken = GifTakeImage(in, header, info, bitmap, params, progress, preview, ignoreTransparency,
                                      result.Transparency);
        if (taken == TGifTake::NoPixels)
            progress.Abort("GIF: " + ImageName(info) + " is " + std::to_string(info.Width) + " x " +
                           std::to_string(info.Height) + " pixels");
    }
    result.ImageCount = walker.ImagesSeen();
    params.SetImageCount(result.ImageCount);
    if (!progress.Aborted()) progress.Report(100);
    return result;
}

} // namespace tw
