// Helpers shared by the command-line front-end tests: a display that records
// what it is asked to show, descriptor capture, a pseudo-terminal as standard
// output, and a temporary directory.
#ifndef TESTS_UNIT_CLI_SUPPORT_H
#define TESTS_UNIT_CLI_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

namespace cli_test {

// Records messages; counts drawing calls.
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override { ++drawings; }
    void update_progress(double, const char*) override { ++drawings; }
    void update_spinner(bool, const char*) override { ++drawings; }
    void info_message(const char* text) override { messages.emplace_back(Info, text); }
    void error_message(const char* text) override { messages.emplace_back(Error, text); }

    std::vector<std::string> Texts(Level level) const {
        std::vector<std::string> texts;
        for (const auto& m : messages) {
            if (m.first == level) {
                texts.push_back(m.second);
            }
        }
        return texts;
    }

    std::vector<std::pair<Level, std::string>> messages;
    int drawings = 0;
};

inline std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Points a descriptor (1 or 2) at a temporary file until Finish().
class CaptureFd {
  public:
    explicit CaptureFd(int fd) : fd_(fd) {
        fflush(stdout);
        fflush(stderr);
        char name[] = "/tmp/cli_capture_XXXXXX";
        file_ = mkstemp(name);
        unlink(name);
        saved_ = dup(fd_);
        dup2(file_, fd_);
    }
    ~CaptureFd() { Finish(); }
    std::string Finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            fflush(stderr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
            text_ = ReadAll(file_);
            close(file_);
        }
        return text_;
    }

  private:
    int fd_;
    int file_ = -1;
    int saved_ = -1;
    std::string text_;
};

// Makes standard output the slave side of a raw pseudo-terminal until
// Finish(); Drain() returns what was written so far.
class PtyStdout {
  public:
    PtyStdout() {
        fflush(stdout);
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            master_ = slave_ = -1;
            return;
        }
        struct termios raw;
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        saved_ = dup(1);
        dup2(slave_, 1);
    }
    ~PtyStdout() {
        Finish();
        if (master_ >= 0) {
            close(master_);
        }
    }
    bool ok() const { return master_ >= 0; }

    // Everything written to standard output since the last call. A marker
    // written behind the output tells where it ends, so no timing is involved.
    std::string Drain() {
        static const char kMarker[] = "\x01<end>\x01";
        if (write(slave_, kMarker, sizeof(kMarker) - 1) < 0) {
            return std::string();
        }
        std::string text;
        char buffer[1024];
        while (text.find(kMarker) == std::string::npos) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) {
                break;  // only reached when the marker never comes: the test fails
            }
            const ssize_t n = read(master_, buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        const size_t at = text.find(kMarker);
        return at == std::string::npos ? text + "<marker missing>" : text.substr(0, at);
    }

    void Finish() {
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
            saved_ = -1;
            close(slave_);
            slave_ = -1;
        }
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    int saved_ = -1;
};

// A fresh directory under the system's temporary directory, removed with all
// its content at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cli_test_XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr) {
            path_ = name.data();
        }
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace cli_test

#endif
