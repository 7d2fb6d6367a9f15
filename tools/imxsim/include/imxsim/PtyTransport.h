// The boot ROM's UART on a pseudo-terminal: the host opens the slave path.
// With a baud rate the line is paced as a real one: bytes from the host are
// taken at that rate (the rest waits in the terminal's buffers, as it would
// in a UART's) and answers go out at that rate. Baud 0: no pacing (tests).
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "simpty/Pty.h"
#include <thread>

#include "imxsim/BootRom.h"

namespace imxsim {

class PtyTransport {
public:
  // linkPath, when given, becomes a symbolic link to the slave (removed again
  // on destruction).
  explicit PtyTransport(BootRom &rom, unsigned baud = 0, std::string linkPath = {});
  ~PtyTransport();
  PtyTransport(const PtyTransport &) = delete;
  PtyTransport &operator=(const PtyTransport &) = delete;

  bool ok() const { return !pty_.path.empty(); }
  const std::string &error() const { return error_; }
  // The port the host opens (the link path when one was given).
  const std::string &path() const { return linkPath_.empty() ? pty_.path : linkPath_; }
  BootRom &rom() { return rom_; }

private:
  void loop();
  void send(const Answer &answer);
  void pace(std::chrono::steady_clock::time_point &lineFree, size_t bytes);

  BootRom &rom_;
  unsigned baud_;
  std::string linkPath_, error_;
  simpty::PtyEnds pty_;
  std::mutex writeLock_;
  std::chrono::steady_clock::time_point rxFree_{}, txFree_{}; // when each direction of the line is free
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace imxsim
