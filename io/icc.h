// TIEICC: holder of an ICC colour profile's bytes (for example the profile embedded in
// a file read), with the few header fields the engine looks at. No colour management
// happens here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

class TIEICC {
  public:
    // Size of the fixed profile header.
    static constexpr size_t HeaderSize = 128;

    // Replaces the content by a copy of the bytes and parses the header. Returns
    // IsValid(). An empty buffer clears the holder.
    bool LoadFromBuffer(const void* data, size_t size);
    bool LoadFromBuffer(std::vector<uint8_t> data);
    void Clear();
    void Assign(const TIEICC& source);

    bool IsEmpty() const { return data_.empty(); }
    // The bytes form a profile: at least a full header carrying the "acsp" signature.
    bool IsValid() const { return valid_; }
    size_t Size() const { return data_.size(); }
    const uint8_t* Data() const { return data_.empty() ? nullptr : data_.data(); }
    const std::vector<uint8_t>& Bytes() const { return data_; }

    // Header fields (0 or empty when the profile is not valid).
    uint32_t DeclaredSize() const { return declaredSize_; } // header bytes 0-3
    uint32_t Version() const { return version_; }           // bytes 8-11
    std::string DeviceClass() const;                        // bytes 12-15, e.g. "mntr", "prtr"
    std::string ColorSpace() const;                         // bytes 16-19, e.g. "RGB ", "CMYK", "GRAY"
    std::string ConnectionSpace() const;                    // bytes 20-23, "XYZ " or "Lab "

    // Set by colour conversion once the profile has been applied to the image; a
    // profile already applied is not written out again.
    bool Applied = false;

    friend bool operator==(const TIEICC&, const TIEICC&) = default;

  private:
    void Parse();
    std::string Signature(size_t offset) const;

    std::vector<uint8_t> data_;
    bool valid_ = false;
    uint32_t declaredSize_ = 0;
    uint32_t version_ = 0;
};

} // namespace tw
