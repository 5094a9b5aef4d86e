#include "io/dicomtags.h"

#include <cstring>

namespace tw {

std::string TIEDicomTag::Text() const {
    const auto* begin = reinterpret_cast<const char*>(Data.data());
    const void* zero = Data.empty() ? nullptr : std::memchr(begin, 0, Data.size());
    size_t n = zero ? size_t(static_cast<const char*>(zero) - begin) : Data.size();
    return std::string(begin, n);
}

int TIEDicomTags::Add(uint16_t group, uint16_t element, const char vr[2], const void* data, int32_t length) {
    TIEDicomTag tag;
    tag.Group = group;
    tag.Element = element;
    if (vr) tag.VR = {vr[0], vr[1]};
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (length > 0 && bytes) tag.Data.assign(bytes, bytes + length);
    // Length and data always agree: a positive length without data counts as 0.
    tag.Length = length > 0 && !bytes ? 0 : length;
    return Add(std::move(tag));
}

int TIEDicomTags::Add(TIEDicomTag tag) {
    items_.push_back(std::move(tag));
    return int(items_.size()) - 1;
}

int TIEDicomTags::IndexOf(uint16_t group, uint16_t element) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].Group == group && items_[i].Element == element) return int(i);
    return -1;
}

const TIEDicomTag* TIEDicomTags::Find(uint16_t group, uint16_t element) const {
    int i = IndexOf(group, element);
    return i < 0 ? nullptr : &items_[size_t(i)];
}

} // namespace tw
