#include "common/aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxExtraParts = 9;

bool sIsDirectory(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir that accepts an existing entry; the final check of Ensure catches an
// existing entry that is not a directory.
bool sMake(const char* path, unsigned mode) {
    return mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

bool sOverlaps(const char* buffer, size_t size, const char* text) {
    return text >= buffer && text < buffer + size;
}

aErr sDeleteTree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return aErrNotFound;
    }
    aErr result = aErrNone;
    while (result == aErrNone) {
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        const std::string child = path + aDIR_PATH_SEP + entry->d_name;
        struct stat info;
        if (lstat(child.c_str(), &info) != 0) {
            perror("aDirectory_DeleteTree");
            fprintf(stderr, "---error unlink-ing file [%s]\n", child.c_str());
            result = aErrUnknown;
        } else if (S_ISDIR(info.st_mode)) {
            result = sDeleteTree(child);
            if (result == aErrNotFound) {
                perror("aDirectory_DeleteTree");
                fprintf(stderr, "---error unlink-ing file [%s]\n", child.c_str());
                result = aErrUnknown;
            }
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            fprintf(stderr, "---error unlink-ing file [%s]\n", child.c_str());
            result = aErrUnknown;
        }
    }
    closedir(dir);
    if (result != aErrNone) {
        return result;
    }
    if (rmdir(path.c_str()) != 0) {
        perror("aDirectory_DeleteTree");
        fprintf(stderr, "---error unlink-ing file [%s]\n", path.c_str());
        return aErrUnknown;
    }
    return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
    return path != nullptr && sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, unsigned mode) {
    if (path == nullptr || path[0] == '\0') {
        return aErrParam;
    }
    if (sIsDirectory(path)) {
        return aErrNone;
    }
    std::string work(path);

    // Find the longest existing directory prefix; creation starts after it.
    size_t start = 0;
    std::string prefix(work);
    for (;;) {
        const size_t cut = prefix.rfind(aDIR_PATH_SEP_CHAR);
        if (cut == std::string::npos) {
            start = 0;
            break;
        }
        prefix.resize(cut);
        if (!prefix.empty() && sIsDirectory(prefix.c_str())) {
            start = cut + 1;
            break;
        }
        if (prefix.empty()) {
            start = 1;  // the root directory
            break;
        }
    }

    aErr result = aErrNone;
    for (size_t i = start; i < work.size(); ++i) {
        if (work[i] != aDIR_PATH_SEP_CHAR || i == 0 || work[i - 1] == aDIR_PATH_SEP_CHAR) {
            continue;
        }
        const std::string part = work.substr(0, i);
        if (!sIsDirectory(part.c_str()) && !sMake(part.c_str(), mode)) {
            result = aErrPermission;
            break;
        }
    }
    if (result == aErrNone && !sIsDirectory(path)) {
        sMake(path, mode);
        // An entry of that name that is not a directory is a failure too.
        if (!sIsDirectory(path)) {
            result = aErrPermission;
        }
    }
    return result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
    if (path == nullptr || proc == nullptr) {
        return aErrParam;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return aErrNotFound;
    }
    char full[aDIRECTORY_PATH_BUFFER];
    bool go = true;
    while (go) {
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone) {
            continue;
        }
        struct stat info;
        if (stat(full, &info) != 0) {
            continue;
        }
        aDirectoryListData data;
        data.path = full;
        data.size = static_cast<int32_t>(info.st_size);
        data.isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
        go = proc(&data, ref);
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* dst, size_t size, const char* a, const char* b) {
    return aDirectory_BuildPath(dst, size, a, b, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* dst, size_t size, const char* first, ...) {
    if (dst == nullptr || size == 0) {
        return aErrParam;
    }
    if (first == nullptr || sOverlaps(dst, size, first)) {
        dst[0] = '\0';
        return aErrParam;
    }

    std::vector<const char*> parts;
    va_list args;
    va_start(args, first);
    for (;;) {
        const char* part = va_arg(args, const char*);
        if (part == nullptr) {
            break;
        }
        parts.push_back(part);
        if (parts.size() > kMaxExtraParts) {
            break;
        }
    }
    va_end(args);

    dst[0] = '\0';
    if (parts.size() > kMaxExtraParts) {
        return aErrParam;
    }
    for (const char* part : parts) {
        if (sOverlaps(dst, size, part)) {
            return aErrParam;
        }
    }

    size_t length = strlen(first);
    if (length >= size - 1) {
        return aErrOverrun;
    }
    memcpy(dst, first, length + 1);
    for (const char* part : parts) {
        if (size - length >= 2 && (length == 0 || dst[length - 1] != aDIR_PATH_SEP_CHAR) &&
            part[0] != aDIR_PATH_SEP_CHAR) {
            dst[length++] = aDIR_PATH_SEP_CHAR;
            dst[length] = '\0';
        }
        const size_t partLength = strlen(part);
        if (partLength >= size - length - 1) {
            dst[0] = '\0';
            return aErrOverrun;
        }
        memcpy(dst + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* dst, size_t size) {
    if (dst == nullptr || size == 0) {
        return aErrParam;
    }
    dst[0] = '\0';
    const char* home = nullptr;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        home = found->pw_dir;
    } else {
        home = getenv("HOME");
    }
    if (home == nullptr || home[0] == '\0') {
        return aErrNotFound;
    }
    const size_t length = strlen(home);
    if (length >= size) {
        return aErrOverrun;
    }
    memcpy(dst, home, length + 1);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (path == nullptr || rmdir(path) != 0) {
        return aErrUnknown;
    }
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path) {
    // A link to a directory is not a tree of ours to empty.
    struct stat info;
    if (path == nullptr || lstat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return aErrNotFound;
    }
    return sDeleteTree(path);
}

aErr aDirectory_CWD(char* buf, size_t size) {
    if (buf == nullptr || size == 0 || getcwd(buf, size) == nullptr) {
        return aErrParam;
    }
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        return aErrRead;
    }
    const ssize_t length = readlink("/proc/self/exe", buf, size - 1);
    if (length < 0) {
        buf[0] = '\0';
        return aErrRead;
    }
    buf[length] = '\0';
    return aErrNone;
}
