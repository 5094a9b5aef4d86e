#include "codecs/gif_blocks.h"

#include <algorithm>
#include <cstring>

namespace tw {

// ---- TGifInput ---------------------------------------------------------------------

TGifInput::TGifInput(TStream& stream) : stream_(stream), size_(stream.Size()), pos_(stream.Position()) {
    if (pos_ > size_) pos_ = size_;
}

int TGifInput::Byte() {
    uint8_t b = 0;
    return Read(&b, 1) == 1 ? b : -1;
}

int64_t TGifInput::Read(void* buffer, int64_t count) {
    count = std::min(count, Remaining());
    if (count <= 0) return 0;
    int64_t got = stream_.Read(buffer, count);
    if (got < 0) got = 0;
    pos_ += got;
    return got;
}

int64_t TGifInput::Skip(int64_t count) {
    count = std::min(count, Remaining());
    if (count <= 0) return 0;
    SeekTo(pos_ + count);
    return count;
}

void TGifInput::SeekTo(int64_t position) {
    pos_ = std::clamp<int64_t>(position, 0, size_);
    stream_.SetPosition(pos_);
}

void TGifInput::Resync() {
    pos_ = std::clamp<int64_t>(stream_.Position(), 0, size_);
}

// ---- pieces of the block structure -------------------------------------------------

int64_t GifSkipSubBlocks(TGifInput& in) {
    int64_t total = 0;
    for (;;) {
        int len = in.Byte();
        if (len <= 0) break; // terminator or end of data
        total += in.Skip(len);
    }
    return total;
}

void GifReadColorTable(TGifInput& in, int bits, TGifColorTable& table) {
    const int entries = 2 << (bits & 7);
    uint8_t raw[768] = {};
    in.Read(raw, int64_t(entries) * 3);
    table.Present = true;
    table.Bits = bits & 7;
    table.Colors.resize(size_t(entries));
    for (int i = 0; i < entries; ++i)
        table.Colors[size_t(i)] = MakeRGB(raw[3 * i], raw[3 * i + 1], raw[3 * i + 2]);
}

TRGB GifTableColor(const TGifColorTable& table, int index) {
    if (index < 0 || size_t(index) >= table.Colors.size()) return TRGB{};
    return table.Colors[size_t(index)];
}

int64_t GifMaxDecodablePixels(int64_t dataBytes) {
    if (dataBytes <= 0) return 0;
    if (dataBytes > (int64_t(1) << 40)) return INT64_MAX / 4;
    const int64_t codes = dataBytes * 8 / 3;
    if (codes <= 4096) return codes * (codes + 1) / 2;
    return codes * 2049;
}

// ---- TGifWalker --------------------------------------------------------------------

std::string TGifWalker::ReadHeader(TGifHeader& header) {
    uint8_t h[13] = {};
    int64_t got = in_.Read(h, 13);
    if (got < 3 || std::memcmp(h, "GIF", 3) != 0)
        return "GIF: the file does not start with the GIF signature";
    if (got < 13) return "GIF: the file ends inside the screen descriptor";
    header.Version.assign(reinterpret_cast<const char*>(h), 6);
    header.ScreenWidth = h[6] | (h[7] << 8);
    header.ScreenHeight = h[8] | (h[9] << 8);
    header.BackgroundIndex = h[11];
    header.AspectByte = h[12];
    if (h[10] & 0x80) GifReadColorTable(in_, h[10] & 7, header.Global);
    if (in_.AtEnd()) return "GIF: the file ends after the screen descriptor";
    return {};
}

void TGifWalker::ReadGraphicControl() {
    // Block size (4 in every file we know), packed, delay, transparent index; any
    // further bytes and sub-blocks up to the terminator are passed over.
    int size = in_.Byte();
    if (size <= 0) return;
    uint8_t d[4] = {};
    in_.Read(d, std::min(size, 4));
    if (size > 4) in_.Skip(size - 4);
    gceTransparency_ = (d[0] & 1) != 0;
    gceDisposal_ = (d[0] >> 2) & 7;
    gceDelay_ = d[1] | (d[2] << 8);
    gceTransparentIndex_ = d[3];
    GifSkipSubBlocks(in_);
}

void TGifWalker::ReadComment() {
    uint8_t buf[255];
    for (;;) {
        int len = in_.Byte();
        if (len <= 0) break;
        int64_t got = in_.Read(buf, len);
        if (comments_) {
            const auto* text = reinterpret_cast<const char*>(buf);
            size_t n = strnlen(text, size_t(got));
            if (n > 0) comments_->emplace_back(text, n);
        }
    }
}

void TGifWalker::ReadExtension() {
    int label = in_.Byte();
    if (label == 0xF9) {
        ReadGraphicControl();
    } else if (label == 0xFE) {
        ReadComment();
    } else if (label >= 0) {
        GifSkipSubBlocks(in_); // application, plain text and unknown extensions
    }
}

bool TGifWalker::NextImage(TGifImageInfo& info) {
    for (;;) {
        int b = in_.Byte();
        if (b < 0 || b == 0x3B) return false; // trailer, or the end of the data
        if (b == 0x21) {
            ReadExtension();
            continue;
        }
        if (b != 0x2C) continue; // stray bytes between blocks are ignored

        uint8_t d[9] = {};
        if (in_.Read(d, 9) < 9) return false; // a descriptor cut short is no image
        info = TGifImageInfo{};
        info.Index = images_++;
        info.Left = d[0] | (d[1] << 8);
        info.Top = d[2] | (d[3] << 8);
        info.Width = d[4] | (d[5] << 8);
        info.Height = d[6] | (d[7] << 8);
        info.Interlaced = (d[8] & 0x40) != 0;
        if (d[8] & 0x80) GifReadColorTable(in_, d[8] & 7, info.Local);
        info.HasTransparency = gceTransparency_;
        info.Disposal = gceDisposal_;
        info.Delay = gceDelay_;
        info.TransparentIndex = gceTransparentIndex_;
        gceTransparency_ = false;
        gceDisposal_ = gceDelay_ = gceTransparentIndex_ = 0;

        info.DataOffset = in_.Position();
        info.CodeSize = in_.Byte();
        info.DataBytes = info.CodeSize < 0 ? 0 : GifSkipSubBlocks(in_);
        info.DataEnd = in_.Position();
        return true;
    }
}

} // namespace tw
