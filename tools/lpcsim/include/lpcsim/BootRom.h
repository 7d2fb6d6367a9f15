// A simulated NXP LPC17xx boot ROM: the serial In-System Programming protocol
// as the chip speaks it, as a byte-in, bytes-out state machine. It knows
// nothing of ports or time; Simulator (Simulator.h) puts it on a
// pseudo-terminal and paces it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lpcsim {

// The chip's ISP return codes.
enum ReturnCode : int {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  BUSY = 11,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
  CODE_READ_PROTECTION_ENABLED = 19,
};

// Faults the boot ROM can be told to show.
struct Faults {
  // Checksum groups of a data transfer (counted from 1 in every W command)
  // answered RESEND: group -> how many times (~0u: always).
  std::map<unsigned, unsigned> resendGroups;
  // Commands (their letter) refused with a code: letter -> {code, times}
  // (times ~0u: always).
  std::map<char, std::pair<int, unsigned>> refuse;
  // Receives but never answers nor echoes.
  bool silent = false;
  // The next this many echo bytes are not sent.
  unsigned dropEchoBytes = 0;
  // Sent before "Synchronized" in answer to "?".
  std::string syncGarbage;
  // After answering the first command with this letter the chip falls
  // silent (it vanished: unplugged, browned out).
  char silentAfter = 0;
  // A copy to flash leaves the byte at this flash address erased (a worn
  // cell); ~0u: none.
  uint32_t stuckByte = ~0u;
};

class BootRom {
public:
  static constexpr uint32_t kFlashSize = 512 * 1024;
  static constexpr uint32_t kRamBase = 0x10000000; // local SRAM, 32 KiB
  static constexpr uint32_t kRamSize = 32 * 1024;
  static constexpr uint32_t kAhbRamBase = 0x2007C000; // AHB SRAM, 32 KiB
  static constexpr uint32_t kAhbRamSize = 32 * 1024;
  static constexpr uint32_t kUnlockCode = 23130;
  static constexpr uint32_t kSectorCount = 30;

  BootRom();

  // Feeds one received byte; what the chip sends in return is appended to out.
  void receive(uint8_t byte, std::string &out);
  // Power cycle: back to autobaud, echo on, locked; flash kept, RAM cleared.
  void reset();

  // Configuration.
  void setUniqueId(const std::array<uint32_t, 4> &words) { uid_ = words; }
  void setPartId(uint32_t id) { partId_ = id; }
  void setBootVersion(unsigned major, unsigned minor) { bootMajor_ = major, bootMinor_ = minor; }
  Faults &faults() { return faults_; }

  // State.
  const std::vector<uint8_t> &flash() const { return flash_; }
  std::vector<uint8_t> &flashForUpdate() { return flash_; }
  // count bytes from RAM or flash; empty when not mapped.
  std::vector<uint8_t> memory(uint32_t address, uint32_t count) const;
  // Waiting for "?", measuring the rate of whatever arrives.
  bool autobauding() const { return state_ == State::Autobaud; }
  bool synchronized() const { return state_ != State::Autobaud && state_ != State::SyncLine; }
  bool echo() const { return echo_; }
  bool unlocked() const { return unlocked_; }
  bool running() const { return state_ == State::Running; }
  uint32_t goAddress() const { return goAddress_; }
  uint32_t baudRequested() const { return baudRequested_; }
  uint32_t crystalKHz() const { return crystal_; }
  // Every command line received, in order (without its line end).
  const std::vector<std::string> &commands() const { return commands_; }
  unsigned resendsSent() const { return resends_; }
  // Sector number of a flash address; 30 outside the flash.
  static uint32_t sectorOf(uint32_t address);
  static uint32_t sectorStart(uint32_t sector);

private:
  enum class State { Autobaud, SyncLine, Crystal, Command, WriteData, ReadAck, Running };

  void line(const std::string &text, std::string &out);
  void command(const std::string &text, std::string &out);
  void writeDataLine(const std::string &text, std::string &out);
  void readAckLine(const std::string &text, std::string &out);
  void sendReadGroup(std::string &out);
  void code(int rc, std::string &out);
  uint8_t *mapped(uint32_t address, uint32_t count, bool flashToo);

  State state_ = State::Autobaud;
  std::string lineBuffer_;
  bool echo_ = true;
  bool unlocked_ = false;
  std::array<bool, kSectorCount> prepared_{};
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram_;
  std::vector<uint8_t> ahbRam_;
  std::array<uint32_t, 4> uid_{0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
  uint32_t partId_ = 0x26013F37; // LPC1768
  unsigned bootMajor_ = 4, bootMinor_ = 1;
  uint32_t goAddress_ = 0;
  uint32_t baudRequested_ = 0;
  uint32_t crystal_ = 0;
  Faults faults_;
  std::vector<std::string> commands_;
  unsigned resends_ = 0;

  // A data transfer (W into RAM, R out of memory).
  uint32_t xferAddress_ = 0, xferCount_ = 0, xferPosition_ = 0, xferAcked_ = 0;
  uint32_t groupSum_ = 0;
  unsigned groupLines_ = 0, groupNumber_ = 0;
  std::map<unsigned, unsigned> groupResends_; // per transfer
};

} // namespace lpcsim
