// Helpers of the BIRD file and store tests: running birdtool to make
// fixtures, capturing the diagnostic log, reading files and running a piece
// of code in a child process under resource limits.
#ifndef TESTS_UNIT_BIRD_SUPPORT_H
#define TESTS_UNIT_BIRD_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/Log.h"
#include "cli_support.h"

namespace bird_test {

using Bytes = std::vector<unsigned char>;

inline std::string BirdtoolPath() {
    return QX_BUILD_DIR "/tools/birdtool/birdtool";
}

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs birdtool with the arguments; its output is captured.
inline ToolResult RunBirdtool(const std::vector<std::string>& args) {
    ToolResult result;
    char outName[] = "/tmp/birdtool_out_XXXXXX";
    char errName[] = "/tmp/birdtool_err_XXXXXX";
    const int out = mkstemp(outName);
    const int err = mkstemp(errName);
    unlink(outName);
    unlink(errName);
    const std::string tool = BirdtoolPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(err, 2);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = cli_test::ReadAll(out);
    result.err = cli_test::ReadAll(err);
    close(out);
    close(err);
    return result;
}

// `birdtool create -o <path> <args...>`; the test fails when the tool does.
inline std::string MakeBird(const std::string& path, std::vector<std::string> args) {
    args.insert(args.begin(), {"create", "-o", path});
    const ToolResult result = RunBirdtool(args);
    EXPECT_EQ(result.status, 0) << "birdtool failed: " << result.err;
    return path;
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Deterministic bytes that do not repeat within a block.
inline Bytes Noise(size_t size, unsigned seed) {
    Bytes bytes(size);
    unsigned state = seed * 2654435761u + 1;
    for (unsigned char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 16);
    }
    return bytes;
}

// Names in a directory, "." and ".." left out.
inline std::set<std::string> Entries(const std::string& directory) {
    std::set<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                names.insert(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

// Sends the diagnostic log of the given packages to memory until destroyed
// (no file, so it works under file size and descriptor limits too).
class LogCapture {
  public:
    explicit LogCapture(uint32_t packages) : packages_(packages) {
        file_ = open_memstream(&text_, &length_);
        Log::SetOutput(file_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture() {
        Log::DeactivatePackage(packages_);
        Log::SetOutput(nullptr);
        fclose(file_);
        free(text_);
    }
    std::string Text() {
        fflush(file_);
        return std::string(text_ != nullptr ? text_ : "", length_);
    }
    bool Has(const std::string& line) { return Text().find(line) != std::string::npos; }

  private:
    uint32_t packages_;
    FILE* file_ = nullptr;
    char* text_ = nullptr;
    size_t length_ = 0;
};

// Runs `body` in a child process and returns its exit status (or -1 when it
// did not exit normally), so that the body may lower resource limits.
inline int InChild(const std::function<int()>& body) {
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Files larger than `bytes` cannot be written (the write fails with EFBIG
// instead of killing the process).
inline void LimitFileSize(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// No further file can be opened.
inline void LimitOpenFiles() {
    struct rlimit limit = {0, 0};
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace bird_test

#endif
