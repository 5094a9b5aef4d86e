// Writing a file so that a failed write never damages what was there before: the data
// goes to a new temporary file in the target's folder, and only a complete write is
// renamed over the target.
#pragma once

#include <memory>
#include <string>

#include "io/stream.h"

namespace tw {

class TIESafeFileWriter {
  public:
    // Creates the temporary file; raises EFCreateError ("Cannot create file "%s". %s",
    // naming the target) when it cannot be created.
    explicit TIESafeFileWriter(const std::string& target);
    // Removes the temporary file unless Commit succeeded.
    ~TIESafeFileWriter();
    TIESafeFileWriter(const TIESafeFileWriter&) = delete;
    TIESafeFileWriter& operator=(const TIESafeFileWriter&) = delete;

    TStream& Stream() { return *stream_; }
    const std::string& TempName() const { return temp_; }
    // Closes the temporary file and renames it over the target; raises EFCreateError
    // when the rename fails (the temporary file is then removed).
    void Commit();

  private:
    std::string target_;
    std::string temp_;
    std::unique_ptr<TIEWideFileStream> stream_;
    bool committed_ = false;
};

} // namespace tw
