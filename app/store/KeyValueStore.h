// A module record: text keys and values kept in byte order of the keys, read
// from and written to a file of "key=value" lines.
#ifndef APP_STORE_KEYVALUESTORE_H
#define APP_STORE_KEYVALUESTORE_H

#include <map>
#include <string>

class KeyValueStore {
  public:
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"
    static const char* const DEFAULT_FILENAME;  // ".settings"

    // Size of the line buffer: a longer line ends loading.
    static constexpr size_t kLineBuffer = 2048;

    // An empty record; with a file name, Load(filename).
    explicit KeyValueStore(const char* filename = nullptr);

    // Merges the file into the map (entries are not cleared first) and makes
    // `path` the record's file. A missing file is created with the creation
    // time. Returns whether the file could be read.
    bool Load(const char* path);

    // Writes the map to `path`, or with none to the record's own file (the
    // default name when it has none). The file is replaced as a whole: a
    // failed save leaves the previous file as it was and the record dirty.
    bool Save(const char* path = nullptr);

    // Typed reads. Each returns the default for an empty value and inserts a
    // missing key with an empty value (without making the record dirty).
    int GetInt(const char* key, int defaultValue);
    unsigned GetHex(const char* key, unsigned defaultValue);
    bool GetBOOL(const char* key, bool defaultValue);
    double GetDouble(const char* key, double defaultValue);

    // The value when the key exists (even when empty), else the default (or
    // the empty text when the default is null). Never inserts.
    std::string GetString(const char* key, const char* defaultValue = nullptr) const;

    // The value's characters, or null when the key is missing.
    const char* operator[](const char* key) const;

    // Set a value ("%d", "%f", the text, "0x%08X"); the record becomes dirty
    // only when the text changes. Each returns true.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, unsigned value);

    // Copies every entry of `other` over this map; dirty for each entry copied.
    bool Add(const KeyValueStore& other);

    // Empties the map; the record becomes dirty.
    bool Clear();

    const std::string& Filename() const { return filename; }
    bool IsDirty() const { return dirty; }
    const std::map<std::string, std::string>& Values() const { return values; }

  private:
    bool _set(const char* key, const std::string& value);
    // The value of `key`, inserting it empty when missing.
    const std::string& _typed_value(const char* key);

    std::string filename;
    std::map<std::string, std::string> values;
    bool dirty = false;
};

#endif
