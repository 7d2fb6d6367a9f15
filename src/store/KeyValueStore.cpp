#include "store/KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/Log.h"
#include "quillwork/cFile.h"
#include "store/AtomicFile.h"

namespace {

// Lines longer than this end the reading of a file.
constexpr size_t LINE_BUFFER_SIZE = 2048;

bool _blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// atoi's reading (leading blanks, sign, leading digits) without its undefined
// behaviour on overflow: out-of-range values are clamped.
int _to_int(const std::string &text) {
  long v = strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX)
    return INT_MAX;
  if (v < INT_MIN)
    return INT_MIN;
  return int(v);
}

} // namespace

std::string KeyValueStore::TimeText() {
  time_t now = time(nullptr);
  char text[64] = {};
  if (ctime_r(&now, text) == nullptr)
    return std::string();
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
    text[--n] = '\0';
  return text;
}

// A line of fewer than 3 characters (line end included) and a line whose very
// first character is "#" hold no entry. A line without "=", and one whose key
// is empty ("=value"), are malformed and ignored: a key needs its "=", and an
// empty key could not be told apart from garbage when written back.
bool KeyValueStore::ParseLine(const char *line, std::string &key, std::string &value) {
  if (line == nullptr)
    return false;
  const size_t n = strlen(line);
  if (n < 3 || line[0] == '#')
    return false;
  const char *end = line + n;
  const char *p = line;
  while (p < end && _blank(*p))
    ++p;
  const char *equals = static_cast<const char *>(memchr(p, '=', size_t(end - p)));
  if (equals == nullptr)
    return false;
  const char *key_end = equals;
  while (key_end > p && _blank(key_end[-1]))
    --key_end;
  if (key_end == p)
    return false;
  const char *v = equals + 1;
  while (v < end && _blank(*v))
    ++v;
  const char *v_end = end;
  while (v_end > v && _blank(v_end[-1]))
    --v_end;
  key.assign(p, key_end);
  value.assign(v, v_end);
  return true;
}

void KeyValueStore::Load(const std::string &file_path) {
  cFile file = cFile_Open(file_path.c_str(), cFILE_READ);
  if (file == nullptr) {
    int error = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", file_path.c_str(), error);
    // An empty path names no file: creating the default one in the current
    // directory instead would put settings where nobody looks for them.
    if (file_path.empty())
      return;
    Add(KEY_CREATED_TIME, TimeText());
    Save(file_path);
    return;
  }
  path = file_path;
  dirty = false;
  char line[LINE_BUFFER_SIZE];
  size_t length = 0;
  std::string key, value;
  // Reading stops at the end of the file and at a read error. A line that
  // does not fit the buffer is read to its end and dropped alone: stopping
  // there would lose every key after it at the next save.
  cErr read;
  while ((read = cFile_ReadLine(file, line, sizeof line, &length)) == cErrNone || read == cErrOverrun) {
    if (read == cErrOverrun) {
      size_t dropped = length;
      while ((read = cFile_ReadLine(file, line, sizeof line, &length)) == cErrOverrun)
        dropped += length;
      dropped += length;
      Log::log(DEBUG_Attributes, "Attibutes: skipping a line of %zu characters in '%s'\n", dropped, file_path.c_str());
      if (read != cErrNone)
        break;
      continue;
    }
    if (ParseLine(line, key, value))
      entries[key] = value;
  }
  cFile_Close(&file);
}

void KeyValueStore::Save(const std::string &file_path) {
  if (!file_path.empty()) {
    path = file_path;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
  }
  if (dirty)
    entries[KEY_UPDATED_TIME] = TimeText();
  std::string text;
  for (const auto &[key, value] : entries) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  int error = 0;
  cErr result = store_write_atomic(path, text.data(), text.size(), &error);
  if (result == cErrNotFound) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n", path.c_str(),
             error);
    return;
  }
  if (result != cErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error (%d) writing attributes file: '%s' (%d)\n", result, path.c_str(),
             error);
    return;
  }
  dirty = false;
}

bool KeyValueStore::Add(const std::string &key, const std::string &value) {
  std::string &stored = entries[key];
  if (stored != value) {
    stored = value;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Add(const std::string &key, const char *value) {
  return Add(key, std::string(value != nullptr ? value : ""));
}

bool KeyValueStore::Add(const std::string &key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const std::string &key, double value) {
  char text[512];
  snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string &key, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore &other) {
  if (&other == this)
    return true;
  for (const auto &[key, value] : other.entries)
    entries[key] = value;
  if (!other.entries.empty())
    dirty = true;
  return true;
}

void KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
}

const std::string *KeyValueStore::nonEmpty(const std::string &key) const {
  auto it = entries.find(key);
  if (it == entries.end() || it->second.empty())
    return nullptr;
  return &it->second;
}

int KeyValueStore::GetInt(const std::string &key, int default_value) const {
  const std::string *v = nonEmpty(key);
  return v ? _to_int(*v) : default_value;
}

uint32_t KeyValueStore::GetHex(const std::string &key, uint32_t default_value) const {
  const std::string *v = nonEmpty(key);
  return v ? uint32_t(strtoul(v->c_str(), nullptr, 16)) : default_value;
}

bool KeyValueStore::GetBOOL(const std::string &key, bool default_value) const {
  const std::string *v = nonEmpty(key);
  return v ? _to_int(*v) != 0 : default_value;
}

double KeyValueStore::GetDouble(const std::string &key, double default_value) const {
  const std::string *v = nonEmpty(key);
  return v ? atof(v->c_str()) : default_value;
}

std::string KeyValueStore::GetString(const std::string &key, const char *default_value) const {
  auto it = entries.find(key);
  if (it != entries.end())
    return it->second;
  return default_value != nullptr ? default_value : "";
}

const char *KeyValueStore::operator[](const std::string &key) const {
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second.c_str();
}
