#include "recovery/Serial_SDPLoader_unix.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "app/Log.h"

using Clock = std::chrono::steady_clock;

struct Serial_SDPLoader::Private {
  int fd = 0; // 0 when closed
  termios settings{};
  // When the line will have carried everything written so far. Writes land
  // in the kernel's buffers long before they are on the wire; an answer
  // cannot come before its request is through.
  Clock::time_point lineFreeAt{};
};

namespace {
constexpr unsigned kBaud = 115200;
constexpr unsigned kBitsPerByte = 10; // 8N1: start, 8 data, stop
constexpr size_t kCommandBytes = 16;  // an SDP command on the line

Clock::duration lineTime(size_t bytes) {
  return std::chrono::microseconds(uint64_t(bytes) * kBitsPerByte * 1000000 / kBaud);
}
} // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string &path, size_t strayBytes)
    : d_(std::make_unique<Private>()), path_(path), strayBytes_(strayBytes) {}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d_->fd > 0) {
    tcflush(d_->fd, TCIOFLUSH);
    close(d_->fd);
    d_->fd = 0;
  }
}

bool Serial_SDPLoader::init() {
  if (d_->fd > 0)
    return true;
  int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  if (!isatty(fd)) {
    close(fd);
    return false;
  }
  termios &t = d_->settings;
  t = termios{};
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
    close(fd);
    return false;
  }
  d_->fd = fd;
  // Whatever the boot ROM answers to the completed command arrives during
  // the pause and is discarded with the rest. The padding itself is drained,
  // not discarded (on a pseudo-terminal an output flush would also drop what
  // the other end has not read yet).
  size_t pad = (kCommandBytes - strayBytes_ % kCommandBytes) % kCommandBytes;
  if (pad > 0) {
    Log::log(DEBUG_iMXSerial, "Completing a command begun by %zu stray bytes with %zu zero bytes\n", strayBytes_, pad);
    std::vector<uint8_t> report(1 + pad, 0); // a report ID, then the padding
    if (writeData(report) != static_cast<ssize_t>(pad)) {
      close(fd);
      d_->fd = 0;
      return false;
    }
    tcdrain(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(settleMs_));
  tcflush(fd, pad > 0 ? TCIFLUSH : TCIOFLUSH);
  d_->lineFreeAt = Clock::now();
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t> &data) {
  if (d_->fd <= 0)
    return -1;
  if (data.size() <= 1)
    return 0;
  const uint8_t *p = data.data() + 1; // no report IDs on the wire
  size_t left = data.size() - 1;
  auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
  while (left > 0) {
    ssize_t n = write(d_->fd, p, left);
    if (n > 0) {
      p += n;
      left -= size_t(n);
      deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Log::log(DEBUG_iMXSerial, "Error: serial write failed (%d)\n", errno);
      return -1;
    }
    if (Clock::now() >= deadline) {
      // A line that takes nothing for this long is gone or stuck.
      Log::log(DEBUG_iMXSerial, "Error: serial write made no progress for %d ms\n", writeTimeoutMs_);
      return -1;
    }
    // The port's buffer is full: wait until it can take more, 1 ms at most.
    pollfd pfd{d_->fd, POLLOUT, 0};
    poll(&pfd, 1, 1);
  }
  auto now = Clock::now();
  d_->lineFreeAt = std::max(now, d_->lineFreeAt) + lineTime(data.size() - 1);
  return ssize_t(data.size() - 1);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t> &out, int waitMs) {
  if (d_->fd <= 0)
    return -1;
  if (waitMs > 0) {
    // The wait counts from when the last request is through the line.
    auto until = std::max(Clock::now(), d_->lineFreeAt) + std::chrono::milliseconds(waitMs);
    std::this_thread::sleep_until(until);
  }
  ssize_t total = 0;
  uint8_t byte;
  // A line that keeps talking ends the read after this many bytes.
  constexpr ssize_t kMaxBytes = 4096;
  while (total < kMaxBytes && read(d_->fd, &byte, 1) == 1) {
    out.push_back(byte);
    ++total;
  }
  return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t> &received, size_t index, uint32_t &value) {
  if (index > 15 || received.size() < 4 * (index + 2))
    return false;
  size_t at = 4 + 4 * index; // after the 4-byte HAB mode
  value |= uint32_t(received[at]) | uint32_t(received[at + 1]) << 8 | uint32_t(received[at + 2]) << 16 |
           uint32_t(received[at + 3]) << 24;
  return true;
}
