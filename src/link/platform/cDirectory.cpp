#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "quillwork/cDirectory.h"

namespace {

bool isDirectory(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one directory unless it already is one; false on a real failure.
bool makeOne(const std::string &path, mode_t mode) {
  if (isDirectory(path.c_str()))
    return true;
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

void copyOut(char *buffer, size_t size, const char *text) {
  if (buffer == nullptr || size == 0)
    return;
  snprintf(buffer, size, "%s", text ? text : "");
}

} // namespace

cErr cDirectory_BuildPath(char *buffer, size_t size, const char *first, ...) {
  if (buffer == nullptr || size == 0 || first == nullptr)
    return cErrParam;
  std::vector<const char *> parts{first};
  va_list ap;
  va_start(ap, first);
  for (const char *p = va_arg(ap, const char *); p != nullptr; p = va_arg(ap, const char *)) {
    if (parts.size() == cDIRECTORY_MAXCOMPONENTS) {
      va_end(ap);
      return cErrParam;
    }
    parts.push_back(p);
  }
  va_end(ap);
  for (const char *p : parts)
    if (p == buffer)
      return cErrParam;

  size_t used = 0;
  buffer[0] = '\0';
  for (const char *p : parts) {
    bool separator = used > 0 && buffer[used - 1] != '/' && p[0] != '/';
    size_t need = strlen(p) + (separator ? 1 : 0);
    if (used + need + 1 > size)
      return cErrOverrun;
    if (separator)
      buffer[used++] = '/';
    memcpy(buffer + used, p, strlen(p));
    used += strlen(p);
    buffer[used] = '\0';
  }
  return cErrNone;
}

cErr cDirectory_JoinPath(char *buffer, size_t size, const char *directory, const char *name) {
  if (directory == nullptr || name == nullptr)
    return cErrParam;
  return cDirectory_BuildPath(buffer, size, directory, name, nullptr);
}

bool cDirectory_Exists(const char *path) { return path != nullptr && isDirectory(path); }

cErr cDirectory_Ensure(const char *path, mode_t mode) {
  if (path == nullptr || path[0] == '\0')
    return cErrParam;
  if (isDirectory(path))
    return cErrNone;
  std::string full(path);

  // Walk upward to the deepest existing directory.
  std::string prefix = full;
  size_t start = 0;
  for (;;) {
    size_t cut = prefix.find_last_of('/');
    if (cut == std::string::npos) {
      start = 0;
      break;
    }
    prefix.resize(cut);
    if (prefix.empty() || isDirectory(prefix.c_str())) {
      start = cut + 1;
      break;
    }
  }

  // Walk downward creating each missing component.
  cErr result = cErrNone;
  size_t pos = start;
  while (pos < full.size()) {
    size_t next = full.find('/', pos);
    if (next == std::string::npos)
      break; // the last component is made below
    if (next > pos && !makeOne(full.substr(0, next), mode)) {
      result = cErrPermission;
      break;
    }
    pos = next + 1;
  }
  if (!makeOne(full, mode))
    return cErrPermission;
  return result;
}

cErr cDirectory_List(const char *path, cDirectoryListCallback callback, void *reference) {
  if (path == nullptr || callback == nullptr)
    return cErrParam;
  DIR *dir = opendir(path);
  if (dir == nullptr)
    return cErrNotFound;
  char entryPath[2048];
  while (struct dirent *entry = readdir(dir)) {
    if (cDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != cErrNone)
      continue;
    struct stat st;
    if (stat(entryPath, &st) != 0)
      continue;
    cDirectoryListData data{entryPath, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode)};
    if (!callback(&data, reference))
      break;
  }
  closedir(dir);
  return cErrNone;
}

cErr cDirectory_Delete(const char *path) {
  if (path == nullptr || rmdir(path) != 0)
    return cErrUnknown;
  return cErrNone;
}

cErr cDirectory_DeleteTree(const char *path) {
  if (path == nullptr)
    return cErrUnknown;
  DIR *dir = opendir(path);
  if (dir == nullptr)
    return cErrUnknown;
  cErr result = cErrNone;
  while (struct dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
      continue;
    std::string child = std::string(path) + "/" + entry->d_name;
    struct stat st;
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      result = cDirectory_DeleteTree(child.c_str());
    } else if (unlink(child.c_str()) != 0) {
      perror("cDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", child.c_str());
      result = cErrUnknown;
    }
    if (result != cErrNone)
      break;
  }
  closedir(dir);
  if (result != cErrNone)
    return result;
  return cDirectory_Delete(path);
}

cErr cDirectory_CWD(char *buffer, size_t size) {
  if (buffer == nullptr || size == 0 || getcwd(buffer, size) == nullptr)
    return cErrParam;
  return cErrNone;
}

cErr cDirectory_ExecutableFilePath(char *buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return cErrRead;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0)
    return cErrRead;
  buffer[n] = '\0';
  return cErrNone;
}

cErr cDirectory_GetHomeDirectory(char *buffer, size_t size) {
  struct passwd pw;
  struct passwd *found = nullptr;
  char scratch[4096];
  if (getpwuid_r(getuid(), &pw, scratch, sizeof scratch, &found) == 0 && found != nullptr && found->pw_dir != nullptr &&
      found->pw_dir[0] != '\0') {
    copyOut(buffer, size, found->pw_dir);
  } else {
    copyOut(buffer, size, getenv("HOME"));
  }
  return cErrNone;
}
