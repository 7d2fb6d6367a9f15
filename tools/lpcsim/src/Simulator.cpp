#include "lpcsim/Simulator.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace lpcsim {

namespace {

// Bytes held back from the host when nobody reads the port, and bytes kept
// in the traffic records: enough for any test, bounded for a long run.
constexpr size_t kMaxPending = 1 << 20;
constexpr size_t kMaxRecord = 8 << 20;

// Ten bit times (start, 8 data, stop) at a rate; 115200 when it is unknown.
int64_t byteTimeNs(uint32_t rate) { return 10'000'000'000LL / (rate != 0 ? rate : 115200); }

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void record(std::vector<uint8_t> &to, const uint8_t *bytes, size_t n) {
  if (to.size() + n <= kMaxRecord)
    to.insert(to.end(), bytes, bytes + n);
}

} // namespace

Simulator::Simulator() = default;

Simulator::~Simulator() { stop(); }

bool Simulator::start(const std::string &linkPath) {
  if (thread_.joinable())
    return true;
  if (!simpty::OpenPty(linkPath, pty_, error_))
    return false;
  linkPath_ = linkPath;
  stop_ = false;
  thread_ = std::thread([this] { loop(); });
  return true;
}

void Simulator::stop() {
  if (!thread_.joinable())
    return;
  stop_ = true;
  wake();
  thread_.join();
  simpty::ClosePty(pty_, linkPath_);
  linkPath_.clear();
}

void Simulator::wake() {
  if (pty_.wake >= 0)
    simpty::WakePty(pty_);
}

std::string Simulator::path() const {
  std::lock_guard<std::mutex> g(lock_);
  return linkPath_.empty() ? pty_.path : linkPath_;
}

std::string Simulator::error() const {
  std::lock_guard<std::mutex> g(lock_);
  return error_;
}

void Simulator::setPacing(bool on) {
  {
    std::lock_guard<std::mutex> g(lock_);
    pacing_ = on;
  }
  wake();
}

uint32_t Simulator::chipRate() const {
  std::lock_guard<std::mutex> g(lock_);
  return chipRate_;
}

uint64_t Simulator::misframed() const {
  std::lock_guard<std::mutex> g(lock_);
  return misframed_;
}

void Simulator::setUniqueId(const std::array<uint32_t, 4> &words) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.setUniqueId(words);
}

void Simulator::setPartId(uint32_t id) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.setPartId(id);
}

void Simulator::reset() {
  std::lock_guard<std::mutex> g(lock_);
  rom_.reset();
  chipRate_ = 0; // autobauding again
  in_.clear();
  out_.clear();
}

void Simulator::resendGroup(unsigned group, unsigned times) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().resendGroups[group] = times;
}

void Simulator::refuseCommand(char letter, int code, unsigned times) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().refuse[letter] = {code, times};
}

void Simulator::setSilent(bool silent) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().silent = silent;
}

void Simulator::dropEchoBytes(unsigned n) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().dropEchoBytes = n;
}

void Simulator::setSyncGarbage(const std::string &bytes) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().syncGarbage = bytes;
}

void Simulator::silentAfter(char letter) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().silentAfter = letter;
}

void Simulator::setStuckByte(uint32_t flashAddress) {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults().stuckByte = flashAddress;
}

void Simulator::clearFaults() {
  std::lock_guard<std::mutex> g(lock_);
  rom_.faults() = Faults{};
}

std::vector<uint8_t> Simulator::flash() const {
  std::lock_guard<std::mutex> g(lock_);
  return rom_.flash();
}

std::vector<uint8_t> Simulator::memory(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> g(lock_);
  return rom_.memory(address, count);
}

void Simulator::loadFlash(uint32_t address, const std::vector<uint8_t> &bytes) {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<uint8_t> &f = rom_.flashForUpdate();
  for (size_t i = 0; i < bytes.size() && address + i < f.size(); ++i)
    f[address + i] = bytes[i];
}

std::vector<std::string> Simulator::commands() const {
  std::lock_guard<std::mutex> g(lock_);
  return rom_.commands();
}

std::vector<uint8_t> Simulator::received() const {
  std::lock_guard<std::mutex> g(lock_);
  return received_;
}

