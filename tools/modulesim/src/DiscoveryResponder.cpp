#include "modulesim/DiscoveryResponder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace modulesim {

DiscoveryResponder::DiscoveryResponder() = default;

DiscoveryResponder::~DiscoveryResponder() {
  if (thread_.joinable()) {
    stop_ = true;
    uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  if (fd_ >= 0)
    close(fd_);
  if (netlinkFd_ >= 0)
    close(netlinkFd_);
  if (wakeFd_ >= 0)
    close(wakeFd_);
}

void DiscoveryResponder::add(TcpTransport &transport) {
  std::lock_guard<std::mutex> g(lock_);
  transports_.push_back(&transport);
}

std::vector<uint8_t> DiscoveryResponder::replyFor(uint8_t moduleAddress, uint16_t tcpPort, uint32_t serial,
                                                  uint8_t model) {
  std::vector<uint8_t> r(16, 0);
  r[1] = moduleAddress;
  r[2] = uint8_t(tcpPort);
  r[3] = uint8_t(tcpPort >> 8);
  for (int i = 0; i < 4; ++i)
    r[4 + i] = uint8_t(serial >> (8 * i));
  r[12] = model;
  return r;
}

bool inPrivateNetworkNamespace() {
  // A namespace of our own: `unshare --net` around a test program, or
  // `modulesim --netns`, leave the process in another network namespace than
  // its parent. When in doubt, no.
  struct stat mine {
  }, parent{};
  std::string parentNs = "/proc/" + std::to_string(getppid()) + "/ns/net";
  if (stat("/proc/self/ns/net", &mine) != 0 || stat(parentNs.c_str(), &parent) != 0)
    return false;
  return mine.st_ino != parent.st_ino || mine.st_dev != parent.st_dev;
}

namespace {
// The IPv4 addresses of this machine's interfaces that are up.
std::vector<in_addr> localAddresses(bool multicastOnly) {
  std::vector<in_addr> out;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0)
    return out;
  for (ifaddrs *i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
      continue;
    if (multicastOnly && !(i->ifa_flags & (IFF_MULTICAST | IFF_LOOPBACK)))
      continue;
    out.push_back(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr);
  }
  freeifaddrs(list);
  return out;
}
} // namespace

int DiscoveryResponder::joinGroup() {
  int joined = 0;
  for (in_addr a : localAddresses(true)) {
    if (std::find(joined_.begin(), joined_.end(), a.s_addr) != joined_.end()) {
      ++joined;
      continue;
    }
    ip_mreq mreq{};
    inet_pton(AF_INET, "232.2.2.2", &mreq.imr_multiaddr);
    mreq.imr_interface = a;
    if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0) {
      joined_.push_back(a.s_addr);
      ++joined;
    }
  }
  return joined;
}

bool DiscoveryResponder::start() {
  if (thread_.joinable())
    return true;
  if (!inPrivateNetworkNamespace()) {
    error_ = "the discovery responder runs only inside a private network namespace";
    return false;
  }
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0 || wakeFd_ < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kDiscoveryRequestPort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    error_ = std::string("cannot bind the discovery port: ") + std::strerror(errno);
    return false;
  }
  // Join on every interface of the namespace: the host sends its request
  // through each of its interfaces (or through the loopback one). Addresses
  // that appear later are joined when the kernel announces them.
  netlinkFd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (netlinkFd_ >= 0) {
    sockaddr_nl nl{};
    nl.nl_family = AF_NETLINK;
    nl.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK; // addresses, and interfaces going up
    if (bind(netlinkFd_, reinterpret_cast<sockaddr *>(&nl), sizeof nl) != 0) {
      close(netlinkFd_);
      netlinkFd_ = -1;
    }
  }
  if (joinGroup() == 0) {
    error_ = std::string("cannot join the discovery group: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { loop(); });
  return true;
}

void DiscoveryResponder::loop() {
  while (!stop_) {
    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}, {netlinkFd_, POLLIN, 0}};
    if (poll(fds, netlinkFd_ >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (netlinkFd_ >= 0 && (fds[2].revents & POLLIN)) {
      char drain[4096];
      while (recv(netlinkFd_, drain, sizeof drain, 0) > 0) {
      }
      joinGroup(); // an address came or went
    }
    if (!(fds[1].revents & POLLIN))
      continue;
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n < 1 || buf[0] != 0x01)
      continue; // not a discovery request
    bool local = (ntohl(from.sin_addr.s_addr) >> 24) == 127;
    for (in_addr a : localAddresses(false))
      local = local || a.s_addr == from.sin_addr.s_addr;
    if (!local)
      continue; // answers never leave the machine
    ++requests_;
    std::vector<TcpTransport *> ts;
    {
      std::lock_guard<std::mutex> g(lock_);
      ts = transports_;
    }
    for (TcpTransport *t : ts) {
      SimModule &m = t->module();
      if (!m.online())
        continue;
      std::vector<uint8_t> r = replyFor(m.address(), t->port(), m.presentedSerial(), m.model());
      // From the module's own address, so that the host learns where it is.
      int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (out < 0)
        continue;
      sockaddr_in src{};
      src.sin_family = AF_INET;
      src.sin_addr.s_addr = t->ipv4();
      sockaddr_in dst = from;
      dst.sin_port = htons(kDiscoveryReplyPort);
      if (bind(out, reinterpret_cast<sockaddr *>(&src), sizeof src) == 0)
        sendto(out, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst);
      close(out);
    }
  }
}

} // namespace modulesim
