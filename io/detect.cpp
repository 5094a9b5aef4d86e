// Content detection: a fixed, ordered sequence of signature tests.
#include <cstring>
#include <sys/stat.h>

#include "codecs/pnm.h"
#include "image/errors.h"
#include "io/formats.h"

namespace tw {

namespace {

// Reads from the stream at P + offset without throwing; returns the bytes read.
class Probe {
  public:
    explicit Probe(TStream& s) : s_(s), p_(s.Position()), size_(s.Size()) {}
    ~Probe() { s_.SetPosition(p_); }

    int64_t Size() const { return size_; }
    int64_t Start() const { return p_; }

    int64_t Read(int64_t offset, void* buf, int64_t n) {
        s_.SetPosition(p_ + offset);
        return s_.Read(buf, n);
    }
    bool Bytes(int64_t offset, void* buf, int64_t n) { return Read(offset, buf, n) == n; }
    // The bytes at offset 0 up to the first zero byte within len, as text.
    std::string CString(int len) {
        char buf[16] = {};
        int64_t got = Read(0, buf, len);
        std::string s;
        for (int64_t i = 0; i < got && buf[i]; ++i) s += buf[i];
        return s;
    }
    bool LE16(int64_t offset, uint32_t& v) {
        uint8_t b[2];
        if (!Bytes(offset, b, 2)) return false;
        v = uint32_t(b[0] | (b[1] << 8));
        return true;
    }
    bool BE16(int64_t offset, uint32_t& v) {
        uint8_t b[2];
        if (!Bytes(offset, b, 2)) return false;
        v = uint32_t((b[0] << 8) | b[1]);
        return true;
    }
    bool LE32(int64_t offset, uint32_t& v) {
        uint8_t b[4];
        if (!Bytes(offset, b, 4)) return false;
        v = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
        return true;
    }
    bool BE32(int64_t offset, uint32_t& v) {
        uint8_t b[4];
        if (!Bytes(offset, b, 4)) return false;
        v = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
        return true;
    }
    void Rewind() { s_.SetPosition(p_); }
    TStream& Stream() { return s_; }

  private:
    TStream& s_;
    int64_t p_;
    int64_t size_;
};

// The first directory of a TIFF structure, enough for the two TIFF tests.
struct TiffEntry {
    uint16_t tag, type;
    uint32_t count;
    uint8_t value[4];
};

struct TiffDir {
    bool bigEndian = false;
    std::vector<TiffEntry> entries;

