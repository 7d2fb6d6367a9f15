#include "imxsim/BootRom.h"

#include <algorithm>

namespace imxsim {

namespace {
enum : uint8_t { kReadRegister = 0x01, kWriteFile = 0x04, kErrorStatus = 0x05, kJumpAddress = 0x0B };
constexpr size_t kCommandBytes = 16;
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::vector<uint8_t> le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
} // namespace

BootRom::BootRom(BootRomConfig config) : config_(config) {}

void BootRom::setSink(Sink sink) {
  std::lock_guard<std::mutex> g(lock_);
  sink_ = std::move(sink);
}

void BootRom::setJumpListener(JumpListener listener) {
  std::lock_guard<std::mutex> g(lock_);
  jump_ = std::move(listener);
}

void BootRom::setFaults(Faults faults) {
  std::lock_guard<std::mutex> g(lock_);
  faults_ = faults;
}

void BootRom::setUniqueId(uint64_t id) {
  std::lock_guard<std::mutex> g(lock_);
  config_.uniqueId = id;
}

void BootRom::setOrder(Order order) {
  std::lock_guard<std::mutex> g(lock_);
  config_.order = order;
}

void BootRom::reset() {
  std::lock_guard<std::mutex> g(lock_);
  ram_.clear();
  writing_ = false;
  serialIn_.clear();
  jumped_.reset();
  changed_.notify_all();
}

void BootRom::hab(Out &out) { out.push_back(Answer{3, le32(config_.habMode), false}); }

void BootRom::word(Out &out, uint32_t w) {
  Answer a{4, le32(w), false};
  if (faults_.shortResponses) {
    --faults_.shortResponses;
    a.shortReport = true;
  }
  out.push_back(std::move(a));
}

void BootRom::report(const uint8_t *bytes, size_t length) {
  if (length == 0)
    return;
  Out out;
  std::optional<uint32_t> jump;
  {
    std::lock_guard<std::mutex> g(lock_);
    taken_ += length;
    if (bytes[0] == 1 && length >= 1 + kCommandBytes) {
      writing_ = false; // a command ends whatever transfer was going on
      bool wasJumped = jumped_.has_value();
      command(bytes + 1, out);
      if (!wasJumped && jumped_)
        jump = jumped_;
    } else if (bytes[0] == 2 && length > 1) {
      dataReports_.push_back(length - 1);
      data(bytes + 1, length - 1, out);
    }
    changed_.notify_all();
  }
  emit(out, jump);
}

void BootRom::serialBytes(const uint8_t *bytes, size_t length) {
  Out out;
  std::optional<uint32_t> jump;
  {
    std::lock_guard<std::mutex> g(lock_);
    taken_ += length;
    size_t i = 0;
    if (writing_ && length > 0)
      dataReports_.push_back(std::min<size_t>(length, writeLeft_));
    while (i < length) {
      if (writing_) {
        size_t n = std::min<size_t>(length - i, writeLeft_);
        data(bytes + i, n, out);
        i += n;
        continue;
      }
      // The UART has no framing: every 16 bytes are a command, whatever they
      // begin with. A stray byte (such as the "?" of an LPC probe on the
      // same port) is not dropped: it shifts every command after it until a
      // host completes the command it began.
      serialIn_.push_back(bytes[i++]);
      if (serialIn_.size() <= sizeof kAssociation && std::equal(serialIn_.begin(), serialIn_.end(), kAssociation)) {
        if (serialIn_.size() == sizeof kAssociation) {
          // Other SDP clients introduce themselves first; the bytes come back.
          ++associations_;
          serialIn_.clear();
          out.push_back(Answer{0, {kAssociation, kAssociation + 4}, false});
        }
        continue;
      }
      if (serialIn_.size() == kCommandBytes) {
        std::vector<uint8_t> c;
        c.swap(serialIn_);
        bool wasJumped = jumped_.has_value();
        command(c.data(), out);
        if (!wasJumped && jumped_)
          jump = jumped_;
      }
    }
    changed_.notify_all();
  }
  emit(out, jump);
}

void BootRom::command(const uint8_t *c, Out &out) {
  commands_.emplace_back(c, c + kCommandBytes);
  if (jumped_)
    return; // the loader runs: the boot ROM no longer listens
  if (faults_.noAnswer) {
    --faults_.noAnswer;
    if (c[0] == kWriteFile) { // the data still land, unanswered
      writing_ = true;
      writeAddress_ = be32(c + 2);
      writeLeft_ = be32(c + 7);
      writeReports_ = 0;
      answeredEarly_ = true; // nothing is said at the end either
    }
    return;
  }
  const uint32_t address = be32(c + 2);
  switch (c[0]) {
  case kErrorStatus:
    hab(out);
    word(out, kStatusOk);
    return;
  case kReadRegister: {
    uint32_t count = std::min<uint32_t>(be32(c + 7), 64);
    hab(out);
    std::vector<uint8_t> value;
    for (uint32_t at = address; value.size() < count; at += 4) {
      uint32_t w;
      if (at == kOcotpCfg0)
        w = uint32_t(config_.uniqueId);
      else if (at == kOcotpCfg1)
        w = uint32_t(config_.uniqueId >> 32);
      else {
        auto r = ram_.read(at, 4);
        w = uint32_t(r[0]) | uint32_t(r[1]) << 8 | uint32_t(r[2]) << 16 | uint32_t(r[3]) << 24;
      }
      auto b = le32(w);
      value.insert(value.end(), b.begin(), b.end());
    }
    value.resize(count);
    Answer a{4, std::move(value), false};
    if (faults_.shortResponses) {
      --faults_.shortResponses;
      a.shortReport = true;
    }
    out.push_back(std::move(a));
    return;
  }
  case kWriteFile:
    writing_ = true;
    writeAddress_ = address;
    writeLeft_ = be32(c + 7);
    writeReports_ = 0;
    answeredEarly_ = false;
    if (config_.order == Order::IMX6)
      hab(out);
    if (writeLeft_ == 0)
      finishWrite(out);
    return;
  case kJumpAddress: {
    hab(out);
    bool loaded = false;
    for (const auto &[start, bytes] : ram_.segments())
      loaded = loaded || (address >= start && address - start < bytes.size());
    if (!loaded) {
      word(out, kJumpRefused);
      return;
    }
    jumped_ = address;
    return;
  }
  default: return; // not part of what this boot ROM is asked
  }
}

void BootRom::data(const uint8_t *d, size_t n, Out &out) {
  if (!writing_ || jumped_)
    return;
  size_t take = std::min<size_t>(n, writeLeft_);
  ram_.write(writeAddress_, d, take);
  writeAddress_ += uint32_t(take);
  writeLeft_ -= uint32_t(take);
  ++writeReports_;
  if (faults_.dataDuringTransfer && writeReports_ == faults_.dataDuringTransfer && writeLeft_ > 0) {
    faults_.dataDuringTransfer = 0;
    answeredEarly_ = true;
    hab(out);
    word(out, kStatusOk);
  }
  if (writeLeft_ == 0)
    finishWrite(out);
}

void BootRom::finishWrite(Out &out) {
  writing_ = false;
  if (answeredEarly_)
    return;
  if (config_.order == Order::RT)
    hab(out);
  if (faults_.noCompletion) {
    --faults_.noCompletion;
    return;
  }
  word(out, kWriteComplete);
}

void BootRom::emit(Out &out, std::optional<uint32_t> jump) {
  Sink sink;
  JumpListener listener;
  {
    std::lock_guard<std::mutex> g(lock_);
    sink = sink_;
    listener = jump_;
  }
  if (sink)
    for (const Answer &a : out)
      sink(a);
  if (jump && listener)
    listener(*jump);
}

BootRomConfig BootRom::config() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_;
}

std::vector<uint8_t> BootRom::ram(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> g(lock_);
  return ram_.read(address, length);
}

std::vector<std::vector<uint8_t>> BootRom::commands() const {
  std::lock_guard<std::mutex> g(lock_);
  return commands_;
}

std::vector<size_t> BootRom::dataReportSizes() const {
  std::lock_guard<std::mutex> g(lock_);
  return dataReports_;
}

size_t BootRom::associations() const {
  std::lock_guard<std::mutex> g(lock_);
  return associations_;
}

uint64_t BootRom::bytesTaken() const {
  std::lock_guard<std::mutex> g(lock_);
  return taken_;
}

std::optional<uint32_t> BootRom::jumpedTo() const {
  std::lock_guard<std::mutex> g(lock_);
  return jumped_;
}

bool BootRom::waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const {
  // pred calls the observers, which take the lock: it runs without it, and
  // the wait is re-checked at least every 20 ms.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred())
      return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      return false;
    std::unique_lock<std::mutex> g(lock_);
    changed_.wait_until(g, std::min(deadline, now + std::chrono::milliseconds(20)));
  }
}

} // namespace imxsim
