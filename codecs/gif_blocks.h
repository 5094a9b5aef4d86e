// The block structure of GIF87a and GIF89a files: a bounded byte reader over a stream
// and a walker that visits the images one by one. Shared by the GIF reader and the
// GIF load composition; not part of the engine's public interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/types.h"
#include "io/stream.h"

namespace tw {

// Reads a stream that never grows while it is read. The stream size is taken once;
// every read and skip is cut to what remains, so no count from the file can move the
// position past the end.
class TGifInput {
  public:
    explicit TGifInput(TStream& stream);

    TStream& Stream() { return stream_; }
    int64_t Position() const { return pos_; }
    int64_t Size() const { return size_; }
    int64_t Remaining() const { return size_ - pos_; }
    bool AtEnd() const { return pos_ >= size_; }

    // The next byte, or -1 at the end.
    int Byte();
    // Reads up to count bytes; returns how many arrived.
    int64_t Read(void* buffer, int64_t count);
    // Skips up to count bytes; returns how many were skipped.
    int64_t Skip(int64_t count);
    void SeekTo(int64_t position);
    // Takes the position from the stream after someone else has read from it.
    void Resync();

  private:
    TStream& stream_;
    int64_t size_;
    int64_t pos_;
};

// Walks a chain of data sub-blocks (length byte, data) up to and including the zero
// terminator or the end of the data. Returns the number of data bytes in the chain.
int64_t GifSkipSubBlocks(TGifInput& in);

// A colour table in TRGB order; Bits is the size field of the flags (entries = 2^(Bits+1)).
struct TGifColorTable {
    bool Present = false;
    int Bits = 0;
    std::vector<TRGB> Colors;
};

// Reads 3 × 2^(bits+1) bytes of red, green, blue entries. Entries the data does not
// supply stay black.
void GifReadColorTable(TGifInput& in, int bits, TGifColorTable& table);

// The entry at index, or black when the table holds no such entry.
TRGB GifTableColor(const TGifColorTable& table, int index);

// Signature, logical screen descriptor and global colour table.
struct TGifHeader {
    std::string Version; // the six signature characters
    int ScreenWidth = 0;
    int ScreenHeight = 0;
    int BackgroundIndex = 0;
    int AspectByte = 0;
    TGifColorTable Global;
};

// One image as the walker meets it: its descriptor, its local colour table, the
// graphic control data given for it, and where its LZW data lies.
struct TGifImageInfo {
    int Index = 0; // 0 = first image of the file
    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool Interlaced = false;
    TGifColorTable Local;
    // Graphic control data given before this image (all 0 when none).
    bool HasTransparency = false;
    int Disposal = 0;
    int Delay = 0;
    int TransparentIndex = 0;
    // LZW data: position of the minimum-code-size byte, the byte itself (-1 when the
    // file ends first), the number of data bytes in its sub-blocks, and the position
    // just after the chain.
    int64_t DataOffset = 0;
    int CodeSize = -1;
    int64_t DataBytes = 0;
    int64_t DataEnd = 0;
};

// Visits the blocks after the header in file order. Comment extensions are collected
// when a list is given; application and unknown extensions are skipped; graphic control
// data is attached to the image that follows it.
class TGifWalker {
  public:
    TGifWalker(TGifInput& in, std::vector<std::string>* comments) : in_(in), comments_(comments) {}

    // Reads the signature, screen descriptor and global table at the input's position.
    // Returns an empty text on success, else the reason the file cannot be read.
    std::string ReadHeader(TGifHeader& header);

    // Moves to the next image. On true, info describes it and the input is positioned
    // after its LZW data. False at the trailer or the end of the data.
    bool NextImage(TGifImageInfo& info);

    int ImagesSeen() const { return images_; }

  private:
    void ReadExtension();
    void ReadGraphicControl();
    void ReadComment();

    TGifInput& in_;
    std::vector<std::string>* comments_;
    int images_ = 0;
    // Graphic control data waiting for the next image.
    bool gceTransparency_ = false;
    int gceDisposal_ = 0, gceDelay_ = 0, gceTransparentIndex_ = 0;
};

// An upper bound on the pixels the LZW data of one image can produce. Every code is
// at least 3 bits wide; after a clear code the k-th code yields at most k pixels, and
// a table holds at most 4096 entries before the next clear.
int64_t GifMaxDecodablePixels(int64_t dataBytes);

} // namespace tw
