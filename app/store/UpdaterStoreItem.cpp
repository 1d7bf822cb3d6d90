#include "app/store/UpdaterStoreItem.h"

#include <stdexcept>

#include "app/store/AtomicFile.h"
#include "app/store/BuildPath.h"

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_UNSET) {}

UpdaterStoreItem::UpdaterStoreItem(const char* itemPath, const char* itemName,
                                   store_item_t itemType)
    : path(itemPath != nullptr ? itemPath : ""),
      name(itemName != nullptr ? itemName : ""),
      type(itemType),
      settings(BuildPath(path.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME).c_str()) {}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* bytes,
                                 unsigned long length) {
    if (bytes == nullptr || fileName == nullptr) {
        return aErrNotFound;
    }
    const std::string full = BuildPath(path.c_str(), name.c_str(), fileName);
    const aErr result = AtomicFile::Write(full.c_str(), bytes, length);
    return result == aErrParam ? aErrNotFound : result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
    const std::string full =
        BuildPath(path.c_str(), name.c_str(), fileName != nullptr ? fileName : "");
    if (fileName == nullptr || !BirdFile::VerifyFile(full.c_str())) {
        throw std::runtime_error("Invalid bird " + full);
    }
    return BirdFile(full.c_str());
}
