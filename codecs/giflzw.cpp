#include "codecs/giflzw.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace tw {

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kCodeCount = 1 << kMaxCodeBits; // codes 0..4095

// Start row and row step of the four interlace passes.
struct TInterlacePass {
    int start;
    int step;
};
constexpr TInterlacePass kPasses[4] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

// ---- Decoding --------------------------------------------------------------------

// Reads the concatenated data of the sub-blocks up to the terminator or the end of the
// stream. Only bytes that were actually read are kept.
std::vector<uint8_t> GatherSubBlocks(TStream& stream) {
    std::vector<uint8_t> data;
    uint8_t block[255];
    for (;;) {
        uint8_t length = 0;
        if (stream.Read(&length, 1) != 1 || length == 0) break;
        int64_t got = stream.Read(block, length);
        if (got > 0) data.insert(data.end(), block, block + got);
        if (got < length) break; // the stream ended inside the block
    }
    return data;
}

// Codes packed least significant bit first. A code is handed out only when all of its
// bits are present, so the padding bits after the last code never decode as a code.
class TCodeReader {
  public:
    TCodeReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Next(int width, int& code) {
        if (bitPos_ + size_t(width) > size_ * 8) return false;
        size_t byte = bitPos_ >> 3;
        uint32_t v = data_[byte];
        if (byte + 1 < size_) v |= uint32_t(data_[byte + 1]) << 8;
        if (byte + 2 < size_) v |= uint32_t(data_[byte + 2]) << 16;
        code = int((v >> (bitPos_ & 7)) & ((1u << width) - 1));
        bitPos_ += size_t(width);
        return true;
    }

    // True while at least one data byte has not been touched by a code.
    bool BytesLeft() const { return (bitPos_ + 7) / 8 < size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t bitPos_ = 0;
};

// Places decoded pixels row by row, in plain or interlaced row order. Pixels after the
// last row are dropped.
class TPixelSink {
  public:
    TPixelSink(uint8_t* pixels, int width, int height, bool interlaced)
        : pixels_(pixels), width_(size_t(width)), height_(height), interlaced_(interlaced) {}

    void Put(const uint8_t* src, size_t count) {
        while (count > 0 && !done_) {
            size_t n = std::min(count, width_ - col_);
            std::memcpy(pixels_ + size_t(row_) * width_ + col_, src, n);
            src += n;
            count -= n;
            col_ += n;
            if (col_ == width_) {
                col_ = 0;
                NextRow();
            }
        }
    }

  private:
    void NextRow() {
        if (!interlaced_) {
            done_ = ++row_ >= height_;
            return;
        }
        row_ += kPasses[pass_].step;
        while (row_ >= height_) {
            if (++pass_ == 4) {
                done_ = true;
                return;
            }
            row_ = kPasses[pass_].start;
        }
    }

    uint8_t* pixels_;
    size_t width_;
    int height_;
    bool interlaced_;
    int row_ = 0;
    size_t col_ = 0;
    int pass_ = 0;
    bool done_ = false;
};

// The dictionary and the pixel stack, allocated once per image.
class TGifLzwDecoder {
  public:
    // Decodes the gathered data with minimum code size m (2..9). Returns false when the
    // data is corrupt.
    bool Run(int m, const uint8_t* data, size_t size, TPixelSink& sink);

  private:
    // Writes the string of code into the top of the pixel stack and returns where it
    // starts; the string runs to the end of the stack in stream order.
    size_t Unwind(int code);

