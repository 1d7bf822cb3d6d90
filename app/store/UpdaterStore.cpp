#include "app/store/UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "app/Log.h"
#include "app/store/BuildPath.h"
#include "common/aDirectory.h"

namespace {

constexpr unsigned kDirectoryMode = 0755;

void _ensure_directory(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
            return;
        }
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    }
    const aErr error = aDirectory_Ensure(path.c_str(), kDirectoryMode);
    if (error != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(static_cast<int>(error)));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

std::string _serial_text(unsigned serial) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

// Splits a listed entry path at its last separator.
void _split_entry(const char* entryPath, std::string& directory, std::string& name) {
    const char* slash = strrchr(entryPath, aDIR_PATH_SEP_CHAR);
    if (slash == nullptr) {
        directory.clear();
        name = entryPath;
    } else {
        directory.assign(entryPath, slash == entryPath ? 1 : slash - entryPath);
        name = slash + 1;
    }
}

bool _is_dot_entry(const std::string& name) {
    return name == "." || name == "..";
}

// Listing callback of a look-up: an entry matches when its own name is the
// searched name exactly. A name that merely contains it (a backup copy such as
// "40F5849A.old") is never taken for it.
bool _find_item(const aDirectoryListData* data, void* ref) {
    result_t* result = static_cast<result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path,
             static_cast<int>(data->isDirectory), static_cast<int>(data->size),
             result->name.c_str());
    std::string directory;
    std::string name;
    _split_entry(data->path, directory, name);
    if (_is_dot_entry(name) || name != result->name) {
        return true;
    }
    if (result->directoriesOnly && !data->isDirectory) {
        return true;
    }
    result->found = true;
    if (result->item != nullptr) {
        *result->item =
            UpdaterStoreItem(directory.c_str(), name.c_str(),
                             data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

bool _look_up(const std::string& directory, result_t& result) {
    aDirectory_List(directory.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", result.name.c_str());
    return result.found;
}

struct _builds_t {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* data, void* ref) {
    _builds_t* builds = static_cast<_builds_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path,
             static_cast<int>(data->isDirectory), static_cast<int>(data->size));
    std::string directory;
    std::string name;
    _split_entry(data->path, directory, name);
    if (name.empty() || name[0] == '.') {
        return true;
    }
    builds->items->push_back(
        UpdaterStoreItem(builds->directory.c_str(), name.c_str(),
                         data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
    return true;
}

}  // namespace

UpdaterStore::UpdaterStore(const char* path) : basePath(path != nullptr ? path : "") {
    _ensure_directory(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) {
    return AddDevice(_serial_text(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    const std::string deviceName = name != nullptr ? name : "";
    _ensure_directory(BuildPath(basePath.c_str(), deviceName.c_str()));
    return UpdaterStoreItem(basePath.c_str(), deviceName.c_str(), STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) {
    return FindDevice(_serial_text(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    result_t result;
    result.name = name != nullptr ? name : "";
    result.item = item;
    // A module is a directory: a plain file of the same name is not one.
    result.directoriesOnly = true;
    return _look_up(basePath, result);
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem module;
    if (!FindDevice(serial, &module)) {
        return true;
    }
    _builds_t builds;
    builds.directory = BuildPath(module.path.c_str(), module.name.c_str());
    builds.items = &items;
    aDirectory_List(builds.directory.c_str(), _find_items, &builds);
    return true;
}

// The look-up of UpdaterStore::FindDevice, over this item's directory and for
// entries of any kind.
bool UpdaterStoreItem::FileExists(const char* fileName) {
    result_t result;
    result.name = fileName != nullptr ? fileName : "";
    return _look_up(BuildPath(path.c_str(), name.c_str()), result);
}
