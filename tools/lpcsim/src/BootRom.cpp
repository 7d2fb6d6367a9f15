#include "lpcsim/BootRom.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace lpcsim {

namespace {

constexpr size_t kMaxLine = 512;
// What the first 64 bytes of flash read as through the boot ROM's mapping.
constexpr uint32_t kRemappedBytes = 64;
const uint8_t kBootVectors[kRemappedBytes] = {0x00, 0x01, 0x00, 0x10, 0x51, 0x02, 0x00, 0x1F, 0x5D, 0x02, 0x00,
                                              0x1F, 0x61, 0x02, 0x00, 0x1F, 0x65, 0x02, 0x00, 0x1F, 0x69, 0x02,
                                              0x00, 0x1F, 0x6D, 0x02, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00};
constexpr unsigned kLinesPerGroup = 20;
constexpr unsigned kBytesPerLine = 45;

bool number(const std::string &text, uint32_t &out) {
  if (text.empty() || text.size() > 10)
    return false;
  for (char c : text)
    if (c < '0' || c > '9')
      return false;
  unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull)
    return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> words(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string w;
  while (in >> w)
    out.push_back(w);
  return out;
}

char uuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(v + 32); }

std::string uuLine(const uint8_t *bytes, size_t n) {
  std::string s(1, uuChar(static_cast<unsigned>(n)));
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v =
        uint32_t(bytes[i]) << 16 | uint32_t(i + 1 < n ? bytes[i + 1] : 0) << 8 | (i + 2 < n ? bytes[i + 2] : 0);
    for (int k = 18; k >= 0; k -= 6)
      s += uuChar((v >> k) & 0x3F);
  }
  return s;
}

// Decodes one UU line into at most room bytes; returns the bytes produced.
size_t uuDecode(const std::string &line, uint8_t *out, size_t room) {
  if (line.empty())
    return 0;
  size_t count = (static_cast<unsigned char>(line[0]) - 32) & 0x3F;
  size_t produced = 0;
  for (size_t i = 1; produced < count && i < line.size(); i += 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k)
      v = v << 6 | ((static_cast<unsigned char>(i + k < line.size() ? line[i + k] : ' ') - 32) & 0x3F);
    for (int k = 16; k >= 0 && produced < count; k -= 8, ++produced)
      if (produced < room)
        out[produced] = static_cast<uint8_t>(v >> k);
  }
  return produced < room ? produced : room;
}

} // namespace

BootRom::BootRom() : flash_(kFlashSize, 0xFF), ram_(kRamSize, 0), ahbRam_(kAhbRamSize, 0) {}

uint32_t BootRom::sectorOf(uint32_t address) {
  if (address < 0x10000)
    return address / 0x1000;
  if (address < kFlashSize)
    return 16 + (address - 0x10000) / 0x8000;
  return 30;
}

uint32_t BootRom::sectorStart(uint32_t sector) {
  return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}

void BootRom::reset() {
  state_ = State::Autobaud;
  lineBuffer_.clear();
  echo_ = true;
  unlocked_ = false;
  prepared_.fill(false);
  std::fill(ram_.begin(), ram_.end(), 0);
  std::fill(ahbRam_.begin(), ahbRam_.end(), 0);
  goAddress_ = 0;
}

uint8_t *BootRom::mapped(uint32_t address, uint32_t count, bool flashToo) {
  uint64_t end = uint64_t(address) + count;
  if (address >= kRamBase && end <= uint64_t(kRamBase) + kRamSize)
    return ram_.data() + (address - kRamBase);
  if (address >= kAhbRamBase && end <= uint64_t(kAhbRamBase) + kAhbRamSize)
    return ahbRam_.data() + (address - kAhbRamBase);
  if (flashToo && end <= kFlashSize)
    return flash_.data() + address;
  return nullptr;
}

std::vector<uint8_t> BootRom::memory(uint32_t address, uint32_t count) const {
  uint8_t *p = const_cast<BootRom *>(this)->mapped(address, count, true);
  return p == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(p, p + count);
}

void BootRom::code(int rc, std::string &out) { out += std::to_string(rc) + "\r\n"; }

