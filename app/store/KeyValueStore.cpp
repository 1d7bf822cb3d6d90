#include "app/store/KeyValueStore.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"
#include "app/store/AtomicFile.h"
#include "app/store/LocalTime.h"
#include "unix/aFile.h"

const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";
const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";

namespace {

bool _is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// One line of a record file (with its line feed, `length` characters) into
// `key` and `value`. False for lines that hold no entry: shorter than three
// characters, a "#" first, no "=" or an empty key.
bool _parse_line(const char* line, size_t length, std::string& key, std::string& value) {
    if (length < 3 || line[0] == '#') {
        return false;
    }
    const char* begin = line;
    const char* end = line + length;
    while (begin < end && _is_space(*begin)) {
        ++begin;
    }
    const char* equals = static_cast<const char*>(memchr(begin, '=', end - begin));
    if (equals == nullptr) {
        return false;
    }
    const char* keyEnd = equals;
    while (keyEnd > begin && _is_space(keyEnd[-1])) {
        --keyEnd;
    }
    if (keyEnd == begin) {
        return false;
    }
    const char* valueBegin = equals + 1;
    while (valueBegin < end && _is_space(*valueBegin)) {
        ++valueBegin;
    }
    const char* valueEnd = end;
    while (valueEnd > valueBegin && _is_space(valueEnd[-1])) {
        --valueEnd;
    }
    key.assign(begin, keyEnd);
    value.assign(valueBegin, valueEnd);
    return true;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* name) {
    if (name != nullptr) {
        Load(name);
    }
}

bool KeyValueStore::Load(const char* path) {
    if (path == nullptr) {
        return false;
    }
    errno = 0;
    aFileRef file = aFile_Open(path, aFileModeReadOnly);
    if (file == nullptr) {
        const int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, error);
        Add(KEY_CREATED_TIME, LocalTimeText());
        // A record that exists but cannot be read is never replaced by a new,
        // empty one: it stays as it is and this record lives in memory.
        struct stat info;
        if (stat(path, &info) == 0) {
            filename = path;
            return false;
        }
        Save(path);
        return false;
    }
    filename = path;
    dirty = false;

    char line[kLineBuffer];
    size_t length = 0;
    std::string key;
    std::string value;
    while (aFile_ReadLine(file, line, sizeof(line), &length) == aErrNone) {
        if (_parse_line(line, length, key, value)) {
            values[key] = value;
        }
    }
    aFile_Close(&file);
    return true;
}

bool KeyValueStore::Save(const char* path) {
    if (path != nullptr && *path != '\0') {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (dirty) {
        Add(KEY_UPDATED_TIME, LocalTimeText());
    }

    std::string text;
    for (const auto& entry : values) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    int error = 0;
    const aErr result = AtomicFile::Write(filename.c_str(), text.data(), text.size(), &error);
    if (result == aErrNotFound || result == aErrParam) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
        return false;
    }
    if (result != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 filename.c_str(), error);
        return false;
    }
    dirty = false;
    return true;
}

const std::string& KeyValueStore::_typed_value(const char* key) {
    // operator[] of the map inserts an empty value, which a later save writes.
    return values[key != nullptr ? key : ""];
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
    const std::string& value = _typed_value(key);
    return value.empty() ? defaultValue : atoi(value.c_str());
}

unsigned KeyValueStore::GetHex(const char* key, unsigned defaultValue) {
    const std::string& value = _typed_value(key);
    return value.empty() ? defaultValue : static_cast<unsigned>(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
    const std::string& value = _typed_value(key);
    return value.empty() ? defaultValue : atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
    const std::string& value = _typed_value(key);
    return value.empty() ? defaultValue : atof(value.c_str());
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
    const auto found = values.find(key != nullptr ? key : "");
    if (found != values.end()) {
        return found->second;
    }
    return defaultValue != nullptr ? defaultValue : "";
}

const char* KeyValueStore::operator[](const char* key) const {
    const auto found = values.find(key != nullptr ? key : "");
    return found != values.end() ? found->second.c_str() : nullptr;
}

bool KeyValueStore::_set(const char* key, const std::string& value) {
    if (key == nullptr) {
        return false;
    }
    std::string& slot = values[key];  // a missing key counts as an empty old value
    if (slot != value) {
        slot = value;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Add(const char* key, int value) {
    char text[32];
    snprintf(text, sizeof(text), "%d", value);
    return _set(key, text);
}

bool KeyValueStore::Add(const char* key, double value) {
    char text[512];
    snprintf(text, sizeof(text), "%f", value);
    return _set(key, text);
}

bool KeyValueStore::Add(const char* key, const char* value) {
    return _set(key, value != nullptr ? value : "");
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    return _set(key, value);
}

bool KeyValueStore::AddHex(const char* key, unsigned value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return _set(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& entry : other.values) {
        values[entry.first] = entry.second;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    values.clear();
    dirty = true;
    return true;
}
