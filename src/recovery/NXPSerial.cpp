#include "recovery/NXPSerial.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Log.h"
#include "quillwork/cStream.h"
#include "quillwork/cTime.h"

const char *const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error"};

const NXPSectorInfo NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},  {0x04000, 0x1000, 4},
    {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},  {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},
    {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11}, {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14},
    {0x0F000, 0x1000, 15}, {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23}, {0x50000, 0x8000, 24},
    {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27}, {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29},
    {0xFFFFFFFF, 0, 30}};

namespace {

// Read attempts are milliseconds of silence: one attempt is a failed read
// followed by a 1 ms pause. The serial stream's get already waits up to
// cSTREAM_GET_WAIT_MS before it reports that nothing came, so a failed read
// uses as many attempts as the milliseconds it took; counting it as one would
// stretch 2000 attempts into minutes.
constexpr int kLineAttempts = 100;
// For the answer to a data checksum.
constexpr int kChecksumAttempts = 2000;
// A line that is quiet for a tenth of a second is not yet a dead line on a
// loaded host (nor under a sanitizer): no read gives up on less silence.
constexpr int kMinSilenceMs = 1000;
int SilenceBudget(int attempts) { return std::max(attempts, kMinSilenceMs); }
// For the return code of an erase: the chip erases its sectors one after the
// other, about 100 ms each, before it answers.
constexpr int kEraseAttempts = 5000;
// A boot ROM that streams bytes which never match an echo: how many strays
// an echo read drops on top of the bytes it expects.
constexpr size_t kMaxEchoStrays = 64;
// Leading line ends and zero bytes a response read drops before it gives up.
constexpr size_t kMaxDropped = 64;
constexpr size_t kLineSize = 128;

std::string hexText(const uint8_t *bytes, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "%02X", bytes[i]);
    if (i > 0)
      s += ' ';
    s += b;
  }
  return s;
}

std::string printable(const char *text, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i)
    s += isprint(static_cast<unsigned char>(text[i])) ? text[i] : '.';
  return s;
}

std::string escaped(const char *text, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (text[i] == '\r')
      s += "\\r";
    else if (text[i] == '\n')
      s += "\\n";
    else
      s += isprint(static_cast<unsigned char>(text[i])) ? text[i] : '.';
  }
  return s;
}

char uuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(v + 32); }

} // namespace

NXPSerialClass::NXPSerialClass() : device_serial_number{0, 0, 0, 0}, stream(nullptr), echo(true), baud_rate(0) {
  port_name[0] = '\0';
}

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

unsigned NXPSerialClass::BaudIndexFor(uint32_t baudRate) {
  for (unsigned i = 0; i < 8; ++i)
    if (BAUD_RATES[i] >= baudRate)
      return i;
  return 2; // 9600
}

cErr NXPSerialClass::Connect(const char *port, uint32_t baudRate) {
  Disconnect();
  if (port == nullptr)
    return cErrParam;
  unsigned index = BaudIndexFor(baudRate);
  baud_rate = BAUD_RATES[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index, baud_rate);
  cErr err = cStream_CreateSerial(port, index, false, 0, 0, &stream);
  if (err != cErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, cError_GetErrorText(err));
    stream = nullptr;
    return err;
  }
  snprintf(port_name, sizeof port_name, "%s", port);
  return cErrNone;
}

cErr NXPSerialClass::Disconnect() {
  if (stream != nullptr)
    cStream_Destroy(&stream);
  stream = nullptr;
  return cErrNone;
}

cErr NXPSerialClass::ReadByte(uint8_t *byte) {
  if (stream == nullptr)
    return cErrNotReady;
  return cStream_Read(stream, byte, 1);
}

// ---- line level ---------------------------------------------------------------

