#include "usbfs_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "usbfs_channel.h"

namespace qwemu {

namespace {

// Waits are bounded: a thread looks at the stop flag at least this often.
constexpr int kPollMs = 1000;

bool readAll(int fd, void *data, size_t length) {
  auto *p = static_cast<uint8_t *>(data);
  while (length > 0) {
    ssize_t n = recv(fd, p, length, 0); // not read(): umockdev wraps it
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    length -= (size_t)n;
  }
  return true;
}

bool writeAll(int fd, const void *header, size_t headerLength, const std::vector<uint8_t> &data) {
  iovec v[2] = {{const_cast<void *>(header), headerLength}, {const_cast<uint8_t *>(data.data()), data.size()}};
  size_t total = headerLength + data.size(), sent = 0;
  // Partial writes: advance through the two pieces.
  int count = data.empty() ? 1 : 2;
  iovec *iov = v;
  while (sent < total) {
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = (size_t)count;
    ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    sent += (size_t)n;
    size_t k = (size_t)n;
    while (count > 0 && k >= iov->iov_len) {
      k -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + k;
      iov->iov_len -= k;
    }
  }
  return true;
}

// Waits until fd is readable or the stop flag is up; false on stop.
bool waitReadable(int fd, int wakeFd, const std::atomic<bool> &stopping) {
  while (!stopping.load()) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = poll(p, 2, kPollMs);
    if (n < 0 && errno != EINTR)
      return false;
    if (n > 0 && p[1].revents != 0)
      return false;
    if (n > 0 && p[0].revents != 0)
      return true;
  }
  return false;
}

} // namespace

struct UsbfsServer::Connection {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> finished{false};
};

UsbfsServer::UsbfsServer(std::string path, Handler &handler) : path_(std::move(path)), handler_(handler) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    fprintf(stderr, "usbemu: socket path too long: %s\n", path_.c_str());
    return;
  }
  memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  acceptWakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  unlink(path_.c_str());
  if (wakeFd_ < 0 || acceptWakeFd_ < 0 || fd < 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    fprintf(stderr, "usbemu: cannot listen at %s: %s\n", path_.c_str(), strerror(errno));
    if (fd >= 0)
      close(fd);
    return;
  }
  listenFd_ = fd;
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void UsbfsServer::raise(int wakeFd, std::atomic<bool> &flag) {
  flag = true;
  uint64_t one = 1;
  if (wakeFd >= 0 && write(wakeFd, &one, sizeof one) < 0)
    fprintf(stderr, "usbemu: cannot wake a thread: %s\n", strerror(errno));
}

UsbfsServer::~UsbfsServer() {
  stopListening();
  raise(wakeFd_, stopping_);
  std::list<std::unique_ptr<Connection>> all;
  {
    std::lock_guard<std::mutex> g(lock_);
    all.swap(connections_);
  }
  {
    std::lock_guard<std::mutex> g(lock_); // a connection closes its own descriptor under it
    for (auto &c : all)
      if (c->fd >= 0)
        shutdown(c->fd, SHUT_RDWR);
  }
  for (auto &c : all)
    if (c->thread.joinable())
      c->thread.join();
  for (int fd : {wakeFd_, acceptWakeFd_})
    if (fd >= 0)
      close(fd);
}

void UsbfsServer::stopListening() {
  std::lock_guard<std::mutex> g(listenLock_);
  if (listenFd_ < 0)
    return;
  unlink(path_.c_str()); // nobody new connects from here on
  raise(acceptWakeFd_, acceptStopping_);
  if (acceptor_.joinable())
    acceptor_.join();
  close(listenFd_);
  listenFd_ = -1;
}

bool UsbfsServer::hungUp(Client client) {
  pollfd p{client->fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void UsbfsServer::joinFinished() {
  std::list<std::unique_ptr<Connection>> ended;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if ((*it)->finished.load())
        ended.splice(ended.end(), connections_, it);
      it = next;
    }
  }
  for (auto &c : ended)
    c->thread.join();
}

void UsbfsServer::acceptLoop() {
  while (waitReadable(listenFd_, acceptWakeFd_, acceptStopping_)) {
    joinFinished();
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
        continue;
      return; // the listener was shut down
    }
    std::lock_guard<std::mutex> g(lock_);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    Connection &ref = *c;
    connections_.push_back(std::move(c));
    ref.thread = std::thread([this, &ref] { serve(ref); });
  }
}

void UsbfsServer::serve(Connection &c) {
  std::vector<uint8_t> payload;
  while (waitReadable(c.fd, wakeFd_, stopping_)) {
    qwusbfs_request request;
    if (!readAll(c.fd, &request, sizeof request) || request.length > QWUSBFS_MAX_PAYLOAD + sizeof(qwusbfs_urb))
      break;
    payload.resize(request.length);
    if (request.length > 0 && !readAll(c.fd, payload.data(), payload.size()))
      break;
    Reply reply = handler_.request(&c, request.request, payload);
    qwusbfs_reply header{reply.result, reply.error, (uint32_t)reply.data.size(), 0};
    if (!writeAll(c.fd, &header, sizeof header, reply.data))
      break;
  }
  handler_.closed(&c);
  {
    // Closed here, not when the thread is joined: the connections of a
    // device that left the bus are joined only when it goes.
    std::lock_guard<std::mutex> g(lock_);
    close(c.fd);
    c.fd = -1;
  }
  c.finished = true;
}

} // namespace qwemu
