#include "tcp_module.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qwemu {

uint32_t TcpModule::loopbackAddress() { return htonl(INADDR_LOOPBACK); }

TcpModule::TcpModule(ModulePeer &peer) : peer_(peer) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    close(fd);
    return;
  }
  listener_ = fd;
  port_ = ntohs(a.sin_port);
  peer_.setSink([this](const uint8_t *data, size_t length) { send(data, length); });
  thread_ = std::thread([this] { run(); });
}

TcpModule::~TcpModule() {
  running_ = false;
  if (thread_.joinable())
    thread_.join();
  peer_.setSink(nullptr);
  std::lock_guard<std::mutex> g(sendLock_);
  if (connection_ >= 0)
    close(connection_);
  if (listener_ >= 0)
    close(listener_);
}

void TcpModule::send(const uint8_t *data, size_t length) {
  std::lock_guard<std::mutex> g(sendLock_);
  while (connection_ >= 0 && length > 0) {
    ssize_t n = ::send(connection_, data, length, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    data += n;
    length -= (size_t)n;
  }
}

void TcpModule::closeConnection() { closeRequested_ = true; }
void TcpModule::stopListening() { stopListening_ = true; }

void TcpModule::run() {
  uint8_t buffer[4096];
  while (running_) {
    if (stopListening_) {
      std::lock_guard<std::mutex> g(sendLock_);
      if (listener_ >= 0) {
        close(listener_);
        listener_ = -1;
      }
    }
    if (closeRequested_.exchange(false)) {
      std::lock_guard<std::mutex> g(sendLock_);
      if (connection_ >= 0) {
        shutdown(connection_, SHUT_RDWR);
        close(connection_);
        connection_ = -1;
      }
    }
    pollfd p[2];
    int n = 0, listenerIndex = -1, connectionIndex = -1;
    {
      std::lock_guard<std::mutex> g(sendLock_);
      if (listener_ >= 0) {
        listenerIndex = n;
        p[n++] = {listener_, POLLIN, 0};
      }
      if (connection_ >= 0) {
        connectionIndex = n;
        p[n++] = {connection_, POLLIN, 0};
      }
    }
    if (poll(p, n, 20) <= 0)
      continue;
    if (listenerIndex >= 0 && (p[listenerIndex].revents & POLLIN)) {
      int c = accept4(p[listenerIndex].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> g(sendLock_);
        if (connection_ >= 0)
          close(connection_);
        connection_ = c;
        connections_++;
      }
      continue; // the connection's poll entry may be stale now
    }
    if (connectionIndex >= 0 && (p[connectionIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = recv(p[connectionIndex].fd, buffer, sizeof buffer, 0);
      if (got > 0) {
        peer_.receive(buffer, (size_t)got);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        std::lock_guard<std::mutex> g(sendLock_);
        if (connection_ == p[connectionIndex].fd) {
          close(connection_);
          connection_ = -1;
        }
      }
    }
  }
}

} // namespace qwemu
