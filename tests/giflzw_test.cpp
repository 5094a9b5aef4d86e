// GIF LZW codec: hand-packed code streams for the decoder's rules, the encoder's exact
// output where its codes can be worked out by hand, round trips, a cross-check with
// Pillow in both directions, and random or damaged input against a guarded buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codecs/giflzw.h"
#include "io/stream.h"
#include "tests/helpers.h"

using namespace tw;
using Bytes = std::vector<uint8_t>;

namespace {

// ---- An independent bit packer and sub-block layout -------------------------------

struct Code {
    int value;
    int width;
};

// Packs codes least significant bit first, one bit at a time.
Bytes PackCodes(const std::vector<Code>& codes) {
    Bytes out;
    int bit = 0;
    for (const Code& c : codes) {
        for (int i = 0; i < c.width; ++i) {
            if (bit == 0) out.push_back(0);
            if ((c.value >> i) & 1) out.back() = uint8_t(out.back() | (1u << bit));
            bit = (bit + 1) % 8;
        }
    }
    return out;
}

// Minimum code size byte, the payload cut into sub-blocks, terminator.
Bytes Wrap(int m, const Bytes& payload, size_t blockSize = 255) {
    Bytes s{uint8_t(m)};
    for (size_t i = 0; i < payload.size(); i += blockSize) {
        size_t n = std::min(blockSize, payload.size() - i);
        s.push_back(uint8_t(n));
        s.insert(s.end(), payload.begin() + long(i), payload.begin() + long(i + n));
    }
    s.push_back(0);
    return s;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The parts of encoded data; ok is false when the sub-block layout is broken.
struct Parsed {
    bool ok = false;
    int m = 0;
    std::vector<size_t> blocks;
    Bytes payload;
    size_t size = 0; // bytes up to and including the terminator
};

Parsed Parse(const Bytes& s) {
    Parsed p;
    if (s.empty()) return p;
    p.m = s[0];
    size_t i = 1;
    while (i < s.size()) {
        size_t n = s[i++];
        if (n == 0) {
            p.ok = true;
            p.size = i;
            return p;
        }
        if (i + n > s.size()) return p;
        p.blocks.push_back(n);
        p.payload.insert(p.payload.end(), s.begin() + long(i), s.begin() + long(i + n));
        i += n;
    }
    return p;
}

// ---- Code widths --------------------------------------------------------------------
//
// The width of a code follows from how many codes came since the last clear code. The
// first two codes after a clear find end + 1 as the next free code; each later code adds
// one entry before it is read, so the k-th code finds clear + k. The width is the
// smallest that holds the next free code, at most 12 bits.
int CodeWidth(int m, int k) {
    const int next = (1 << m) + std::max(k, 2);
    int w = m + 1;
    while (w < 12 && next >= (1 << w)) ++w;
    return w;
}

// ---- Streams made of literal codes only -------------------------------------------

// Clear, one literal per pixel, end. The k-th code after a clear creates entry clear + k,
// so the table is full after code 4095 - clear; with clearWhenFull a clear code (at 12
// bits) follows there, as an encoder must send it; otherwise the stream codes on.
std::vector<Code> LiteralCodes(int m, const Bytes& pixels, bool clearWhenFull = true) {
    const int clear = 1 << m;
    std::vector<Code> codes{{clear, m + 1}};
    int k = 0;
    for (uint8_t px : pixels) {
        ++k;
        if (clearWhenFull && k > 4095 - clear) {
            codes.push_back({clear, 12});
            k = 1;
        }
        codes.push_back({px, CodeWidth(m, k)});
    }
    codes.push_back({clear + 1, CodeWidth(m, k + 1)});
    return codes;
}

Bytes LiteralStream(int m, const Bytes& pixels, bool clearWhenFull = true) {
    return Wrap(m, PackCodes(LiteralCodes(m, pixels, clearWhenFull)), 254);
}

// A plain greedy LZW coder with an ordered map for a dictionary: the longest known string
// goes out as one code, the string plus the next pixel becomes the next entry, and when
// no entry is left (the next free code is 4096) a clear code follows at once.
std::vector<Code> ReferenceCodes(int m, const Bytes& pixels) {
    const int clear = 1 << m;
    std::map<std::pair<int, int>, int> dict;
    int next = clear + 2, k = 0;
    std::vector<Code> codes{{clear, m + 1}};
    auto emit = [&](int code) { codes.push_back({code, CodeWidth(m, ++k)}); };
    if (pixels.empty()) {
        codes.push_back({clear + 1, m + 1});
        return codes;
    }
    int prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const int c = pixels[i];
        auto it = dict.find({prefix, c});
        if (it != dict.end()) {
            prefix = it->second;
            continue;
        }
        emit(prefix);
        if (next < 4096) {
            dict[{prefix, c}] = next++;
        } else {
            dict.clear();
            next = clear + 2;
            emit(clear);
            k = 0;
        }
        prefix = c;
    }
    emit(prefix);
    codes.push_back({clear + 1, CodeWidth(m, k + 1)});
    return codes;
}

// n pixels below 2^m in which no pair of neighbours repeats, so an encoder never finds a
// string longer than one pixel and sends every pixel as a literal. Rounds of 2^m steps
// with odd strides 1, 3, 5, ...: each round makes every pair of its stride exactly once.
Bytes DistinctPairs(int m, size_t n) {
    const int size = 1 << m;
    EXPECT_LE(n, size_t(size) * size_t(size) / 2 + 1);
    Bytes px{0};
    int x = 0, stride = 1, steps = 0;
    while (px.size() < n) {
        x = (x + stride) % size;
        px.push_back(uint8_t(x));
        if (++steps == size) {
            steps = 0;
            stride += 2;
        }
    }
    return px;
}

// ---- Running the codec ------------------------------------------------------------

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kUnset = 0xEE; // buffer content before decoding
constexpr size_t kLead = 3;      // junk bytes before the data, so the entry position is not 0

struct Decoded {
    bool ok = false;  // the stream moved from its entry position
    int64_t end = 0;  // position after the call, relative to the start of the data
    Bytes pixels;
    bool guardsIntact = false;
};

// Decodes data that follows kLead junk bytes (and, with tail, is followed by two more)
// into a buffer with guard bytes on both sides.
Decoded Decode(const Bytes& data, int width, int height, bool interlaced, bool tail = true) {
    Bytes file(kLead, 'j');
    file = Cat(file, data);
    if (tail) file = Cat(file, {'X', 'Y'});
    TMemoryStream s(file);
    s.SetPosition(int64_t(kLead));
    const size_t n = width > 0 && height > 0 ? size_t(width) * size_t(height) : 0;
    Bytes buf(kGuard + n + kGuard, kGuardByte);
    std::fill(buf.begin() + long(kGuard), buf.begin() + long(kGuard + n), kUnset);
    GifLzwDecode(s, height, width, buf.data() + kGuard, interlaced);
    Decoded d;
    d.end = s.Position() - int64_t(kLead);
    d.ok = d.end != 0;
    d.pixels.assign(buf.begin() + long(kGuard), buf.begin() + long(kGuard + n));
    d.guardsIntact = std::all_of(buf.begin(), buf.begin() + long(kGuard), [](uint8_t b) { return b == kGuardByte; }) &&
                     std::all_of(buf.end() - long(kGuard), buf.end(), [](uint8_t b) { return b == kGuardByte; });
    return d;
}

// Encodes at a stream position other than 0 and returns what was written.
Bytes Encode(const Bytes& pixels, int width, int height, int bits, bool interlaced) {
    TMemoryStream s;
    const uint8_t lead[2] = {7, 7};
    s.Write(lead, 2);
    GifLzwEncode(s, height, width, bits, pixels.data(), interlaced);
    const Bytes& all = s.Data();
    EXPECT_TRUE(all.size() >= 2 && all[0] == 7 && all[1] == 7);
    return Bytes(all.begin() + 2, all.end());
}

Bytes RandomPixels(std::mt19937& rng, size_t n, int bits) {
    Bytes px(n);
    for (auto& p : px) p = uint8_t(rng() & ((1u << bits) - 1));
    return px;
}

// ---- The decoder's rules, on hand-packed streams ----------------------------------

struct DecodeCase {
    const char* name;
    Bytes data;
    int width, height;
    bool ok;
    Bytes pixels;     // expected buffer content (kUnset where nothing may be written)
    int64_t end = -1; // expected position after success; -1: the whole data
    bool tail = true; // two bytes follow the data in the stream
    bool interlaced = false;
};

constexpr uint8_t U = kUnset;

// m = 2 throughout unless stated: clear code 4, end code 5, first free code 6, 3-bit
// codes until the next free code reaches 8.
std::vector<DecodeCase> DecoderCases() {
    const Bytes literals = PackCodes({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {0, 4}, {5, 4}});
    const Bytes kwkwk = PackCodes({{4, 3}, {2, 3}, {6, 3}, {7, 3}, {5, 4}});
    const Bytes stringsOfStrings = PackCodes({{4, 3}, {3, 3}, {1, 3}, {6, 3}, {7, 4}, {8, 4}, {5, 4}});
    return {
        // Code 0 is the fourth code: the next free code is 8 by then, so it takes 4 bits.
        {"literals", Wrap(2, literals), 4, 1, true, {1, 2, 3, 0}},
        {"literals in one-byte sub-blocks", Wrap(2, literals, 1), 4, 1, true, {1, 2, 3, 0}},
        // 6 is the next free code: the string of 1 followed by its own first pixel.
        {"code equal to the next free code", Wrap(2, PackCodes({{4, 3}, {1, 3}, {6, 3}, {5, 3}})), 3, 1, true,
         {1, 1, 1}},
        // 6 = "22", then 7 = "222", each the next free code when it arrives.
        {"next free code twice in a row", Wrap(2, kwkwk), 6, 1, true, {2, 2, 2, 2, 2, 2}},
        // 6 = "01", 7 = "10"; 8 arrives as the next free code: "01" + "0".
        {"alternating pixels", Wrap(2, PackCodes({{4, 3}, {0, 3}, {1, 3}, {6, 3}, {8, 4}, {5, 4}})), 7, 1, true,
         {0, 1, 0, 1, 0, 1, 0}},
        // 6 = "31", 7 = "13", 8 = "311", 9 = "133": strings built on strings.
        {"strings of strings", Wrap(2, stringsOfStrings), 9, 1, true, {3, 1, 3, 1, 1, 3, 3, 1, 1}},
        // 36 bits: the 4 bits left in the last byte cannot hold another 9-bit code.
        {"data ends without an end code", Wrap(8, PackCodes({{256, 9}, {3, 9}, {2, 9}, {1, 9}})), 4, 1, true,
         {3, 2, 1, U}},
        {"first code is not a clear code", Wrap(2, PackCodes({{1, 3}, {2, 3}, {5, 3}})), 2, 1, true, {1, 2}},
        {"first code after a clear beyond the table reads as 0",
         Wrap(2, PackCodes({{4, 3}, {7, 3}, {1, 3}, {5, 3}})), 2, 1, true, {0, 1}},
        {"repeated clear codes", Wrap(2, PackCodes({{4, 3}, {4, 3}, {4, 3}, {2, 3}, {4, 3}, {3, 3}, {5, 3}})), 2, 1,
         true, {2, 3}},
        {"only clear codes", Wrap(2, PackCodes({{4, 3}, {4, 3}})), 1, 1, true, {U}},
        {"clear then end", Wrap(2, PackCodes({{4, 3}, {5, 3}})), 1, 1, true, {U}},
        {"end code first", Wrap(2, PackCodes({{5, 3}, {1, 3}, {1, 3}})), 1, 1, true, {U}},
        {"data after the end code is ignored", Wrap(2, Cat(PackCodes({{4, 3}, {1, 3}, {5, 3}}), {0xFF, 0xFF})), 2, 1,
         true, {1, U}},
        {"no sub-blocks", {2, 0}, 1, 1, true, {U}},
        {"8-bit literals", Wrap(8, PackCodes({{256, 9}, {200, 9}, {17, 9}, {257, 9}})), 2, 1, true, {200, 17}},
        {"minimum code size 9", Wrap(9, PackCodes({{512, 10}, {7, 10}, {513, 10}})), 1, 1, true, {7}},
        // A sub-block that claims more bytes than the stream has: what is there decodes.
        {"sub-block cut by the end of the stream", Cat({2, 10}, literals), 4, 1, true, {1, 2, 3, 0}, -1, false},
        {"no terminator", Cat({2, uint8_t(literals.size())}, literals), 4, 1, true, {1, 2, 3, 0}, -1,
         false},
        {"string longer than the image is cut", Wrap(2, kwkwk), 4, 1, true, {2, 2, 2, 2}},
        // Rows 0, 2, 1 take "3", "1", "3"; the rest of the string must not come round to row 0.
        {"string longer than an interlaced image is cut", Wrap(2, stringsOfStrings), 1, 3, true, {3, 3, 1}, -1, true,
         true},

        // Failures: the stream goes back to its entry position.
        {"clear then end with data left", Wrap(2, PackCodes({{4, 3}, {5, 3}, {1, 3}, {2, 3}})), 1, 1, false, {U}},
        {"code above the next free code", Wrap(2, PackCodes({{4, 3}, {1, 3}, {7, 3}, {5, 3}})), 3, 1, false,
         {1, U, U}},
        {"minimum code size 0", Wrap(0, literals), 4, 1, false, {U, U, U, U}},
        {"minimum code size 1", Wrap(1, literals), 4, 1, false, {U, U, U, U}},
        {"minimum code size 10", Wrap(10, literals), 4, 1, false, {U, U, U, U}},
        {"minimum code size 255", Wrap(255, literals), 4, 1, false, {U, U, U, U}},
        {"empty stream", {}, 1, 1, false, {U}, -1, false},
    };
}

TEST(GifLzwDecode, HandPackedStreams) {
    for (const DecodeCase& c : DecoderCases()) {
        SCOPED_TRACE(c.name);
        Decoded d = Decode(c.data, c.width, c.height, c.interlaced, c.tail);
        EXPECT_TRUE(d.guardsIntact);
        EXPECT_EQ(d.ok, c.ok);
        EXPECT_EQ(d.pixels, c.pixels);
        if (c.ok) EXPECT_EQ(d.end, c.end >= 0 ? c.end : int64_t(c.data.size()));
        else EXPECT_EQ(d.end, 0);
    }
}

TEST(GifLzwDecode, EmptyImageDecodesNothing) {
    const Bytes data = Wrap(2, PackCodes({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {0, 4}, {5, 4}}));
    const int sizes[][2] = {{0, 5}, {5, 0}, {0, 0}, {-3, 4}, {4, -1}};
    for (const auto& wh : sizes) {
        SCOPED_TRACE(std::to_string(wh[0]) + "x" + std::to_string(wh[1]));
        Decoded d = Decode(data, wh[0], wh[1], false);
        EXPECT_TRUE(d.guardsIntact);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.end, int64_t(data.size()));
    }
}

