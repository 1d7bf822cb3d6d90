// One entry of the local store: a module directory, or one file in a module
// directory, with the record kept in the ".settings" file of `path`/`name`.
#ifndef APP_STORE_UPDATERSTOREITEM_H
#define APP_STORE_UPDATERSTOREITEM_H

#include <cstdint>
#include <string>

#include "app/store/BirdFile.h"
#include "app/store/KeyValueStore.h"
#include "common/aError.h"

enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_UNSET = 2,
};

class UpdaterStoreItem {
  public:
    // Empty path and name, unset type, an empty record with no file.
    UpdaterStoreItem();
    // Loads the record from BuildPath(path, name, ".settings"), creating the
    // file when it is missing (and can be created).
    UpdaterStoreItem(const char* path, const char* name, store_item_t type);

    bool IsValid() const { return !path.empty() && !name.empty(); }

    // Replaces BuildPath(path, name, fileName) with the bytes, atomically: a
    // failed write leaves any previous file intact. aErrNotFound when `data`
    // is null or the file cannot be created, aErrIO when writing fails.
    aErr WriteFile(const char* fileName, const unsigned char* data, unsigned long length);

    // The BIRD file BuildPath(path, name, fileName). Throws std::runtime_error
    // "Invalid bird <path>" when its header is not a BIRD header, and
    // "Failed to load bird data" when it cannot be loaded.
    BirdFile ReadBirdFile(const char* fileName);

    // Whether this item's directory holds an entry named exactly `fileName`.
    bool FileExists(const char* fileName);

    std::string path;  // the directory that holds the entry
    std::string name;  // the entry's own name
    store_item_t type;
    KeyValueStore settings;
};

#endif
