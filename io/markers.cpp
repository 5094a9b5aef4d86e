#include "io/markers.h"

#include <algorithm>
#include <cstring>

namespace tw {

namespace {

bool HasPrefix(const std::vector<uint8_t>& data, std::string_view prefix) {
    return data.size() >= prefix.size() &&
           (prefix.empty() || std::memcmp(data.data(), prefix.data(), prefix.size()) == 0);
}

// An APP2 payload that is one chunk of an ICC profile; its chunk number is byte 12.
bool IsIccChunk(const TIEMarker& m) {
    return m.Code == JPEG_APP2 && m.Data.size() > 13 && HasPrefix(m.Data, "ICC_PROFILE");
}

} // namespace

uint8_t TIEMarkerList::Code(int index) const {
    return InRange(index) ? items_[size_t(index)].Code : 0;
}

const std::vector<uint8_t>& TIEMarkerList::Data(int index) const {
    static const std::vector<uint8_t> empty;
    return InRange(index) ? items_[size_t(index)].Data : empty;
}

int TIEMarkerList::Add(uint8_t code, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return Add(code, length && bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{});
}

int TIEMarkerList::Add(uint8_t code, std::vector<uint8_t> data) {
    items_.push_back(TIEMarker{code, std::move(data)});
    return int(items_.size()) - 1;
}

void TIEMarkerList::Insert(int index, uint8_t code, std::vector<uint8_t> data) {
    index = std::clamp(index, 0, int(items_.size()));
    items_.insert(items_.begin() + index, TIEMarker{code, std::move(data)});
}

void TIEMarkerList::Replace(int index, uint8_t code, std::vector<uint8_t> data) {
    if (!InRange(index)) return;
    items_[size_t(index)] = TIEMarker{code, std::move(data)};
}

void TIEMarkerList::Delete(int index) {
    if (InRange(index)) items_.erase(items_.begin() + index);
}

void TIEMarkerList::Swap(int a, int b) {
    if (InRange(a) && InRange(b)) std::swap(items_[size_t(a)], items_[size_t(b)]);
}

void TIEMarkerList::Assign(const TIEMarkerList& source) {
    if (&source != this) items_ = source.items_;
}

int TIEMarkerList::IndexOf(uint8_t code, std::string_view prefix) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].Code == code && HasPrefix(items_[i].Data, prefix)) return int(i);
    return -1;
}

void TIEMarkerList::Sort() {
    std::stable_sort(items_.begin(), items_.end(),
                     [](const TIEMarker& a, const TIEMarker& b) { return a.Code < b.Code; });

    // ICC profile chunks go in chunk order within the places the APP2 entries occupy.
    std::vector<size_t> slots;
    for (size_t i = 0; i < items_.size(); ++i)
        if (IsIccChunk(items_[i])) slots.push_back(i);
    if (slots.size() > 1) {
        std::vector<TIEMarker> chunks;
        chunks.reserve(slots.size());
        for (size_t s : slots)
            chunks.push_back(std::move(items_[s]));
        std::stable_sort(chunks.begin(), chunks.end(),
                         [](const TIEMarker& a, const TIEMarker& b) { return a.Data[12] < b.Data[12]; });
        for (size_t k = 0; k < slots.size(); ++k)
            items_[slots[k]] = std::move(chunks[k]);
    }

    // The EXIF block is written as the first APP1 segment.
    int first = IndexOf(JPEG_APP1);
    if (first >= 0 && !HasPrefix(items_[size_t(first)].Data, "Exif")) {
        for (size_t i = size_t(first) + 1; i < items_.size(); ++i) {
            if (items_[i].Code == JPEG_APP1 && HasPrefix(items_[i].Data, "Exif")) {
                std::swap(items_[size_t(first)], items_[i]);
                break;
            }
        }
    }
}

} // namespace tw
