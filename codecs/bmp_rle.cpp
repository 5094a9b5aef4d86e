// RLE8 and RLE4 coding of BMP pixel rows.
#include <algorithm>

#include "codecs/bmp_core.h"

namespace tw {

namespace {

// The write position of a decoder. RLE8 writes pixels beyond the right edge onto the
// row's last pixel; RLE4 drops them. x never grows past the width, so long runs of
// deltas cannot overflow it.
struct TRleCursor {
    TBmpIndexSink& sink;
    int width;
    bool clampToEdge;
    int x = 0;

    void Put(uint8_t index) {
        if (x < width)
            sink.Put(x, index);
        else if (clampToEdge)
            sink.Put(width - 1, index);
        x = std::min(x + 1, width);
    }
    void Skip(int dx) { x = int(std::min<int64_t>(int64_t(x) + dx, width)); }
};

} // namespace

void BmpDecodeRle(const uint8_t* data, size_t size, bool rle4, int width, int height, TBmpIndexSink& sink) {
    if (width <= 0 || height <= 0) return;
    TRleCursor cur{sink, width, !rle4};
    int row = 0;
    sink.Row(row);
    size_t pos = 0;
    while (pos < size) {
        const uint8_t n = data[pos++];
        if (n > 0) {
            // A run: one index (RLE8) or two alternating nibbles (RLE4), n pixels.
            if (pos >= size) return;
            const uint8_t v = data[pos++];
            for (int i = 0; i < n; ++i)
                cur.Put(rle4 ? ((i & 1) ? (v & 0x0F) : (v >> 4)) : v);
            continue;
        }
        if (pos >= size) return;
        const uint8_t code = data[pos++];
        if (code == 0) { // end of line
            ++row;
            cur.x = 0;
            if (!sink.Continue(row) || row >= height) return;
            sink.Row(row);
        } else if (code == 1) { // end of bitmap
            return;
        } else if (code == 2) { // delta: dx columns right, dy rows further
            if (size - pos < 2) return;
            const int dx = data[pos], dy = data[pos + 1];
            pos += 2;
            cur.Skip(dx);
            if (dy > 0) {
                row += dy;
                if (!sink.Continue(std::min(row, height)) || row >= height) return;
                sink.Row(row);
            }
        } else { // a literal of `code` pixels, padded to a 16-bit boundary
            const size_t bytes = rle4 ? (size_t(code) + 1) / 2 : size_t(code);
            const size_t have = std::min(bytes, size - pos);
            for (int i = 0; i < code; ++i) {
                const size_t b = rle4 ? size_t(i) / 2 : size_t(i);
                if (b >= have) return;
                const uint8_t byte = data[pos + b];
                cur.Put(rle4 ? ((i & 1) ? (byte & 0x0F) : (byte >> 4)) : byte);
            }
            pos += bytes + (bytes & 1);
        }
    }
}

namespace {

// Emits the pending literal pixels in chunks of at most 255.
template <class EmitChunk> void FlushLiterals(const uint8_t* px, int from, int to, EmitChunk emit) {
    while (from < to) {
        int c = std::min(255, to - from);
        emit(px + from, c);
        from += c;
    }
}

// The scan both encoders share: runs of two or more equal indices, literals between.
template <class EmitRun, class EmitChunk>
void EncodeRow(const uint8_t* px, int n, EmitRun emitRun, EmitChunk emitChunk) {
    int pos = 0, lit = 0;
    while (pos < n) {
        if (pos - lit > 255) {
            FlushLiterals(px, lit, pos, emitChunk);
            lit = pos;
        }
        if (pos + 1 < n && px[pos] == px[pos + 1]) {
            FlushLiterals(px, lit, pos, emitChunk);
            int k = pos + 2;
            while (k < n && px[k] == px[pos] && k - pos < 255)
                ++k;
            emitRun(k - pos, px[pos]);
            pos = lit = k;
        } else {
            ++pos;
        }
    }
    FlushLiterals(px, lit, pos, emitChunk);
}

} // namespace

void BmpEncodeRle8Row(const uint8_t* indices, int count, std::vector<uint8_t>& out) {
    EncodeRow(
        indices, count,
        [&out](int len, uint8_t v) {
            out.push_back(uint8_t(len));
            out.push_back(v);
        },
        [&out](const uint8_t* p, int c) {
            if (c <= 2) {
                for (int i = 0; i < c; ++i) {
                    out.push_back(1);
                    out.push_back(p[i]);
                }
                return;
            }
            out.push_back(0);
            out.push_back(uint8_t(c));
            out.insert(out.end(), p, p + c);
            if (c & 1) out.push_back(0);
        });
    out.push_back(0);
    out.push_back(0);
}

void BmpEncodeRle4Row(const uint8_t* indices, int count, std::vector<uint8_t>& out) {
    EncodeRow(
        indices, count,
        [&out](int len, uint8_t v) {
            v &= 0x0F;
            out.push_back(uint8_t(len));
            out.push_back(uint8_t(v << 4 | v));
        },
        [&out](const uint8_t* p, int c) {
            if (c == 1) {
                out.push_back(1);
                out.push_back(uint8_t((p[0] & 0x0F) << 4));
                return;
            }
            if (c == 2) {
                out.push_back(2);
                out.push_back(uint8_t((p[0] & 0x0F) << 4 | (p[1] & 0x0F)));
                return;
            }
            out.push_back(0);
            out.push_back(uint8_t(c));
            int bytes = (c + 1) / 2;
            for (int i = 0; i < bytes; ++i) {
                uint8_t hi = p[2 * i] & 0x0F;
                uint8_t lo = 2 * i + 1 < c ? (p[2 * i + 1] & 0x0F) : 0;
                out.push_back(uint8_t(hi << 4 | lo));
            }
            if (bytes & 1) out.push_back(0);
        });
    out.push_back(0);
    out.push_back(0);
}

} // namespace tw
