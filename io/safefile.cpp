#include "io/safefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "image/errors.h"

namespace tw {

static std::string FolderOf(const std::string& path) {
    size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

static std::string BaseOf(const std::string& path) {
    size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

TIESafeFileWriter::TIESafeFileWriter(const std::string& target) : target_(target) {
    static std::mt19937 gen{std::random_device{}()};
    std::string folder = FolderOf(target), base = BaseOf(target);
    int lastErr = 0;
    for (int attempt = 0; attempt < 100 && !stream_; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08X", unsigned(gen()));
        temp_ = folder + "." + base + "." + tag + ".tmp";
        try {
            stream_ = std::make_unique<TIEWideFileStream>(temp_, fmCreateExclusive);
        } catch (const EFCreateError& e) {
            lastErr = e.SysError;
            if (lastErr != EEXIST) break;
        }
    }
    if (!stream_) {
        temp_.clear();
        std::string why = std::strerror(lastErr ? lastErr : EIO);
        throw EFCreateError("Cannot create file \"" + ExpandFileName(target) + "\". " + why + ".");
    }
    // A replaced file keeps its permissions.
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::chmod(temp_.c_str(), st.st_mode & 07777);
}

TIESafeFileWriter::~TIESafeFileWriter() {
    stream_.reset();
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void TIESafeFileWriter::Commit() {
    stream_.reset();
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        int err = errno;
        ::unlink(temp_.c_str());
        temp_.clear();
        throw EFCreateError("Cannot create file \"" + ExpandFileName(target_) + "\". " + std::strerror(err) + ".");
    }
    committed_ = true;
}

} // namespace tw
