#include "io/builtin.h"

#include "codecs/bmp.h"
#include "codecs/gif.h"
#include "codecs/jpeg.h"
#include "codecs/png.h"
#include "io/formats.h"
#include "io/imageio.h"

namespace tw {

namespace {

// The bitmap's alpha channel as a mask, for the writers that take one.
std::unique_ptr<TIEMask> AlphaMask(TIEBitmap& bitmap) {
    if (!bitmap.HasAlphaChannel()) return nullptr;
    auto mask = std::make_unique<TIEMask>();
    bitmap.AlphaChannel()->CopyToMask(*mask);
    return mask;
}

std::unique_ptr<TIEMask> ReadPng(TImageIO& io, TStream& s, TIEProgressRecord& p) {
    io.Params.PngBackground = TColor2TRGB(io.Background());
    PngReadStream(s, io.Bitmap(), io.Params, false, p);
    io.SetBackground(TRGB2TColor(io.Params.PngBackground));
    return nullptr;
}

void WritePng(TImageIO& io, TStream& s, TIEProgressRecord& p) {
    auto mask = AlphaMask(io.Bitmap());
    PngWriteStream(s, io.Bitmap(), io.Params, mask.get(), p);
}

std::unique_ptr<TIEMask> ReadJpeg(TImageIO& io, TStream& s, TIEProgressRecord& p) {
    JpegReadStream(s, nullptr, io.Bitmap(), io.Params.NativePixelFormat, -1, true, false, true, false, false, p,
                   io.Params);
    return nullptr;
}

void WriteJpeg(TImageIO& io, TStream& s, TIEProgressRecord& p) { JpegWriteStream(s, io.Bitmap(), io.Params, p); }

void PrepareJpeg(TImageIO& io) { JpegPrepareMarkers(io.Params); }

std::unique_ptr<TIEMask> ReadGif(TImageIO& io, TStream& s, TIEProgressRecord& p) {
    TGifReadResult r = GifLoadComposed(s, io.Bitmap(), io.Params, p);
    io.SetBackground(TRGB2TColor(GifLoadBackground(io.Params)));
    return std::move(r.Transparency);
}

void WriteGif(TImageIO& io, TStream& s, TIEProgressRecord& p) { GifWriteStream(s, io.Bitmap(), io.Params, p); }

std::unique_ptr<TIEMask> ReadBmp(TImageIO& io, TStream& s, TIEProgressRecord& p) {
    return BmpReadStream(s, io.Bitmap(), io.Params, p, false, io.Params.BmpUseAlpha);
}

void WriteBmp(TImageIO& io, TStream& s, TIEProgressRecord& p) {
    BmpWriteStream(s, io.Bitmap(), io.Params, p, io.Params.BmpUseAlpha);
}

std::vector<TIEBuiltinFormat> MakeTable() {
    std::vector<TIEBuiltinFormat> t;
    {
        TIEBuiltinFormat f{ioBMP};
        f.Read = ReadBmp;
        f.Write = WriteBmp;
        t.push_back(f);
    }
    {
        TIEBuiltinFormat f{ioGIF};
        f.HostTakesResolution = false;
        f.Read = ReadGif;
        f.Write = WriteGif;
        t.push_back(f);
    }
    {
        TIEBuiltinFormat f{ioJPEG};
        f.ReadBuffer = 8192;
        f.RelativeBuffer = true;
        f.Read = ReadJpeg;
        f.ConvertTo24 = true;
        f.Write = WriteJpeg;
        f.PrepareSave = PrepareJpeg;
        t.push_back(f);
    }
    {
        TIEBuiltinFormat f{ioPNG};
        f.Read = ReadPng;
        f.Write = WritePng;
        t.push_back(f);
    }
    return t;
}

} // namespace

const TIEBuiltinFormat* BuiltinFormat(int32_t code) {
    static const std::vector<TIEBuiltinFormat> table = MakeTable();
    for (const auto& f : table)
        if (f.Code == code) return &f;
    return nullptr;
}

} // namespace tw
