#include "modulesim/TcpTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace modulesim {

TcpTransport::TcpTransport(SimModule &module, TcpOptions options) : module_(module), options_(std::move(options)) {
  in_addr a{};
  if (inet_pton(AF_INET, options_.ip.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) {
    error_ = "not a loopback address: " + options_.ip;
    return;
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0 || !openListener()) {
    if (error_.empty())
      error_ = std::strerror(errno);
    if (wakeFd_ >= 0)
      close(wakeFd_);
    wakeFd_ = -1;
    return;
  }
  module_.setSink([this](const Packet &p) { send(p); });
  module_.setPresenceListener([this](bool, uint32_t) {
    presenceChanged_ = true;
    poke();
  });
  thread_ = std::thread([this] { loop(); });
}

TcpTransport::~TcpTransport() {
  if (!thread_.joinable())
    return;
  module_.setPresenceListener(nullptr);
  module_.setSink(nullptr);
  stop_ = true;
  poke();
  thread_.join();
  closeClient();
  closeListener();
  close(wakeFd_);
}

uint32_t TcpTransport::ipv4() const {
  in_addr a{};
  inet_pton(AF_INET, options_.ip.c_str(), &a);
  return a.s_addr;
}

void TcpTransport::poke() {
  uint64_t one = 1;
  if (wakeFd_ >= 0)
    (void)!write(wakeFd_, &one, sizeof one);
}

bool TcpTransport::openListener() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  uint16_t bound = port_.load();
  sa.sin_port = htons(bound ? bound : options_.port);
  inet_pton(AF_INET, options_.ip.c_str(), &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
    error_ = std::string("cannot listen on ") + options_.ip + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  listenFd_ = fd;
  return true;
}

void TcpTransport::closeListener() {
  if (listenFd_ >= 0)
    close(listenFd_);
  listenFd_ = -1;
}

void TcpTransport::closeClient() {
  int fd;
  {
    std::lock_guard<std::mutex> g(writeLock_);
    fd = clientFd_;
    clientFd_ = -1;
  }
  if (fd < 0)
    return;
  // A rebooting module does not say goodbye: reset the connection.
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
  assembler_.reset();
  module_.linkClosed();
}

bool TcpTransport::hostConnected() const {
  std::lock_guard<std::mutex> g(writeLock_);
  return clientFd_ >= 0;
}

void TcpTransport::send(const Packet &packet) {
  std::vector<uint8_t> bytes = packet.bytes();
  std::lock_guard<std::mutex> g(writeLock_);
  if (clientFd_ < 0)
    return; // nobody listens: the packet is lost, as on a real link
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(clientFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return; // the send time-out bounds this; the reader notices a dead host
    done += size_t(n);
  }
}

void TcpTransport::loop() {
  uint8_t buffer[4096];
  while (!stop_) {
    if (presenceChanged_.exchange(false)) {
      if (!module_.online()) {
        closeClient();
        closeListener();
      } else if (listenFd_ < 0 && !openListener()) {
        // The port was taken meanwhile; try again when the module next changes.
      }
    }
    pollfd fds[3];
    int n = 0;
    fds[n++] = {wakeFd_, POLLIN, 0};
    int listenAt = -1, clientAt = -1;
    if (listenFd_ >= 0) {
      listenAt = n;
      fds[n++] = {listenFd_, POLLIN, 0};
    }
    int client;
    {
      std::lock_guard<std::mutex> g(writeLock_);
      client = clientFd_;
    }
    if (client >= 0) {
      clientAt = n;
      fds[n++] = {client, POLLIN, 0};
    }
    if (poll(fds, nfds_t(n), -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      (void)!read(wakeFd_, &v, sizeof v);
    }
    // The host's bytes first, to the end of what is there: a host that
    // closed its link and connected again at once is then accepted below.
    if (clientAt >= 0 && (fds[clientAt].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = 0;
      for (int reads = 0; reads < 64 && (got = recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0; ++reads)
        for (ssize_t i = 0; i < got; ++i)
          if (auto p = assembler_.add(buffer[i]))
            module_.receive(*p);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        closeClient();
        client = -1;
      }
    }
    if (listenAt >= 0 && (fds[listenAt].revents & POLLIN)) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        ++accepted_;
        if (client >= 0 || module_.faults().linkClaimed) {
          close(fd); // the link belongs to another host
        } else {
          int on = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          timeval tv{1, 0};
          setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
          std::lock_guard<std::mutex> g(writeLock_);
          clientFd_ = fd;
        }
      }
    }
  }
}

} // namespace modulesim