// ---- Table full -------------------------------------------------------------------

// 8-bit literals: the k-th code after a clear creates entry 256 + k, so code 3839 fills
// the table (entry 4095) and the next code must be a clear code.
constexpr size_t kFillingCode = 3839;

TEST(GifLzwTableFull, ClearAfterFullTableDecodes) {
    const Bytes px = DistinctPairs(8, 4200); // 3839 literals, clear, 361 literals
    const Bytes data = LiteralStream(8, px);
    Decoded d = Decode(data, 70, 60, false);
    EXPECT_TRUE(d.guardsIntact);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.end, int64_t(data.size()));
    EXPECT_EQ(d.pixels, px);
}

TEST(GifLzwTableFull, CodingOnAfterFullTableFails) {
    const Bytes px = DistinctPairs(8, 4200);
    const Bytes data = LiteralStream(8, px, /*clearWhenFull=*/false);
    Decoded d = Decode(data, 70, 60, false);
    EXPECT_TRUE(d.guardsIntact);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.end, 0); // back at the minimum-code-size byte
    // Everything up to the code that filled the table was placed, nothing after it.
    EXPECT_TRUE(std::equal(px.begin(), px.begin() + long(kFillingCode), d.pixels.begin()));
    EXPECT_TRUE(std::all_of(d.pixels.begin() + long(kFillingCode), d.pixels.end(), [](uint8_t p) { return p == U; }));
}

