// The i.MX boot ROM's UART as an SDP transport: 115200 8N1, raw. The serial
// form of the protocol has no report IDs: the first byte of every report is
// dropped on the wire, and the answers are the bare 4-byte HAB mode followed
// by the response bytes.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "recovery/SDPLoader.h"

class Serial_SDPLoader : public SDPLoader_Interface {
public:
  // strayBytes: bytes another protocol already sent on the line (an LPC
  // probe). The boot ROM takes every 16 bytes as a command and drops none,
  // so init completes the command they began with zero bytes (a command the
  // boot ROM does not know), and what follows starts aligned.
  explicit Serial_SDPLoader(const std::string &path, size_t strayBytes = 0);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader &) = delete;
  Serial_SDPLoader &operator=(const Serial_SDPLoader &) = delete;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t> &data) override;
  ssize_t readData(std::vector<uint8_t> &out, int waitMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t> &received, size_t index, uint32_t &value) override;

  // How long a write may make no progress before it gives up (default 2000 ms).
  void setWriteTimeoutMs(int ms) { writeTimeoutMs_ = ms; }
  // The pause after configuring the port (default 1000 ms; tests shorten it).
  void setSettleMs(int ms) { settleMs_ = ms; }

  struct Private;

private:
  std::unique_ptr<Private> d_;
  std::string path_;
  size_t strayBytes_;
  int writeTimeoutMs_ = 2000;
  int settleMs_ = 1000;
};
