#include "io/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/errors.h"

namespace tw {

int64_t TStream::Size() {
    int64_t pos = Position();
    int64_t end = Seek(0, TSeekOrigin::End);
    Seek(pos, TSeekOrigin::Begin);
    return end;
}

int64_t TStream::Remaining() {
    int64_t r = Size() - Position();
    return r > 0 ? r : 0;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count <= 0) return;
    if (Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count <= 0) return;
    if (Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buf(size_t(std::min<int64_t>(count, 1 << 20)));
    int64_t done = 0;
    while (done < count) {
        int64_t n = std::min<int64_t>(count - done, int64_t(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

// ---- TMemoryStream -------------------------------------------------------------

TMemoryStream::TMemoryStream(const void* data, size_t size)
    : data_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

TMemoryStream::TMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= int64_t(data_.size())) return 0;
    int64_t n = std::min<int64_t>(count, int64_t(data_.size()) - pos_);
    std::memcpy(buffer, data_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    size_t end = size_t(pos_ + count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, size_t(count));
    pos_ += count;
    return count;
}

static int64_t SeekTarget(int64_t pos, int64_t size, int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::Begin: return offset;
    case TSeekOrigin::Current: return pos + offset;
    case TSeekOrigin::End: return size + offset;
    }
    return pos;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t p = SeekTarget(pos_, int64_t(data_.size()), offset, origin);
    pos_ = p < 0 ? 0 : p;
    return pos_;
}

// ---- TMemoryViewStream ---------------------------------------------------------

int64_t TMemoryViewStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= size_) return 0;
    int64_t n = std::min(count, size_ - pos_);
    std::memcpy(buffer, data_ + pos_, size_t(n));
    pos_ += n;
    return n;
}

int64_t TMemoryViewStream::Write(const void*, int64_t) { return 0; }

int64_t TMemoryViewStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t p = SeekTarget(pos_, size_, offset, origin);
    pos_ = p < 0 ? 0 : p;
    return pos_;
}

// ---- TIEWideFileStream ---------------------------------------------------------

std::string ExpandFileName(const std::string& name) {
    if (name.empty() || name[0] == '/') return name;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return name;
    std::string r = cwd;
    if (r.empty() || r.back() != '/') r += '/';
    return r + name;
}

static std::string SysErrorText(int err) {
    std::string s = std::strerror(err);
    if (!s.empty() && s.back() != '.') s += '.';
    return s;
}

TIEWideFileStream::TIEWideFileStream(const std::string& fileName, uint32_t mode) : name_(fileName) {
    if (mode == fmCreate || mode == fmCreateExclusive) {
        int flags = mode == fmCreate ? O_TRUNC : O_EXCL;
        fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | flags | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            int err = errno;
            throw EFCreateError("Cannot create file \"" + ExpandFileName(fileName) + "\". " + SysErrorText(err), err);
        }
    } else {
        fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        int err = errno;
        if (fd_ >= 0) {
            struct stat st {};
            if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
                ::close(fd_);
                fd_ = -1;
                err = EISDIR;
            }
        }
        if (fd_ < 0)
            throw EFOpenError("Cannot open file \"" + ExpandFileName(fileName) + "\". " + SysErrorText(err), err);
    }
}

TIEWideFileStream::~TIEWideFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

void TIEWideFileStream::DropReadBuffer() { rbufLen_ = 0; }

int64_t TIEWideFileStream::Read(void* buffer, int64_t count) {
    if (count <= 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    // Serve from the read-ahead buffer first.
    if (pos_ >= rbufStart_ && pos_ < rbufStart_ + rbufLen_) {
        int64_t n = std::min(count, rbufStart_ + rbufLen_ - pos_);
        std::memcpy(out, rbuf_.data() + (pos_ - rbufStart_), size_t(n));
        pos_ += n;
        done = n;
    }
    const int64_t kAhead = 65536;
    while (done < count) {
        int64_t want = count - done;
        if (want < kAhead) {
            // Refill the buffer and copy from it.
            rbuf_.resize(size_t(kAhead));
            ssize_t got = ::pread(fd_, rbuf_.data(), size_t(kAhead), pos_);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) { rbufLen_ = 0; break; }
            rbufStart_ = pos_;
            rbufLen_ = got;
            int64_t n = std::min<int64_t>(want, got);
            std::memcpy(out + done, rbuf_.data(), size_t(n));
            pos_ += n;
            done += n;
            if (got < kAhead && n == got) break;
        } else {
            ssize_t got = ::pread(fd_, out + done, size_t(want), pos_);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pos_ += got;
            done += got;
        }
    }
    return done;
}

int64_t TIEWideFileStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    DropReadBuffer();
    auto* in = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(fd_, in + done, size_t(count - done), pos_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pos_ += n;
        done += n;
    }
    return done;
}

int64_t TIEWideFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t size = origin == TSeekOrigin::End ? Size() : 0;
    int64_t p = SeekTarget(pos_, size, offset, origin);
    pos_ = p < 0 ? 0 : p;
    return pos_;
}

int64_t TIEWideFileStream::Size() {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return 0;
    return int64_t(st.st_size);
}

bool TIEWideFileStream::Sync() { return ::fsync(fd_) == 0; }

// ---- TIEBufferedReadStream -----------------------------------------------------

TIEBufferedReadStream::TIEBufferedReadStream(TStream& source, bool relative, int bufferSize)
    : src_(source), buf_(size_t(bufferSize > 0 ? bufferSize : 8192)) {
    int64_t start = source.Position();
    int64_t total = source.Size();
    if (relative) {
        base_ = start;
        size_ = std::max<int64_t>(0, total - start);
        pos_ = 0;
    } else {
        base_ = 0;
        size_ = total;
        pos_ = start;
    }
}

int64_t TIEBufferedReadStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= size_) return 0;
    count = std::min(count, size_ - pos_);
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        if (pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_) {
            int64_t n = std::min(count - done, bufStart_ + bufLen_ - pos_);
            std::memcpy(out + done, buf_.data() + (pos_ - bufStart_), size_t(n));
            pos_ += n;
            done += n;
            continue;
        }
        int64_t want = count - done;
        if (want > int64_t(buf_.size())) buf_.resize(size_t(want));
        src_.SetPosition(base_ + pos_);
        int64_t fill = std::min<int64_t>(int64_t(buf_.size()), size_ - pos_);
        int64_t got = src_.Read(buf_.data(), fill);
        bufStart_ = pos_;
        bufLen_ = got > 0 ? got : 0;
        if (bufLen_ == 0) break;
    }
    return done;
}

int64_t TIEBufferedReadStream::Write(const void*, int64_t) {
    throw EIEException("TIEBufferedReadStream cannot write!");
}

int64_t TIEBufferedReadStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t p = SeekTarget(pos_, size_, offset, origin);
    pos_ = p < 0 ? 0 : p;
    return pos_;
}

void CheckedWrite(TStream& stream, bool* abortFlag, const void* data, int64_t count) {
    if (count <= 0) return;
    if (stream.Write(data, count) < count && abortFlag) *abortFlag = true;
}

} // namespace tw
