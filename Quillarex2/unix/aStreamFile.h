// File streams: a stream that reads a file, or one that writes a file.
#ifndef QUILLAREX_ASTREAMFILE_H
#define QUILLAREX_ASTREAMFILE_H

#include "common/aError.h"
#include "common/aStream.h"

// Opens path for reading and returns a stream whose get reads it byte by byte
// (aErrEOF at its end). The caller owns the stream; aStream_Destroy closes
// the file. aErrResource and *stream null on any failure (null path or
// out-parameter, the file cannot be opened, no memory).
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);

// Creates or truncates path and returns a stream whose put and write write
// it. As aStream_CreateFileInput otherwise.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

#endif
