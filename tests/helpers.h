// Shared helpers for the test suite.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace twtest {

// A fresh temporary folder, removed with its content when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Result of running the real executable.
struct RunResult {
    int exitCode = -1;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs the tarnwick executable with the given arguments (no shell) and optional
// extra environment assignments ("NAME=value").
// fileSizeLimit >= 0 caps the size of files the run may write (writes beyond it fail).
RunResult RunTarnwick(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                      const std::string& workDir = {}, long long fileSizeLimit = -1);

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);
void WriteFile(const std::string& path, const std::string& data);

// The conformance corpus folder, or empty when it is absent.
std::string CorpusDir();

} // namespace twtest
