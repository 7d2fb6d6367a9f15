// A simulated i.MX RT1050 boot ROM: the Serial Download Protocol as the chip
// speaks it, without a transport. A transport feeds it HID reports (report
// ID first) or serial bytes and hands its answers to the host: a HAB-mode
// answer (report 3) and a response (report 4, or the bare bytes on a serial
// line).
//
//   ERROR_STATUS   HAB, then the status word 0xF0F0F0F0
//   WRITE_FILE     data reports until the byte count is reached, then HAB
//                  and 0x88888888 (the i.MX6 order answers HAB right after
//                  the command)
//   READ_REGISTER  HAB, then the register: the OCOTP unique-ID fuse words
//                  (0x401F4410 low half, 0x401F4420 high half), else RAM
//   JUMP_ADDRESS   HAB; into written RAM the loader starts and the boot ROM
//                  is gone, elsewhere the status word kJumpRefused follows
//
// Thread-safe; the sink and the jump listener are never called with the
// boot ROM's lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "modulesim/Memory.h"

namespace imxsim {

constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kHabClosed = 0x12343412;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kWriteComplete = 0x88888888;
constexpr uint32_t kJumpRefused = 0x33333333; // no image at the jump address
constexpr uint32_t kOcotpCfg0 = 0x401F4410;
constexpr uint32_t kOcotpCfg1 = 0x401F4420;

enum class Order {
  RT,   // i.MX RT: WRITE_FILE answers HAB only after the last data report
  IMX6, // older i.MX: HAB right after the WRITE_FILE command
};

struct BootRomConfig {
  uint64_t uniqueId = 0x0123456789ABCDEFull; // the chip's 64-bit unique ID (fuse words)
  uint32_t habMode = kHabOpen;
  Order order = Order::RT;
};

// Faults a test can arm; counters count down as they fire.
struct Faults {
  unsigned noAnswer = 0;           // this many commands go unanswered
  unsigned dataDuringTransfer = 0; // answer in the middle of the next WRITE_FILE, at this data report (1-based)
  unsigned noCompletion = 0;       // this many WRITE_FILEs end with HAB but no completion word
  unsigned shortResponses = 0;     // this many response reports come one byte short (HID)
};

// One answer to the host.
struct Answer {
  uint8_t report = 3; // 3: HAB mode, 4: response, 0: raw serial bytes (the association echo)
  std::vector<uint8_t> bytes;
  bool shortReport = false; // HID: send the report one byte short
};

class BootRom {
public:
  using Sink = std::function<void(const Answer &)>;
  using JumpListener = std::function<void(uint32_t address)>;

  explicit BootRom(BootRomConfig config = {});
  BootRom(const BootRom &) = delete;
  BootRom &operator=(const BootRom &) = delete;

  void setSink(Sink sink);
  // Called once the loader is started (the boot ROM answers nothing after).
  void setJumpListener(JumpListener listener);

  // One HID output report from the host (report ID first: 1 command, 2 data).
  void report(const uint8_t *data, size_t length);
  // Bytes from the host on a serial line (no report IDs; the association
  // bytes 23 45 45 23 are echoed).
  void serialBytes(const uint8_t *data, size_t length);

  // --- knobs
  void setFaults(Faults faults);
  void setUniqueId(uint64_t id);
  void setOrder(Order order);
  // Back to power-on: RAM cleared, no transfer in progress, not jumped.
  void reset();

  // --- observation
  BootRomConfig config() const;
  std::vector<uint8_t> ram(uint32_t address, size_t length) const; // unwritten RAM reads 0xFF
  std::vector<std::vector<uint8_t>> commands() const;              // every 16-byte command received
  std::vector<size_t> dataReportSizes() const;                     // HID data reports (serial: chunks read)
  size_t associations() const;
  uint64_t bytesTaken() const; // every byte and report byte from the host
  std::optional<uint32_t> jumpedTo() const;
  bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const;

private:
  using Out = std::vector<Answer>;
  void command(const uint8_t *c, Out &out);
  void data(const uint8_t *d, size_t n, Out &out);
  void finishWrite(Out &out);
  void hab(Out &out);
  void word(Out &out, uint32_t w);
  void emit(Out &out, std::optional<uint32_t> jump);

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  BootRomConfig config_;
  Faults faults_;
  Sink sink_;
  JumpListener jump_;
  modulesim::Memory ram_;
  // WRITE_FILE in progress
  bool writing_ = false;
  uint32_t writeAddress_ = 0, writeLeft_ = 0;
  unsigned writeReports_ = 0;
  bool answeredEarly_ = false;
  std::vector<uint8_t> serialIn_; // a command being assembled
  std::optional<uint32_t> jumped_;
  std::vector<std::vector<uint8_t>> commands_;
  std::vector<size_t> dataReports_;
  size_t associations_ = 0;
  uint64_t taken_ = 0;
};

} // namespace imxsim