    const TiffEntry* Find(uint16_t tag) const {
        for (const auto& e : entries)
            if (e.tag == tag) return &e;
        return nullptr;
    }
    uint32_t U16(const uint8_t* b) const { return bigEndian ? uint32_t((b[0] << 8) | b[1]) : uint32_t(b[0] | (b[1] << 8)); }
    uint32_t U32(const uint8_t* b) const {
        return bigEndian ? (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]
                         : uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
    }
    // The inline value of a SHORT or LONG entry of count 1.
    uint32_t Value(const TiffEntry& e) const { return e.type == 3 ? U16(e.value) : U32(e.value); }
};

// Reads the header and the first directory; false when either is unusable.
bool ReadTiffDir(Probe& p, TiffDir& dir, bool checkOffsets) {
    uint8_t head[9] = {};
    if (p.Read(0, head, 9) < 8) return false;
    if (head[0] == 'I' && head[1] == 'I') dir.bigEndian = false;
    else if (head[0] == 'M' && head[1] == 'M') dir.bigEndian = true;
    else return false;
    uint32_t ifd = dir.U32(head + 4);
    if (checkOffsets) {
        if (int64_t(ifd) >= p.Size()) return false;
        if (dir.bigEndian && head[8] == 0xBA) return false;
    }
    uint8_t cnt[2];
    if (!p.Bytes(ifd, cnt, 2)) return false;
    uint32_t n = dir.U16(cnt);
    int64_t avail = (p.Size() - p.Start() - int64_t(ifd) - 2) / 12;
    if (int64_t(n) > avail) n = uint32_t(avail > 0 ? avail : 0);
    std::vector<uint8_t> raw(size_t(n) * 12);
    if (n && !p.Bytes(int64_t(ifd) + 2, raw.data(), int64_t(raw.size()))) return false;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = raw.data() + i * 12;
        TiffEntry t{uint16_t(dir.U16(e)), uint16_t(dir.U16(e + 2)), dir.U32(e + 4), {e[8], e[9], e[10], e[11]}};
        dir.entries.push_back(t);
    }
    return true;
}

bool TiffTest(Probe& p) {
    if (p.Size() <= 8) return false;
    TiffDir dir;
    if (!ReadTiffDir(p, dir, true)) return false;
    return dir.Find(256) && dir.Find(257);
}

bool CameraRawInTiff(Probe& p) {
    TiffDir dir;
    if (!ReadTiffDir(p, dir, false)) return false;
    if (const TiffEntry* e = dir.Find(50706); e && e->type == 1 && e->count == 4) return true;
    if (const TiffEntry* e = dir.Find(262); e && e->type == 3 && e->count == 1) {
        uint32_t v = dir.Value(*e);
        if (v == 32803 || v == 34892) return true;
    }
    const TiffEntry *w = dir.Find(256), *h = dir.Find(257);
    if (dir.Find(330) && dir.Find(37398) && w && h && dir.Value(*w) < 200 && dir.Value(*h) < 200) return true;
    return false;
}

bool IconTest(Probe& p, uint32_t type) {
    if (p.Size() <= 22) return false;
    uint32_t w0, w1, count;
    if (!p.LE16(0, w0) || !p.LE16(2, w1) || !p.LE16(4, count)) return false;
    if (w0 != 0 || w1 != type || count < 1) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t e[16];
        int64_t at = 6 + int64_t(i) * 16;
        if (!p.Bytes(at, e, 16)) return false;
        uint32_t size = uint32_t(e[8]) | (uint32_t(e[9]) << 8) | (uint32_t(e[10]) << 16) | (uint32_t(e[11]) << 24);
        uint32_t off = uint32_t(e[12]) | (uint32_t(e[13]) << 8) | (uint32_t(e[14]) << 16) | (uint32_t(e[15]) << 24);
        if (e[3] != 0 || size == 0 || int64_t(off) < p.Start() + at + 16) return false;
    }
    return true;
}

bool TargaTest(Probe& p) {
    uint8_t h[18];
    if (!p.Bytes(0, h, 18)) return false;
    int type = h[2], depth = h[16], cmap = h[1];
    bool typeOk = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
    bool depthOk = depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
    int w = h[12] | (h[13] << 8), ht = h[14] | (h[15] << 8);
    return typeOk && depthOk && (cmap == 0 || cmap == 1) && w != 0 && ht != 0;
}

