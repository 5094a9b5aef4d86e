// TBaseSettings: an object whose published properties are kept in the per-user
// configuration store, one value per property under RegistryKey, named like the property.
//
// Each class lists its published properties in a property table (name, kind, getter,
// setter); a derived class returns its base's table followed by its own rows. Every
// published property is persisted except RegistryKey, AutoLoad, Name and Tag.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace tw {

class TBaseSettings;

enum class TPropKind {
    Integer,     // 32-bit integer             store: integer value
    Char,        // one character              store: integer value
    Enumeration, // booleans and enumerations  store: integer value (ordinal)
    Float,       // floating point             store: text value
    Text,        // text                       store: text value
    StringList,  // list of lines              store: binary value (the lines, each ending in CR LF)
    Int64,       // 64-bit integer             store: text value
};

// A property value: ordinals (integer, character, enumeration) as int64_t, floats as
// double, texts as string, string lists as a vector of lines, 64-bit integers as int64_t.
using TPropValue = std::variant<int64_t, double, std::string, std::vector<std::string>>;

struct TPropInfo {
    std::string Name;
    TPropKind Kind;
    std::function<TPropValue(const TBaseSettings&)> Get;
    std::function<void(TBaseSettings&, const TPropValue&)> Set;
};

using TPropTable = std::vector<TPropInfo>;

class TBaseSettings {
  public:
    TBaseSettings() = default;
    virtual ~TBaseSettings() = default;
    TBaseSettings(const TBaseSettings&) = delete;
    TBaseSettings& operator=(const TBaseSettings&) = delete;

    // Published properties of the component itself.
    std::string Name;
    int32_t Tag = 0;
    std::string RegistryKey; // the store key the values live under
    bool AutoLoad = true;

    // The published properties of the actual class.
    virtual const TPropTable& Properties() const;
    const TPropInfo* FindProperty(const std::string& name) const;
    // Whether the property is kept in the store.
    static bool IsPersisted(const TPropInfo& prop);

    // Reads the persisted properties present in the store, creating the key when missing.
    // Nothing when RegistryKey is empty. A value of the wrong kind or that does not convert
    // is skipped (the property keeps its value); an unreadable store reads as empty.
    void Load();
    // Writes every persisted property. True when RegistryKey is empty (nothing to do) or the
    // store was written; false when it could not be written.
    [[nodiscard]] bool Save() const;
    // Copies every published property of source except Name for which this object has a
    // property of the same name (ASCII case ignored) and kind.
    void Assign(const TBaseSettings& source);

    // Lifecycle hooks for an owner that creates the object from a stored form: after the
    // form has been read, Loaded runs Load when AutoLoad is set; before the object goes,
    // BeforeDestruction runs Save when AutoLoad is set, ignoring every failure. Destroying
    // the object itself writes nothing.
    void Loaded();
    void BeforeDestruction() noexcept;

    // Where the store file is; empty (the default) means the per-user store.
    std::string StoreFileName;

  protected:
    // The rows of TBaseSettings itself, for derived tables to start from.
    static const TPropTable& BaseProperties();

    // Helpers to build property tables from members of a class C derived from TBaseSettings.
    template <class C> static TPropInfo IntProp(const char* name, int32_t C::*m) {
        return {
            name, TPropKind::Integer,
            [m](const TBaseSettings& s) -> TPropValue { return int64_t(Self<C>(s).*m); },
            [m](TBaseSettings& s, const TPropValue& v) { Self<C>(s).*m = int32_t(std::get<int64_t>(v)); }};
    }
    template <class C> static TPropInfo BoolProp(const char* name, bool C::*m) {
        return {name, TPropKind::Enumeration,
                [m](const TBaseSettings& s) -> TPropValue { return int64_t(Self<C>(s).*m ? 1 : 0); },
                [m](TBaseSettings& s, const TPropValue& v) { Self<C>(s).*m = std::get<int64_t>(v) != 0; }};
    }
    template <class C> static TPropInfo TextProp(const char* name, std::string C::*m) {
        return {name, TPropKind::Text, [m](const TBaseSettings& s) -> TPropValue { return Self<C>(s).*m; },
                [m](TBaseSettings& s, const TPropValue& v) { Self<C>(s).*m = std::get<std::string>(v); }};
    }

  private:
    template <class C> static const C& Self(const TBaseSettings& s) { return static_cast<const C&>(s); }
    template <class C> static C& Self(TBaseSettings& s) { return static_cast<C&>(s); }

    std::string StoreFile() const;
};

// Conversions between a string list and its stored bytes (lines each ending in CR LF;
// reading also accepts LF and CR alone).
std::vector<uint8_t> StringListToBytes(const std::vector<std::string>& lines);
std::vector<std::string> BytesToStringList(const std::vector<uint8_t>& bytes);

} // namespace tw
