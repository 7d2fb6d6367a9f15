#include "store/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> _temp_counter{0};

std::string _directory_of(const std::string &path) {
  size_t cut = path.find_last_of('/');
  if (cut == std::string::npos)
    return ".";
  if (cut == 0)
    return "/";
  return path.substr(0, cut);
}

bool _write_all(int fd, const void *data, size_t length) {
  const char *p = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

// A download or a save cut short by Ctrl-C leaves its temporary file (up to
// the size of a build) behind. Those of our own naming whose writing process
// no longer runs are removed; a running writer's file (this process's too) is
// never touched.
void _remove_stale_temporaries(const std::string &directory) {
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr)
    return;
  const size_t prefix = strlen(STORE_TEMP_PREFIX);
  while (struct dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    if (strncmp(name, STORE_TEMP_PREFIX, prefix) != 0)
      continue;
    char *end = nullptr;
    errno = 0;
    long pid = strtol(name + prefix, &end, 10);
    if (errno != 0 || end == name + prefix || *end != '-' || pid <= 0 || pid == getpid())
      continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
      continue; // running (or not ours to ask about): keep it
    unlinkat(dirfd(dir), name, 0);
  }
  closedir(dir);
}

} // namespace

cErr store_write_atomic(const std::string &path, const void *data, size_t length, int *sys_error) {
  if (sys_error)
    *sys_error = 0;
  const std::string directory = _directory_of(path);
  _remove_stale_temporaries(directory);
  std::string temp;
  int fd = -1;
  // O_EXCL with a fresh name per attempt: two writers never share a temporary.
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = directory + "/" + STORE_TEMP_PREFIX + std::to_string(getpid()) + "-" +
           std::to_string(_temp_counter.fetch_add(1));
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  if (fd < 0) {
    if (sys_error)
      *sys_error = errno;
    return cErrNotFound;
  }
  bool ok = (length == 0 || (data != nullptr && _write_all(fd, data, length))) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    if (sys_error)
      *sys_error = saved;
    return cErrIO;
  }
  // Make the rename itself durable; a failure here loses nothing already written.
  int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return cErrNone;
}
