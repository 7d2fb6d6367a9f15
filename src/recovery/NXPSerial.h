// Client of the NXP LPC17xx boot ROM's serial In-System Programming protocol:
// ASCII commands ended by CR LF, numeric return codes, and data in UU-encoded
// lines with a decimal checksum after every 20 lines. The recovery sequence
// synchronises with the boot ROM, reads the chip's unique serial number,
// unlocks and erases the flash, writes firmware into RAM and copies it into
// flash sector by sector, and starts the new code.
//
// Every operation returns a cErr code and never throws. Every wait is bounded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cErr.h"

struct cStream;

// One row of the flash sector table: start address, size, sector number.
struct NXPSectorInfo {
  uint32_t start;
  uint32_t size;
  uint32_t sector;
};

// The LPC17xx flash: sectors 0-15 of 4 KB, 16-29 of 32 KB (512 KB in all);
// a last row (start 0xFFFFFFFF, size 0, sector 30) ends the table.
extern const NXPSectorInfo NXP_LPC17XX_sectors[31];

class NXPSerialClass {
public:
  static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz; sent in kHz: 14746
  static constexpr int MAX_BYTES_PER_LINE = 45;
  static constexpr int LINES_PER_CHECKSUM = 20;
  static constexpr int MAX_READ_RETRY = 3; // the third RESEND of a transfer is fatal
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
  static constexpr int MAX_ERROR = 20;
  static constexpr int TERMINATION_SIZE = 2;
  static const char *const ERROR_TEXT[MAX_ERROR + 1];
  // The serial rates Connect offers (table index 0-7).
  static constexpr uint32_t BAUD_RATES[8] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass &) = delete;
  NXPSerialClass &operator=(const NXPSerialClass &) = delete;

  // Opens (or reopens) the port at the first offered rate that is at least
  // the one asked for (9600 for a request above 230400).
  cErr Connect(const char *port, uint32_t baudRate);
  cErr Disconnect();
  // "?", "Synchronized", crystal frequency. cErrIO when the boot ROM does not
  // accept the crystal line. A boot ROM already synchronised in this
  // power-up with echo on (it echoes "?" as the start of a command line) is
  // recognised and used as it is.
  cErr Sync();
  // "N": stores the four words of the chip's serial number (see
  // device_serial_number / GetDeviceSerialNumber).
  cErr GetDeviceID();
  cErr Unlock();
  cErr SetEcho(bool on);
  // "B rate 1"; once the boot ROM accepts, the port follows at the new rate.
  cErr SetBaudRate(uint32_t baudRate);
  cErr Prepare(uint32_t firstSector, uint32_t lastSector);
  cErr Erase(uint32_t firstSector, uint32_t lastSector);
  // Writes count bytes (a non-zero multiple of 4) to RAM at address.
  cErr Write(uint32_t address, uint32_t count, const uint8_t *bytes);
  // Reads count bytes (a non-zero multiple of 4) from address into bytes.
  cErr Read(uint32_t address, uint32_t count, uint8_t *bytes);
  // Flash address a multiple of 256; count 256, 512, 1024 or 4096.
  cErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
  // "M": compares count bytes (a non-zero multiple of 4) at two word-aligned
  // addresses; cErrParam when they differ or the boot ROM refuses.
  cErr Compare(uint32_t address1, uint32_t address2, uint32_t count);
  // Starts the code at address in Thumb mode; no answer is read.
  cErr ExecuteFrom(uint32_t address);
  cErr GetBootLoaderVersion(uint32_t *major, uint32_t *minor);
  cErr GetPartNumber(uint32_t *partNumber);

  // The four words stored by GetDeviceID, in the order the boot ROM sent them.
  const uint32_t *GetDeviceSerialNumber() const { return device_serial_number; }
  bool GetEcho() const { return echo; }
  uint32_t GetBaudRate() const { return baud_rate; }
  const char *GetPortName() const { return port_name; }
  bool IsConnected() const { return stream != nullptr; }
  // Bytes this object has put on the line (over every Connect).
  size_t GetBytesSent() const { return bytes_sent; }

  // The text of the return code at the start of line (decimal, or with a
  // "0x" or "0" prefix); "Unknown error" outside 0-20.
  static const char *GetErrorText(const char *line);
  static uint32_t sum(const uint8_t *bytes, size_t count);
  // One UU line (length character and data characters, no line end) into
  // out, which needs 1 + 4 * ceil(min(count, 45) / 3) + 1 bytes; returns the
  // bytes consumed (at most 45). out is zero-terminated.
  static size_t uuencode(char *out, const uint8_t *bytes, size_t count);
  // Decodes one UU line; 0 when its count exceeds capacity.
  static size_t uudecode(uint8_t *out, size_t capacity, const char *line);
  static uint32_t CopyLength(uint32_t count);
  static uint32_t SectorFromAddress(uint32_t address);
  // Milliseconds a read of count bytes takes at baudRate, with some margin.
  static uint32_t WAIT_TIME_MS(uint32_t count, uint32_t baudRate) { return (count * 9000 + 18000) / baudRate + 1; }
  // The index into BAUD_RATES that Connect chooses for a requested rate.
  static unsigned BaudIndexFor(uint32_t baudRate);
  // Whether a return-code line (with its CR LF) reports success; where the
  // code sits depends on the echo setting.
  static bool ReturnCodeIsSuccess(const char *line, size_t length, bool echo);

  // The boot ROM's serial number words (filled by GetDeviceID).
  uint32_t device_serial_number[4];

private:
  cErr GetLine(char *buffer, size_t capacity, size_t *length, int attempts);
  cErr GetEcho(const char *expected, size_t count, size_t *matched);
  cErr SendCommand(const char *text, int waitMs);
  cErr Send(const char *text, size_t length, bool expectEcho);
  cErr Response(char *buffer, size_t capacity, size_t *length, const char *expected, size_t expectedLength);
  cErr ResumeSynchronised(cErr silence);
  cErr CheckReturnCode(const char *command, const char *errorPrefix, int attempts);
  cErr SimpleCommand(const char *text, const char *errorPrefix, int attempts = 100);
  cErr ReadByte(uint8_t *byte);

  cStream *stream;
  size_t bytes_sent = 0;
  bool echo;
  uint32_t baud_rate;
  char port_name[2048];
};
