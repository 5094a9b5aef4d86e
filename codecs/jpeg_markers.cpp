// Marker-level scans of a JPEG datastream that need no decoder: the start search,
// the datastream length and the ICC profile chunks; and the XMP payload test.
#include <algorithm>
#include <cstring>
#include <map>

#include "codecs/jpeg.h"

namespace tw {

namespace {

constexpr int ScanBufferSize = 8192;

// Byte reader over a buffered view starting at the stream's position.
class TMarkerScanner {
  public:
    explicit TMarkerScanner(TStream& stream) : view_(stream, true, ScanBufferSize) {}

    bool Byte(uint8_t& b) { return view_.Read(&b, 1) == 1; }

    // Advances to the next marker and returns its code; false at the end of data.
    // Runs of 0xFF fill bytes before a code are one marker prefix.
    bool NextMarker(uint8_t& code) {
        uint8_t b = 0;
        do {
            if (!Byte(b)) return false;
        } while (b != 0xFF);
        do {
            if (!Byte(b)) return false;
        } while (b == 0xFF);
        code = b;
        return true;
    }

    // Reads a segment's length field; false at the end of data.
    bool Length(int& length) {
        uint8_t l[2];
        if (view_.Read(l, 2) != 2) return false;
        length = (l[0] << 8) | l[1];
        return true;
    }

    // Skips the rest of a segment whose length field was just read. A length below 2
    // (not a valid segment) skips nothing, so the scan still moves forward.
    void SkipSegment(int length) {
        if (length > 2) view_.Seek(length - 2, TSeekOrigin::Current);
    }

    bool Read(std::vector<uint8_t>& out, int count) {
        out.resize(size_t(count));
        return count == 0 || view_.Read(out.data(), count) == count;
    }

    int64_t Consumed() { return std::min(view_.Position(), view_.Size()); }

  private:
    TIEBufferedReadStream view_;
};

// Restores a stream's position when the scope ends.
class TPositionKeeper {
  public:
    explicit TPositionKeeper(TStream& s) : stream_(s), position_(s.Position()) {}
    ~TPositionKeeper() {
        try {
            stream_.SetPosition(position_);
        } catch (...) {
        }
    }
    TPositionKeeper(const TPositionKeeper&) = delete;
    TPositionKeeper& operator=(const TPositionKeeper&) = delete;

  private:
    TStream& stream_;
    int64_t position_;
};

} // namespace

int64_t JpegFindStart(TStream& stream) {
    TPositionKeeper keep(stream);
    const int64_t start = stream.Position();
    uint8_t head[102];
    int64_t got = 0;
    while (got < int64_t(sizeof head)) {
        int64_t n = stream.Read(head + got, int64_t(sizeof head) - got);
        if (n <= 0) break;
        got += n;
    }
    for (int64_t i = 0; i + 3 <= got && i < 100; ++i)
        if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) return start + i;
    return -1;
}

int64_t JpegStreamLength(TStream& stream) {
    TPositionKeeper keep(stream);
    TMarkerScanner scan(stream);
    uint8_t m = 0;
    while (scan.NextMarker(m)) {
        if (m == 0xD9) break;
        if ((m >= 0xC0 && m <= 0xCF) || (m >= 0xDA && m <= 0xFE)) {
            int length = 0;
            if (!scan.Length(length)) break;
            scan.SkipSegment(length);
        }
    }
    return scan.Consumed();
}

std::vector<uint8_t> JpegCollectIccProfile(TStream& stream) {
    TPositionKeeper keep(stream);
    TMarkerScanner scan(stream);
    std::map<int, std::vector<uint8_t>> chunks;
    uint8_t m = 0;
    std::vector<uint8_t> payload;
    // APP2 segments may stand anywhere before the first scan, also after the frame
    // header; the scan ends at the first SOS or at the end of the image.
    while (scan.NextMarker(m)) {
        if (m == 0xD9 || m == 0xDA) break;
        if (m <= 0xBF || (m >= 0xD0 && m <= 0xD8)) continue; // no segment follows
        int length = 0;
        if (!scan.Length(length)) break;
        if (m != 0xE2) {
            scan.SkipSegment(length);
            continue;
        }
        if (length < 2 || !scan.Read(payload, length - 2)) break;
        if (payload.size() < 14 || std::memcmp(payload.data(), "ICC_PROFILE\0", 12) != 0) continue;
        const int sequence = payload[12], total = payload[13];
        if (sequence < 1) continue;
        chunks[sequence].assign(payload.begin() + 14, payload.end());
        if (int(chunks.size()) == total) break;
    }
    std::vector<uint8_t> profile;
    for (auto& [index, data] : chunks) profile.insert(profile.end(), data.begin(), data.end());
    return profile;
}

bool JpegIsXmpPayload(const std::vector<uint8_t>& payload) {
    return payload.size() >= 30 && std::memcmp(payload.data(), JpegXmpNamespace, 24) == 0;
}

} // namespace tw
