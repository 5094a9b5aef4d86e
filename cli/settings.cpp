#include "cli/settings.h"

#include <charconv>
#include <optional>

#include "cli/configstore.h"
#include "cli/options.h"

namespace tw {

namespace {

std::string FloatToText(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

template <class T> std::optional<T> TextToNumber(const std::string& s) {
    const std::string t = Trim(s);
    T v{};
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size()) return std::nullopt;
    return v;
}

// Reads one property's stored value; nothing when it has the wrong kind or does not convert.
std::optional<TPropValue> ReadValue(const TConfigStore& store, const std::string& key,
                                    const TPropInfo& prop) {
    try {
        switch (prop.Kind) {
        case TPropKind::Integer:
        case TPropKind::Char:
        case TPropKind::Enumeration:
            return TPropValue(int64_t(store.ReadInteger(key, prop.Name)));
        case TPropKind::Float:
            if (auto v = TextToNumber<double>(store.ReadString(key, prop.Name))) return TPropValue(*v);
            return std::nullopt;
        case TPropKind::Text:
            return TPropValue(store.ReadString(key, prop.Name));
        case TPropKind::StringList:
            return TPropValue(BytesToStringList(store.ReadBinary(key, prop.Name)));
        case TPropKind::Int64:
            if (auto v = TextToNumber<int64_t>(store.ReadString(key, prop.Name))) return TPropValue(*v);
            return std::nullopt;
        }
    } catch (const ERegistryException&) {
    }
    return std::nullopt;
}

void WriteValue(TConfigStore& store, const std::string& key, const TPropInfo& prop, const TPropValue& v) {
    switch (prop.Kind) {
    case TPropKind::Integer:
    case TPropKind::Char:
    case TPropKind::Enumeration:
        store.WriteInteger(key, prop.Name, int32_t(std::get<int64_t>(v)));
        break;
    case TPropKind::Float:
        store.WriteString(key, prop.Name, FloatToText(std::get<double>(v)));
        break;
    case TPropKind::Text:
        store.WriteString(key, prop.Name, std::get<std::string>(v));
        break;
    case TPropKind::StringList:
        store.WriteBinary(key, prop.Name, StringListToBytes(std::get<std::vector<std::string>>(v)));
        break;
    case TPropKind::Int64:
        store.WriteString(key, prop.Name, std::to_string(std::get<int64_t>(v)));
        break;
    }
}

} // namespace

const TPropTable& TBaseSettings::Properties() const {
    return BaseProperties();
}

const TPropTable& TBaseSettings::BaseProperties() {
    static const TPropTable table = {
        TextProp("Name", &TBaseSettings::Name),
        IntProp("Tag", &TBaseSettings::Tag),
        TextProp("RegistryKey", &TBaseSettings::RegistryKey),
        BoolProp("AutoLoad", &TBaseSettings::AutoLoad),
    };
    return table;
}

const TPropInfo* TBaseSettings::FindProperty(const std::string& name) const {
    const std::string wanted = LowerCase(name);
    for (const auto& p : Properties())
        if (LowerCase(p.Name) == wanted) return &p;
    return nullptr;
}

bool TBaseSettings::IsPersisted(const TPropInfo& prop) {
    const std::string n = LowerCase(prop.Name);
    return n != "registrykey" && n != "autoload" && n != "name" && n != "tag";
}

std::string TBaseSettings::StoreFile() const {
    return StoreFileName.empty() ? TConfigStore::DefaultFileName() : StoreFileName;
}

void TBaseSettings::Load() {
    if (RegistryKey.empty()) return;
    const std::string key = RegistryKey; // a stored value never moves the key mid-way
    TConfigStore store(StoreFile());
    if (!store.KeyExists(key)) {
        store.CreateKey(key);
        (void)store.Commit(); // a store that cannot be written simply stays without the key
    }
    for (const auto& prop : Properties()) {
        if (!IsPersisted(prop) || !store.ValueExists(key, prop.Name)) continue;
        if (auto v = ReadValue(store, key, prop)) prop.Set(*this, *v);
    }
}

bool TBaseSettings::Save() const {
    if (RegistryKey.empty()) return true;
    TConfigStore store(StoreFile());
    store.CreateKey(RegistryKey);
    for (const auto& prop : Properties())
        if (IsPersisted(prop)) WriteValue(store, RegistryKey, prop, prop.Get(*this));
    return store.Commit();
}

void TBaseSettings::Assign(const TBaseSettings& source) {
    for (const auto& from : source.Properties()) {
        if (LowerCase(from.Name) == "name") continue;
        const TPropInfo* to = FindProperty(from.Name);
        if (to && to->Kind == from.Kind) to->Set(*this, from.Get(source));
    }
}

void TBaseSettings::Loaded() {
    if (AutoLoad) Load();
}

void TBaseSettings::BeforeDestruction() noexcept {
    if (!AutoLoad) return;
    try {
        (void)Save();
    } catch (...) {
        // Failures while saving on the way out are ignored.
    }
}

std::vector<uint8_t> StringListToBytes(const std::vector<std::string>& lines) {
    std::vector<uint8_t> out;
    for (const auto& line : lines) {
        out.insert(out.end(), line.begin(), line.end());
        out.push_back('\r');
        out.push_back('\n');
    }
    return out;
}

std::vector<std::string> BytesToStringList(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = char(bytes[i]);
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

} // namespace tw
