// Small helpers shared by the processing operations: rounding, size checks, access
// scopes and row tables.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/types.h"
#include "proc/imageproc.h"

namespace tw::proc {

// Round to nearest, halves to the even neighbour.
inline double RoundEven(double v) { return std::nearbyint(v); }
inline int64_t RoundEvenInt(double v) { return int64_t(std::nearbyint(v)); }
// Truncation toward zero of a double into an integer.
inline int64_t TruncInt(double v) { return int64_t(v); }

inline int ClampByte(int64_t v) { return v < 0 ? 0 : (v > 255 ? 255 : int(v)); }
inline int ClampInt(int64_t v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : int(v)); }

// Bytes of one pixel for formats of 8 bits or more.
inline int PixelBytes(TIEPixelFormat f) { return BitsPerPixelOf(f) / 8; }

// Row length of a 32-bit aligned row, or -1 when it does not fit a 32-bit integer.
int64_t AlignedRowBytes(int64_t width, int bitsPerPixel);

// The largest image, in bytes, that may be produced for the given bitmap: one in the
// device location must fit in memory (its MemoryThreshold); memory and file images may
// spill into a temporary file.
int64_t ImageBytesLimit(TIEBitmap& forBitmap);
// The largest work buffer kept in memory.
int64_t WorkBytesLimit();

// Raises EIELimitError "Image too large: <w>x<h>" when an image of that size and
// format cannot be held within limitBytes (or its sides are not usable sizes).
void CheckImageSize(int64_t width, int64_t height, TIEPixelFormat format, int64_t limitBytes);
// Allocate that raises EIELimitError when the store refuses; returns the format got.
TIEPixelFormat AllocateOrThrow(TIEBitmap& bitmap, int width, int height, TIEPixelFormat format);
// Raises EIELimitError unless width x height x bytesPerPixel fits the work limit.
void CheckWorkSize(int64_t width, int64_t height, int64_t bytesPerPixel);
void AllocateWork(TIEWorkBitmap& work, int width, int height, int bitsPerPixel);

// Narrows (or widens) the Access set of a bitmap for the lifetime of the scope.
class TAccessScope {
  public:
    TAccessScope(TIEBitmap& bitmap, TIEDataAccessSet access) : bitmap_(bitmap), saved_(bitmap.Access) {
        bitmap.Access = access;
    }
    ~TAccessScope() { bitmap_.Access = saved_; }
    TAccessScope(const TAccessScope&) = delete;
    TAccessScope& operator=(const TAccessScope&) = delete;

  private:
    TIEBitmap& bitmap_;
    TIEDataAccessSet saved_;
};

// Read-only addresses of every row of a bitmap, valid together. Memory and device
// images hand out their own rows; a file image is read into an owned copy.
class TRowSet {
  public:
    explicit TRowSet(TIEBitmap& bitmap);
    const uint8_t* operator[](int row) const { return rows_[size_t(row)]; }
    int Height() const { return int(rows_.size()); }

  private:
    std::vector<const uint8_t*> rows_;
    std::vector<uint8_t> copy_;
};

// Gives an alpha bitmap as bytes: an ie8g alpha is returned as it is, a 1-bit alpha is
// expanded (0 / 255) into holder, which then owns the result.
TIEBitmap& AlphaAsBytes(TIEBitmap& alpha, std::unique_ptr<TIEBitmap>& holder);

// Copies every row of source into target (same size and format, already allocated).
void CopyAllRows(TIEBitmap& source, TIEBitmap& target);

// Writes `width` copies of a pixel of `bytes` bytes into a row.
void FillPixels(uint8_t* row, int width, const uint8_t* pixel, int bytes);
// Fills every row of an 8-bit-or-more bitmap with one pixel value; 1-bit rows with bit.
void FillBitmap(TIEBitmap& bitmap, const uint8_t* pixel);

// Bit access in 1-bit rows (most significant bit leftmost).
inline bool GetBit(const uint8_t* row, int64_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }
inline void SetBit(uint8_t* row, int64_t x, bool v) {
    uint8_t m = uint8_t(0x80u >> (x & 7));
    if (v) row[x >> 3] |= m;
    else row[x >> 3] &= uint8_t(~m);
}

// Division by a fixed positive integer through a multiplication: the estimate from
// the double reciprocal is off by at most one and is corrected, so the result is
// exactly floor(n / d).
class TDivider {
  public:
    explicit TDivider(uint32_t d = 1) : d_(d ? d : 1), inv_(1.0 / double(d ? d : 1)) {}
    uint64_t operator()(uint64_t n) const {
        uint64_t q = uint64_t(double(n) * inv_);
        if (q * d_ > n) --q;
        else if ((q + 1) * d_ <= n) ++q;
        return q;
    }

  private:
    uint64_t d_;
    double inv_;
};

// Percent reporter: Send reports every value, SendChanged only new ones.
class TProgress {
  public:
    explicit TProgress(const TIEProcProgress& fn) : fn_(fn) {}
    bool Active() const { return bool(fn_); }
    void Send(int percent) {
        if (!fn_) return;
        last_ = percent;
        fn_(percent);
    }
    void SendChanged(int percent) {
        if (fn_ && percent != last_) Send(percent);
    }

  private:
    const TIEProcProgress& fn_;
    int last_ = -1;
};

} // namespace tw::proc
