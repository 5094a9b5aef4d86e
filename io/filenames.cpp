#include "io/filenames.h"

#include <sys/stat.h>

namespace tw {

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return r;
}

std::string Trim(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    size_t b = 0, e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

bool IsPathDelimiter(char c) {
    return c == '/' || c == '\\' || c == ':';
}

static size_t LastDelimiter(std::string_view name) {
    for (size_t i = name.size(); i > 0; --i)
        if (IsPathDelimiter(name[i - 1])) return i - 1;
    return std::string_view::npos;
}

std::string ExtractFilePath(std::string_view name) {
    const size_t d = LastDelimiter(name);
    return d == std::string_view::npos ? std::string() : std::string(name.substr(0, d + 1));
}

std::string ExtractFileExt(std::string_view name) {
    const size_t d = LastDelimiter(name);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || (d != std::string_view::npos && dot < d)) return {};
    return std::string(name.substr(dot));
}

bool FileExists(const std::string& name) {
    struct stat st {};
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& name) {
    struct stat st {};
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace tw
