#include "imxsim/PtyTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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
  char name[256] = {0};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    error_ = std::string("openpty: ") + std::strerror(errno);
    return;
  }
  // Raw at once, or the line is cooked (echo, CR to LF) until the host sets it.
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  tcsetattr(slave_, TCSANOW, &t);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC); // kept open: a closed slave makes the master hang up
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!linkPath_.empty()) {
    unlink(linkPath_.c_str());
    if (symlink(name, linkPath_.c_str()) != 0) {
      error_ = "cannot link " + linkPath_ + ": " + std::strerror(errno);
      close(master_);
      close(slave_);
      close(wakeFd_);
      master_ = slave_ = wakeFd_ = -1;
      linkPath_.clear();
      return;
    }
  }
  path_ = name;
  rom_.setSink([this](const Answer &a) { send(a); });
  thread_ = std::thread([this] { loop(); });
}

PtyTransport::~PtyTransport() {
  if (!thread_.joinable())
    return;
  rom_.setSink(nullptr);
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
    pollfd fds[2] = {{master_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[1].revents)
      return;
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) {
        pace(rxFree_, size_t(n)); // the bytes are on the line for this long
        rom_.serialBytes(buffer, size_t(n));
        continue;
      }
    }
    if (fds[0].revents & (POLLHUP | POLLERR)) {
      // The host closed its side: wait for it to come back without spinning.
      pollfd w{wakeFd_, POLLIN, 0};
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
    ssize_t n = write(master_, p, left);
    if (n > 0) {
      p += n;
      left -= size_t(n);
      continue;
    }
    // The host reads nothing: its buffer is full. Give it a moment, bounded.
    ++stalls;
    pollfd w{master_, POLLOUT, 0};
    poll(&w, 1, 1);
  }
}

} // namespace imxsim
