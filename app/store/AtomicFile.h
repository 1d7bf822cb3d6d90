// Whole-file replacement that never leaves a truncated file behind: the bytes
// go to a temporary file in the same directory, which is flushed to disk and
// then renamed over the target. On any failure the temporary file is removed
// and the previous file, if there was one, is left as it was.
#ifndef APP_STORE_ATOMICFILE_H
#define APP_STORE_ATOMICFILE_H

#include <cstddef>

#include "common/aError.h"

class AtomicFile {
  public:
    // Replaces `path` with `length` bytes of `data` (null data writes an empty
    // file only when `length` is 0). A new file gets the usual mode (0666 less
    // the umask); a replaced one keeps its mode. Returns aErrNone, aErrParam
    // (no path, or null data with a length), aErrNotFound (the temporary file
    // cannot be created) or aErrIO (writing, flushing or renaming failed);
    // `systemError`, when given, receives the system's error number of the
    // failure (0 on success).
    static aErr Write(const char* path, const void* data, size_t length,
                      int* systemError = nullptr);

    // True when a bare file name has the form of Write's temporary files: a
    // leading "." (so store listings skip them) and the suffix ".tmp".
    static bool IsTemporaryName(const char* name);
};

#endif
