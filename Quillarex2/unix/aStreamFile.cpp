#include "unix/aStreamFile.h"

#include "unix/aFile.h"

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
    if (reference == nullptr) {
        return aErrIO;
    }
    size_t count = 0;
    const aErr result = aFile_Read(static_cast<aFileRef>(reference), byte, 1, &count);
    if (result == aErrNone && count != 1) {
        return aErrEOF;
    }
    return result;
}

aErr sFileWrite(const uint8_t* bytes, size_t count, void* reference) {
    if (reference == nullptr) {
        return aErrIO;
    }
    return aFile_Write(static_cast<aFileRef>(reference), bytes, count, nullptr);
}

aErr sFilePut(const uint8_t* byte, void* reference) {
    return sFileWrite(byte, 1, reference);
}

aErr sFileDelete(void* reference) {
    if (reference == nullptr) {
        return aErrIO;
    }
    aFileRef file = static_cast<aFileRef>(reference);
    return aFile_Close(&file);
}

aErr sCreate(const char* path, aFileMode mode, aStreamRef* stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    if (path == nullptr) {
        return aErrResource;
    }
    aFileRef file = aFile_Open(path, mode);
    if (file == nullptr) {
        return aErrResource;
    }
    if (mode == aFileModeReadOnly) {
        *stream = aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
    } else {
        *stream = aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    }
    if (*stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
    return sCreate(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
    return sCreate(path, aFileModeWriteOnly, stream);
}
