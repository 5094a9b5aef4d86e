// TIEMarkerList: the APPn and COM segments of a JPEG file kept with the image, in file
// order, each a marker code (0xE0..0xEF for APP0..APP15, 0xFE for COM) and its payload
// (the segment's bytes after the two length bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tw {

struct TIEMarker {
    uint8_t Code = 0;
    std::vector<uint8_t> Data;
    friend bool operator==(const TIEMarker&, const TIEMarker&) = default;
};

class TIEMarkerList {
  public:
    // The largest payload a JPEG segment can carry (65535 minus the two length bytes).
    static constexpr size_t MaxPayload = 65533;

    int Count() const { return int(items_.size()); }
    bool Empty() const { return items_.empty(); }
    const std::vector<TIEMarker>& Items() const { return items_; }

    // Accessors; an index outside 0 .. Count()-1 gives code 0 and an empty payload.
    uint8_t Code(int index) const;
    const std::vector<uint8_t>& Data(int index) const;
    int Length(int index) const { return int(Data(index).size()); }

    // Appends (code, payload); returns the new entry's index.
    int Add(uint8_t code, const void* data, size_t length);
    int Add(uint8_t code, std::vector<uint8_t> data);
    // Inserts before index (clamped to 0 .. Count()).
    void Insert(int index, uint8_t code, std::vector<uint8_t> data);
    // Replaces the entry at index; an index out of range does nothing.
    void Replace(int index, uint8_t code, std::vector<uint8_t> data);
    // Deletes the entry at index; an index out of range (such as -1) does nothing.
    void Delete(int index);
    // Exchanges two entries; indexes out of range do nothing.
    void Swap(int a, int b);
    void Clear() { items_.clear(); }
    void Assign(const TIEMarkerList& source);

    // Index of the first entry with this code whose payload begins with prefix
    // (any payload when prefix is empty), or -1.
    int IndexOf(uint8_t code, std::string_view prefix = {}) const;

    // Orders the entries for writing: ascending marker code; APP2 "ICC_PROFILE" chunks in
    // chunk order; and the first APP1 "Exif" block ahead of every other APP1 entry.
    // Entries that compare equal keep their relative order.
    void Sort();

    friend bool operator==(const TIEMarkerList&, const TIEMarkerList&) = default;

  private:
    bool InRange(int index) const { return index >= 0 && index < int(items_.size()); }
    std::vector<TIEMarker> items_;
};

// Marker codes.
constexpr uint8_t JPEG_APP0 = 0xE0;
constexpr uint8_t JPEG_APP1 = 0xE1;
constexpr uint8_t JPEG_APP2 = 0xE2;
constexpr uint8_t JPEG_APP13 = 0xED;
constexpr uint8_t JPEG_APP14 = 0xEE;
constexpr uint8_t JPEG_COM = 0xFE;

} // namespace tw
