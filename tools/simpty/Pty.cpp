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

unsigned LineRate(const PtyEnds &ends) {
  termios t{};
  if (ends.master < 0 || tcgetattr(ends.master, &t) != 0)
    return 0;
  static const struct {
    speed_t code;
    unsigned rate;
  } kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  speed_t code = cfgetospeed(&t);
  for (const auto &r : kRates)
    if (r.code == code)
      return r.rate;
  return 0;
}

void WakePty(const PtyEnds &ends) {
  uint64_t one = 1;
  (void)!write(ends.wake, &one, sizeof one);
}

} // namespace simpty