void BootRom::receive(uint8_t byte, std::string &out) {
  if (faults_.silent || state_ == State::Running)
    return;
  if (state_ == State::Autobaud) {
    // The chip measures the rate on "?" and answers; anything else is noise.
    if (byte == '?') {
      out += faults_.syncGarbage;
      out += "Synchronized\r\n";
      state_ = State::SyncLine;
      lineBuffer_.clear();
    }
    return;
  }
  // Every received character is echoed while echo is on, before the line it
  // ends is acted on.
  if (echo_) {
    if (faults_.dropEchoBytes > 0)
      --faults_.dropEchoBytes;
    else
      out += static_cast<char>(byte);
  }
  if (byte == '\n') {
    std::string text;
    text.swap(lineBuffer_);
    if (!text.empty())
      line(text, out);
    return;
  }
  if (byte == '\r')
    return; // a line ends at LF; CR is dropped
  if (lineBuffer_.size() < kMaxLine)
    lineBuffer_ += static_cast<char>(byte);
}

void BootRom::line(const std::string &text, std::string &out) {
  switch (state_) {
  case State::SyncLine:
    if (text == "Synchronized") {
      out += "OK\r\n";
      state_ = State::Crystal;
    } else {
      state_ = State::Autobaud; // start over with "?"
    }
    return;
  case State::Crystal: {
    uint32_t khz;
    if (number(text, khz)) {
      crystal_ = khz;
      out += "OK\r\n";
      state_ = State::Command;
    } else {
      state_ = State::Autobaud;
    }
    return;
  }
  case State::Command: command(text, out); return;
  case State::WriteData: writeDataLine(text, out); return;
  case State::ReadAck: readAckLine(text, out); return;
  default: return;
  }
}

