// Settings file parser: loads the input as a settings file, saves what was
// read and loads it again. The entries must survive the round trip, except a
// key that begins with "#", which is written back as a comment line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

#include "store/KeyValueStore.h"

namespace {

std::string _dir;

void _remove_dir() {
  // What the runs leave: the input, the output, a temporary file of a Save.
  unlink((_dir + "/in").c_str());
  unlink((_dir + "/out").c_str());
  if (DIR *d = opendir(_dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] == '.' && e->d_name[1] == 't')
        unlink((_dir + "/" + e->d_name).c_str());
    closedir(d);
  }
  rmdir(_dir.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Save flushes to the disk: on tmpfs that costs nothing.
  char shm[] = "/dev/shm/settings_fuzz.XXXXXX";
  char tmp[] = "/tmp/settings_fuzz.XXXXXX";
  char *pattern = mkdtemp(shm);
  if (pattern == nullptr)
    pattern = mkdtemp(tmp);
  if (pattern == nullptr)
    abort();
  _dir = pattern;
  atexit(_remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input = _dir + "/in";
  const std::string output = _dir + "/out";
  FILE *f = fopen(input.c_str(), "wb");
  if (f == nullptr)
    abort();
  fwrite(data, 1, size, f);
  fclose(f);

  KeyValueStore store(input);
  for (const auto &[key, value] : store.Entries()) {
    (void)store.GetInt(key);
    (void)store.GetHex(key);
    (void)store.GetDouble(key);
    (void)store.GetBOOL(key);
    if (key.empty() || key.find('=') != std::string::npos || value.find('\n') != std::string::npos)
      abort(); // the parser produced an entry that cannot be written back
  }
  store.Save(output);
  KeyValueStore again(output);
  for (const auto &[key, value] : store.Entries()) {
    if (key[0] == '#')
      continue;
    const char *read = again[key];
    if (read == nullptr || value != read)
      abort();
  }
  unlink(output.c_str());
  return 0;
}
