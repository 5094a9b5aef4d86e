#include "image/tempfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "image/errors.h"

namespace tw {

std::string TempDirectory() {
    const char* t = std::getenv("TMPDIR");
    std::string dir = (t && *t) ? t : "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
}

static uint32_t RandomName() {
    static std::mt19937 gen{std::random_device{}()};
    return std::uniform_int_distribution<uint32_t>(0, 2147483646)(gen);
}

TIETemporaryFileStream::TIETemporaryFileStream(int64_t size) {
    std::string dir = TempDirectory();
    for (int attempt = 0; attempt < 1000 && fd_ < 0; ++attempt) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", RandomName());
        name_ = dir + "IMG-" + hex + ".tmp";
        fd_ = ::open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) throw EInOutError("Unable to create " + name_);
    // Removed by name right away: the open descriptor keeps the data, and the file
    // cannot outlive the process however it ends.
    ::unlink(name_.c_str());
    if (::ftruncate(fd_, off_t(size)) != 0) {
        ::close(fd_);
        fd_ = -1;
        throw EInOutError("Unable to create " + name_);
    }
}

TIETemporaryFileStream::~TIETemporaryFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

bool TIETemporaryFileStream::ReadAt(int64_t offset, void* buffer, int64_t count) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = ::pread(fd_, p, size_t(count), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::memset(p, 0, size_t(count));
            return false;
        }
        p += n;
        offset += n;
        count -= n;
    }
    return true;
}

bool TIETemporaryFileStream::WriteAt(int64_t offset, const void* buffer, int64_t count) {
    auto* p = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = ::pwrite(fd_, p, size_t(count), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        count -= n;
    }
    return true;
}

void TIEFileBuffer::Create(int64_t size) {
    Close();
    file_ = std::make_unique<TIETemporaryFileStream>(size);
}

void TIEFileBuffer::Close() {
    ReleaseAllViews();
    file_.reset();
}

const std::string& TIEFileBuffer::FileName() const {
    static const std::string none;
    return file_ ? file_->FileName() : none;
}

uint8_t* TIEFileBuffer::OpenView(int64_t offset, int64_t length, TIEDataAccessSet access) {
    View v{offset, length, std::unique_ptr<uint8_t[]>(new uint8_t[size_t(length)]()), access};
    if ((access & iedRead) && file_) file_->ReadAt(offset, v.buffer.get(), length);
    uint8_t* p = v.buffer.get();
    views_.push_back(std::move(v));
    return p;
}

void TIEFileBuffer::ReleaseView(uint8_t* address) {
    for (size_t i = 0; i < views_.size(); ++i) {
        if (views_[i].buffer.get() != address) continue;
        View& v = views_[i];
        if ((v.access & iedWrite) && file_) file_->WriteAt(v.offset, v.buffer.get(), v.length);
        views_.erase(views_.begin() + ptrdiff_t(i));
        return;
    }
}

void TIEFileBuffer::ReleaseAllViews() {
    while (!views_.empty()) ReleaseView(views_.back().buffer.get());
}

} // namespace tw