cErr NXPSerialClass::GetLine(char *buffer, size_t capacity, size_t *length, int attempts) {
  size_t n = 0, dropped = 0;
  cErr last = cErrNone;
  int used = 0;
  bool term = false;
  while (used < SilenceBudget(attempts) && n + 1 < capacity) {
    uint8_t b;
    uint32_t t0 = cTime_GetMSTicks();
    last = ReadByte(&b);
    if (last != cErrNone) {
      used += static_cast<int>(std::max<uint32_t>(1, cTime_MSSince(t0)));
      Log::log(DEBUG_NXPSerial_E, ".");
      if (stream == nullptr)
        break;
      cTime_MSSleep(1);
      continue;
    }
    if (n == 0 && b == '\n') {
      ++used;
      Log::log(DEBUG_NXPSerial_E, ",");
      if (++dropped > kMaxDropped)
        break;
      cTime_MSSleep(1);
      continue;
    }
    buffer[n++] = static_cast<char>(b);
    if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') {
      term = true;
      break;
    }
  }
  if (capacity > 0)
    buffer[n < capacity ? n : capacity - 1] = '\0';
  if (length != nullptr)
    *length = n;
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n",
             hexText(reinterpret_cast<const uint8_t *>(buffer), n).c_str(), printable(buffer, n).c_str(),
             static_cast<int>(n), term ? "term" : "non-term", cError_GetErrorText(last));
  return last;
}

cErr NXPSerialClass::GetEcho(const char *expected, size_t count, size_t *matched) {
  size_t got = 0, strays = 0;
  int failed = 0;
  std::string trace;
  while (got < count && failed < SilenceBudget(kLineAttempts) && strays <= count + kMaxEchoStrays) {
    uint8_t b;
    uint32_t t0 = cTime_GetMSTicks();
    if (ReadByte(&b) != cErrNone) {
      failed += static_cast<int>(std::max<uint32_t>(1, cTime_MSSince(t0)));
      trace += ".";
      if (stream == nullptr)
        break;
      cTime_MSSleep(1);
      continue;
    }
    char t[16];
    // The boot ROM echoes a line's LF last: a LF after other bytes means the
    // echo is over and some of it was lost. (A LF that comes first is the
    // end of the previous line's echo.)
    if (b == '\n' && expected[got] != '\n' && got + strays > 0) {
      trace += " 0A(end)";
      break;
    }
    if (b == static_cast<uint8_t>(expected[got])) {
      snprintf(t, sizeof t, " %02X", b);
      ++got;
    } else {
      snprintf(t, sizeof t, " %.2X!=%.2X", b, static_cast<uint8_t>(expected[got]));
      ++strays;
    }
    trace += t;
  }
  if (matched != nullptr)
    *matched = got;
  if (Log::IsActive(DEBUG_NXPSerial_E))
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\nrecv Echo:[%s]\n",
             hexText(reinterpret_cast<const uint8_t *>(expected), count).c_str(), static_cast<int>(count),
             trace.c_str());
  return got == count ? cErrNone : cErrTimeout;
}

cErr NXPSerialClass::SendCommand(const char *text, int waitMs) {
  size_t len = strlen(text);
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexText(reinterpret_cast<const uint8_t *>(text), len).c_str(),
             printable(text, len).c_str());
  if (stream == nullptr)
    return cErrNotReady;
  cErr err = cStream_Write(stream, text, len);
  if (err == cErrNone)
    bytes_sent += len;
  if (err != cErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", cError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", cError_GetErrorText(err));
    return err;
  }
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    cTime_MSSleep(static_cast<uint32_t>(waitMs));
  }
  if (echo) {
    size_t want = len > 0 && text[len - 1] == '\n' ? len - 1 : len;
    size_t matched = 0;
    GetEcho(text, want, &matched);
    if (matched < want)
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
               static_cast<int>(len));
  }
  return cErrNone;
}

