#include "recovery/SDPLoader.h"

#include <algorithm>

#include "app/Log.h"

namespace {

void putBE32(std::vector<uint8_t> &p, size_t at, uint32_t v) {
  p[at] = uint8_t(v >> 24);
  p[at + 1] = uint8_t(v >> 16);
  p[at + 2] = uint8_t(v >> 8);
  p[at + 3] = uint8_t(v);
}

std::vector<uint8_t> command(uint8_t code, uint32_t address, uint8_t format, uint32_t count) {
  std::vector<uint8_t> p(SDPLoader::MAX_COMMAND_BYTES, 0);
  p[0] = SDPLoader::REPORT_COMMAND;
  p[1] = code;
  p[2] = code;
  putBE32(p, 3, address);
  p[7] = format;
  putBE32(p, 8, count);
  return p;
}

void logBytes(const uint8_t *data, size_t length) {
  for (size_t i = 0; i < length; ++i)
    Log::log(DEBUG_iMXSerial, "%X ", data[i]);
  Log::log(DEBUG_iMXSerial, "\n");
}

void logBytes(const std::vector<uint8_t> &bytes) { logBytes(bytes.data(), bytes.size()); }

constexpr int kAnswerWaitMs = 100;
constexpr int kStatusAttempts = 5;

} // namespace

SDPLoader::~SDPLoader() { delete transport_; }

bool SDPLoader::setLoader(SDPLoader_Interface *transport) {
  if (!transport || transport_)
    return false;
  transport_ = transport;
  return true;
}

cErr SDPLoader::init() {
  if (!transport_)
    return cErrMemory;
  return transport_->init() ? cErrNone : cErrIO;
}

std::vector<uint8_t> SDPLoader::statusCommand() { return command(0x05, 0, 0, 0); }

std::vector<uint8_t> SDPLoader::writeFileCommand(uint32_t address, uint32_t count) {
  return command(0x04, address, 0x20, count);
}

std::vector<uint8_t> SDPLoader::jumpCommand(uint32_t address) { return command(0x0B, address, 0, 0); }

std::vector<uint8_t> SDPLoader::readRegisterCommand(uint32_t address) { return command(0x01, address, 0x20, 4); }

ssize_t SDPLoader::send(const std::vector<uint8_t> &packet, const char *label) {
  ssize_t n = transport_->writeData(packet);
  Log::log(DEBUG_iMXSerial, label, n);
  logBytes(packet);
  return n;
}

ssize_t SDPLoader::receive(std::vector<uint8_t> &in, int waitMs, const char *label) {
  in.clear();
  ssize_t n = transport_->readData(in, waitMs);
  Log::log(DEBUG_iMXSerial, label, n);
  logBytes(in);
  return n;
}

bool SDPLoader::connectionCheck() {
  std::vector<uint8_t> in;
  for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
    ssize_t n = transport_->writeData(statusCommand());
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", size_t(n < 0 ? 0 : n));
    logBytes(statusCommand());
    receive(in, kAnswerWaitMs, "Read Data: %zd\n");
    // A port that sends back what it got (another kind of boot ROM with its
    // echo on, a loop-back) is no i.MX boot ROM, however many bytes came.
    const std::vector<uint8_t> sent = statusCommand();
    if (in.size() >= sent.size() - 1 && std::equal(sent.begin() + 1, sent.end(), in.begin())) {
      Log::log(DEBUG_iMXSerial, "Echo of the status command: not an i.MX boot ROM\n");
      continue;
    }
    uint32_t word = 0;
    if (transport_->getDataFromBuffer(in, 0, word))
      return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t> &bytes, uint32_t address) {
  return writeLoader(bytes.data(), bytes.size(), address);
}

int SDPLoader::writeLoader(const uint8_t *bytes, size_t length, uint32_t address) {
  if (!transport_ || !connectionCheck())
    return SDP_NO_ANSWER;
  if (send(writeFileCommand(address, uint32_t(length)), "Write Res: %zd\n") <= 0)
    return SDP_NO_ANSWER; // the command never left: nothing was started
  std::vector<uint8_t> in, report;
  report.reserve(MAX_WRITE_BYTES + 1);
  int total = 0, loop = 0;
  size_t done = 0;
  while (done < length) {
    in.clear();
    ssize_t got = transport_->readData(in, 0);
    if (got > 0) {
      Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return SDP_DATA_IN_TRANSFER;
    }
    size_t n = std::min(MAX_WRITE_BYTES, length - done);
    report.assign(1, REPORT_DATA);
    report.insert(report.end(), bytes + done, bytes + done + n);
    ssize_t w = transport_->writeData(report);
    if (w < 0) {
      // The rest of the image cannot follow: the file stays incomplete.
      Log::log(DEBUG_iMXSerial, "Error writing data report %d (%zd). Aborting\n", loop, w);
      return SDP_NO_COMPLETION;
    }
    total += int(w);
    done += n;
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", w, total, loop,
             long(done), ssize_t(report.size()));
    ++loop;
  }
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  in.clear();
  transport_->readData(in, kAnswerWaitMs);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  logBytes(in);
  uint32_t word = 0;
  if (transport_->getDataFromBuffer(in, 0, word) && word == WRITE_FILE_COMPLETE) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return SDP_OK;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return SDP_NO_COMPLETION;
}

void SDPLoader::startLoader(uint32_t address) {
  if (!transport_)
    return;
  send(jumpCommand(address), "Write Res: %zd\n");
  std::vector<uint8_t> in;
  transport_->readData(in, kAnswerWaitMs); // the jump may be taken before any answer
}

bool SDPLoader::readRegister(uint32_t address, uint32_t &value) {
  std::vector<uint8_t> in;
  ssize_t n = transport_->writeData(readRegisterCommand(address));
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", size_t(n < 0 ? 0 : n));
  logBytes(readRegisterCommand(address));
  receive(in, kAnswerWaitMs, "Read Data: %zd\n");
  uint32_t word = 0;
  if (!transport_->getDataFromBuffer(in, 0, word))
    return false;
  value = word;
  return true;
}

int SDPLoader::getFingerprint(uint64_t &value) {
  if (!transport_ || !connectionCheck())
    return SDP_NO_ANSWER;
  uint32_t low = 0, high = 0;
  if (!readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low) ||
      !readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high))
    return SDP_READ_FAILED;
  value |= uint64_t(low) | (uint64_t(high) << 32);
  return SDP_OK;
}