TEST(GifLzwTableFull, EncoderClearsAfterTheCodeThatWouldCreate4096) {
    // The expected stream sends the clear code at 12 bits right after code 3839 and goes
    // on with 9-bit codes.
    const Bytes px = DistinctPairs(8, 4200);
    EXPECT_EQ(Encode(px, 70, 60, 8, false), LiteralStream(8, px));
}

// An image whose last pixel completes the table: the end code follows the full table at
// once. The decoder takes that as a clean end (the table cannot be used any more, but
// nothing uses it).
TEST(GifLzwTableFull, EndCodeRightAfterFullTable) {
    const Bytes px = DistinctPairs(8, kFillingCode);
    const Bytes expected = LiteralStream(8, px);
    const Bytes data = Encode(px, int(px.size()), 1, 8, false);
    EXPECT_EQ(data, expected);
    Decoded d = Decode(data, int(px.size()), 1, false);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.end, int64_t(data.size()));
    EXPECT_EQ(d.pixels, px);
}

// ---- Encoder output worked out by hand --------------------------------------------

TEST(GifLzwEncode, SixHundredBytesMakeBlocksOf254And254And92) {
    // 503 literals at 8 bits: clear (9 bits), codes 1..255 at 9 bits, codes 256..503 at
    // 10 bits, end at 10 bits: 9 + 2295 + 2480 + 10 = 4794 bits, 600 bytes.
    const Bytes px = DistinctPairs(8, 503);
    const Bytes data = Encode(px, int(px.size()), 1, 8, false);
    const Parsed p = Parse(data);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.m, 8);
    EXPECT_EQ(p.blocks, (std::vector<size_t>{254, 254, 92}));
    EXPECT_EQ(p.size, data.size()); // terminator last
    EXPECT_EQ(data, LiteralStream(8, px));
}

