#include "cli/folders.h"

#include <cstdlib>
#include <pwd.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string WithoutTrailingSlash(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

// Only absolute names count; relative ones in these variables are ignored.
bool Absolute(const std::string& s) {
    return !s.empty() && s.front() == '/';
}

} // namespace

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (home.empty()) {
        std::vector<char> buf(16384);
        passwd pw{}, *found = nullptr;
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    return WithoutTrailingSlash(home);
}

std::string CommonAppDataFolder() {
    const std::string dirs = Env("XDG_CONFIG_DIRS");
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string entry = dirs.substr(start, end - start);
        if (Absolute(entry)) return WithoutTrailingSlash(entry);
        start = end + 1;
    }
    return "/etc/xdg";
}

std::string DocumentsFolder() {
    const std::string docs = Env("XDG_DOCUMENTS_DIR");
    if (Absolute(docs)) return WithoutTrailingSlash(docs);
    return HomeFolder() + "/Documents";
}

std::string UserConfigFolder() {
    const std::string config = Env("XDG_CONFIG_HOME");
    if (Absolute(config)) return WithoutTrailingSlash(config);
    return HomeFolder() + "/.config";
}

std::string ProgramFileName() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (size_t(n) < buf.size()) return std::string(buf.data(), size_t(n));
        buf.resize(buf.size() * 2);
    }
}

std::string ProgramFolder() {
    const std::string exe = ProgramFileName();
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::string UserParamsPath() {
    return CommonAppDataFolder() + "/Morvatch/UserParams";
}

} // namespace tw
