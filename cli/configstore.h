// The per-user configuration store: hierarchical keys named by paths of names separated by
// "\" ("Software\Velquist\Morvatch\Setting"), each holding named integer, text and binary
// values. Key paths and value names are compared without regard to ASCII case.
//
// The store is one text file, $XDG_CONFIG_HOME/Velquist/Morvatch.reg ($XDG_CONFIG_HOME
// defaults to $HOME/.config), UTF-8 with LF line ends:
//
//   ; Morvatch per-user configuration
//   [Software\Velquist\Morvatch]
//   "Language"="Deutsch"
//
//   [Software\Velquist\Morvatch\Setting]
//   "sWidth"=dword:00000320
//   "MPrefix"="NewImage"
//   "Items"=hex:61,0d,0a
//
// A "[path]" line opens a key; the value lines below it belong to that key. A value line
// is a quoted name, "=", and one of: a quoted text, "dword:" with up to 8 hexadecimal
// digits (a 32-bit integer), "hex:" with comma-separated two-digit bytes. Inside quotes,
// "\\" is a backslash, "\"" a quote, "\r", "\n", "\t" and "\xHH" the control bytes.
// Blank lines and lines starting with ";" or "#" are ignored; CR LF line ends are accepted.
//
// A file that cannot be read or that holds any line of another form is kept as it is: the
// lines that could be understood are used, and every attempt to write the store fails, so
// a file written by hand or by something else is never replaced. Writes go to a temporary
// file in the same folder that is then renamed over the old file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/errors.h"

namespace tw {

// A value was read as a kind it is not stored as, or does not exist.
class ERegistryException : public EIEException {
  public:
    using EIEException::EIEException;
};

enum class TRegDataKind { Integer, Text, Binary };

struct TRegValue {
    std::string Name;
    TRegDataKind Kind = TRegDataKind::Text;
    int32_t Integer = 0;
    std::string Text;
    std::vector<uint8_t> Binary;
};

class TConfigStore {
  public:
    // Reads the store file when there is one; content problems never raise.
    explicit TConfigStore(std::string fileName);

    // $XDG_CONFIG_HOME/Velquist/Morvatch.reg, with the default described above.
    static std::string DefaultFileName();

    const std::string& FileName() const { return fileName_; }
    // True when the file was there but could not be read or fully understood.
    bool Damaged() const { return damaged_; }

    bool KeyExists(std::string_view key) const;
    // Creates the key and its parents in memory (nothing when it exists).
    void CreateKey(std::string_view key);

    bool ValueExists(std::string_view key, std::string_view name) const;
    std::optional<TRegDataKind> ValueKind(std::string_view key, std::string_view name) const;

    // The readers raise ERegistryException for a value of another kind; ReadInteger and
    // ReadBinary also for a missing value, ReadString gives empty text for one.
    int32_t ReadInteger(std::string_view key, std::string_view name) const;
    std::string ReadString(std::string_view key, std::string_view name) const;
    std::vector<uint8_t> ReadBinary(std::string_view key, std::string_view name) const;

    // The writers create the key when missing and replace a value of the same name.
    void WriteInteger(std::string_view key, std::string_view name, int32_t value);
    void WriteString(std::string_view key, std::string_view name, std::string_view value);
    void WriteBinary(std::string_view key, std::string_view name, const std::vector<uint8_t>& value);

    // Writes the store to its file. False when it could not be written or when the file
    // it came from is damaged (see above); the file is then left untouched.
    [[nodiscard]] bool Commit() const;

    // The file form of the store.
    std::string Serialize() const;

  private:
    struct TKey {
        std::string Path;
        std::vector<TRegValue> Values;
    };

    void Parse(std::string_view text);
    TKey* FindKey(std::string_view key);
    const TKey* FindKey(std::string_view key) const;
    const TRegValue* FindValue(std::string_view key, std::string_view name) const;
    TRegValue& Slot(std::string_view key, std::string_view name);

    std::string fileName_;
    std::vector<TKey> keys_;
    bool damaged_ = false;
};

} // namespace tw
