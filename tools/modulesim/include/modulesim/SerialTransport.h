// A simulated module on a serial line: a pseudo-terminal whose slave side is
// the host's port. Packets travel in COBS frames with a CRC-8 and a 0x00
// delimiter. A frame that fails its checks is dropped, as a module would.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "simpty/Pty.h"
#include <thread>

#include "modulesim/SimModule.h"
#include "modulesim/Wire.h"

namespace modulesim {

class SerialTransport {
public:
  // linkPath, when given, becomes a symbolic link to the port (replaced if
  // it exists, removed again on destruction).
  explicit SerialTransport(SimModule &module, std::string linkPath = {});
  ~SerialTransport();
  SerialTransport(const SerialTransport &) = delete;
  SerialTransport &operator=(const SerialTransport &) = delete;

  bool ok() const { return !pty_.path.empty(); }
  const std::string &error() const { return error_; }
  // The port the host opens (the link path when one was given).
  const std::string &path() const { return linkPath_.empty() ? pty_.path : linkPath_; }
  size_t badFrames() const;
  SimModule &module() { return module_; }

private:
  void loop();
  void send(const Packet &packet);

  SimModule &module_;
  std::string linkPath_, error_;
  simpty::PtyEnds pty_;
  mutable std::mutex lock_; // guards writes and the decoder's counters
  FrameDecoder decoder_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace modulesim
