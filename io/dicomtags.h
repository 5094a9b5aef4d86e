// TIEDicomTags: the data elements met while reading a DICOM file, in file order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct TIEDicomTag {
    uint16_t Group = 0;
    uint16_t Element = 0;
    // Value representation, two characters ("US", "OB", ...); two zero bytes when unknown.
    std::array<char, 2> VR{};
    // Value length as found in the file: -1 for an undefined length. Data holds the
    // value bytes (empty when Length is 0 or below).
    int32_t Length = 0;
    std::vector<uint8_t> Data;

    std::string VRText() const { return VR[0] ? std::string(VR.data(), VR[1] ? 2 : 1) : std::string(); }
    // The value as text, up to the first zero byte.
    std::string Text() const;

    friend bool operator==(const TIEDicomTag&, const TIEDicomTag&) = default;
};

class TIEDicomTags {
  public:
    int Count() const { return int(items_.size()); }
    bool Empty() const { return items_.empty(); }
    const TIEDicomTag& operator[](int index) const { return items_[size_t(index)]; }
    const std::vector<TIEDicomTag>& Items() const { return items_; }

    // Appends an element. length -1 marks an undefined length (no data); otherwise the
    // length is that of the data.
    int Add(uint16_t group, uint16_t element, const char vr[2], const void* data, int32_t length);
    int Add(TIEDicomTag tag);
    void Clear() { items_.clear(); }
    void Assign(const TIEDicomTags& source) {
        if (&source != this) items_ = source.items_;
    }

    // Index of the first element (group, element), or -1.
    int IndexOf(uint16_t group, uint16_t element) const;
    const TIEDicomTag* Find(uint16_t group, uint16_t element) const;

    friend bool operator==(const TIEDicomTags&, const TIEDicomTags&) = default;

  private:
    std::vector<TIEDicomTag> items_;
};

} // namespace tw