    std::array<uint16_t, kCodeCount> prefix_{};
    std::array<uint8_t, kCodeCount> suffix_{};
    std::array<uint8_t, kCodeCount> stack_{};
    int endCode_ = 0;
};

size_t TGifLzwDecoder::Unwind(int code) {
    size_t pos = stack_.size();
    // Every entry's prefix is a smaller code, so the walk ends at a literal well within
    // the stack; the bound only guards the stack itself.
    while (code > endCode_ && pos > 1) {
        stack_[--pos] = suffix_[size_t(code)];
        code = prefix_[size_t(code)];
    }
    stack_[--pos] = suffix_[size_t(code)];
    return pos;
}

bool TGifLzwDecoder::Run(int m, const uint8_t* data, size_t size, TPixelSink& sink) {
    const int clearCode = 1 << m;
    endCode_ = clearCode + 1;
    for (int i = 0; i < clearCode; ++i) {
        prefix_[size_t(i)] = 0;
        suffix_[size_t(i)] = uint8_t(i);
    }
    int width = m + 1;
    int limit = 1 << width;
    int next = endCode_ + 1;
    bool tableFull = false;
    // A stream that does not start with a clear code is read as if it did.
    bool firstOfTable = true;
    int prev = 0;
    uint8_t prevFirst = 0; // first pixel of prev's string

    auto grow = [&] {
        if (next >= limit) {
            if (width == kMaxCodeBits) {
                tableFull = true;
            } else {
                limit *= 2;
                ++width;
            }
        }
    };

    TCodeReader in(data, size);
    int code = 0;
    if (!in.Next(width, code)) return true;
    for (;;) {
        if (code == endCode_) return true;
        if (code == clearCode) {
            width = m + 1;
            limit = 1 << width;
            next = endCode_ + 1;
            tableFull = false;
            do {
                if (!in.Next(width, code)) return true;
            } while (code == clearCode);
            // An end code straight after a clear code is only a clean end when nothing follows.
            if (code == endCode_) return !in.BytesLeft();
            firstOfTable = true;
        }

        if (firstOfTable) {
            if (code >= next) code = 0;
            uint8_t pixel = suffix_[size_t(code)];
            sink.Put(&pixel, 1);
            prev = code;
            prevFirst = pixel;
            firstOfTable = false;
        } else if (code < next) {
            size_t pos = Unwind(code);
            uint8_t first = stack_[pos];
            if (next < kCodeCount) {
                prefix_[size_t(next)] = uint16_t(prev);
                suffix_[size_t(next)] = first;
                ++next;
                grow();
            }
            sink.Put(stack_.data() + pos, stack_.size() - pos);
            prev = code;
            prevFirst = first;
        } else if (code == next) {
            // The string of prev followed by its own first pixel; its first pixel stays prevFirst.
            prefix_[size_t(next)] = uint16_t(prev);
            suffix_[size_t(next)] = prevFirst;
            ++next;
            grow();
            size_t pos = Unwind(code);
            sink.Put(stack_.data() + pos, stack_.size() - pos);
            prev = code;
        } else {
            return false; // a code that does not exist yet
        }

        if (!in.Next(width, code)) return true;
        if (tableFull) {
            // A full table must be cleared at once. Ending the data there is also fine:
            // the encoder does exactly that when the last pixel completes the table.
            if (code != clearCode && code != endCode_) return false;
            tableFull = false;
        }
    }
}

// ---- Encoding --------------------------------------------------------------------

// The encoder's working record: hash table, bit accumulator, code width and block buffer.
class TGifLzwEncoder {
  public:
    TGifLzwEncoder(TStream& stream, int m)
        : stream_(stream), m_(m), clearCode_(1 << m), endCode_(clearCode_ + 1) {}

    void Encode(const uint8_t* pixels, int width, int height, bool interlaced);

  private:
    static constexpr int kHashSize = 5003; // prime, somewhat larger than the 4096 codes
    static constexpr int32_t kEmpty = -1;

    void ClearHash() { keys_.fill(kEmpty); }
    void AddPixel(int c);
    void Output(int code);
    void PutByte(uint8_t b) {
        block_[size_t(++blockLen_)] = b;
        if (blockLen_ == 254) FlushBlock();
    }
    void FlushBlock();

