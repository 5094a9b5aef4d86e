#include "io/icc.h"

#include <cstring>

namespace tw {

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

} // namespace

bool TIEICC::LoadFromBuffer(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return LoadFromBuffer(size && bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>{});
}

bool TIEICC::LoadFromBuffer(std::vector<uint8_t> data) {
    data_ = std::move(data);
    Applied = false;
    Parse();
    return valid_;
}

void TIEICC::Clear() {
    data_.clear();
    Applied = false;
    Parse();
}

void TIEICC::Assign(const TIEICC& source) {
    if (&source != this) *this = source;
}

void TIEICC::Parse() {
    valid_ = data_.size() >= HeaderSize && std::memcmp(data_.data() + 36, "acsp", 4) == 0;
    declaredSize_ = valid_ ? BigEndian32(data_.data()) : 0;
    version_ = valid_ ? BigEndian32(data_.data() + 8) : 0;
}

std::string TIEICC::Signature(size_t offset) const {
    if (!valid_) return {};
    return std::string(reinterpret_cast<const char*>(data_.data() + offset), 4);
}

std::string TIEICC::DeviceClass() const {
    return Signature(12);
}
std::string TIEICC::ColorSpace() const {
    return Signature(16);
}
std::string TIEICC::ConnectionSpace() const {
    return Signature(20);
}

} // namespace tw