void BootRom::command(const std::string &text, std::string &out) {
  commands_.push_back(text);
  std::vector<std::string> w = words(text);
  if (w.empty() || w[0].size() != 1) {
    code(INVALID_COMMAND, out);
    return;
  }
  char letter = w[0][0];
  if (faults_.silentAfter == letter)
    faults_.silent = true; // this command is answered, nothing after it
  auto refused = faults_.refuse.find(letter);
  if (refused != faults_.refuse.end() && refused->second.second > 0) {
    if (refused->second.second != ~0u)
      --refused->second.second;
    code(refused->second.first, out);
    return;
  }
  std::vector<uint32_t> a;
  for (size_t i = 1; i < w.size(); ++i) {
    uint32_t v;
    if (letter == 'G' && i == 2)
      continue; // the mode letter
    if (!number(w[i], v)) {
      code(PARAM_ERROR, out);
      return;
    }
    a.push_back(v);
  }
  auto args = [&](size_t n) {
    if (a.size() == n)
      return true;
    code(PARAM_ERROR, out);
    return false;
  };
  auto sectors = [&](uint32_t first, uint32_t last) {
    if (first > last || last >= kSectorCount) {
      code(INVALID_SECTOR, out);
      return false;
    }
    return true;
  };
  auto locked = [&] {
    if (unlocked_)
      return false;
    code(CMD_LOCKED, out);
    return true;
  };

  switch (letter) {
  case 'U':
    if (!args(1))
      return;
    if (a[0] != kUnlockCode) {
      code(INVALID_CODE, out);
      return;
    }
    unlocked_ = true;
    code(CMD_SUCCESS, out);
    return;
  case 'A':
    if (!args(1))
      return;
    if (a[0] > 1) {
      code(PARAM_ERROR, out);
      return;
    }
    echo_ = a[0] == 1;
    code(CMD_SUCCESS, out);
    return;
  case 'B': {
    if (!args(2))
      return;
    static const uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    if (std::find(std::begin(rates), std::end(rates), a[0]) == std::end(rates)) {
      code(INVALID_BAUD_RATE, out);
      return;
    }
    if (a[1] != 1 && a[1] != 2) {
      code(INVALID_STOP_BIT, out);
      return;
    }
    baudRequested_ = a[0];
    code(CMD_SUCCESS, out);
    return;
  }
  case 'N':
    if (!args(0))
      return;
    code(CMD_SUCCESS, out);
    for (uint32_t word : uid_)
      out += std::to_string(word) + "\r\n";
    return;
  case 'J':
    if (!args(0))
      return;
    code(CMD_SUCCESS, out);
    out += std::to_string(partId_) + "\r\n";
    return;
  case 'K':
    if (!args(0))
      return;
    code(CMD_SUCCESS, out);
    out += std::to_string(bootMajor_) + "\r\n" + std::to_string(bootMinor_) + "\r\n";
    return;
  case 'P':
    if (!args(2) || !sectors(a[0], a[1]))
      return;
    for (uint32_t s = a[0]; s <= a[1]; ++s)
      prepared_[s] = true;
    code(CMD_SUCCESS, out);
    return;
  case 'E':
    if (!args(2) || locked() || !sectors(a[0], a[1]))
      return;
    for (uint32_t s = a[0]; s <= a[1]; ++s)
      if (!prepared_[s]) {
        code(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION, out);
        return;
      }
    // A successful erase protects its sectors again.
    for (uint32_t s = a[0]; s <= a[1]; ++s) {
      uint32_t end = s + 1 < kSectorCount ? sectorStart(s + 1) : kFlashSize;
      std::fill(flash_.begin() + sectorStart(s), flash_.begin() + end, 0xFF);
      prepared_[s] = false;
    }
    code(CMD_SUCCESS, out);
    return;
  case 'I': {
    if (!args(2) || !sectors(a[0], a[1]))
      return;
    uint32_t end = a[1] + 1 < kSectorCount ? sectorStart(a[1] + 1) : kFlashSize;
    for (uint32_t i = sectorStart(a[0]); i < end; ++i)
      if (flash_[i] != 0xFF) {
        uint32_t at = i & ~3u, word;
        std::memcpy(&word, &flash_[at], 4);
        code(SECTOR_NOT_BLANK, out);
        out += std::to_string(at) + "\r\n" + std::to_string(word) + "\r\n";
        return;
      }
    code(CMD_SUCCESS, out);
    return;
  }
  case 'W':
    if (!args(2) || locked())
      return;
    if (a[0] % 4 != 0) {
      code(ADDR_ERROR, out);
      return;
    }
    if (a[1] % 4 != 0) {
      code(COUNT_ERROR, out);
      return;
    }
    if (mapped(a[0], a[1], false) == nullptr) {
      code(ADDR_NOT_MAPPED, out);
      return;
    }
    code(CMD_SUCCESS, out);
    if (a[1] == 0)
      return;
    xferAddress_ = a[0], xferCount_ = a[1], xferPosition_ = xferAcked_ = 0;
    groupSum_ = 0, groupLines_ = 0, groupNumber_ = 1;
    groupResends_.clear();
    state_ = State::WriteData;
    return;
  case 'R':
    if (!args(2))
      return;
    if (a[0] % 4 != 0) {
      code(ADDR_ERROR, out);
      return;
    }
    if (a[1] % 4 != 0) {
      code(COUNT_ERROR, out);
      return;
    }
    if (mapped(a[0], a[1], true) == nullptr) {
      code(ADDR_NOT_MAPPED, out);
      return;
    }
    code(CMD_SUCCESS, out);
    if (a[1] == 0)
      return;
    xferAddress_ = a[0], xferCount_ = a[1], xferPosition_ = xferAcked_ = 0;
    sendReadGroup(out);
    state_ = State::ReadAck;
    return;
  case 'C': {
    if (!args(3) || locked())
      return;
    uint32_t dst = a[0], src = a[1], count = a[2];
    if (dst % 256 != 0) {
      code(DST_ADDR_ERROR, out);
      return;
    }
    if (src % 4 != 0) {
      code(SRC_ADDR_ERROR, out);
      return;
    }
    if (count != 256 && count != 512 && count != 1024 && count != 4096) {
      code(COUNT_ERROR, out);
      return;
    }
    if (uint64_t(dst) + count > kFlashSize) {
      code(DST_ADDR_NOT_MAPPED, out);
      return;
    }
    uint8_t *from = mapped(src, count, false);
    if (from == nullptr) {
      code(SRC_ADDR_NOT_MAPPED, out);
      return;
    }
    uint32_t first = sectorOf(dst), last = sectorOf(dst + count - 1);
    for (uint32_t s = first; s <= last; ++s)
      if (!prepared_[s]) {
        code(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION, out);
        return;
      }
    // Programming can only clear bits: unerased flash keeps its zeros.
    for (uint32_t i = 0; i < count; ++i)
      if (dst + i != faults_.stuckByte)
        flash_[dst + i] &= from[i];
    for (uint32_t s = first; s <= last; ++s)
      prepared_[s] = false;
    code(CMD_SUCCESS, out);
    return;
  }
  case 'M': {
    if (!args(3))
      return;
    uint8_t *x = mapped(a[0], a[2], true), *y = mapped(a[1], a[2], true);
    if (a[0] % 4 || a[1] % 4) {
      code(ADDR_ERROR, out);
      return;
    }
    if (a[2] % 4) {
      code(COUNT_ERROR, out);
      return;
    }
    if (x == nullptr || y == nullptr) {
      code(ADDR_NOT_MAPPED, out);
      return;
    }
    // While the boot ROM runs, its own vectors are mapped over the first 64
    // bytes of flash: a compare sees those, not what was programmed.
    auto at = [&](uint32_t address, const uint8_t *p, uint32_t i) {
      uint32_t where = address + i;
      return where < kRemappedBytes ? kBootVectors[where] : p[i];
    };
    for (uint32_t i = 0; i < a[2]; ++i)
      if (at(a[0], x, i) != at(a[1], y, i)) {
        code(COMPARE_ERROR, out);
        out += std::to_string(i & ~3u) + "\r\n";
        return;
      }
    code(CMD_SUCCESS, out);
    return;
  }
  case 'G':
    if (w.size() != 3 || a.size() != 1) {
      code(PARAM_ERROR, out);
      return;
    }
    if (locked())
      return;
    // A Cortex-M3 runs Thumb code only.
    if (w[2] != "T") {
      code(PARAM_ERROR, out);
      return;
    }
    code(CMD_SUCCESS, out);
    goAddress_ = a[0];
    state_ = State::Running;
    return;
  default: code(INVALID_COMMAND, out); return;
  }
}

