// Zero-filled memory blocks for pixel storage.
#pragma once

#include <cstdint>

#include "image/types.h"

namespace tw {

// A block of memory that arrives zero-filled, whichever allocator is asked for: pixels
// that a short file does not supply must never show earlier memory. Small blocks come
// from the heap; large ones come straight from the system as fresh pages (huge pages
// where the system offers them), so clearing them costs nothing and walking them costs
// few page faults and little address translation.
class TIEMemoryBlock {
  public:
    TIEMemoryBlock() = default;
    ~TIEMemoryBlock() { Free(); }
    TIEMemoryBlock(const TIEMemoryBlock&) = delete;
    TIEMemoryBlock& operator=(const TIEMemoryBlock&) = delete;
    TIEMemoryBlock(TIEMemoryBlock&& o) noexcept { *this = static_cast<TIEMemoryBlock&&>(o); }
    TIEMemoryBlock& operator=(TIEMemoryBlock&& o) noexcept;

    // Returns false when the memory cannot be had.
    bool Allocate(uint64_t bytes, TIEAllocator allocator = ieaMixed);
    void Free();
    uint8_t* Data() const { return data_; }
    uint64_t Size() const { return size_; }

  private:
    uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    bool mapped_ = false; // obtained from the system rather than the heap
};

} // namespace tw