TEST(GifLzwEncode, EmptyImageIsClearAndEnd) {
    const Bytes expected = Wrap(2, PackCodes({{4, 3}, {5, 3}}));
    EXPECT_EQ(Encode({}, 0, 0, 1, false), expected);
    EXPECT_EQ(Encode({}, 0, 5, 1, true), expected);
    EXPECT_TRUE(Decode(expected, 1, 1, false).ok);
}

TEST(GifLzwEncode, CodeSizeFollowsTheDepthWithin2To8) {
    const int cases[][2] = {{0, 2}, {1, 2}, {2, 2}, {3, 3}, {7, 7}, {8, 8}, {9, 8}, {16, 8}};
    const Bytes px{0, 1, 1, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c[0]));
        Bytes data = Encode(px, 2, 2, c[0], false);
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(data[0], c[1]);
        EXPECT_EQ(Decode(data, 2, 2, false).pixels, px);
    }
}

// Index bits above the minimum code size never reach the code stream, where they would
// turn into clear or end codes (1-bit indices travel with m = 2).
TEST(GifLzwEncode, IndexBitsAboveTheCodeSizeAreDropped) {
    const Bytes px{0, 1, 2, 3, 4, 5, 254, 255};
    Decoded d = Decode(Encode(px, 8, 1, 1, false), 8, 1, false);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, (Bytes{0, 1, 2, 3, 0, 1, 2, 3}));
}