cErr NXPSerialClass::Send(const char *text, size_t len, bool expectEcho) {
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexText(reinterpret_cast<const uint8_t *>(text), len).c_str(),
             escaped(text, len).c_str());
  if (stream == nullptr)
    return cErrNotReady;
  cErr err = cStream_Write(stream, text, len);
  if (err == cErrNone)
    bytes_sent += len;
  if (err != cErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", cError_GetErrorText(err));
    return err;
  }
  if (expectEcho) {
    size_t want = len > 0 && text[len - 1] == '\n' ? len - 1 : len;
    size_t matched = 0;
    GetEcho(text, want, &matched);
    if (matched < want)
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
               static_cast<int>(len));
  }
  return cErrNone;
}

cErr NXPSerialClass::Response(char *buffer, size_t capacity, size_t *length, const char *expected,
                              size_t expectedLength) {
  size_t max = expected != nullptr ? expectedLength : capacity - 1;
  if (max > capacity - 1)
    max = capacity - 1;
  uint32_t wait = WAIT_TIME_MS(static_cast<uint32_t>(expectedLength), baud_rate ? baud_rate : 9600);
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(expectedLength),
           baud_rate, wait);
  cTime_MSSleep(wait + 20);
  size_t n = 0, dropped = 0;
  int failed = 0;
  cErr last = cErrNone;
  while (n < max && failed < SilenceBudget(kLineAttempts)) {
    uint8_t b;
    uint32_t t0 = cTime_GetMSTicks();
    last = ReadByte(&b);
    if (last != cErrNone) {
      failed += static_cast<int>(std::max<uint32_t>(1, cTime_MSSince(t0)));
      Log::log(DEBUG_NXPSerial_E, ".");
      if (stream == nullptr)
        break;
      cTime_MSSleep(1);
      continue;
    }
    // Dropped bytes are counted too: a line streaming nothing but line ends
    // or zero bytes must not keep the read going for ever.
    if (n == 0 && b == '\n') {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      if (++dropped > kMaxDropped)
        break;
      continue;
    }
    if (n == 0 && b == '\r') {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      if (++dropped > kMaxDropped)
        break;
      continue;
    }
    if (n <= 2 && b == 0) {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      if (++dropped > kMaxDropped)
        break;
      continue;
    }
    if (expected != nullptr && n < expectedLength && static_cast<uint8_t>(expected[n]) != b)
      Log::log(DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(n), b, isprint(b) ? b : '.', expected[n], static_cast<uint8_t>(expected[n]));
    buffer[n++] = static_cast<char>(b);
    if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n')
      break;
  }
  buffer[n] = '\0';
  if (length != nullptr)
    *length = n;
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::log(DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", hexText(reinterpret_cast<const uint8_t *>(buffer), n).c_str(),
             escaped(buffer, n).c_str());
  return last;
}

// A return code is a decimal number ended by CR LF. With echo off the boot
// ROM's answer starts the line; with echo on the line may still carry what
// came before the code, so the code is the number that ends just before the
// CR LF. The whole number decides: judging one digit would take 10
// (COMPARE_ERROR) for success.
bool NXPSerialClass::ReturnCodeIsSuccess(const char *line, size_t length, bool echo) {
  if (line == nullptr || length == 0)
    return false;
  size_t end = length;
  if (end >= 2 && line[end - 2] == '\r' && line[end - 1] == '\n')
    end -= 2;
  size_t at = echo && length > 2 ? length - 3 : 0;
  if (at >= length || line[at] != '0')
    return false;
  if (!echo || length <= 2) {
    // The code starts the line: "0" must not be followed by another digit.
    return !(at + 1 < end && isdigit(static_cast<unsigned char>(line[at + 1])));
  }
  // The code ends at the character before CR LF: "0" must not be preceded by
  // another digit.
  return !(at > 0 && isdigit(static_cast<unsigned char>(line[at - 1])));
}

cErr NXPSerialClass::CheckReturnCode(const char *command, const char *errorPrefix, int attempts) {
  char line[kLineSize];
  size_t n = 0;
  cErr err = GetLine(line, sizeof line, &n, attempts);
  if (ReturnCodeIsSuccess(line, n, echo))
    return cErrNone;
  if (n == 0 && err != cErrNone) {
    // Nothing came back: the stream's status, not a refusal.
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s] (no answer to %s)\n", errorPrefix, cError_GetErrorText(err),
             command);
    return err;
  }
  // The text of the code that was actually sent.
  const char *code = line;
  if (echo && n > 2) {
    size_t at = n - 3;
    while (at > 0 && isdigit(static_cast<unsigned char>(line[at - 1])))
      --at;
    code = line + at;
  }
  Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", errorPrefix, GetErrorText(code));
  return cErrParam;
}

