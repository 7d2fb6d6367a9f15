#include "imxsim/PtyTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace imxsim {

namespace {
// At most this much is taken from the line at once: with pacing, the boot ROM
// is never more than one chunk's line time behind the host's bytes.
constexpr size_t kChunk = 64;
} // namespace

PtyTransport::PtyTransport(BootRom &rom, unsigned baud, std::string linkPath)
    : rom_(rom), baud_(baud), linkPath_(std::move(linkPath)) {
  if (!simpty::OpenPty(linkPath_, pty_, error_)) {
    linkPath_.clear();
    return;
  }
  rom_.setSink([this](const Answer &a) { send(a); });
  thread_ = std::thread([this] { loop(); });
}

PtyTransport::~PtyTransport() {
  if (!thread_.joinable())
    return;
  rom_.setSink(nullptr);
  stop_ = true;
  simpty::WakePty(pty_);
  thread_.join();
  simpty::ClosePty(pty_, linkPath_);
}

void PtyTransport::pace(std::chrono::steady_clock::time_point &lineFree, size_t bytes) {
  if (baud_ == 0 || bytes == 0)
    return;
  // 8N1: ten bits a byte. Sleeping here holds the line, as a UART would; the
  // deadline carries over so that oversleeping does not add up.
  // A line that was busy until a moment ago stays busy: bytes that waited
  // in the buffers while this thread was late follow on without a gap.
  auto now = std::chrono::steady_clock::now();
  if (now > lineFree + std::chrono::milliseconds(20))
    lineFree = now;
  lineFree += std::chrono::microseconds(uint64_t(bytes) * 10 * 1000000 / baud_);
  std::this_thread::sleep_until(lineFree);
}

void PtyTransport::loop() {
  uint8_t buffer[kChunk];
  while (!stop_) {
    pollfd fds[2] = {{pty_.master, POLLIN, 0}, {pty_.wake, POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[1].revents)
      return;
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(pty_.master, buffer, sizeof buffer);
      if (n > 0) {
        pace(rxFree_, size_t(n)); // the bytes are on the line for this long
        rom_.serialBytes(buffer, size_t(n));
        continue;
      }
    }
    if (fds[0].revents & (POLLHUP | POLLERR)) {
      // The host closed its side: wait for it to come back without spinning.
      pollfd w{pty_.wake, POLLIN, 0};
      if (poll(&w, 1, 50) > 0)
        return;
    }
  }
}

void PtyTransport::send(const Answer &a) {
  std::vector<uint8_t> bytes = a.bytes;
  std::lock_guard<std::mutex> g(writeLock_);
  pace(txFree_, bytes.size());
  const uint8_t *p = bytes.data();
  size_t left = bytes.size();
  for (int stalls = 0; left > 0 && stalls < 1000;) {
    ssize_t n = write(pty_.master, p, left);
    if (n > 0) {
      p += n;
      left -= size_t(n);
      continue;
    }
    // The host reads nothing: its buffer is full. Give it a moment, bounded.
    ++stalls;
    pollfd w{pty_.master, POLLOUT, 0};
    poll(&w, 1, 1);
  }
}

} // namespace imxsim
