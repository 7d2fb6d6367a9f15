#include "modulesim/SerialTransport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace modulesim {

SerialTransport::SerialTransport(SimModule &module, std::string linkPath)
    : module_(module), linkPath_(std::move(linkPath)) {
  if (!simpty::OpenPty(linkPath_, pty_, error_)) {
    linkPath_.clear();
    return;
  }
  module_.setSink([this](const Packet &p) { send(p); });
  thread_ = std::thread([this] { loop(); });
}

SerialTransport::~SerialTransport() {
  if (!thread_.joinable())
    return;
  module_.setSink(nullptr);
  stop_ = true;
  simpty::WakePty(pty_);
  thread_.join();
  simpty::ClosePty(pty_, linkPath_);
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
    ssize_t n = write(pty_.master, frame.data() + done, frame.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      return;
    // Nobody drains the port: wait a little for room, but never for long.
    pollfd p{pty_.master, POLLOUT, 0};
    poll(&p, 1, 10);
  }
}

void SerialTransport::loop() {
  uint8_t buffer[512];
  while (!stop_) {
    pollfd fds[2] = {{pty_.wake, POLLIN, 0}, {pty_.master, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[0].revents & POLLIN)
      continue; // stop_ is looked at above
    if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    ssize_t n = read(pty_.master, buffer, sizeof buffer);
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
