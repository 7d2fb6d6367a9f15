#include "netns.h"

#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qwtest {

bool IsolateNetwork() {
  if (unshare(CLONE_NEWNET) != 0)
    return false;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0)
    return false;
  struct ifreq request;
  memset(&request, 0, sizeof request);
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

} // namespace qwtest
