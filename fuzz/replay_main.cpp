// Replays inputs through a fuzz harness without libFuzzer, so the seed corpus and every kept
// crasher run under the ordinary compiler as part of the test suite.
//
//   replay_<target> <file or folder>...
//
// Folders are walked recursively; names starting with '.' are skipped; missing paths are
// noted and skipped, so an absent corpus or crasher folder is not an error. Each file is
// copied into a heap buffer of exactly its size, so a harness that reads past the end is
// caught by AddressSanitizer just as under libFuzzer. The name of each file is printed
// before it runs, so the last line of a failed replay names the input that failed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

bool Hidden(const fs::path& p) {
    std::string name = p.filename().string();
    return !name.empty() && name[0] == '.';
}

// The regular files named by one argument, in a stable order.
void Collect(const fs::path& arg, std::vector<fs::path>& files) {
    std::error_code ec;
    if (fs::is_regular_file(arg, ec)) {
        files.push_back(arg);
        return;
    }
    if (!fs::is_directory(arg, ec)) {
        std::printf("replay: %s does not exist, skipped\n", arg.string().c_str());
        return;
    }
    std::vector<fs::path> found;
    auto it = fs::recursive_directory_iterator(arg, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (Hidden(it->path())) {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(ec)) found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

bool ReadWhole(const fs::path& p, std::unique_ptr<uint8_t[]>& data, size_t& size) {
    std::ifstream in(p, std::ios::binary | std::ios::ate);
    if (!in) return false;
    std::streamoff end = in.tellg();
    if (end < 0) return false;
    size = size_t(end);
    data.reset(new uint8_t[size]); // exact size, also for empty files (a valid non-null pointer)
    in.seekg(0);
    return size == 0 || bool(in.read(reinterpret_cast<char*>(data.get()), std::streamsize(size)));
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], files);
    size_t bytes = 0;
    for (const fs::path& p : files) {
        std::unique_ptr<uint8_t[]> data;
        size_t size = 0;
        if (!ReadWhole(p, data, size)) {
            std::printf("replay: cannot read %s\n", p.string().c_str());
            return 1;
        }
        std::printf("%s (%zu bytes)\n", p.string().c_str(), size);
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.get(), size);
        bytes += size;
    }
    std::printf("replay: %zu inputs, %zu bytes, all passed\n", files.size(), bytes);
    return 0;
}
