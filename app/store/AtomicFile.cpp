#include "app/store/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kTemporarySuffix[] = ".tmp";
// Keeps the temporary name within the system's limit for one name.
constexpr size_t kMaxBaseInName = 200;
constexpr int kCreateAttempts = 16;

std::atomic<unsigned> _counter{0};

// The directory part of `path` with its separator ("" for a bare name) and
// the name itself.
void _split(const std::string& path, std::string& directory, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory.clear();
        name = path;
    } else {
        directory = path.substr(0, slash + 1);
        name = path.substr(slash + 1);
    }
}

bool _write_all(int fd, const unsigned char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void _sync_directory(const std::string& directory) {
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);  // best effort: the rename itself has happened
        ::close(fd);
    }
}

}  // namespace

bool AtomicFile::IsTemporaryName(const char* name) {
    if (name == nullptr || name[0] != '.') {
        return false;
    }
    const size_t length = strlen(name);
    const size_t suffix = sizeof(kTemporarySuffix) - 1;
    return length > suffix && strcmp(name + length - suffix, kTemporarySuffix) == 0;
}

aErr AtomicFile::Write(const char* path, const void* data, size_t length, int* systemError) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    if (path == nullptr || *path == '\0' || (data == nullptr && length > 0)) {
        error = EINVAL;
        return aErrParam;
    }
    std::string directory;
    std::string name;
    _split(path, directory, name);
    if (name.empty()) {
        error = EISDIR;
        return aErrNotFound;
    }

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kCreateAttempts && fd < 0; ++attempt) {
        char unique[48];
        snprintf(unique, sizeof(unique), ".%ld.%u", static_cast<long>(getpid()),
                 _counter.fetch_add(1));
        temporary = directory + "." + name.substr(0, kMaxBaseInName) + unique + kTemporarySuffix;
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        error = errno;
        return aErrNotFound;
    }

    // A replaced file keeps its permissions.
    struct stat previous;
    if (::stat(path, &previous) == 0 && S_ISREG(previous.st_mode)) {
        ::fchmod(fd, previous.st_mode & 07777);
    }

    bool ok = _write_all(fd, static_cast<const unsigned char*>(data), length) && ::fsync(fd) == 0;
    if (!ok) {
        error = errno;
    }
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return aErrIO;
    }
    _sync_directory(directory);
    return aErrNone;
}