cErr NXPSerialClass::SimpleCommand(const char *text, const char *errorPrefix, int attempts) {
  cErr err = SendCommand(text, 0);
  if (err != cErrNone) {
    std::string cmd(text);
    while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r'))
      cmd.pop_back();
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", errorPrefix, cmd.c_str(),
             cError_GetErrorText(err));
    return err;
  }
  return CheckReturnCode(text, errorPrefix, attempts);
}

// ---- protocol steps --------------------------------------------------------------

cErr NXPSerialClass::Sync() {
  char buffer[kLineSize];
  size_t n = 0;
  static const char kSync[] = "Synchronized\r\n";
  static const size_t kSyncLength = sizeof kSync - 1;

  Log::log(DEBUG_NXPSerial, "Sync()\n");
  cErr err = Send("?", 1, false);
  if (err != cErrNone)
    return err;
  err = Response(buffer, sizeof buffer, &n, kSync, kSyncLength);
  if (err != cErrNone) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             cError_GetErrorText(err), escaped(buffer, n).c_str());
    // A boot ROM synchronised earlier in this power-up takes "?" as the
    // start of a command line and, with echo on, echoes it. (With echo off
    // it stays quiet, as other boot ROMs on the port do: nothing more is
    // sent to those.)
    if (n == 1 && buffer[0] == '?')
      return ResumeSynchronised(err);
    return err;
  }
  if (strncmp(buffer, kSync, kSyncLength) != 0)
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", escaped(buffer, n).c_str());

  err = Send(kSync, kSyncLength, false);
  if (err != cErrNone)
    return err;
  Response(buffer, sizeof buffer, &n, kSync, kSyncLength - 1);
  memset(buffer, 0, sizeof buffer);
  Response(buffer, sizeof buffer, &n, "OK\r\n", 4);
  if (strncmp(buffer, "OK", 2) != 0)
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", escaped(buffer, n).c_str(),
             "OK\\r\\n");

  char crystal[32];
  int len = snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5));
  err = Send(crystal, static_cast<size_t>(len), false);
  if (err != cErrNone)
    return err;
  Response(buffer, sizeof buffer, &n, crystal, static_cast<size_t>(len) - 1);
  memset(buffer, 0, sizeof buffer);
  err = Response(buffer, sizeof buffer, &n, "OK\r\n", 4);
  if (err != cErrNone)
    return err;
  // A boot ROM that did not take the crystal line is not synchronised, even
  // when it sent something.
  if (strncmp(buffer, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", escaped(buffer, n).c_str(),
             "OK\\r\\n");
    return cErrIO;
  }
  return cErrNone;
}

// The boot ROM answered "?" as a synchronised one does. Ending the line makes
// it answer INVALID_COMMAND (1), which confirms it.
cErr NXPSerialClass::ResumeSynchronised(cErr silence) {
  char buffer[kLineSize];
  size_t n = 0;
  cErr err = Send("\r\n", 2, false);
  if (err != cErrNone)
    return err;
  // The echo of the line end, then the code.
  err = Response(buffer, sizeof buffer, &n, "1\r\n", 3);
  if (err != cErrNone || strcmp(buffer, "1\r\n") != 0) {
    Log::log(DEBUG_NXPSerial, "Not a synchronised boot ROM either: [%s]\n", escaped(buffer, n).c_str());
    return n == 0 && err != cErrNone ? silence : cErrIO;
  }
  Log::log(DEBUG_NXPSerial, "Boot ROM already synchronised\n");
  echo = true;
  return cErrNone;
}

