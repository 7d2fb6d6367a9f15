// The TCP client stream. get hands out bytes from a receive buffer and, when
// that is empty, waits a short bounded time in poll() for the socket to become
// readable: the link's reader polls get in a loop and relies on it to wait.
// A connection that is reset, or that the peer closes in order, is
// reconnected; only a failed reconnect is reported.
//
// The reader and the writer thread share the descriptor and either may
// reconnect: they use it under a shared lock, and a reconnect takes the lock
// exclusively, so a descriptor is never closed (and its number reused) while
// the other side is in a call on it.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <shared_mutex>
#include <sys/socket.h>
#include <unistd.h>

#include "quillwork/cStream.h"
#include "quillwork/cTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnected = 1u;
// How long a connect may take before it counts as refused.
constexpr int kConnectTimeoutMs = 3000;
constexpr size_t kRxSize = 4096;

struct SocketRecord {
  uint16_t port;
  sockaddr_in address;
  int fd = -1;                         // changed only under the exclusive lock
  std::atomic<uint32_t> flags{0};      // bit 0: connected
  std::atomic<uint32_t> generation{0}; // counts reconnects
  std::shared_mutex lock;
  uint16_t check = kSocketCheck;
  // Receive buffer (reader thread only).
  uint8_t rx[kRxSize];
  size_t rxCount = 0;
  size_t rxPosition = 0;
};

SocketRecord *sRecord(void *reference) {
  SocketRecord *record = static_cast<SocketRecord *>(reference);
  return record != nullptr && record->check == kSocketCheck ? record : nullptr;
}

bool sConnected(const SocketRecord *r) { return (r->flags & kConnected) != 0; }

// Closes the socket (exclusive lock held).
void sClose(SocketRecord *r) {
  r->flags &= ~kConnected;
  if (r->fd >= 0) {
    close(r->fd);
    r->fd = -1;
  }
}

cErr sConnectErr(int error) {
  switch (error) {
  case EWOULDBLOCK:
  case ECONNRESET:
  case ETIMEDOUT:
  case ECONNREFUSED:
  case EINPROGRESS:
  case ENETUNREACH:
  case EHOSTUNREACH: return cErrConnection;
  default: return cErrIO;
  }
}

// Opens and connects a new socket (exclusive lock held). The connect itself
// is bounded: a host that never answers fails after kConnectTimeoutMs.
cErr sConnectLocked(SocketRecord *r) {
  if (r->fd >= 0) {
    sClose(r);
    cTime_MSSleep(10);
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return cErrIO;
  if (connect(fd, reinterpret_cast<const sockaddr *>(&r->address), sizeof r->address) != 0) {
    int error = errno;
    if (error != EINPROGRESS) {
      close(fd);
      return sConnectErr(error);
    }
    pollfd p = {fd, POLLOUT, 0};
    int ready;
    do
      ready = poll(&p, 1, kConnectTimeoutMs);
    while (ready < 0 && errno == EINTR);
    socklen_t len = sizeof error;
    if (ready == 0)
      error = ETIMEDOUT;
    else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
      error = errno;
    if (error != 0) {
      close(fd);
      return sConnectErr(error);
    }
  }
  r->fd = fd;
  r->flags |= kConnected;
  r->generation++;
  int on = 1;
  timeval noTimeout = {0, 0};
  linger lingerNow = {1, 0}; // a close resets the connection at once
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerNow, sizeof lingerNow) != 0) {
    sClose(r);
    return cErrIO;
  }
  return cErrNone;
}

// Reconnects unless the other thread already did since generation seen was
// read; then there is nothing to do.
cErr sReconnect(SocketRecord *r, uint32_t seen) {
  std::unique_lock<std::shared_mutex> guard(r->lock);
  if (r->generation != seen && sConnected(r))
    return cErrNone;
  r->flags &= ~kConnected;
  return sConnectLocked(r);
}

bool sResetError(int error) { return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT; }

