// Streamed values besides the system entity's: a value streams while a
// host's enabled stream key covers its command, option and index (255 in the
// key matches anything), either at a set rate or whenever it changes. The
// first sample follows the enable by 20 ms, so it never overtakes the
// acknowledgement.
#include "modulesim/SimModule.h"

namespace modulesim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {
constexpr uint8_t kStreamBit = 0x40;
constexpr unsigned kFirstSampleMs = 20;

int widthOf(uint8_t type) { return (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4; }
} // namespace

bool SimModule::streamCovers(uint8_t command, uint8_t option, uint8_t index) const {
  const uint8_t want[3] = {index, option, command};
  for (uint32_t key : streamKeys_) {
    bool all = true;
    for (int i = 0; i < 3 && all; ++i) {
      uint8_t k = uint8_t(key >> (8 * i));
      all = k == 255 || k == want[i];
    }
    if (all)
      return true;
  }
  return false;
}

Packet SimModule::streamSample(const StreamValue &v) {
  // command, option (operation bits 00), stream bit | index, type,
  // [subindex], timestamp (8 bytes), value, sequence byte 0
  std::vector<uint8_t> d = {v.command, uint8_t(v.option & 0x3F), uint8_t(kStreamBit | (v.index & 0x1F)), v.type};
  if (v.type >= 5)
    d.push_back(v.subindex);
  uint64_t ts = uptimeMs();
  for (int s = 56; s >= 0; s -= 8)
    d.push_back(uint8_t(ts >> s));
  for (int s = (widthOf(v.type) - 1) * 8; s >= 0; s -= 8)
    d.push_back(uint8_t(v.value >> s));
  d.push_back(0);
  ++sourceSamples_;
  return Packet{config_.address, std::move(d)};
}

void SimModule::sourcesTick(Out &out, Clock::time_point now) {
  for (StreamSource &s : sources_) {
    const StreamValue &v = s.value;
    if (!online_ || !streamCovers(v.command, v.option, v.index)) {
      s.enabled = false;
      s.due.reset();
      continue;
    }
    if (!s.enabled) {
      s.enabled = true;
      s.lastSent.reset();
      s.due = now + milliseconds(kFirstSampleMs);
      continue;
    }
    if (!s.due || now < *s.due)
      continue;
    out.push_back(streamSample(v));
    s.lastSent = v.value;
    if (v.rateMs == 0) {
      s.due.reset(); // from now on, changes send
      continue;
    }
    s.value.value += v.step;
    // A module that fell behind (a stalled host) does not catch up in a burst.
    Clock::time_point next = *s.due + milliseconds(v.rateMs);
    s.due = next > now ? next : now + milliseconds(v.rateMs);
  }
}

std::optional<Clock::time_point> SimModule::sourcesDue() const {
  std::optional<Clock::time_point> next;
  for (const StreamSource &s : sources_)
    if (s.enabled && s.due && (!next || *s.due < *next))
      next = s.due;
  return next;
}

void SimModule::streamValue(const StreamValue &value) {
  std::lock_guard<std::mutex> g(lock_);
  for (StreamSource &s : sources_) {
    const StreamValue &v = s.value;
    if (v.command == value.command && v.option == value.option && v.index == value.index &&
        v.subindex == value.subindex) {
      s = StreamSource{value};
      kick();
      return;
    }
  }
  sources_.push_back(StreamSource{value});
  kick();
}

void SimModule::setStreamValue(uint8_t command, uint8_t option, uint8_t index, uint8_t subindex, uint32_t value) {
  Out out;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (StreamSource &s : sources_) {
      StreamValue &v = s.value;
      if (v.command != command || v.option != option || v.index != index || v.subindex != subindex)
        continue;
      v.value = value;
      // Before the first sample the change simply rides with it.
      bool live = online_ && s.enabled && !s.due && streamCovers(command, option, index);
      if (v.rateMs == 0 && live && (!s.lastSent || *s.lastSent != value)) {
        out.push_back(streamSample(v));
        s.lastSent = value;
      }
    }
  }
  emit(out);
}

unsigned SimModule::streamSamplesSent() const {
  std::lock_guard<std::mutex> g(lock_);
  return sourceSamples_;
}

} // namespace modulesim