std::vector<uint8_t> Simulator::sent() const {
  std::lock_guard<std::mutex> g(lock_);
  return sent_;
}

void Simulator::clearTraffic() {
  std::lock_guard<std::mutex> g(lock_);
  received_.clear();
  sent_.clear();
}

void Simulator::inspect(const std::function<void(const BootRom &)> &f) const {
  std::lock_guard<std::mutex> g(lock_);
  f(rom_);
}

bool Simulator::waitFor(const std::function<bool(const BootRom &)> &pred, int timeoutMs) const {
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return pred(rom_); });
}

void Simulator::loop() {
  std::vector<uint8_t> unsent; // due bytes the terminal would not take yet
  uint8_t buffer[4096];
  while (!stop_) {
    int64_t now = nowNs();
    int64_t next = -1; // when the next queued byte falls due
    uint32_t hostRate = simpty::LineRate(pty_);
    {
      std::lock_guard<std::mutex> g(lock_);
      bool any = false;
      while (!in_.empty() && (!pacing_ || in_.front().due <= now)) {
        Timed in = in_.front();
        in_.pop_front();
        any = true;
        // Autobaud: the chip measures whatever comes while it waits for "?".
        if (rom_.autobauding())
          chipRate_ = in.rate;
        else if (in.rate != chipRate_) {
          ++misframed_; // framing errors: nothing the chip can read
          continue;
        }
        std::string answer;
        uint32_t requested = rom_.baudRequested();
        rom_.receive(in.byte, answer);
        for (char c : answer) {
          if (out_.size() >= kMaxPending)
            break;
          outClock_ = std::max(outClock_, now) + byteTimeNs(chipRate_);
          out_.push_back({static_cast<uint8_t>(c), outClock_, chipRate_});
        }
        if (rom_.baudRequested() != requested)
          chipRate_ = rom_.baudRequested(); // the chip switches after its answer
      }
      while (!out_.empty() && (!pacing_ || out_.front().due <= now) && unsent.size() < kMaxPending) {
        if (out_.front().rate != hostRate) {
          ++misframed_; // the host's end is set to another rate
        } else {
          unsent.push_back(out_.front().byte);
          // Recorded before the host can see it, so a test that got an
          // answer finds it in the record.
          record(sent_, &out_.front().byte, 1);
        }
        out_.pop_front();
      }
      if (pacing_) {
        if (!in_.empty())
          next = in_.front().due;
        if (!out_.empty() && (next < 0 || out_.front().due < next))
          next = out_.front().due;
      }
      if (any)
        changed_.notify_all();
    }
    if (!unsent.empty()) {
      ssize_t n = write(pty_.master, unsent.data(), unsent.size());
      if (n > 0)
        unsent.erase(unsent.begin(), unsent.begin() + n);
    }

    int timeout = -1;
    if (next >= 0)
      timeout = static_cast<int>(std::max<int64_t>(0, (next - nowNs() + 999'999) / 1'000'000));
    bool roomIn;
    {
      std::lock_guard<std::mutex> g(lock_);
      roomIn = in_.size() < kMaxPending;
    }
    short events = static_cast<short>((roomIn ? POLLIN : 0) | (unsent.empty() ? 0 : POLLOUT));
    if (!unsent.empty() && timeout < 0)
      timeout = 10; // nobody reads the port: look again soon, never spin
    pollfd fds[2] = {{pty_.wake, POLLIN, 0}, {pty_.master, events, 0}};
    if (poll(fds, 2, timeout) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      (void)!read(pty_.wake, &v, sizeof v);
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(pty_.master, buffer, sizeof buffer);
      if (n > 0) {
        int64_t at = nowNs();
        uint32_t rate = simpty::LineRate(pty_); // the host sent them at its end's rate
        std::lock_guard<std::mutex> g(lock_);
        record(received_, buffer, static_cast<size_t>(n));
        for (ssize_t i = 0; i < n; ++i) {
          inClock_ = std::max(inClock_, at) + byteTimeNs(rate);
          in_.push_back({buffer[i], pacing_ ? inClock_ : at, rate});
        }
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        poll(nullptr, 0, 20); // never spin on a failing terminal
      }
    }
  }
}

} // namespace lpcsim