// Streams whose strings were worked out by hand (the same streams as the decoder cases).
TEST(GifLzwEncode, HandWorkedStreams) {
    struct Case {
        const char* name;
        Bytes pixels;
        std::vector<Code> codes;
    };
    const Case cases[] = {
        // "2", then "22" (entry 6), then "222" (entry 7).
        {"one colour", {2, 2, 2, 2, 2, 2}, {{4, 3}, {2, 3}, {6, 3}, {7, 3}, {5, 4}}},
        {"alternating pixels", {0, 1, 0, 1, 0, 1, 0}, {{4, 3}, {0, 3}, {1, 3}, {6, 3}, {8, 4}, {5, 4}}},
        {"strings of strings", {3, 1, 3, 1, 1, 3, 3, 1, 1}, {{4, 3}, {3, 3}, {1, 3}, {6, 3}, {7, 4}, {8, 4}, {5, 4}}},
        {"single pixel", {1}, {{4, 3}, {1, 3}, {5, 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Encode(c.pixels, int(c.pixels.size()), 1, 2, false), Wrap(2, PackCodes(c.codes), 254));
    }
}

// The hash table finds exactly the strings a plain dictionary holds, so the code stream
// matches a map-based coder's, clears included. The images have no index 0: the pair
// "0, 0" has the key 0, at which collision probing stops, so a later entry can take its
// slot and the coder then no longer finds that one string (it still codes correctly,
// only a little longer).
TEST(GifLzwEncode, MatchesAPlainDictionaryCoder) {
    std::mt19937 rng(8);
    const int sizes[][2] = {{1, 1}, {5, 3}, {64, 64}, {300, 200}};
    for (const auto& wh : sizes) {
        for (int bits : {2, 4, 5, 8}) {
            for (int runs : {1, 7}) {
                const int w = wh[0], h = wh[1];
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " bits " + std::to_string(bits) +
                             " runs " + std::to_string(runs));
                Bytes px(size_t(w) * size_t(h));
                for (size_t i = 0; i < px.size();) {
                    const uint8_t v = uint8_t(1 + rng() % ((1u << bits) - 1));
                    for (size_t n = 1 + rng() % size_t(runs); n > 0 && i < px.size(); --n) px[i++] = v;
                }
                const int m = std::max(bits, 2);
                EXPECT_TRUE(Encode(px, w, h, bits, false) == Wrap(m, PackCodes(ReferenceCodes(m, px)), 254));
            }
        }
    }
}

// ---- Interlacing ------------------------------------------------------------------

struct InterlaceCase {
    int height;
    std::vector<int> rows; // the order in which rows are sent, worked out by hand
};

const InterlaceCase kInterlace[] = {
    {1, {0}},
    {2, {0, 1}},
    {3, {0, 2, 1}},
    {5, {0, 4, 2, 1, 3}},
    {8, {0, 4, 2, 6, 1, 3, 5, 7}},
    {10, {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}},
    {17, {0, 8, 16, 4, 12, 2, 6, 10, 14, 1, 3, 5, 7, 9, 11, 13, 15}},
};

TEST(GifLzwInterlace, RowsFollowThePassOrder) {
    for (const auto& c : kInterlace) {
        SCOPED_TRACE("height " + std::to_string(c.height));
        // Two pixels per row, all values distinct, so every pixel travels as a literal.
        Bytes sent, image(size_t(c.height) * 2);
        for (size_t i = 0; i < c.rows.size(); ++i) {
            const uint8_t a = uint8_t(10 + 2 * i), b = uint8_t(11 + 2 * i);
            sent.push_back(a);
            sent.push_back(b);
            image[size_t(c.rows[i]) * 2] = a;
            image[size_t(c.rows[i]) * 2 + 1] = b;
        }
        const Bytes stream = LiteralStream(8, sent);
        Decoded d = Decode(stream, 2, c.height, true);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.pixels, image);
        EXPECT_EQ(Encode(image, 2, c.height, 8, true), stream);
        // Without interlacing the same stream fills the rows top to bottom.
        EXPECT_EQ(Decode(stream, 2, c.height, false).pixels, sent);
    }
}