cErr NXPSerialClass::GetDeviceID() {
  for (uint32_t &w : device_serial_number)
    w = 0;
  cErr err = SendCommand("N\r\n", 0);
  if (err != cErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", "N", cError_GetErrorText(err));
    return err;
  }
  char line[kLineSize];
  size_t n = 0;
  err = GetLine(line, sizeof line, &n, kLineAttempts); // the return code (its value is not checked)
  if (n == 0 && err != cErrNone)
    return err;
  for (int i = 0; i < 4; ++i) {
    err = GetLine(line, 32, &n, kLineAttempts);
    // A word that never came must not pass for a serial number of zeros.
    if (n == 0 || !isdigit(static_cast<unsigned char>(line[0]))) {
      Log::log(DEBUG_NXPSerial, "GetDeviceID() no serial number word %d [%s]\n", i, cError_GetErrorText(err));
      for (uint32_t &w : device_serial_number)
        w = 0;
      return err != cErrNone ? err : cErrIO;
    }
    device_serial_number[i] = static_cast<uint32_t>(strtoul(line, nullptr, 0));
  }
  Log::log(DEBUG_NXPSerial, "Device serial number: %08X %08X %08X %08X\n", device_serial_number[0],
           device_serial_number[1], device_serial_number[2], device_serial_number[3]);
  return cErrNone;
}

cErr NXPSerialClass::Unlock() { return SimpleCommand("U 23130\r\n", ""); }

cErr NXPSerialClass::SetEcho(bool on) {
  char cmd[16];
  snprintf(cmd, sizeof cmd, "A %d\r\n", on ? 1 : 0);
  cErr err = SimpleCommand(cmd, "");
  if (err == cErrNone)
    echo = on;
  return err;
}

cErr NXPSerialClass::SetBaudRate(uint32_t rate) {
  char cmd[32];
  snprintf(cmd, sizeof cmd, "B %u %d\r\n", rate, 1);
  cErr err = SimpleCommand(cmd, "");
  if (err != cErrNone)
    return err;
  // The boot ROM now talks at the new rate: follow it when the port can.
  unsigned index;
  if (cStream_SerialBaudIndex(rate, &index) == cErrNone && rate != baud_rate) {
    bool keepEcho = echo;
    char port[sizeof port_name];
    snprintf(port, sizeof port, "%s", port_name);
    err = Connect(port, rate);
    echo = keepEcho;
  }
  return err;
}

cErr NXPSerialClass::Prepare(uint32_t first, uint32_t last) {
  if (last < first)
    return cErrParam;
  char cmd[48];
  snprintf(cmd, sizeof cmd, "P %u %u\r\n", first, last);
  return SimpleCommand(cmd, "");
}

cErr NXPSerialClass::Erase(uint32_t first, uint32_t last) {
  if (last < first)
    return cErrParam;
  char cmd[48];
  snprintf(cmd, sizeof cmd, "E %u %u\r\n", first, last);
  return SimpleCommand(cmd, "", kEraseAttempts);
}

cErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t *bytes) {
  if (count == 0 || count % 4 != 0 || bytes == nullptr)
    return cErrParam;
  char cmd[48];
  snprintf(cmd, sizeof cmd, "W %u %u\r\n", address, count);
  cErr err = SimpleCommand(cmd, "Write() ");
  if (err != cErrNone)
    return err;

  uint32_t acked = 0, position = 0, groupSum = 0;
  int lines = 0, failures = 0;
  char line[kLineSize];
  while (acked < count) {
    size_t n = uuencode(line, bytes + position, count - position);
    groupSum += sum(bytes + position, n);
    position += static_cast<uint32_t>(n);
    ++lines;
    size_t len = strlen(line);
    line[len] = '\r';
    line[len + 1] = '\n';
    err = Send(line, len + 2, echo);
    if (err != cErrNone) {
      Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", "data", cError_GetErrorText(err));
      return err;
    }
    if (lines < LINES_PER_CHECKSUM && position < count)
      continue;

    char check[24];
    int clen = snprintf(check, sizeof check, "%u\r\n", groupSum);
    Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", groupSum, static_cast<int>(groupSum));
    err = Send(check, static_cast<size_t>(clen), echo);
    if (err != cErrNone) {
      Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", "checksum", cError_GetErrorText(err));
      return err;
    }
    uint32_t start = cTime_GetMSTicks();
    char reply[kLineSize];
    size_t rn = 0;
    err = GetLine(reply, sizeof reply, &rn, kChecksumAttempts);
    Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n", static_cast<int>(cTime_MSSince(start)));
    lines = 0;
    groupSum = 0;
    if (strcmp(reply, "OK\r\n") == 0) {
      acked = position;
      Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(acked),
               static_cast<int>(count), 100.0 * acked / count);
    } else if (strcmp(reply, "RESEND\r\n") == 0) {
      if (++failures >= MAX_READ_RETRY) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        return cErrTimeout;
      }
      position = acked;
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", escaped(reply, rn).c_str());
      return rn == 0 && err != cErrNone ? err : cErrIO;
    }
  }
  return cErrNone;
}

cErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t *out) {
  if (count == 0 || count % 4 != 0 || out == nullptr)
    return cErrParam;
  char cmd[48];
  snprintf(cmd, sizeof cmd, "R %u %u\r\n", address, count);
  cErr err = SimpleCommand(cmd, "");
  if (err != cErrNone)
    return err;

  uint32_t acked = 0, position = 0, groupSum = 0;
  int lines = 0, failures = 0;
  char line[kLineSize];
  size_t n = 0;
  while (acked < count) {
    err = GetLine(line, sizeof line, &n, kLineAttempts);
    if (n == 0 && err != cErrNone)
      return err;
    size_t got = uudecode(out + position, count - position, line);
    groupSum += sum(out + position, got);
    position += static_cast<uint32_t>(got);
    ++lines;
    if (lines < LINES_PER_CHECKSUM && position < count)
      continue;
    err = GetLine(line, sizeof line, &n, kLineAttempts);
    if (n == 0 && err != cErrNone)
      return err;
    lines = 0;
    uint32_t expected = static_cast<uint32_t>(strtoul(line, nullptr, 10));
    bool match = n > 0 && isdigit(static_cast<unsigned char>(line[0])) && expected == groupSum;
    groupSum = 0;
    if (match) {
      acked = position;
      err = Send("OK\r\n", 4, echo);
      if (err != cErrNone)
        return err;
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(acked),
               static_cast<int>(count), 100.0 * acked / count);
    } else {
      err = Send("RESEND\r\n", 8, echo);
      if (err != cErrNone)
        return err;
      if (++failures >= MAX_READ_RETRY) {
        Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
        return cErrTimeout;
      }
      position = acked;
    }
  }
  return cErrNone;
}

cErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
    return cErrParam;
  char cmd[64];
  snprintf(cmd, sizeof cmd, "C %u %u %u\r\n", flashAddress, ramAddress, count);
  return SimpleCommand(cmd, "");
}

cErr NXPSerialClass::Compare(uint32_t address1, uint32_t address2, uint32_t count) {
  if (count == 0 || count % 4 != 0 || address1 % 4 != 0 || address2 % 4 != 0)
    return cErrParam;
  char cmd[64];
  snprintf(cmd, sizeof cmd, "M %u %u %u\r\n", address1, address2, count);
  cErr err = SimpleCommand(cmd, "");
  if (err == cErrParam) {
    // COMPARE_ERROR is followed by the offset of the first difference.
    char line[kLineSize];
    size_t n = 0;
    GetLine(line, sizeof line, &n, kLineAttempts);
  }
  return err;
}

cErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char cmd[32];
  snprintf(cmd, sizeof cmd, "G %u T\r\n", address);
  cErr err = SendCommand(cmd, 0);
  if (err != cErrNone)
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", "G", cError_GetErrorText(err));
  return err;
}