    TStream& stream_;
    const int m_;
    const int clearCode_;
    const int endCode_;
    int width_ = 0;
    int maxCode_ = 0;
    int next_ = 0;
    bool clearFlag_ = false;
    int prefix_ = 0;
    uint32_t accum_ = 0;
    int pending_ = 0;
    std::array<int32_t, kHashSize> keys_{};
    std::array<uint16_t, kHashSize> codes_{};
    std::array<uint8_t, 255> block_{}; // length byte, then up to 254 data bytes
    int blockLen_ = 0;
};

void TGifLzwEncoder::Encode(const uint8_t* pixels, int width, int height, bool interlaced) {
    width_ = m_ + 1;
    maxCode_ = (1 << width_) - 1;
    next_ = clearCode_ + 2;

    const bool empty = width <= 0 || height <= 0 || pixels == nullptr;
    if (empty) {
        Output(clearCode_);
        Output(endCode_);
        return;
    }

    const int mask = (1 << m_) - 1;
    const size_t rowLen = size_t(width);
    bool started = false;
    auto encodeRow = [&](int y) {
        const uint8_t* row = pixels + size_t(y) * rowLen;
        size_t x = 0;
        if (!started) {
            prefix_ = row[0] & mask;
            ClearHash();
            Output(clearCode_);
            started = true;
            x = 1;
        }
        for (; x < rowLen; ++x) AddPixel(row[x] & mask);
    };
    if (interlaced) {
        for (const auto& pass : kPasses)
            for (int y = pass.start; y < height; y += pass.step) encodeRow(y);
    } else {
        for (int y = 0; y < height; ++y) encodeRow(y);
    }
    Output(prefix_);
    Output(endCode_);
}

void TGifLzwEncoder::AddPixel(int c) {
    const int32_t key = (int32_t(c) << kMaxCodeBits) + prefix_;
    int slot = (c << 4) ^ prefix_;
    if (keys_[size_t(slot)] == key) {
        prefix_ = codes_[size_t(slot)];
        return;
    }
    if (keys_[size_t(slot)] != kEmpty) {
        // Secondary probe; the table never fills (at most 4096 keys in 5003 slots), so
        // the walk always reaches a free slot.
        const int step = slot == 0 ? 1 : kHashSize - slot;
        do {
            slot -= step;
            if (slot < 0) slot += kHashSize;
            if (keys_[size_t(slot)] == key) {
                prefix_ = codes_[size_t(slot)];
                return;
            }
        } while (keys_[size_t(slot)] > 0);
    }
    Output(prefix_);
    prefix_ = c;
    if (next_ < kCodeCount) {
        codes_[size_t(slot)] = uint16_t(next_++);
        keys_[size_t(slot)] = key;
    } else {
        ClearHash();
        next_ = clearCode_ + 2;
        clearFlag_ = true;
        Output(clearCode_);
    }
}

void TGifLzwEncoder::Output(int code) {
    accum_ |= uint32_t(code) << pending_;
    pending_ += width_;
    while (pending_ >= 8) {
        PutByte(uint8_t(accum_));
        accum_ >>= 8;
        pending_ -= 8;
    }
    if (next_ > maxCode_ || clearFlag_) {
        if (clearFlag_) {
            width_ = m_ + 1;
            maxCode_ = (1 << width_) - 1;
            clearFlag_ = false;
        } else {
            ++width_;
            maxCode_ = width_ == kMaxCodeBits ? kCodeCount : (1 << width_) - 1;
        }
    }
    if (code == endCode_) {
        if (pending_ > 0) PutByte(uint8_t(accum_));
        accum_ = 0;
        pending_ = 0;
        FlushBlock();
    }
}

void TGifLzwEncoder::FlushBlock() {
    if (blockLen_ == 0) return;
    block_[0] = uint8_t(blockLen_);
    stream_.Write(block_.data(), blockLen_ + 1);
    blockLen_ = 0;
}

} // namespace

void GifLzwDecode(TStream& stream, int height, int width, uint8_t* pixels, bool interlaced) {
    const int64_t entry = stream.Position();
    uint8_t m = 0;
    if (stream.Read(&m, 1) != 1 || m < 2 || m > 9) {
        stream.SetPosition(entry);
        return;
    }
    std::vector<uint8_t> data = GatherSubBlocks(stream);
    if (data.empty() || width <= 0 || height <= 0 || pixels == nullptr) return;

    TPixelSink sink(pixels, width, height, interlaced);
    auto decoder = std::make_unique<TGifLzwDecoder>();
    if (!decoder->Run(m, data.data(), data.size(), sink)) stream.SetPosition(entry);
}

void GifLzwEncode(TStream& stream, int height, int width, int bitsPerPixel, const uint8_t* pixels,
                  bool interlaced) {
    const int m = std::clamp(bitsPerPixel, 2, 8);
    const uint8_t codeSize = uint8_t(m);
    stream.Write(&codeSize, 1);
    auto encoder = std::make_unique<TGifLzwEncoder>(stream, m);
    encoder->Encode(pixels, width, height, interlaced);
    const uint8_t terminator = 0;
    stream.Write(&terminator, 1);
}

} // namespace tw
