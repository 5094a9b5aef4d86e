#include "io/builtin.h"

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

std::vector<TIEBuiltinFormat> MakeTable() {
    std::vector<TIEBuiltinFormat> t;
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
