#include "io/iptc.h"

#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kTag = 0x1C;
constexpr char kPhotoshopId[] = "Photoshop 3.0"; // 13 characters
constexpr size_t kPhotoshopIdLength = 13;
constexpr uint8_t kIptcResource[6] = {'8', 'B', 'I', 'M', 0x04, 0x04};

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void PutBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Where the IPTC datasets of a "Photoshop 3.0" block start: just after the header of the
// first 0x0404 resource (its signature, identifier, padded Pascal name and 4-byte size).
// Returns length when there is no such resource.
size_t PhotoshopIptcStart(const uint8_t* buffer, size_t length) {
    if (length < sizeof kIptcResource) return length;
    for (size_t i = 0; i + sizeof kIptcResource <= length; ++i) {
        if (std::memcmp(buffer + i, kIptcResource, sizeof kIptcResource) != 0) continue;
        size_t q = i + sizeof kIptcResource;
        if (q >= length) return length;
        // The name is a Pascal string padded to an even length (length byte included).
        size_t nameField = (size_t(buffer[q]) + 2) & ~size_t(1);
        size_t dataStart = q + nameField + 4;
        return dataStart <= length ? dataStart : length;
    }
    return length;
}

} // namespace

int TIEIPTCInfoList::Add(uint8_t record, uint8_t dataSet, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return Add(record, dataSet,
               length && bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{});
}

int TIEIPTCInfoList::Add(uint8_t record, uint8_t dataSet, std::vector<uint8_t> data) {
    items_.push_back(TIEIPTCInfo{record, dataSet, std::move(data)});
    UserChanged = true;
    return int(items_.size()) - 1;
}

void TIEIPTCInfoList::Clear() {
    items_.clear();
    UserChanged = true;
}

void TIEIPTCInfoList::Assign(const TIEIPTCInfoList& source) {
    if (&source == this) {
        UserChanged = true;
        return;
    }
    items_ = source.items_;
    UserChanged = true;
}

int TIEIPTCInfoList::IndexOf(uint8_t record, uint8_t dataSet) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].Record == record && items_[i].DataSet == dataSet) return int(i);
    return -1;
}

bool TIEIPTCInfoList::LoadFromBuffer(const uint8_t* buffer, size_t length) {
    items_.clear();
    bool any = false;
    if (buffer && length > 0) {
        size_t p = 0;
        if (length >= kPhotoshopIdLength && std::memcmp(buffer, kPhotoshopId, kPhotoshopIdLength) == 0)
            p = PhotoshopIptcStart(buffer, length);
        // Go to the first tag byte; of a run of tag bytes, take the last.
        while (p < length && buffer[p] != kTag)
            ++p;
        while (p + 1 < length && buffer[p + 1] == kTag)
            ++p;

        while (p < length && buffer[p] == kTag) {
            if (p + 5 >= length) break;
            uint8_t record = buffer[p + 1];
            uint8_t dataSet = buffer[p + 2];
            size_t dataStart;
            uint64_t dataLength;
            if (buffer[p + 3] & 0x80) {
                // Extended form: the length follows as a 32-bit number.
                dataStart = p + 9;
                if (dataStart > length) break;
                int64_t n = int32_t(BigEndian32(buffer + p + 5));
                dataLength = uint64_t(n < 0 ? -n : n);
            } else {
                dataStart = p + 5;
                dataLength = (uint64_t(buffer[p + 3]) << 8) | buffer[p + 4];
            }
            uint64_t next = uint64_t(dataStart) + dataLength;
            if (next > length) break;
            items_.push_back(TIEIPTCInfo{record, dataSet,
                                         std::vector<uint8_t>(buffer + dataStart, buffer + size_t(next))});
            any = true;
            if (next >= length) break;
            p = size_t(next);
        }
    }
    UserChanged = false;
    return any;
}

std::vector<uint8_t> TIEIPTCInfoList::SaveToBuffer(bool photoshopForm) const {
    std::vector<uint8_t> out;
    if (items_.empty()) return out;
    if (photoshopForm) {
        out.assign(kPhotoshopId, kPhotoshopId + kPhotoshopIdLength);
        out.push_back(0);
        out.insert(out.end(), kIptcResource, kIptcResource + sizeof kIptcResource);
        out.insert(out.end(), {0, 0});       // empty resource name
        out.insert(out.end(), {0, 0, 0, 0}); // resource size, filled in below
    } else {
        // Dataset 2:0, the record version, with the value 2.
        out.assign({kTag, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02});
    }
    uint64_t written = 0;
    for (const TIEIPTCInfo& item : items_) {
        if (item.Data.empty() || (item.Record == 2 && item.DataSet == 0)) continue;
        // The reader takes lengths as signed 32-bit numbers; longer data cannot be stored.
        if (item.Data.size() > 0x7FFFFFFFu) continue;
        size_t n = item.Data.size();
        out.insert(out.end(), {kTag, item.Record, item.DataSet});
        if (n < 32768) {
            out.insert(out.end(), {uint8_t(n >> 8), uint8_t(n)});
            written += 5;
        } else {
            uint8_t len[4];
            PutBigEndian32(len, uint32_t(n));
            out.insert(out.end(), {0x80, 0x04, len[0], len[1], len[2], len[3]});
            written += 9;
        }
        out.insert(out.end(), item.Data.begin(), item.Data.end());
        written += n;
    }
    if (out.size() % 2 != 0) out.push_back(0);
    if (photoshopForm) PutBigEndian32(out.data() + 22, uint32_t(written));
    return out;
}

} // namespace tw
