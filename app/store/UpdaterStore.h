// The local store: one directory per module under the store root, named by
// the module's serial number as eight upper-case hexadecimal digits, holding
// the module's record (".settings") and its downloaded BIRD files.
#ifndef APP_STORE_UPDATERSTORE_H
#define APP_STORE_UPDATERSTORE_H

#include <string>
#include <vector>

#include "app/store/UpdaterStoreItem.h"

// The context of a look-up by name.
struct result_t {
    bool found = false;
    std::string name;                  // the entry name searched for
    UpdaterStoreItem* item = nullptr;  // filled in when found, when given
    bool directoriesOnly = false;      // only directories can match
};

class UpdaterStore {
  public:
    // Keeps the root and makes sure it is a directory; throws
    // std::runtime_error when it is a file or cannot be created.
    explicit UpdaterStore(const char* basePath);

    const std::string& BasePath() const { return basePath; }

    // The module's directory, created when missing (std::runtime_error when it
    // cannot be), as an item with its record loaded.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char* name);

    // Looks a module directory up by its exact name; fills `item` in (record
    // loaded) when found and given.
    bool FindDevice(unsigned serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);

    // Appends one item per entry of the module's directory that does not begin
    // with "." (its build files). True whether or not the module was found.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items);

  private:
    std::string basePath;
};

#endif