// ---- Round trips ------------------------------------------------------------------

TEST(GifLzwRoundTrip, RandomImages) {
    std::mt19937 rng(4711);
    const int sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {3, 3}, {17, 13}, {64, 64}, {300, 5}, {5, 300}, {251, 199}};
    for (const auto& wh : sizes) {
        for (int bits = 1; bits <= 8; ++bits) {
            for (bool interlaced : {false, true}) {
                const int w = wh[0], h = wh[1];
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " bits " + std::to_string(bits) +
                             (interlaced ? " interlaced" : ""));
                const Bytes px = RandomPixels(rng, size_t(w) * size_t(h), bits);
                const Bytes data = Encode(px, w, h, bits, interlaced);
                const Parsed p = Parse(data);
                ASSERT_TRUE(p.ok);
                EXPECT_EQ(p.size, data.size());
                EXPECT_EQ(p.m, std::max(bits, 2));
                for (size_t i = 0; i + 1 < p.blocks.size(); ++i) EXPECT_EQ(p.blocks[i], 254u);
                Decoded d = Decode(data, w, h, interlaced);
                EXPECT_TRUE(d.guardsIntact);
                EXPECT_TRUE(d.ok);
                EXPECT_EQ(d.end, int64_t(data.size()));
                EXPECT_EQ(d.pixels, px);
            }
        }
    }
}

// Runs and flat areas make long strings; a flat image of 2900 × 2900 pixels at m = 2 grows
// strings up to the whole table (4090 entries) before the table is cleared.
TEST(GifLzwRoundTrip, LongStrings) {
    std::mt19937 rng(99);
    struct Case {
        const char* name;
        int w, h, bits;
        Bytes px;
    };
    std::vector<Case> cases;
    cases.push_back({"flat 1-bit", 2900, 2900, 1, Bytes(2900u * 2900u, 1)});
    cases.push_back({"flat 8-bit", 700, 700, 8, Bytes(700u * 700u, 200)});
    Bytes runs(400u * 300u);
    for (size_t i = 0; i < runs.size();) {
        const size_t len = 1 + rng() % 60;
        const uint8_t v = uint8_t(rng() % 16);
        for (size_t k = 0; k < len && i < runs.size(); ++k) runs[i++] = v;
    }
    cases.push_back({"runs", 400, 300, 4, runs});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool interlaced : {false, true}) {
            const Bytes data = Encode(c.px, c.w, c.h, c.bits, interlaced);
            Decoded d = Decode(data, c.w, c.h, interlaced);
            EXPECT_TRUE(d.ok);
            EXPECT_EQ(d.end, int64_t(data.size()));
            EXPECT_TRUE(d.pixels == c.px);
        }
    }
}

// ---- Cross-check with Pillow ------------------------------------------------------

// A Python interpreter that has Pillow, or empty.
std::string PillowPython() {
    for (const char* py : {"/usr/bin/python3", "python3"}) {
        const std::string cmd = std::string(py) + " -c \"import PIL.Image\" >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0) return py;
    }
    return {};
}

// A distinct colour for every index.
Bytes Palette(int bits) {
    Bytes pal;
    for (int i = 0; i < (1 << bits); ++i) {
        pal.push_back(uint8_t(i));
        pal.push_back(uint8_t(255 - i));
        pal.push_back(uint8_t(i * 37));
    }
    return pal;
}

void Put16(Bytes& b, int v) {
    b.push_back(uint8_t(v & 0xFF));
    b.push_back(uint8_t((v >> 8) & 0xFF));
}

