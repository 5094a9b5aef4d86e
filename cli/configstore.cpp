#include "cli/configstore.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "cli/folders.h"
#include "cli/options.h"

namespace tw {

namespace {

// Store files are a few kilobytes; anything far larger is not one of ours.
constexpr long kMaxStoreFile = 16L << 20;

bool SameText(std::string_view a, std::string_view b) {
    return LowerCase(a) == LowerCase(b);
}

// "\a\\b\" -> "a\b": empty parts are dropped.
std::string NormalizeKey(std::string_view key) {
    std::string out;
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('\\', start);
        if (end == std::string_view::npos) end = key.size();
        if (end > start) {
            if (!out.empty()) out += '\\';
            out.append(key.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char kHex[] = "0123456789abcdef";

std::string Quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

// Reads a quoted text starting at s[pos] == '"'; leaves pos after the closing quote.
std::optional<std::string> Unquote(std::string_view s, size_t& pos) {
    if (pos >= s.size() || s[pos] != '"') return std::nullopt;
    std::string out;
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++pos >= s.size()) return std::nullopt;
        switch (s[pos]) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'x': {
            if (pos + 2 >= s.size()) return std::nullopt;
            const int hi = HexDigit(s[pos + 1]), lo = HexDigit(s[pos + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += char(hi * 16 + lo);
            pos += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return std::nullopt; // no closing quote
}

// Parses the part after "=" of a value line.
std::optional<TRegValue> ParseData(std::string_view data) {
    TRegValue v;
    if (!data.empty() && data.front() == '"') {
        size_t pos = 0;
        auto text = Unquote(data, pos);
        if (!text || pos != data.size()) return std::nullopt;
        v.Kind = TRegDataKind::Text;
        v.Text = std::move(*text);
        return v;
    }
    if (data.starts_with("dword:")) {
        data.remove_prefix(6);
        if (data.empty() || data.size() > 8) return std::nullopt;
        uint32_t n = 0;
        for (char c : data) {
            const int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            n = n * 16 + uint32_t(d);
        }
        v.Kind = TRegDataKind::Integer;
        v.Integer = int32_t(n);
        return v;
    }
    if (data.starts_with("hex:")) {
        data.remove_prefix(4);
        v.Kind = TRegDataKind::Binary;
        for (size_t i = 0; i < data.size();) {
            if (i + 2 > data.size()) return std::nullopt;
            const int hi = HexDigit(data[i]), lo = HexDigit(data[i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            v.Binary.push_back(uint8_t(hi * 16 + lo));
            i += 2;
            if (i < data.size()) {
                if (data[i] != ',' || i + 1 == data.size()) return std::nullopt;
                ++i;
            }
        }
        return v;
    }
    return std::nullopt;
}

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

} // namespace

TConfigStore::TConfigStore(std::string fileName) : fileName_(std::move(fileName)) {
    TFilePtr f(std::fopen(fileName_.c_str(), "rb"));
    if (!f) {
        damaged_ = errno != ENOENT && errno != ENOTDIR; // a missing file is an empty store
        return;
    }
    std::string text;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        text.append(buf, n);
        if (long(text.size()) > kMaxStoreFile) {
            damaged_ = true;
            return;
        }
    }
    if (std::ferror(f.get())) {
        damaged_ = true;
        return;
    }
    Parse(text);
}

std::string TConfigStore::DefaultFileName() {
    return UserConfigFolder() + "/Velquist/Morvatch.reg";
}

void TConfigStore::Parse(std::string_view text) {
    TKey* current = nullptr;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') continue;

        if (trimmed.front() == '[') {
            const std::string path =
                trimmed.back() == ']' ? NormalizeKey(std::string_view(trimmed).substr(1, trimmed.size() - 2))
                                      : "";
            if (path.empty()) {
                damaged_ = true;
                current = nullptr; // the values below belong to no key we know
                continue;
            }
            CreateKey(path);
            current = FindKey(path);
            continue;
        }

        size_t pos = 0;
        auto name = Unquote(trimmed, pos);
        std::optional<TRegValue> value;
        if (name && pos < trimmed.size() && trimmed[pos] == '=')
            value = ParseData(std::string_view(trimmed).substr(pos + 1));
        if (!value || !current) {
            damaged_ = true;
            continue;
        }
        value->Name = std::move(*name);
        TRegValue* existing = nullptr;
        for (auto& v : current->Values)
            if (SameText(v.Name, value->Name)) existing = &v;
        if (existing)
            *existing = std::move(*value);
        else
            current->Values.push_back(std::move(*value));
    }
}

TConfigStore::TKey* TConfigStore::FindKey(std::string_view key) {
    const std::string path = NormalizeKey(key);
    for (auto& k : keys_)
        if (SameText(k.Path, path)) return &k;
    return nullptr;
}

const TConfigStore::TKey* TConfigStore::FindKey(std::string_view key) const {
    return const_cast<TConfigStore*>(this)->FindKey(key);
}

bool TConfigStore::KeyExists(std::string_view key) const {
    const std::string path = LowerCase(NormalizeKey(key));
    if (path.empty()) return false;
    for (const auto& k : keys_) {
        const std::string p = LowerCase(k.Path);
        if (p == path || p.starts_with(path + '\\')) return true;
    }
    return false;
}

void TConfigStore::CreateKey(std::string_view key) {
    const std::string path = NormalizeKey(key);
    // Parents first, so the file lists them in order.
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('\\', pos + 1);
        const std::string part = path.substr(0, pos);
        if (!part.empty() && !FindKey(part)) keys_.push_back(TKey{part, {}});
    }
}

const TRegValue* TConfigStore::FindValue(std::string_view key, std::string_view name) const {
    const TKey* k = FindKey(key);
    if (!k) return nullptr;
    for (const auto& v : k->Values)
        if (SameText(v.Name, name)) return &v;
    return nullptr;
}

bool TConfigStore::ValueExists(std::string_view key, std::string_view name) const {
    return FindValue(key, name) != nullptr;
}

std::optional<TRegDataKind> TConfigStore::ValueKind(std::string_view key, std::string_view name) const {
    const TRegValue* v = FindValue(key, name);
    return v ? std::optional(v->Kind) : std::nullopt;
}

static ERegistryException InvalidType(std::string_view name) {
    return ERegistryException("Invalid data type for '" + std::string(name) + "'");
}

int32_t TConfigStore::ReadInteger(std::string_view key, std::string_view name) const {
    const TRegValue* v = FindValue(key, name);
    if (!v || v->Kind != TRegDataKind::Integer) throw InvalidType(name);
    return v->Integer;
}

std::string TConfigStore::ReadString(std::string_view key, std::string_view name) const {
    const TRegValue* v = FindValue(key, name);
    if (!v) return {};
    if (v->Kind != TRegDataKind::Text) throw InvalidType(name);
    return v->Text;
}

std::vector<uint8_t> TConfigStore::ReadBinary(std::string_view key, std::string_view name) const {
    const TRegValue* v = FindValue(key, name);
    if (!v || v->Kind != TRegDataKind::Binary) throw InvalidType(name);
    return v->Binary;
}

TRegValue& TConfigStore::Slot(std::string_view key, std::string_view name) {
    CreateKey(key);
    TKey* k = FindKey(key);
    for (auto& v : k->Values)
        if (SameText(v.Name, name)) return v = TRegValue{v.Name};
    k->Values.push_back(TRegValue{std::string(name)});
    return k->Values.back();
}

void TConfigStore::WriteInteger(std::string_view key, std::string_view name, int32_t value) {
    TRegValue& v = Slot(key, name);
    v.Kind = TRegDataKind::Integer;
    v.Integer = value;
}

void TConfigStore::WriteString(std::string_view key, std::string_view name, std::string_view value) {
    TRegValue& v = Slot(key, name);
    v.Kind = TRegDataKind::Text;
    v.Text = value;
}

void TConfigStore::WriteBinary(std::string_view key, std::string_view name,
                               const std::vector<uint8_t>& value) {
    TRegValue& v = Slot(key, name);
    v.Kind = TRegDataKind::Binary;
    v.Binary = value;
}

std::string TConfigStore::Serialize() const {
    std::string out = "; Morvatch per-user configuration\n";
    for (const auto& k : keys_) {
        out += "\n[" + k.Path + "]\n";
        for (const auto& v : k.Values) {
            out += Quote(v.Name) + '=';
            switch (v.Kind) {
            case TRegDataKind::Text:
                out += Quote(v.Text);
                break;
            case TRegDataKind::Integer: {
                const auto n = uint32_t(v.Integer);
                out += "dword:";
                for (int shift = 28; shift >= 0; shift -= 4)
                    out += kHex[(n >> shift) & 15];
                break;
            }
            case TRegDataKind::Binary:
                out += "hex:";
                for (size_t i = 0; i < v.Binary.size(); ++i) {
                    if (i) out += ',';
                    out += kHex[v.Binary[i] >> 4];
                    out += kHex[v.Binary[i] & 15];
                }
                break;
            }
            out += '\n';
        }
    }
    return out;
}

bool TConfigStore::Commit() const {
    if (damaged_ || fileName_.empty()) return false;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path target(fileName_);
    const fs::path folder = target.parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);

    std::string tmpl = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    const std::string text = Serialize();
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (!(n < 0 && errno == EINTR))
            ok = false;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = std::rename(tmpl.c_str(), fileName_.c_str()) == 0;
    if (!ok) ::unlink(tmpl.c_str());
    return ok;
}

} // namespace tw
