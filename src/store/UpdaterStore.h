// The local store: one directory per module below a root, named by the
// module's serial number as 8 upper-case hexadecimal digits, holding the
// module's ".settings" file and the BIRD files downloaded for it.
//
// The store caches nothing but its root: every query lists the directory
// anew. Items carry a copy of their settings; changes reach the disk when the
// owner saves them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quillwork/cErr.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

enum store_item_t : uint8_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

// One entry of the store (a device directory or a stored file) with the
// settings loaded from entry/".settings".
class UpdaterStoreItem {
public:
  UpdaterStoreItem() = default;
  UpdaterStoreItem(const std::string &base_path, const std::string &name, store_item_t kind);

  bool IsValid() const { return !base_path.empty() && !name.empty(); }
  // The entry's own path: base/name.
  std::string Path() const;

  // Whether an entry of this directory has a name containing file_name.
  bool FileExists(const std::string &file_name) const;
  // Writes base/name/file_name, replacing any earlier file atomically.
  cErr WriteFile(const std::string &file_name, const void *bytes, size_t length) const;
  // Throws std::runtime_error("Invalid bird " + path) for a file whose header
  // is wrong, and "Failed to load bird data" for one that does not load.
  BirdFile ReadBirdFile(const std::string &file_name) const;

  std::string base_path;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  KeyValueStore settings;
};

class UpdaterStore {
public:
  // Ensures the root directory; throws std::runtime_error when it is a file
  // or cannot be created.
  explicit UpdaterStore(const std::string &root);

  const std::string &BasePath() const { return base_path; }

  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string &name);
  // The first entry of the root whose name contains the serial text.
  bool FindDevice(uint32_t serial, UpdaterStoreItem *item);
  bool FindDevice(const std::string &name, UpdaterStoreItem *item);
  // Every entry of the device's directory whose name does not begin with ".".
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem> &items);

  // "%08X": the directory name of a module.
  static std::string SerialText(uint32_t serial);

private:
  std::string base_path;
};
