// The EXIF maker note (tag 37500): the raw block as found in the file, plus the entries
// of its directory when the EXIF parser could read it as one.
#pragma once

#include <cstdint>
#include <vector>

namespace tw {

struct TIEMakerNoteTag {
    uint16_t Id = 0;
    uint16_t Type = 0;  // TIFF field type
    uint32_t Count = 0; // number of values of that type
    std::vector<uint8_t> Data;
    friend bool operator==(const TIEMakerNoteTag&, const TIEMakerNoteTag&) = default;
};

struct TIEMakerNote {
    std::vector<uint8_t> Data;
    std::vector<TIEMakerNoteTag> Tags;

    bool Empty() const { return Data.empty() && Tags.empty(); }
    void Clear() {
        Data.clear();
        Tags.clear();
    }
    friend bool operator==(const TIEMakerNote&, const TIEMakerNote&) = default;
};

} // namespace tw
