#include "unix/aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr uint32_t kFileCheck = 0xFEED;
}

struct aFile {
    FILE* stream;
    uint32_t mode;
    uint32_t check;
};

namespace {

bool sIsValid(const aFile* file) {
    return file != nullptr && file->check == kFileCheck && file->stream != nullptr;
}

bool sCanRead(const aFile* file) {
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFile* file) {
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

// A stream open for update must be repositioned between a write and a read
// (and back); a seek by zero does that without moving.
void sSwitchDirection(aFile* file) {
    if (file->mode == aFileModeAppend) {
        std::fseek(file->stream, 0, SEEK_CUR);
    }
}

bool sPathTooLong(const char* path) {
    return strnlen(path, aFILE_MAX_PATH_LENGTH + 1) > aFILE_MAX_PATH_LENGTH;
}

aErr sOpenError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return aErrPermission;
        case EBUSY:
            return aErrBusy;
        default:
            return aErrIO;
    }
}

// The size through a seek to the end; the position is restored.
aErr sGetSize(FILE* stream, long* size) {
    const long position = std::ftell(stream);
    if (position < 0) {
        return aErrIO;
    }
    if (std::fseek(stream, 0, SEEK_END) != 0) {
        return aErrIO;
    }
    const long end = std::ftell(stream);
    if (std::fseek(stream, position, SEEK_SET) != 0 || end < 0) {
        return aErrIO;
    }
    *size = end;
    return aErrNone;
}

}  // namespace

bool aFile_Exists(const char* path) {
    if (path == nullptr || *path == '\0' || sPathTooLong(path)) {
        return false;
    }
    struct stat status;
    return stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode, aErr* error) {
    aErr unused;
    aErr& result = error != nullptr ? *error : unused;
    if (path == nullptr || *path == '\0') {
        result = aErrParam;
        return nullptr;
    }
    if (sPathTooLong(path)) {
        result = aErrFileNameLength;
        return nullptr;
    }
    const char* openMode;
    switch (mode) {
        case aFileModeReadOnly:
            openMode = "rb";
            break;
        case aFileModeWriteOnly:
            openMode = "wb";
            break;
        case aFileModeAppend:
            openMode = "ab+";
            break;
        default:
            result = aErrMode;
            return nullptr;
    }
    aFile* file = new (std::nothrow) aFile;
    if (file == nullptr) {
        result = aErrMemory;
        return nullptr;
    }
    file->stream = std::fopen(path, openMode);
    if (file->stream == nullptr) {
        const int openError = errno;
        delete file;
        result = mode == aFileModeReadOnly ? aErrNotFound : sOpenError(openError);
        return nullptr;
    }
    if (mode == aFileModeAppend) {
        // Where reading starts in this mode differs between systems.
        std::fseek(file->stream, 0, SEEK_END);
    }
    file->mode = mode;
    file->check = kFileCheck;
    result = aErrNone;
    return file;
}

aErr aFile_Close(aFileRef* reference) {
    if (reference == nullptr) {
        return aErrParam;
    }
    aFile* file = *reference;
    *reference = nullptr;
    if (!sIsValid(file)) {
        return aErrParam;
    }
    file->check = 0;
    const int closed = std::fclose(file->stream);
    file->stream = nullptr;
    delete file;
    return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (!sIsValid(file) || buffer == nullptr) {
        return aErrParam;
    }
    if (!sCanRead(file)) {
        return aErrMode;
    }
    if (length == 0) {
        return aErrNone;
    }
    sSwitchDirection(file);
    const size_t moved = std::fread(buffer, 1, length, file->stream);
    if (count != nullptr) {
        *count = moved;
    }
    return moved == 0 ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (!sIsValid(file) || data == nullptr) {
        return aErrParam;
    }
    if (!sCanWrite(file)) {
        return aErrMode;
    }
    if (length == 0) {
        return aErrNone;
    }
    sSwitchDirection(file);
    const size_t moved = std::fwrite(data, 1, length, file->stream);
    if (count != nullptr) {
        *count = moved;
    }
    return moved < length ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
    if (buffer != nullptr && size > 0) {
        buffer[0] = '\0';
    }
    if (length != nullptr) {
        *length = 0;
    }
    if (!sIsValid(file) || buffer == nullptr || size < 2) {
        return aErrParam;
    }
    if (!sCanRead(file)) {
        return aErrMode;
    }
    const int capacity = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    sSwitchDirection(file);
    if (std::fgets(buffer, capacity, file->stream) == nullptr) {
        buffer[0] = '\0';
        return std::ferror(file->stream) ? aErrIO : aErrEOF;
    }
    const size_t read = std::strlen(buffer);
    if (length != nullptr) {
        *length = read;
    }
    if (read == static_cast<size_t>(capacity) - 1 && buffer[read - 1] != '\n') {
        // Full buffer without a newline: an overrun, unless the file ends
        // right here and the line was complete after all.
        const int next = std::fgetc(file->stream);
        if (next != EOF) {
            std::ungetc(next, file->stream);
            return aErrOverrun;
        }
        if (std::ferror(file->stream)) {
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, aFileSeekOrigin origin) {
    if (!sIsValid(file)) {
        return aErrParam;
    }
    long size = 0;
    if (sGetSize(file->stream, &size) != aErrNone) {
        return aErrIO;
    }
    long base;
    switch (origin) {
        case aSeekStart:
            base = 0;
            break;
        case aSeekCurrent:
            base = std::ftell(file->stream);
            if (base < 0) {
                return aErrIO;
            }
            break;
        case aSeekEnd:
            base = size;
            break;
        default:
            return aErrParam;
    }
    long target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size) {
        return aErrRange;
    }
    return std::fseek(file->stream, target, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFileRef file, unsigned long* size) {
    if (size == nullptr) {
        return aErrParam;
    }
    *size = 0;
    if (!sIsValid(file)) {
        return aErrParam;
    }
    long end = 0;
    const aErr result = sGetSize(file->stream, &end);
    if (result == aErrNone) {
        *size = static_cast<unsigned long>(end);
    }
    return result;
}

aErr aFile_GetPosition(aFileRef file, long* offset) {
    if (offset == nullptr) {
        return aErrParam;
    }
    *offset = 0;
    if (!sIsValid(file)) {
        return aErrParam;
    }
    const long position = std::ftell(file->stream);
    if (position < 0) {
        return aErrIO;
    }
    *offset = position;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!sIsValid(file)) {
        return aErrParam;
    }
    if (!sCanWrite(file)) {
        return aErrMode;
    }
    return std::setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
    if (!sIsValid(file) || format == nullptr) {
        return aErrParam;
    }
    if (!sCanWrite(file)) {
        return aErrMode;
    }
    sSwitchDirection(file);
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vfprintf(file->stream, format, arguments);
    va_end(arguments);
    return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (path == nullptr) {
        return aErrParam;
    }
    if (sPathTooLong(path)) {
        return aErrFileNameLength;
    }
    if (unlink(path) == 0) {
        return aErrNone;
    }
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}