void BootRom::writeDataLine(const std::string &text, std::string &out) {
  bool checksumDue = groupLines_ >= kLinesPerGroup || xferPosition_ >= xferCount_;
  if (!checksumDue) {
    uint8_t *to = mapped(xferAddress_ + xferPosition_, xferCount_ - xferPosition_, false);
    size_t n = to == nullptr ? 0 : uuDecode(text, to, xferCount_ - xferPosition_);
    for (size_t i = 0; i < n; ++i)
      groupSum_ += to[i];
    xferPosition_ += static_cast<uint32_t>(n);
    ++groupLines_;
    return;
  }
  uint32_t sum;
  bool good = number(text, sum) && sum == groupSum_;
  auto fault = faults_.resendGroups.find(groupNumber_);
  if (good && fault != faults_.resendGroups.end() && groupResends_[groupNumber_] < fault->second) {
    ++groupResends_[groupNumber_];
    good = false;
  }
  groupSum_ = 0;
  groupLines_ = 0;
  if (!good) {
    ++resends_;
    out += "RESEND\r\n";
    xferPosition_ = xferAcked_;
    return;
  }
  out += "OK\r\n";
  xferAcked_ = xferPosition_;
  ++groupNumber_;
  if (xferAcked_ >= xferCount_)
    state_ = State::Command;
}

void BootRom::sendReadGroup(std::string &out) {
  const uint8_t *from = mapped(xferAddress_, xferCount_, true);
  uint32_t sum = 0;
  for (unsigned lines = 0; lines < kLinesPerGroup && xferPosition_ < xferCount_; ++lines) {
    size_t n = std::min<size_t>(kBytesPerLine, xferCount_ - xferPosition_);
    out += uuLine(from + xferPosition_, n) + "\r\n";
    for (size_t i = 0; i < n; ++i)
      sum += from[xferPosition_ + i];
    xferPosition_ += static_cast<uint32_t>(n);
  }
  out += std::to_string(sum) + "\r\n";
}

void BootRom::readAckLine(const std::string &text, std::string &out) {
  if (text == "OK") {
    xferAcked_ = xferPosition_;
    if (xferAcked_ >= xferCount_) {
      state_ = State::Command;
      return;
    }
  } else if (text == "RESEND") {
    xferPosition_ = xferAcked_;
  } else {
    // Anything else ends the transfer and is taken as a command.
    state_ = State::Command;
    command(text, out);
    return;
  }
  sendReadGroup(out);
}

} // namespace lpcsim
