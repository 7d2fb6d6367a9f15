// Small blocking socket helpers for the transport tests (loopback only).
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace simtest {

inline int tcpConnect(const std::string &ip, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline void writeAll(int fd, const std::vector<uint8_t> &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return;
    done += size_t(n);
  }
}

// Reads until n bytes arrived, the peer closed, or the time ran out.
// closed is set when the peer closed or reset the connection.
inline std::vector<uint8_t> readBytes(int fd, size_t n, std::chrono::milliseconds timeout, bool *closed = nullptr) {
  std::vector<uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (closed)
    *closed = false;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left.count())) <= 0)
      break;
    uint8_t buf[256];
    ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (got <= 0) {
      if (closed)
        *closed = true;
      break;
    }
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

} // namespace simtest