cErr NXPSerialClass::GetBootLoaderVersion(uint32_t *major, uint32_t *minor) {
  cErr err = SendCommand("K\r\n", 0);
  if (err != cErrNone)
    return err;
  char line[kLineSize];
  size_t n = 0;
  GetLine(line, sizeof line, &n, kLineAttempts); // the return code
  GetLine(line, 32, &n, kLineAttempts);
  uint32_t a = static_cast<uint32_t>(strtoul(line, nullptr, 0));
  GetLine(line, 32, &n, kLineAttempts);
  uint32_t b = static_cast<uint32_t>(strtoul(line, nullptr, 0));
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", static_cast<int>(a), static_cast<int>(b));
  if (major != nullptr)
    *major = a;
  if (minor != nullptr)
    *minor = b;
  return cErrNone;
}

cErr NXPSerialClass::GetPartNumber(uint32_t *partNumber) {
  cErr err = SendCommand("J\r\n", 0);
  if (err != cErrNone)
    return err;
  char line[kLineSize];
  size_t n = 0;
  GetLine(line, sizeof line, &n, kLineAttempts); // the return code
  GetLine(line, 32, &n, kLineAttempts);
  long long v = strtoll(line, nullptr, 0);
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", v);
  if (partNumber != nullptr)
    *partNumber = static_cast<uint32_t>(v);
  return cErrNone;
}

// ---- class-level helpers ------------------------------------------------------

const char *NXPSerialClass::GetErrorText(const char *line) {
  if (line == nullptr)
    return ERROR_TEXT[MAX_ERROR];
  long v = strtol(line, nullptr, 0);
  if (v < 0 || v > MAX_ERROR)
    return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[v];
}

uint32_t NXPSerialClass::sum(const uint8_t *bytes, size_t count) {
  uint32_t s = 0;
  for (size_t i = 0; i < count; ++i)
    s += bytes[i];
  return s;
}

size_t NXPSerialClass::uuencode(char *out, const uint8_t *bytes, size_t count) {
  size_t n = count < static_cast<size_t>(MAX_BYTES_PER_LINE) ? count : MAX_BYTES_PER_LINE;
  size_t o = 0;
  out[o++] = uuChar(static_cast<unsigned>(n));
  for (size_t i = 0; i < n; i += 3) {
    uint32_t b0 = bytes[i];
    uint32_t b1 = i + 1 < n ? bytes[i + 1] : 0;
    uint32_t b2 = i + 2 < n ? bytes[i + 2] : 0;
    uint32_t v = (b0 << 16) | (b1 << 8) | b2;
    out[o++] = uuChar((v >> 18) & 0x3F);
    out[o++] = uuChar((v >> 12) & 0x3F);
    out[o++] = uuChar((v >> 6) & 0x3F);
    out[o++] = uuChar(v & 0x3F);
  }
  out[o] = '\0';
  return n;
}

size_t NXPSerialClass::uudecode(uint8_t *out, size_t capacity, const char *line) {
  if (line == nullptr || line[0] == '\0')
    return 0;
  size_t count = static_cast<size_t>((static_cast<unsigned char>(line[0]) - 32) & 0x3F);
  if (count > capacity)
    return 0;
  size_t len = strlen(line);
  size_t produced = 0;
  for (size_t i = 1; produced < count; i += 4) {
    if (i >= len) {
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      break;
    }
    // A short last group is read as if padded with zero values.
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      uint32_t c = i + k < len ? static_cast<unsigned char>(line[i + k]) : ' ';
      v = (v << 6) | ((c - 32) & 0x3F);
    }
    for (int k = 2; k >= 0 && produced < count; --k)
      out[produced++] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
  }
  return produced;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count) {
  for (uint32_t size : {256u, 512u, 1024u, 4096u})
    if (size >= count)
      return size;
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
  return count;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  for (const NXPSectorInfo &s : NXP_LPC17XX_sectors) {
    if (s.size == 0)
      break;
    if (address >= s.start && address - s.start < s.size)
      return s.sector;
  }
  return 30;
}
