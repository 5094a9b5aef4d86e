// Temporary-file backing store of the ieFile bitmap location.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/types.h"

namespace tw {

// The system temporary folder with its trailing separator ($TMPDIR, else /tmp/).
std::string TempDirectory();

// A temporary file created exclusively (name "IMG-XXXXXXXX.tmp" in the temporary
// folder) and removed by name when it is closed. The name is also unlinked at
// creation time where possible, so nothing is left behind if the process dies.
class TIETemporaryFileStream {
  public:
    // Raises EInOutError ("Unable to create " + name) on failure.
    explicit TIETemporaryFileStream(int64_t size);
    ~TIETemporaryFileStream();
    TIETemporaryFileStream(const TIETemporaryFileStream&) = delete;
    TIETemporaryFileStream& operator=(const TIETemporaryFileStream&) = delete;

    const std::string& FileName() const { return name_; }
    bool ReadAt(int64_t offset, void* buffer, int64_t count);
    bool WriteAt(int64_t offset, const void* buffer, int64_t count);

  private:
    std::string name_;
    int fd_ = -1;
};

// The file buffer of one bitmap: the temporary file and the open row views.
class TIEFileBuffer {
  public:
    struct View {
        int64_t offset;
        int64_t length;
        std::unique_ptr<uint8_t[]> buffer;
        TIEDataAccessSet access;
    };

    // Creates the file with the given size; raises EInOutError on failure.
    void Create(int64_t size);
    void Close(); // releases every view, then removes the file
    bool IsOpen() const { return file_ != nullptr; }
    const std::string& FileName() const;

    // Opens a view of length bytes at offset, filled from the file when access reads.
    uint8_t* OpenView(int64_t offset, int64_t length, TIEDataAccessSet access);
    // Writes a view back when its access writes, then frees it.
    void ReleaseView(uint8_t* address);
    void ReleaseAllViews();

    bool ReadAt(int64_t offset, void* buffer, int64_t count) { return file_ && file_->ReadAt(offset, buffer, count); }
    bool WriteAt(int64_t offset, const void* buffer, int64_t count) { return file_ && file_->WriteAt(offset, buffer, count); }

  private:
    std::unique_ptr<TIETemporaryFileStream> file_;
    std::vector<View> views_;
};

} // namespace tw
