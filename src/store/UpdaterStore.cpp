#include "store/UpdaterStore.h"

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>

#include "app/BuildPath.h"
#include "app/Log.h"
#include "quillwork/cDirectory.h"
#include "store/AtomicFile.h"

namespace {

struct ListedEntry {
  std::string path; // directory path joined with the entry name
  std::string name; // the entry's own name
  bool is_directory = false;
};

std::string _last_component(const std::string &path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string _directory_part(const std::string &path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

// Makes sure a store directory exists; a file in its place is an error.
void _ensure_directory(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode))
      throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  cErr err = cDirectory_Ensure(path.c_str(), 0755);
  if (err != cErrNone)
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(int(err)));
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

struct FindContext {
  const std::string *text = nullptr;
  bool found = false;
  ListedEntry entry;
};

// Matches on the entry's own name, not on its full path: the directory being
// listed may itself have the searched text in its path. "." and ".." are
// never a device or a stored file.
bool _find_item(const cDirectoryListData *data, void *reference) {
  auto *context = static_cast<FindContext *>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path, data->isDirectory,
           int(data->size), context->text->c_str());
  std::string name = _last_component(data->path);
  if (name == "." || name == "..")
    return true;
  if (name.find(*context->text) == std::string::npos)
    return true;
  context->found = true;
  context->entry = {data->path, name, data->isDirectory};
  return false;
}

// Searches a directory for the first entry whose name contains text.
bool _find_in(const std::string &directory, const std::string &text, ListedEntry *entry) {
  if (text.empty())
    return false;
  FindContext context;
  context.text = &text;
  if (cDirectory_List(directory.c_str(), _find_item, &context) != cErrNone)
    return false;
  if (context.found && entry)
    *entry = context.entry;
  return context.found;
}

bool _find_items(const cDirectoryListData *data, void *reference) {
  auto *entries = static_cast<std::vector<ListedEntry> *>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, data->isDirectory, int(data->size));
  std::string name = _last_component(data->path);
  if (!name.empty() && name[0] != '.')
    entries->push_back({data->path, name, data->isDirectory});
  return true;
}

} // namespace

// ---- UpdaterStoreItem ----

UpdaterStoreItem::UpdaterStoreItem(const std::string &base, const std::string &entry_name, store_item_t entry_kind)
    : base_path(base), name(entry_name), kind(entry_kind) {
  settings.Load(BuildPath(base_path, name, KeyValueStore::DEFAULT_FILENAME));
}

std::string UpdaterStoreItem::Path() const { return BuildPath(base_path, name); }

bool UpdaterStoreItem::FileExists(const std::string &file_name) const {
  bool found = _find_in(Path(), file_name, nullptr);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", file_name.c_str());
  return found;
}

cErr UpdaterStoreItem::WriteFile(const std::string &file_name, const void *bytes, size_t length) const {
  if (bytes == nullptr)
    return cErrNotFound;
  return store_write_atomic(BuildPath(base_path, name, file_name), bytes, length);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string &file_name) const {
  std::string path = BuildPath(base_path, name, file_name);
  if (!BirdFile::VerifyFile(path))
    throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path);
}

// ---- UpdaterStore ----

UpdaterStore::UpdaterStore(const std::string &root) : base_path(root) { _ensure_directory(base_path); }

std::string UpdaterStore::SerialText(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(SerialText(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string &name) {
  // A device is one directory right below the root.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    throw std::runtime_error("UpdaterStore: invalid device name [" + name + "]");
  _ensure_directory(BuildPath(base_path, name));
  return UpdaterStoreItem(base_path, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem *item) { return FindDevice(SerialText(serial), item); }

bool UpdaterStore::FindDevice(const std::string &name, UpdaterStoreItem *item) {
  ListedEntry entry;
  bool found = _find_in(base_path, name, &entry);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name.c_str());
  if (found && item)
    *item = UpdaterStoreItem(_directory_part(entry.path), entry.name,
                             entry.is_directory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem> &items) {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device))
    return true;
  // List first, then load each item's settings, so that nothing is created in
  // a directory while it is being listed.
  std::vector<ListedEntry> entries;
  cDirectory_List(device.Path().c_str(), _find_items, &entries);
  for (const ListedEntry &e : entries)
    items.emplace_back(_directory_part(e.path), e.name, e.is_directory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}
