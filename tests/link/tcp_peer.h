// A TCP peer on 127.0.0.1 for socket stream tests: a listener, and bounded
// helpers to accept, send and receive on the peer's side.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "quillwork/cStream.h"

struct TcpListener {
  int fd = -1;
  uint16_t port = 0;
  explicit TcpListener(int receiveBuffer = 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0) // inherited by accepted connections
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(fd, 8);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~TcpListener() { closeListener(); }
  void closeListener() {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
  // An accepted connection, or -1 after timeoutMs.
  int accept(int timeoutMs = 2000) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
      return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

static inline uint32_t loopbackAddress() { return htonl(INADDR_LOOPBACK); }

// Receives exactly n bytes within timeoutMs (fewer on time-out or close).
static inline std::vector<uint8_t> receiveBytes(int fd, size_t n, int timeoutMs = 2000) {
  std::vector<uint8_t> out;
  for (int waited = 0; out.size() < n && waited < timeoutMs; waited += 10) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10) != 1)
      continue;
    uint8_t buffer[4096];
    ssize_t got = recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
    if (got <= 0)
      break;
    out.insert(out.end(), buffer, buffer + got);
  }
  return out;
}

static inline void sendBytes(int fd, const std::vector<uint8_t> &bytes) {
  ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  (void)sent;
}

// Closes with a reset instead of an orderly close.
static inline void resetConnection(int fd) {
  linger now = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  close(fd);
}

// Reads n bytes through the stream's get, allowing up to maxIdle idle gets;
// every result other than a byte or cErrNotReady ends the read and is stored
// in *error.
static inline std::vector<uint8_t> streamBytes(cStream *s, size_t n, int maxIdle = 40, cErr *error = nullptr) {
  std::vector<uint8_t> out;
  for (int idle = 0; out.size() < n && idle < maxIdle;) {
    uint8_t b;
    cErr e = cStream_Read(s, &b, 1);
    if (e == cErrNone) {
      out.push_back(b);
    } else if (e == cErrNotReady) {
      ++idle;
    } else {
      if (error != nullptr)
        *error = e;
      break;
    }
  }
  return out;
}
