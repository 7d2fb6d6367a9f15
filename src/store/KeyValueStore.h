// A small settings file of "key=value" lines, held in memory as a sorted map.
// The store stamps its own creation and update times. Saving replaces the
// file atomically, so a reader (or a crash) sees the old file or the new one,
// never a torn one.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
  static constexpr const char *DEFAULT_FILENAME = ".settings";
  static constexpr const char *KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char *KEY_UPDATED_TIME = "UPDATED_TIME";

  KeyValueStore() = default;
  explicit KeyValueStore(const std::string &path) { Load(path); }
  KeyValueStore(const KeyValueStore &) = default;
  KeyValueStore &operator=(const KeyValueStore &) = default;
  ~KeyValueStore() { entries.clear(); }

  // Merges the file's entries into the store; a missing file is created
  // holding the creation and update times.
  void Load(const std::string &path);
  // Writes every entry to the path (or the remembered one, or ".settings").
  void Save(const std::string &path = std::string());

  bool Add(const std::string &key, int value);
  bool Add(const std::string &key, double value);
  bool Add(const std::string &key, const char *value);
  bool Add(const std::string &key, const std::string &value);
  bool AddHex(const std::string &key, uint32_t value);
  // Copies every entry of the other store over this one.
  bool Add(const KeyValueStore &other);
  void Clear();

  int GetInt(const std::string &key, int default_value = 0) const;
  uint32_t GetHex(const std::string &key, uint32_t default_value = 0) const;
  bool GetBOOL(const std::string &key, bool default_value = false) const;
  double GetDouble(const std::string &key, double default_value = 0.0) const;
  std::string GetString(const std::string &key, const char *default_value = nullptr) const;
  // The stored value, or null when the key is absent.
  const char *operator[](const std::string &key) const;

  const std::string &Path() const { return path; }
  bool IsDirty() const { return dirty; }
  const std::map<std::string, std::string> &Entries() const { return entries; }

  // Parses one line read from a settings file; false when it holds no entry.
  static bool ParseLine(const char *line, std::string &key, std::string &value);
  // The local time as ctime writes it, without the line end.
  static std::string TimeText();

private:
  // The value of a key that is present and not empty, else null.
  const std::string *nonEmpty(const std::string &key) const;

  std::string path;
  std::map<std::string, std::string> entries;
  bool dirty = false;
};