int DecimalOrMinus1(const std::string& s) {
    if (s.empty() || s.size() > 9) return -1;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

bool PnmTest(Probe& p) {
    p.Rewind();
    std::vector<std::string> tokens;
    for (int i = 0; i < 501 && tokens.size() < 3; ++i) {
        std::string t = PnmReadToken(p.Stream());
        if (t.empty()) break;
        if (t[0] == '#') continue;
        if (tokens.empty() && !(t.size() == 2 && t[0] == 'P' && t[1] >= '1' && t[1] <= '6')) return false;
        tokens.push_back(t);
    }
    if (tokens.size() < 3) return false;
    return DecimalOrMinus1(tokens[1]) > 0 && DecimalOrMinus1(tokens[2]) > 0;
}

bool DcxTest(Probe& p) {
    uint32_t magic;
    if (!p.LE32(0, magic) || magic != 0x3ADE68B1) return false;
    for (int i = 0; i < 1024; ++i) {
        uint32_t off;
        if (!p.LE32(4 + int64_t(i) * 4, off) || off == 0) break;
        if (int64_t(off) >= p.Size()) return false;
    }
    return true;
}

bool MetafileTest(Probe& p) {
    uint32_t w0;
    if (!p.LE32(0, w0)) return false;
    int64_t base = w0 == 0x9AC6CDD7u ? 22 : 0;
    uint32_t a, b, c;
    return p.LE16(base, a) && p.LE16(base + 2, b) && p.LE16(base + 16, c) && a == 1 && b == 9 && c == 0;
}

bool PsdTest(Probe& p) {
    uint8_t h[26];
    if (!p.Bytes(0, h, 26)) return false;
    if (std::memcmp(h, "8BPS", 4) != 0) return false;
    int version = (h[4] << 8) | h[5];
    int channels = (h[12] << 8) | h[13];
    int depth = (h[22] << 8) | h[23];
    int mode = (h[24] << 8) | h[25];
    return version == 1 && channels >= 1 && channels <= 24 && depth >= 1 && depth <= 16 && mode <= 9;
}

int32_t RunTests(Probe& p) {
    const int64_t S = p.Size();
    if (S > 12 && p.CString(5) == "JFIF") return ioJPEG;
    uint8_t b[4] = {};
    if (S > 13 && p.Bytes(0, b, 3) && b[0] == 'G' && b[1] == 'I' && b[2] == 'F') return ioGIF;
    if (S > 12 && p.CString(5) == "PCX2") return ioPCX;
    if (S > 4 && p.CString(4) == "PCX") return ioPCX;
    uint32_t w;
    if (S > 14 && p.LE16(0, w) && w == 0x4D42) return ioBMP;
    if (S > 128 && p.Bytes(0, b, 2) && b[0] == 0x0A && b[1] <= 5) return ioPCX;
    if (S > 12 && p.CString(5) == "TIFF") return ioTIFF;
    if (TiffTest(p) && !CameraRawInTiff(p)) return ioTIFF;
    if (S > 8 && p.Bytes(0, b, 4) && b[0] == 0x89 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G') return ioPNG;
    if (p.Bytes(128, b, 4) && std::memcmp(b, "DICM", 4) == 0) return ioDICOM;
    if (IconTest(p, 1)) return ioICO;
    if (IconTest(p, 2)) return ioCUR;
    if (TargaTest(p)) return ioTGA;
    if (PnmTest(p)) return ioPXM;
    {
        uint8_t head[102] = {};
        int64_t got = p.Read(0, head, sizeof head);
        for (int64_t i = 0; i < 100 && i + 2 < got; ++i)
            if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) return ioJPEG;
    }
    uint32_t a, c, d;
    if (p.BE32(0, a) && p.BE32(4, c) && p.BE32(8, d) && a == 12 && c == 0x6A502020 && d == 0x0D0A870A) return ioJP2;
    if (p.BE16(0, a) && p.BE16(2, c) && a == 0xFF4F && c == 0xFF51) return ioJ2K;
    {
        uint8_t riff[12];
        if (p.Bytes(0, riff, 12) && std::memcmp(riff, "RIFF", 4) == 0 && std::memcmp(riff + 8, "AVI ", 4) == 0)
            return ioAVI;
    }
    if (DcxTest(p)) return ioDCX;
    if (MetafileTest(p)) return ioWMF;
    if (p.LE32(0, a) && p.LE32(40, c) && a == 1 && c == 0x464D4520) return ioEMF;
    if (PsdTest(p)) return ioPSD;
    for (const auto& row : FormatTable()) {
        if (!row.ProbeProc) continue;
        p.Rewind();
        if (row.ProbeProc(p.Stream(), row.TypeCode)) return row.TypeCode;
    }
    return ioUnknown;
}

} // namespace

int32_t DetectStreamType(TStream& stream) {
    try {
        Probe p(stream);
        try {
            return RunTests(p);
        } catch (...) {
            return ioUnknown;
        }
    } catch (...) {
        return ioUnknown;
    }
}

int32_t DetectFileType(const std::string& fileName, bool verifyExtension) {
    if (fileName.empty()) return ioUnknown;
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ioUnknown;
    int32_t result = ioUnknown;
    try {
        TIEWideFileStream f(fileName, fmOpenReadShared);
        result = DetectStreamType(f);
    } catch (...) {
        result = ioUnknown;
    }
    const TIEFormatRow* row = FormatByExtension(ExtractFileExt(fileName));
    if (row && row->TypeCode == ioRAW && result == ioTIFF) return ioRAW;
    if (row && !row->BuiltIn) return row->TypeCode;
    if (verifyExtension && result != ioUnknown) {
        if (!row) return ioUnknown;
        if (result == ioICO || result == ioCUR) return row->TypeCode;
        if (row->TypeCode != result) return ioUnknown;
    }
    return result;
}

} // namespace tw
