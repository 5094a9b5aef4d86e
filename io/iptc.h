// TIEIPTCInfoList: the IPTC datasets kept with an image (JPEG APP13, TIFF tag 33723,
// PSD image resource 1028), with their two stored forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw {

// One IPTC dataset: record number, dataset number and its data bytes.
struct TIEIPTCInfo {
    uint8_t Record = 0;
    uint8_t DataSet = 0;
    std::vector<uint8_t> Data;
    friend bool operator==(const TIEIPTCInfo&, const TIEIPTCInfo&) = default;
};

class TIEIPTCInfoList {
  public:
    // Set by Add, Clear and Assign; cleared by LoadFromBuffer. The JPEG writer
    // re-serialises the list into APP13 when it is set.
    bool UserChanged = false;

    int Count() const { return int(items_.size()); }
    const TIEIPTCInfo& operator[](int index) const { return items_[size_t(index)]; }
    const std::vector<TIEIPTCInfo>& Items() const { return items_; }

    // Appends a copy of the data; returns the new entry's index.
    int Add(uint8_t record, uint8_t dataSet, const void* data, size_t length);
    int Add(uint8_t record, uint8_t dataSet, std::vector<uint8_t> data);
    void Clear();
    void Assign(const TIEIPTCInfoList& source);
    // Index of the first dataset record:dataSet, or -1.
    int IndexOf(uint8_t record, uint8_t dataSet) const;

    // Replaces the list by the datasets found in an IPTC block, either plain
    // (0x1C-tagged datasets) or inside a "Photoshop 3.0" resource block (resource
    // 0x0404). Returns true when at least one dataset was read. Never reads outside
    // buffer[0 .. length).
    bool LoadFromBuffer(const uint8_t* buffer, size_t length);

    // Serialises the list. Photoshop form: the "Photoshop 3.0" / "8BIM" 0x0404 resource
    // as stored in JPEG APP13; plain form: the record-version dataset 2:0 followed by the
    // datasets, as stored by TIFF and PSD. An empty list gives an empty buffer.
    std::vector<uint8_t> SaveToBuffer(bool photoshopForm) const;

    friend bool operator==(const TIEIPTCInfoList&, const TIEIPTCInfoList&) = default;

  private:
    std::vector<TIEIPTCInfo> items_;
};

} // namespace tw
