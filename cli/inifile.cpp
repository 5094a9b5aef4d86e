#include "cli/inifile.h"

#include <fstream>
#include <iterator>

#include "cli/options.h"

namespace tw {

namespace {

// Language files are small; a file far larger than any of them is not read.
constexpr size_t kMaxIniFile = 16u << 20;

std::string Unquoted(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

} // namespace

TIniFile::TIniFile(const std::string& fileName) {
    std::ifstream f(fileName, std::ios::binary);
    if (!f) return;
    std::string text;
    char buf[8192];
    while (f.read(buf, sizeof buf) || f.gcount() > 0) {
        text.append(buf, size_t(f.gcount()));
        if (text.size() > kMaxIniFile) return;
    }
    std::string_view rest(text);
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);

    std::string section;
    bool inSection = false;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const std::string t = Trim(line);
        if (t.empty() || t.front() == ';') continue;
        if (t.front() == '[') {
            const size_t close = t.find(']');
            inSection = close != std::string::npos;
            if (inSection) section = LowerCase(Trim(std::string_view(t).substr(1, close - 1)));
            continue;
        }
        const size_t eq = t.find('=');
        if (!inSection || eq == std::string::npos) continue;
        entries_.push_back(TEntry{section, LowerCase(Trim(std::string_view(t).substr(0, eq))),
                                  Unquoted(Trim(std::string_view(t).substr(eq + 1)))});
    }
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const {
    const std::string s = LowerCase(Trim(section)), k = LowerCase(Trim(key));
    for (const auto& e : entries_)
        if (e.Section == s && e.Key == k) return e.Value;
    return std::string(fallback);
}

} // namespace tw
