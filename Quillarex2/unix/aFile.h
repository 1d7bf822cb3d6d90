// Files: a checked handle over a buffered standard-library stream.
#ifndef QUILLAREX_AFILE_H
#define QUILLAREX_AFILE_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

typedef struct aFile aFile;
typedef aFile* aFileRef;

// Open modes.
typedef enum : uint32_t {
    aFileModeReadOnly = 0,   // "rb": reading; the file must exist
    aFileModeWriteOnly = 1,  // "wb": writing; created or truncated
    aFileModeAppend = 2,     // "ab+": reading and writing, writes go to the end;
                             // the position starts at the end
    aFileModeUnknown = 3,    // always rejected
} aFileMode;

// Origins for aFile_Seek.
typedef enum : int {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
} aFileSeekOrigin;

// Longest path accepted, in bytes; longer paths give aErrFileNameLength.
#define aFILE_MAX_PATH_LENGTH 4096

// A handle is used by one thread at a time. Every operation checks that the
// handle is valid and gives aErrParam for a null or closed one.

// True when path names something that exists and is not a directory.
bool aFile_Exists(const char* path);

// Opens path in the given mode. Returns the handle, owned by the caller and
// released with aFile_Close, or null; when error is given it receives the
// outcome: aErrNone, aErrParam (null or empty path), aErrFileNameLength,
// aErrMode (unknown mode), aErrNotFound (read mode: the file cannot be
// opened), aErrPermission (write or append mode: access denied), aErrBusy
// (device or resource busy), aErrIO (any other failure), aErrMemory.
aFileRef aFile_Open(const char* path, aFileMode mode, aErr* error = nullptr);

// Closes the file, invalidates and frees the handle and clears *file in every
// case. aErrParam for a null reference or an invalid handle; aErrIO when
// buffered data could not be written out on closing.
aErr aFile_Close(aFileRef* file);

// Reads up to length bytes. count (optional) receives the bytes read.
// aErrParam (invalid handle, null buffer), aErrMode (opened for writing
// only), aErrEOF (nothing could be read although length > 0).
aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count);

// Writes length bytes. count (optional) receives the bytes written.
// aErrParam (invalid handle, null data), aErrMode (opened for reading only),
// aErrIO (fewer than length bytes could be written).
aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count);

// Reads one line, newline included, into buffer as a terminated string;
// length (optional) receives its length. The buffer is cleared and *length set
// to 0 before anything else. aErrParam (invalid handle, null buffer, size
// below 2), aErrMode (opened for writing only), aErrEOF (no more lines),
// aErrIO (read error), aErrOverrun (the line did not fit: the buffer holds its
// first size - 1 bytes and the rest is left in the file).
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

// Moves to origin + offset. aErrParam (invalid handle or origin), aErrRange
// (the target lies before the start or beyond the end of the file), aErrIO
// (the position or size cannot be had, or the move fails).
aErr aFile_Seek(aFileRef file, long offset, aFileSeekOrigin origin);

// The file's size in bytes, leaving the position where it was. aErrParam
// (invalid handle, null size), aErrIO (not seekable); *size is 0 on failure.
aErr aFile_GetSize(aFileRef file, unsigned long* size);

// The current offset. aErrParam (invalid handle, null offset), aErrIO.
aErr aFile_GetPosition(aFileRef file, long* offset);

// Makes writes go straight to the file. Call it before any read or write.
// aErrParam (invalid handle), aErrMode (read-only handle, or the change
// failed).
aErr aFile_SetUnbuffered(aFileRef file);

// Formatted write. aErrParam (invalid handle, null format), aErrMode
// (read-only handle), aErrIO (the write failed).
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes a file (not a directory). aErrParam (null path),
// aErrFileNameLength, aErrNotFound, aErrPermission, aErrIO (anything else,
// directories included).
aErr aFile_Delete(const char* path);

#endif
