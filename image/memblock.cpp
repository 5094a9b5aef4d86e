#include "image/memblock.h"

#include <cstdlib>
#include <sys/mman.h>

namespace tw {

namespace {

// Blocks of this size and above are mapped from the system. Under AddressSanitizer every
// block comes from the heap, where overruns are caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kMapThreshold = UINT64_MAX;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uint64_t kMapThreshold = UINT64_MAX;
#else
constexpr uint64_t kMapThreshold = uint64_t(4) << 20;
#endif
#else
constexpr uint64_t kMapThreshold = uint64_t(4) << 20;
#endif

} // namespace

TIEMemoryBlock& TIEMemoryBlock::operator=(TIEMemoryBlock&& o) noexcept {
    if (this != &o) {
        Free();
        data_ = o.data_;
        size_ = o.size_;
        mapped_ = o.mapped_;
        o.data_ = nullptr;
        o.size_ = 0;
        o.mapped_ = false;
    }
    return *this;
}

bool TIEMemoryBlock::Allocate(uint64_t bytes, TIEAllocator allocator) {
    (void)allocator; // every allocator hands out zero-filled memory here
    Free();
    if (bytes == 0 || bytes > uint64_t(SIZE_MAX) / 2) return false;
    if (bytes >= kMapThreshold) {
        void* p = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            ::madvise(p, size_t(bytes), MADV_HUGEPAGE);
            data_ = static_cast<uint8_t*>(p);
            size_ = bytes;
            mapped_ = true;
            return true;
        }
    }
    data_ = static_cast<uint8_t*>(std::calloc(size_t(bytes), 1));
    if (!data_) return false;
    size_ = bytes;
    return true;
}

void TIEMemoryBlock::Free() {
    if (mapped_) ::munmap(data_, size_t(size_));
    else std::free(data_);
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

} // namespace tw