cErr sSocketGet(uint8_t *byte, void *reference) {
  SocketRecord *r = sRecord(reference);
  if (r == nullptr || byte == nullptr)
    return cErrParam;
  if (r->rxPosition < r->rxCount) {
    *byte = r->rx[r->rxPosition++];
    return cErrNone;
  }
  if (!sConnected(r))
    return cErrConnection;
  uint32_t seen;
  ssize_t n;
  int error = 0;
  {
    std::shared_lock<std::shared_mutex> guard(r->lock);
    seen = r->generation;
    if (r->fd < 0)
      return cErrConnection;
    pollfd p = {r->fd, POLLIN, 0};
    int ready = poll(&p, 1, cSTREAM_GET_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR))
      return cErrNotReady;
    if (ready < 0)
      return cErrConnection;
    n = recv(r->fd, r->rx, sizeof r->rx, MSG_DONTWAIT);
    if (n < 0)
      error = errno;
  }
  if (n > 0) {
    r->rxCount = static_cast<size_t>(n);
    r->rxPosition = 1;
    *byte = r->rx[0];
    return cErrNone;
  }
  if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR))
    return cErrNotReady;
  // n == 0 is the peer closing the connection in order: it has gone away (a
  // module that rebooted, a server that stopped) just as surely as with a
  // reset, and reporting "no byte yet" forever would make it look connected.
  if (n == 0 || sResetError(error)) {
    cErr err = sReconnect(r, seen);
    return err == cErrNone ? cErrNotReady : err;
  }
  return cErrConnection;
}

// Waits up to the retry delay for room to send (shared lock held).
void sAwaitWritable(int fd) {
  pollfd p = {fd, POLLOUT, 0};
  poll(&p, 1, cSOCKET_RETRY_DELAY_MS);
}

cErr sSocketWrite(const uint8_t *data, size_t length, void *reference) {
  SocketRecord *r = sRecord(reference);
  if (r == nullptr || (data == nullptr && length > 0))
    return cErrParam;
  if (!sConnected(r))
    return cErrConnection;
  size_t sent = 0;
  int attempts = 0;
  while (sent < length) {
    bool busy = false;
    uint32_t seen;
    ssize_t n;
    int error = 0;
    {
      std::shared_lock<std::shared_mutex> guard(r->lock);
      seen = r->generation;
      n = r->fd >= 0 ? send(r->fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
      if (n < 0)
        error = r->fd >= 0 ? errno : ENOTCONN;
    }
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      if (n > 0)
        attempts = 1; // progress: the count starts again
      else
        busy = true;
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
      busy = true;
    } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
      cErr err = sReconnect(r, seen);
      if (err != cErrNone)
        return err;
      busy = true;
    } else {
      return cErrIO;
    }
    if (busy)
      attempts++;
    if (sent == length)
      break;
    if (attempts >= cSOCKET_MAX_SEND_RETRY)
      return cErrTimeout; // the peer takes nothing: give up rather than block the writer
    // Instead of a blind sleep, wait at most the retry delay for room.
    std::shared_lock<std::shared_mutex> guard(r->lock);
    if (r->fd >= 0)
      sAwaitWritable(r->fd);
    else
      cTime_MSSleep(cSOCKET_RETRY_DELAY_MS);
  }
  return cErrNone;
}

cErr sSocketPut(uint8_t byte, void *reference) { return sSocketWrite(&byte, 1, reference); }

cErr sSocketDelete(void *reference) {
  SocketRecord *r = sRecord(reference);
  if (r == nullptr)
    return cErrParam;
  {
    std::unique_lock<std::shared_mutex> guard(r->lock);
    sClose(r);
  }
  r->check = 0;
  delete r;
  return cErrNone;
}

} // namespace

cErr cStream_CreateSocket(uint32_t address, uint16_t port, cStream **stream) {
  if (stream == nullptr)
    return cErrResource;
  *stream = nullptr;
  SocketRecord *r = new (std::nothrow) SocketRecord;
  if (r == nullptr)
    return cErrResource;
  r->port = port;
  r->address.sin_family = AF_INET;
  r->address.sin_port = htons(port);
  r->address.sin_addr.s_addr = address;
  cErr err;
  {
    std::unique_lock<std::shared_mutex> guard(r->lock);
    err = sConnectLocked(r);
  }
  if (err == cErrNone)
    *stream = cStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, r);
  if (*stream == nullptr) {
    sSocketDelete(r);
    return cErrResource;
  }
  return cErrNone;
}
