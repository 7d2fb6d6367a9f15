#include "simpty/Pty.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace simpty {

bool OpenPty(const std::string &linkPath, PtyEnds &ends, std::string &error) {
  char name[256] = {0};
  if (openpty(&ends.master, &ends.slave, name, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    ends.master = ends.slave = -1;
    return false;
  }
  termios t{};
  tcgetattr(ends.slave, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  tcsetattr(ends.slave, TCSANOW, &t);
  fcntl(ends.master, F_SETFD, FD_CLOEXEC);
  fcntl(ends.slave, F_SETFD, FD_CLOEXEC);
  fcntl(ends.master, F_SETFL, fcntl(ends.master, F_GETFL) | O_NONBLOCK);
  ends.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!linkPath.empty()) {
    unlink(linkPath.c_str());
    if (symlink(name, linkPath.c_str()) != 0) {
      error = "cannot link " + linkPath + ": " + std::strerror(errno);
      ClosePty(ends, "");
      return false;
    }
  }
  ends.path = name;
  return true;
}

void ClosePty(PtyEnds &ends, const std::string &linkPath) {
  if (!linkPath.empty())
    unlink(linkPath.c_str());
  for (int *fd : {&ends.master, &ends.slave, &ends.wake}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
}

void WakePty(const PtyEnds &ends) {
  uint64_t one = 1;
  (void)!write(ends.wake, &one, sizeof one);
}

} // namespace simpty
