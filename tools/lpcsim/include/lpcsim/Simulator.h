// A simulated LPC17xx boot ROM on a fresh pseudo-terminal. One thread reads
// what the host sends, feeds it to the BootRom and writes the answers back.
//
// The line rate is the one the client sets on its end of the terminal. As
// the chip does, the boot ROM takes the rate of the "?" that synchronises it
// and keeps it until a power cycle or a "B" command: bytes sent at another
// rate cannot be read by the chip (they are dropped and counted), and its
// answers cannot be read by a host set to another rate (dropped too).
// With pacing on, bytes move in both directions no faster than a serial line
// at that rate would carry them (10 bit times per byte), so timings are
// those of a real port; unit tests switch pacing off.
//
//   lpcsim::Simulator sim;
//   sim.start();                      // sim.path() is the port to open
//   sim.setUniqueId({1, 2, 3, 4});
//   ... run a client on sim.path() ...
//   std::vector<uint8_t> flash = sim.flash();
//   sim.stop();                       // also done by the destructor
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "simpty/Pty.h"
#include <thread>
#include <vector>

#include "lpcsim/BootRom.h"

namespace lpcsim {

class Simulator {
public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  // Opens a pseudo-terminal (raw) and starts the chip in its boot ROM. With
  // a link path, a symbolic link to the terminal is made there (and removed
  // by stop). False on failure (see error()).
  bool start(const std::string &linkPath = "");
  // Stops the thread and closes the terminal. Safe to call twice.
  void stop();
  // The port to open: the link path when one was given, else the terminal.
  std::string path() const;
  std::string error() const;

  // Serial-line timing at the rate in force.
  void setPacing(bool on);
  void setUniqueId(const std::array<uint32_t, 4> &words);
  void setPartId(uint32_t id);
  // Power cycle: the chip waits for "?" again, echo on, locked.
  void reset();

  // Faults.
  // The group'th checksum group (from 1) of every W transfer is answered
  // RESEND the first `times` times (kAlways: every time).
  static constexpr unsigned kAlways = ~0u;
  void resendGroup(unsigned group, unsigned times = 1);
  // The command with this letter is answered with code (times, or always).
  void refuseCommand(char letter, int code, unsigned times = kAlways);
  void setSilent(bool silent);
  // The next n echo bytes are not sent.
  void dropEchoBytes(unsigned n);
  // Bytes sent before "Synchronized" in answer to "?".
  void setSyncGarbage(const std::string &bytes);
  // The chip answers the first command with this letter, then falls silent.
  void silentAfter(char letter);
  // Copies to flash leave the byte at this address erased.
  void setStuckByte(uint32_t flashAddress);
  void clearFaults();

  // State.
  std::vector<uint8_t> flash() const;
  std::vector<uint8_t> memory(uint32_t address, uint32_t count) const;
  // Fills flash at address (for read tests).
  void loadFlash(uint32_t address, const std::vector<uint8_t> &bytes);
  std::vector<std::string> commands() const;
  // Every byte received from the host / sent to it, in order.
  std::vector<uint8_t> received() const;
  std::vector<uint8_t> sent() const;
  void clearTraffic();
  // The rate the chip talks at (0 while it waits for "?"), and how many
  // bytes went unread because the two ends were set to different rates.
  uint32_t chipRate() const;
  uint64_t misframed() const;
  // Runs f on the chip under the simulator's lock.
  void inspect(const std::function<void(const BootRom &)> &f) const;
  // Waits (at most timeoutMs) until pred holds for the chip.
  bool waitFor(const std::function<bool(const BootRom &)> &pred, int timeoutMs) const;

private:
  void loop();
  void wake();

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  BootRom rom_;
  bool pacing_ = false;
  uint32_t chipRate_ = 0; // 0: autobauding
  uint64_t misframed_ = 0;
  std::vector<uint8_t> received_, sent_;

  struct Timed {
    uint8_t byte;
    int64_t due;   // steady-clock nanoseconds
    uint32_t rate; // the rate it went on the line at
  };
  std::deque<Timed> in_, out_;
  int64_t inClock_ = 0, outClock_ = 0;

  std::string linkPath_, error_;
  simpty::PtyEnds pty_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace lpcsim
