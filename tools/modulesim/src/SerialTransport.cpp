#include "modulesim/SerialTransport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace modulesim {

SerialTransport::SerialTransport(SimModule &module, std::string linkPath)
    : module_(module), linkPath_(std::move(linkPath)) {
  char name[256] = {0};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    error_ = std::string("openpty: ") + std::strerror(errno);
    return;
  }
  // Raw at once: until then the line is cooked (echo, CR to LF, line
  // buffering) and would mangle the first frames.
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  tcsetattr(slave_, TCSANOW, &t);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!linkPath_.empty()) {
    unlink(linkPath_.c_str());
    if (symlink(name, linkPath_.c_str()) != 0) {
      error_ = "cannot link " + linkPath_ + ": " + std::strerror(errno);
      linkPath_.clear();
      close(master_);
      close(slave_);
      close(wakeFd_);
      master_ = slave_ = wakeFd_ = -1;
      return;
    }
  }
  path_ = name;
  module_.setSink([this](const Packet &p) { send(p); });
  thread_ = std::thread([this] { loop(); });
}

SerialTransport::~SerialTransport() {
  if (!thread_.joinable())
    return;
  module_.setSink(nullptr);
  stop_ = true;
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
  thread_.join();
  if (!linkPath_.empty())
    unlink(linkPath_.c_str());
  close(master_);
  close(slave_);
  close(wakeFd_);
}

size_t SerialTransport::badFrames() const {
  std::lock_guard<std::mutex> g(lock_);
  return decoder_.badFrames();
}

void SerialTransport::send(const Packet &packet) {
  std::vector<uint8_t> frame = encodeFrame(packet);
  std::lock_guard<std::mutex> g(lock_);
  size_t done = 0;
  for (int tries = 0; done < frame.size() && tries < 50; ++tries) {
    ssize_t n = write(master_, frame.data() + done, frame.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      return;
    // Nobody drains the port: wait a little for room, but never for long.
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 10);
  }
}

void SerialTransport::loop() {
  uint8_t buffer[512];
  while (!stop_) {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {master_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[0].revents & POLLIN)
      continue; // stop_ is looked at above
    if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) {
      // The slave side is held open here, so a hang-up cannot last; still,
      // never spin on it.
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        poll(nullptr, 0, 50);
      continue;
    }
    std::vector<Packet> packets;
    {
      std::lock_guard<std::mutex> g(lock_);
      for (ssize_t i = 0; i < n; ++i)
        if (auto p = decoder_.add(buffer[i]))
          packets.push_back(std::move(*p));
    }
    for (const Packet &p : packets)
      module_.receive(p);
  }
}

} // namespace modulesim
