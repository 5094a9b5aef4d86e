// A read-only INI text file: "[section]" lines and "key=value" lines below them.
// Sections and keys are compared without regard to ASCII case; keys and values are taken
// without surrounding blanks, a value enclosed in one pair of matching quotes loses them,
// and the first of two equal keys in a section wins. Lines starting with ";" are comments;
// LF and CR LF line ends are both read, and a UTF-8 byte-order mark is skipped. A file that
// cannot be read reads as empty.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw {

class TIniFile {
  public:
    explicit TIniFile(const std::string& fileName);

    std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback) const;

  private:
    struct TEntry {
        std::string Section; // lower-cased
        std::string Key;     // lower-cased
        std::string Value;
    };
    std::vector<TEntry> entries_;
};

} // namespace tw
