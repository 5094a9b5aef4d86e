// Seekable byte streams used by the I/O framework and every codec.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw {

enum class TSeekOrigin { Begin, Current, End };

class TStream {
  public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes up to count bytes; returns how many were accepted.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // Moves the position; returns the new position.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size();

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::Begin); }
    // Bytes between the position and the end (never negative).
    int64_t Remaining();

    // Reads exactly count bytes or raises EReadError ("Stream read error").
    void ReadBuffer(void* buffer, int64_t count);
    // Writes exactly count bytes or raises EWriteError ("Stream write error").
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies count bytes from source (all of it from position 0 when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A growable in-memory stream.
class TMemoryStream : public TStream {
  public:
    TMemoryStream() = default;
    TMemoryStream(const void* data, size_t size);
    explicit TMemoryStream(std::vector<uint8_t> data);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return int64_t(data_.size()); }

    const std::vector<uint8_t>& Data() const { return data_; }
    std::vector<uint8_t>& Data() { return data_; }
    void Clear() { data_.clear(); pos_ = 0; }

  private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

// A read-only view over caller-owned memory (no copy).
class TMemoryViewStream : public TStream {
  public:
    TMemoryViewStream(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(int64_t(size)) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void*, int64_t) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return size_; }

  private:
    const uint8_t* data_;
    int64_t size_;
    int64_t pos_ = 0;
};

// Open modes of TIEWideFileStream.
constexpr uint32_t fmOpenReadShared = 32; // read; others may read but not write; must exist
constexpr uint32_t fmCreate = 0xFFFF;     // read and write; create or truncate
constexpr uint32_t fmCreateExclusive = 0x10000; // read and write; the file must not exist

// A file stream. Failures to open raise EFOpenError / EFCreateError with the messages
// "Cannot open file "%s". %s" and "Cannot create file "%s". %s".
class TIEWideFileStream : public TStream {
  public:
    TIEWideFileStream(const std::string& fileName, uint32_t mode);
    ~TIEWideFileStream() override;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;

    const std::string& FileName() const { return name_; }
    // Flushes to the disk; returns false when the system reports an error.
    bool Sync();

  private:
    void DropReadBuffer();

    std::string name_;
    int fd_ = -1;
    int64_t pos_ = 0;
    // Small read-ahead so byte-wise readers do not cost one system call per byte.
    std::vector<uint8_t> rbuf_;
    int64_t rbufStart_ = 0;
    int64_t rbufLen_ = 0;
};

// A buffered read-only view of another stream. With relative true position 0 of the
// view is the wrapped stream's position at creation; otherwise positions are the
// wrapped stream's own. Reads never go past the wrapped stream's end.
class TIEBufferedReadStream : public TStream {
  public:
    TIEBufferedReadStream(TStream& source, bool relative, int bufferSize);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override; // raises
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return size_; }

  private:
    TStream& src_;
    int64_t base_;   // wrapped-stream position of view position 0
    int64_t size_;   // size of the view
    int64_t pos_ = 0;
    std::vector<uint8_t> buf_;
    int64_t bufStart_ = 0; // view position of buf_[0]
    int64_t bufLen_ = 0;
};

// Writes count bytes and sets *abortFlag when the stream accepts fewer.
void CheckedWrite(TStream& stream, bool* abortFlag, const void* data, int64_t count);

// Absolute form of a file name (for messages).
std::string ExpandFileName(const std::string& name);

} // namespace tw
