#include "tests/helpers.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace twtest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "twtest-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

RunResult RunTarnwick(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::string& workDir, long long fileSizeLimit, long long addressSpaceLimit) {
    // Close-on-exec, so that a run started by another thread does not inherit these ends
    // and keep them open (dup2 below clears the flag on the child's copies).
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    // Runs never touch the real home or /etc: configuration folders point at a private
    // folder unless the caller names its own.
    static TempDir configRoot;
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    std::vector<std::string> defaults = {"XDG_CONFIG_HOME=" + configRoot.file("home-config"),
                                         "XDG_CONFIG_DIRS=" + configRoot.file("etc-xdg"),
                                         "XDG_DOCUMENTS_DIR=" + configRoot.file("documents")};
    for (const auto& kv : defaults) {
        std::string name = kv.substr(0, kv.find('='));
        std::erase_if(envStrings, [&](const std::string& s) { return s.compare(0, name.size() + 1, name + "=") == 0; });
        envStrings.push_back(kv);
    }
    for (const auto& kv : env) {
        std::string name = kv.substr(0, kv.find('='));
        std::erase_if(envStrings, [&](const std::string& s) { return s.compare(0, name.size() + 1, name + "=") == 0; });
        envStrings.push_back(kv);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string exe = TW_EXE_PATH;
    std::vector<std::string> argStrings{exe};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
        if (fileSizeLimit >= 0) {
            rlimit lim{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (addressSpaceLimit >= 0) {
            rlimit lim{rlim_t(addressSpaceLimit), rlim_t(addressSpaceLimit)};
            setrlimit(RLIMIT_AS, &lim);
        }
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult r;
    // Read both pipes without blocking on either.
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (auto& f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            ssize_t n = read(f.fd, buf, sizeof buf);
            if (n <= 0) {
                close(f.fd);
                f.fd = -1;
                --open;
            } else {
                (&f == &fds[0] ? r.out : r.err).append(buf, size_t(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(data.data(), std::streamsize(data.size()));
}

std::string CorpusDir() {
    const char* env = std::getenv("TARNWICK_CORPUS");
    std::filesystem::path p = env && *env ? std::filesystem::path(env)
                                          : std::filesystem::path(TW_SOURCE_DIR) / ".." / "shared" / "corpus";
    std::error_code ec;
    if (std::filesystem::is_directory(p / "files", ec)) return std::filesystem::canonical(p, ec).string();
    return {};
}

std::vector<TTsvRow> ReadTsv(const std::string& path) {
    std::vector<TTsvRow> rows;
    std::ifstream in(path);
    std::string line;
    std::vector<std::string> header;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, '\t'))
            cols.push_back(c);
        if (header.empty()) {
            header = std::move(cols);
            continue;
        }
        if (cols.empty()) continue;
        TTsvRow row;
        for (size_t i = 0; i < header.size(); ++i)
            row[header[i]] = i < cols.size() ? cols[i] : std::string();
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace twtest
