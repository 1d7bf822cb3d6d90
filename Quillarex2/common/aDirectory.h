// Directories and paths: existence, creation with parents, listing, joining
// into a fixed buffer, removal, and the well-known directories of the process.
#ifndef QUILLAREX_ADIRECTORY_H
#define QUILLAREX_ADIRECTORY_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

#define aDIR_PATH_SEP "/"
#define aDIR_PATH_SEP_CHAR '/'

// Size of the buffer into which the lister joins entry paths.
#define aDIRECTORY_PATH_BUFFER 2048

// One entry handed to a listing callback.
typedef struct aDirectoryListData {
    const char* path;     // the listed directory joined with the entry name
    int32_t size;         // from stat
    int32_t isDirectory;  // 1 for a directory, else 0
} aDirectoryListData;

// Returns true to go on listing, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

// True when `path` is given, exists and is a directory.
bool aDirectory_Exists(const char* path);

// Creates `path` and every missing parent with `mode`. aErrPermission when a
// directory cannot be created or `path` exists but is not a directory.
aErr aDirectory_Ensure(const char* path, unsigned mode);

// Calls `proc` for each entry of `path` in the order the system lists them,
// "." and ".." included, skipping entries that cannot be stat'ed.
// aErrNotFound when the directory cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

// aDirectory_BuildPath(dst, size, a, b, NULL).
aErr aDirectory_JoinPath(char* dst, size_t size, const char* a, const char* b);

// Joins `first` and up to nine further parts (the list ends with a null) into
// `dst`, putting "/" between them unless one is already there. aErrParam for
// a missing or aliased buffer or too many parts, aErrOverrun when the result
// does not fit. `dst` is left empty on failure.
aErr aDirectory_BuildPath(char* dst, size_t size, const char* first, ...) __attribute__((sentinel));

// The current user's home directory: the password database, else HOME.
// aErrNotFound when neither names one, aErrOverrun when it does not fit.
aErr aDirectory_GetHomeDirectory(char* dst, size_t size);

// Removes an empty directory. aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything in it, depth first; symbolic links are
// removed, never followed. aErrNotFound when `path` cannot be opened,
// aErrUnknown when something in it cannot be removed.
aErr aDirectory_DeleteTree(const char* path);

// The current working directory. aErrParam on failure.
aErr aDirectory_CWD(char* buf, size_t size);

// The full path of the running program, cut to size - 1 characters.
// aErrRead on failure.
aErr aDirectory_ExecutableFilePath(char* buf, size_t size);

#endif
