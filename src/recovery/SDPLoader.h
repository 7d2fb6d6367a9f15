// The i.MX RT1050 boot ROM's Serial Download Protocol, the small part the
// recovery needs: check that the boot ROM answers, write a loader image into
// the chip's RAM, jump to it, and read the chip's unique-ID fuse words.
//
// The bytes travel through an SDPLoader_Interface transport (HID_SDPLoader
// for the boot ROM's USB HID device, Serial_SDPLoader for a serial port).
// Everything the transports send is in HID report form: the report ID comes
// first (1 command, 2 data); the serial transport drops it on the wire.
// Results are codes; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "quillwork/cErr.h"

namespace IMX1050 {
constexpr uint16_t VID = 0x1FC9; // USB vendor of the boot ROM device
constexpr uint16_t PID = 0x0130; // USB product of the boot ROM device
constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
constexpr uint32_t CFG0_OFFSET = 0x410; // unique-ID fuse word, low half
constexpr uint32_t CFG1_OFFSET = 0x420; // unique-ID fuse word, high half
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
} // namespace IMX1050

// The transport under an SDPLoader. Owned by the loader it is given to.
class SDPLoader_Interface {
public:
  virtual ~SDPLoader_Interface() = default;
  // Opens the device; true when it can be used.
  virtual bool init() = 0;
  // Sends one report (report ID first); the count written, negative on error.
  virtual ssize_t writeData(const std::vector<uint8_t> &data) = 0;
  // Appends what arrives within the wait (ms) to out; the count appended.
  virtual ssize_t readData(std::vector<uint8_t> &out, int waitMs) = 0;
  // OR-s the response word with the given index out of a complete answer into
  // value; false when the answer is not complete.
  virtual bool getDataFromBuffer(const std::vector<uint8_t> &received, size_t index, uint32_t &value) = 0;
};

class SDPLoader {
public:
  static constexpr size_t MAX_COMMAND_BYTES = 17; // report ID + 16 command bytes
  static constexpr size_t MAX_READ_BYTES = 65;    // report ID + 64 bytes
  static constexpr size_t MAX_WRITE_BYTES = 1024; // data bytes per data report

  // Report IDs.
  static constexpr uint8_t REPORT_COMMAND = 1, REPORT_DATA = 2, REPORT_HAB = 3, REPORT_RESPONSE = 4;
  // Response words.
  static constexpr uint32_t WRITE_FILE_COMPLETE = 0x88888888;
  static constexpr uint32_t STATUS_ACK = 0xF0F0F0F0;

  // Results of writeLoader and getFingerprint.
  enum Result : int {
    SDP_OK = 0,
    SDP_NO_ANSWER = 2,        // the boot ROM does not answer
    SDP_DATA_IN_TRANSFER = 3, // the boot ROM sent data in the middle of the transfer
    SDP_NO_COMPLETION = 4,    // the completion word did not arrive
    SDP_READ_FAILED = 7,      // a register read failed
  };

  SDPLoader() = default;
  ~SDPLoader();
  SDPLoader(const SDPLoader &) = delete;
  SDPLoader &operator=(const SDPLoader &) = delete;

  // Takes the transport (owned from then on); refused when it is null or a
  // transport is already set.
  bool setLoader(SDPLoader_Interface *transport);
  // cErrMemory without a transport, cErrIO when it cannot be opened.
  cErr init();
  // Writes bytes into the chip's RAM at address: 0, 2, 3 or 4 (see Result).
  int writeLoader(const std::vector<uint8_t> &bytes, uint32_t address);
  int writeLoader(const uint8_t *bytes, size_t length, uint32_t address);
  // Jumps to the image at address; the boot ROM may not answer any more.
  void startLoader(uint32_t address);
  // OR-s the unique-ID fuse words into value (CFG0 bits 0-31, CFG1 bits
  // 32-63): 0, 2 or 7.
  int getFingerprint(uint64_t &value);

  // The command packets as sent (report ID 1 and 16 command bytes).
  static std::vector<uint8_t> statusCommand();
  static std::vector<uint8_t> writeFileCommand(uint32_t address, uint32_t count);
  static std::vector<uint8_t> jumpCommand(uint32_t address);
  static std::vector<uint8_t> readRegisterCommand(uint32_t address);

private:
  bool connectionCheck();
  ssize_t send(const std::vector<uint8_t> &packet, const char *label);
  ssize_t receive(std::vector<uint8_t> &in, int waitMs, const char *label);
  bool readRegister(uint32_t address, uint32_t &value);

  SDPLoader_Interface *transport_ = nullptr;
};
