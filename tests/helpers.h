// Shared helpers for the test suite.
#pragma once

#include <filesystem>
#include <map>
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
    int exitCode = -1; // 128 + the signal number when a signal ended the run
    int signal = 0;    // the signal that ended the run, 0 when it exited
    std::string out;   // standard output
    std::string err;   // standard error
};

// Runs the tarnwick executable with the given arguments (no shell) and optional
// extra environment assignments ("NAME=value").
// fileSizeLimit >= 0 caps the size of files the run may write (writes beyond it fail);
// addressSpaceLimit >= 0 caps the run's virtual memory (allocations beyond it fail).
// Safe to call from several threads at once.
RunResult RunTarnwick(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                      const std::string& workDir = {}, long long fileSizeLimit = -1,
                      long long addressSpaceLimit = -1);

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);
void WriteFile(const std::string& path, const std::string& data);

// The conformance corpus folder, or empty when it is absent.
std::string CorpusDir();

// A tab-separated table with a header line (the corpus's MANIFEST.tsv, REFS.tsv, ...): its
// rows in file order, each as column name -> value. A missing file gives no rows.
using TTsvRow = std::map<std::string, std::string>;
std::vector<TTsvRow> ReadTsv(const std::string& path);

} // namespace twtest