// A one-image GIF around the given LZW data: header, screen descriptor with a global
// table, image descriptor, data, trailer.
Bytes MakeGif(int w, int h, int bits, bool interlaced, const Bytes& lzw) {
    Bytes g{'G', 'I', 'F', '8', '9', 'a'};
    Put16(g, w);
    Put16(g, h);
    g.push_back(uint8_t(0x80 | (bits - 1) << 4 | (bits - 1)));
    g.push_back(0);
    g.push_back(0);
    g = Cat(g, Palette(bits));
    g.push_back(0x2C);
    Put16(g, 0);
    Put16(g, 0);
    Put16(g, w);
    Put16(g, h);
    g.push_back(interlaced ? 0x40 : 0);
    g = Cat(g, lzw);
    g.push_back(0x3B);
    return g;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

TEST(GifLzwPillow, PillowReadsWhatWeWrite) {
    const std::string py = PillowPython();
    if (py.empty()) GTEST_SKIP() << "python3 with Pillow not available";
    twtest::TempDir dir;
    twtest::WriteFile(dir.file("read.py"),
                      "import sys\nfrom PIL import Image\n"
                      "im = Image.open(sys.argv[1])\nim.load()\n"
                      "open(sys.argv[2], 'wb').write(im.convert('RGB').tobytes())\n");
    std::mt19937 rng(2024);
    struct Case {
        int w, h, bits;
        bool interlaced;
    };
    const Case cases[] = {{97, 61, 8, false}, {300, 200, 8, true}, {33, 17, 1, true}, {40, 40, 4, false},
                          {1, 1, 2, false},   {5, 3, 3, true},     {640, 10, 6, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " bits " + std::to_string(c.bits));
        const Bytes px = RandomPixels(rng, size_t(c.w) * size_t(c.h), c.bits);
        twtest::WriteFile(dir.file("a.gif"), MakeGif(c.w, c.h, c.bits, c.interlaced,
                                                     Encode(px, c.w, c.h, c.bits, c.interlaced)));
        std::remove(dir.file("a.rgb").c_str());
        const std::string cmd =
            py + " " + Quote(dir.file("read.py")) + " " + Quote(dir.file("a.gif")) + " " + Quote(dir.file("a.rgb"));
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const Bytes rgb = twtest::ReadFile(dir.file("a.rgb"));
        ASSERT_EQ(rgb.size(), px.size() * 3);
        const Bytes pal = Palette(c.bits);
        size_t wrong = 0;
        for (size_t i = 0; i < px.size(); ++i)
            if (!std::equal(rgb.begin() + long(3 * i), rgb.begin() + long(3 * i + 3), pal.begin() + 3 * px[i])) ++wrong;
        EXPECT_EQ(wrong, 0u);
    }
}

// The first image of a GIF file: size, interlace flag, colour table and where its LZW data starts.
struct GifImage {
    bool found = false;
    int w = 0, h = 0;
    bool interlaced = false;
    Bytes table;
    size_t lzw = 0;
};

GifImage FirstImage(const Bytes& f) {
    GifImage img;
    if (f.size() < 13) return img;
    size_t p = 13;
    if (f[10] & 0x80) {
        const size_t n = size_t(3) << ((f[10] & 7) + 1);
        img.table.assign(f.begin() + 13, f.begin() + long(std::min(f.size(), 13 + n)));
        p += n;
    }
    while (p < f.size()) {
        const uint8_t b = f[p++];
        if (b == 0x21) {
            ++p;
            while (p < f.size() && f[p] != 0) p += f[p] + 1u;
            ++p;
        } else if (b == 0x2C) {
            if (p + 9 > f.size()) return img;
            img.w = f[p + 4] | f[p + 5] << 8;
            img.h = f[p + 6] | f[p + 7] << 8;
            img.interlaced = f[p + 8] & 0x40;
            if (f[p + 8] & 0x80) {
                const size_t n = size_t(3) << ((f[p + 8] & 7) + 1);
                img.table.assign(f.begin() + long(p + 9), f.begin() + long(std::min(f.size(), p + 9 + n)));
                p += n;
            }
            img.lzw = p + 9;
            img.found = true;
            return img;
        } else {
            return img;
        }
    }
    return img;
}

TEST(GifLzwPillow, WeReadWhatPillowWrites) {
    const std::string py = PillowPython();
    if (py.empty()) GTEST_SKIP() << "python3 with Pillow not available";
    twtest::TempDir dir;
    // Random indices with some runs; Pillow interlaces by default.
    twtest::WriteFile(dir.file("write.py"),
                      "import sys, random\nfrom PIL import Image\n"
                      "w, h, colours, interlace = (int(a) for a in sys.argv[1:5])\n"
                      "random.seed(w * 1000 + h)\n"
                      "im = Image.new('P', (w, h))\n"
                      "im.putpalette([c for i in range(256) for c in (i, 255 - i, i * 37 % 256)])\n"
                      "px = []\n"
                      "while len(px) < w * h:\n"
                      "    px += [random.randrange(colours)] * random.choice([1, 1, 1, 2, 5, 30])\n"
                      "im.putdata(px[:w * h])\n"
                      "im.save(sys.argv[5], interlace=interlace)\n"
                      "open(sys.argv[6], 'wb').write(im.convert('RGB').tobytes())\n");
    struct Case {
        int w, h, colours;
        bool interlace;
    };
    const Case cases[] = {{320, 240, 256, true}, {320, 240, 256, false}, {64, 48, 2, true}, {1000, 3, 16, false},
                          {3, 40, 7, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " colours " + std::to_string(c.colours));
        const std::string cmd = py + " " + Quote(dir.file("write.py")) + " " + std::to_string(c.w) + " " +
                                std::to_string(c.h) + " " + std::to_string(c.colours) + " " +
                                std::to_string(c.interlace ? 1 : 0) + " " + Quote(dir.file("b.gif")) + " " +
                                Quote(dir.file("b.rgb"));
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const Bytes gif = twtest::ReadFile(dir.file("b.gif"));
        const Bytes rgb = twtest::ReadFile(dir.file("b.rgb"));
        const GifImage img = FirstImage(gif);
        ASSERT_TRUE(img.found);
        ASSERT_EQ(img.w, c.w);
        ASSERT_EQ(img.h, c.h);
        ASSERT_EQ(rgb.size(), size_t(c.w) * size_t(c.h) * 3);
        TMemoryStream s(gif);
        s.SetPosition(int64_t(img.lzw));
        Bytes px(size_t(c.w) * size_t(c.h));
        GifLzwDecode(s, c.h, c.w, px.data(), img.interlaced);
        ASSERT_NE(s.Position(), int64_t(img.lzw));
        EXPECT_EQ(gif[size_t(s.Position())], 0x3B); // left after the terminator, at the trailer
        size_t wrong = 0;
        for (size_t i = 0; i < px.size(); ++i) {
            const size_t t = size_t(px[i]) * 3;
            if (t + 3 > img.table.size() ||
                !std::equal(rgb.begin() + long(3 * i), rgb.begin() + long(3 * i + 3), img.table.begin() + long(t)))
                ++wrong;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

// ---- Random and damaged input -----------------------------------------------------

TEST(GifLzwFuzz, RandomAndDamagedStreamsStayInsideTheBuffer) {
    std::mt19937 rng(31337);
    for (int iter = 0; iter < 4000; ++iter) {
        const int w = int(rng() % 41), h = int(rng() % 41);
        const bool interlaced = rng() & 1;
        Bytes data;
        const int mode = int(rng() % 4);
        if (mode == 0) {
            // Random sub-blocks of random bytes after a mostly valid minimum code size.
            data.push_back(uint8_t(rng() % 4 == 0 ? rng() : 2 + rng() % 8));
            for (int blocks = int(rng() % 4); blocks >= 0; --blocks) {
                const size_t n = 1 + rng() % 255;
                data.push_back(uint8_t(n));
                for (size_t i = 0; i < n; ++i) data.push_back(uint8_t(rng()));
            }
            data.push_back(0);
        } else if (mode == 1) {
            // Random codes of plausible widths, packed properly.
            const int m = 2 + int(rng() % 8);
            std::vector<Code> codes;
            for (int n = int(rng() % 2000); n > 0; --n) {
                const int width = std::min(12, m + 1 + int(rng() % 4));
                codes.push_back({int(rng() % (1u << width)), width});
            }
            data = Wrap(m, PackCodes(codes), 1 + rng() % 255);
        } else {
            // A valid stream of another image, cut short or with bits flipped.
            const int ew = 1 + int(rng() % 60), eh = 1 + int(rng() % 60), bits = 1 + int(rng() % 8);
            Bytes px = RandomPixels(rng, size_t(ew) * size_t(eh), bits);
            if (rng() & 1) std::fill(px.begin(), px.begin() + long(px.size() / 2), px[0]);
            data = Encode(px, ew, eh, bits, rng() & 1);
            if (mode == 2) {
                data.resize(rng() % (data.size() + 1));
            } else {
                for (int flips = 1 + int(rng() % 8); flips > 0; --flips) {
                    const size_t at = rng() % data.size();
                    data[at] = uint8_t(data[at] ^ (1u << (rng() % 8)));
                }
            }
        }
        const bool tail = rng() & 1;
        Decoded d = Decode(data, w, h, interlaced, tail);
        if (!d.guardsIntact || d.end < 0 || d.end > int64_t(data.size() + (tail ? 2 : 0))) {
            ADD_FAILURE() << "case " << iter << " mode " << mode << " " << w << "x" << h;
            return;
        }
    }
}

// The committed fuzzing seeds are valid streams in the harness's layout: width - 1,
// height - 1, interlace flag, lead flag, then the LZW data.
TEST(GifLzwFuzz, SeedsDecode) {
    const std::filesystem::path dir = std::filesystem::path(TW_SOURCE_DIR) / "fuzz" / "corpus" / "giflzw";
    ASSERT_TRUE(std::filesystem::is_directory(dir));
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
        const Bytes f = twtest::ReadFile(entry.path().string());
        ASSERT_GE(f.size(), 5u);
        Decoded d = Decode(Bytes(f.begin() + 4, f.end()), 1 + f[0], 1 + f[1], f[2] & 1);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.end, int64_t(f.size() - 4));
        ++seeds;
    }
    EXPECT_GT(seeds, 0);
}

} // namespace
