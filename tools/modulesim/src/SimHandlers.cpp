// What the module answers: the system entity, descriptor queries, echo, store
// slots, factory data, value streams, the I2C bus and the store commands.
#include <algorithm>

#include "modulesim/SimModule.h"

namespace modulesim {

namespace {
// cErr codes carried in error replies (the numbering is the wire protocol's).
enum : uint8_t {
  eParam = 2,
  eNotFound = 3,
  eIO = 6,
  ePermission = 12,
  eSize = 14,
  eOverrun = 15,
  ePacket = 24,
  eInvalidEntity = 28,
  eInvalidOption = 29,
  eResource = 30,
};

constexpr uint8_t kGet = 0x40, kSet = 0x80, kAck = 0xC0;
constexpr uint8_t kRequest = 0x20, kStream = 0x40, kError = 0x80;
constexpr size_t kNameCapacity = 32;
constexpr size_t kPowerConfigCapacity = 64;

// Options of the system entity the host may set (value width; 0 = a call).
int setWidth(uint8_t option) {
  switch (option) {
  case 2:
  case 3:
  case 4:
  case 6:
  case 15:
  case 20:
  case 30:
  case 38:
  case 42: return 1;
  case 34: return 4;
  case 10:
  case 11:
  case 24:
  case 37: return 0;
  default: return -1;
  }
}
bool isBytesOption(uint8_t option) { return option == 31 || option == 32; }
} // namespace

void SimModule::dispatch(const Packet &p, Out &out) {
  if (p.data.empty())
    return;
  uint8_t cmd = p.data[0];
  if (cmd == 0 && p.data.size() == 2) {
    // The host's answer to a heartbeat: the beat + 2, nothing else (an up
    // beat answered as a down beat is a host's mistake, not an answer).
    if (p.data[1] == uint8_t(lastBeat_ + 2)) {
      awaitingBeat_ = false;
      beatsUnanswered_ = 0;
    } else {
      violation("heartbeat " + std::to_string(lastBeat_) + " answered with " + std::to_string(p.data[1]));
    }
    return;
  }
  switch (cmd) {
  case kCmdSystem: onSystem(p, out); return;
  case kCmdSlot: onSlot(p, out); return;
  case kCmdI2C: onI2C(p, out); return;
  case kCmdDebug: reply(out, Packet{config_.address, p.data}); return; // echo
  case kCmdDescriptor: onDescriptor(p, out); return;
  case kCmdStore: onStore(p, out); return;
  case kCmdStream: onStream(p, out); return;
  case kCmdFactory: onFactory(p, out); return;
  case kCmdUpgrade: onUpgrade(p, out); return;
  default:
    // A UEI request on a class this module does not have.
    if (p.data.size() >= 3 && (p.data[2] & kRequest) && (p.data[1] & 0xC0) != 0) {
      uint8_t op = p.data[1] & 0xC0, option = p.data[1] & 0x3F;
      ueiError(out, cmd, op == kGet ? option : uint8_t(option | kAck), p.data[2] & 0x1F, eInvalidEntity);
    }
    return;
  }
}

void SimModule::ueiError(Out &out, uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code) {
  reply(out, Packet{config_.address, {command, optionByte, uint8_t(kError | index), code}});
}

void SimModule::sendBytesSeries(Out &out, uint8_t command, uint8_t option, uint8_t specifier,
                                const std::vector<uint8_t> &bytes, bool streamType) {
  // UEI-bytes: up to 24 payload bytes per packet, then the sequence byte
  // (number in bits 0-6, bit 7 while more follow). A streamed series carries
  // its type (4) as the first payload byte.
  std::vector<uint8_t> payload;
  if (streamType)
    payload.push_back(4);
  payload.insert(payload.end(), bytes.begin(), bytes.end());
  size_t pos = 0;
  uint8_t seq = 0;
  do {
    size_t n = std::min<size_t>(24, payload.size() - pos);
    std::vector<uint8_t> d = {command, option, specifier};
    d.insert(d.end(), payload.begin() + pos, payload.begin() + pos + n);
    pos += n;
    bool more = pos < payload.size();
    d.push_back(uint8_t((seq & 0x7F) | (more ? 0x80 : 0)));
    reply(out, Packet{config_.address, std::move(d)});
    ++seq;
  } while (pos < payload.size());
}

bool SimModule::systemValue(uint8_t option, uint32_t &v, int &w) const {
  w = 1;
  switch (option) {
  case 1: v = config_.address; return true;
  case 2: v = config_.routerAddress; return true;
  case 3: v = hbSetting_; return true;
  case 4: v = led_; return true;
  case 6: v = bootSlot_; return true;
  case 8: v = config_.model; return true;
  case 13: v = 0; return true;
  case 14: v = config_.address; return true;
  case 15: v = softwareOffset_; return true;
  case 16: v = config_.routerAddress; return true;
  case 20: v = routeToMe_; return true;
  case 29: v = 1; return true;
  case 30: v = powerBehavior_; return true;
  case 38: v = linkInterface_; return true;
  case 42: v = ledMax_; return true;
  default: break;
  }
  w = 4;
  switch (option) {
  case 7: v = config_.version; return true;
  case 9: v = presented_; return true;
  case 12: v = config_.inputVoltage; return true;
  case 21: v = config_.inputCurrent; return true;
  case 22: v = uint32_t(uptimeMs() / 1000); return true;
  case 23: v = uint32_t(config_.temperature + 5000000); return true;
  case 25: v = config_.inputVoltage + 100000; return true;
  case 26: v = config_.inputCurrent + 10000; return true;
  case 27: v = uint32_t(config_.temperature); return true;
  case 28: v = uint32_t(config_.temperature - 10000000); return true;
  case 33: v = powerLimitMax_; return true;
  case 34: v = powerLimitMax_; return true;
  case 35: v = 0; return true;
  case 40: v = config_.hardwareVersion; return true;
  case 41: v = uint32_t(violations_.size()); return true;
  case 43: v = config_.build; return true;
  case 45: v = config_.protocolFeatures; return true;
  default: return false;
  }
}

void SimModule::onSystem(const Packet &p, Out &out) {
  const auto &d = p.data;
  if (d.size() < 3 || !(d[2] & kRequest))
    return; // values and acknowledgements are the module's to send
  uint8_t op = d[1] & 0xC0, option = d[1] & 0x3F, index = d[2] & 0x1F;
  if (op != kGet && op != kSet)
    return;
  uint8_t answerOption = op == kGet ? option : uint8_t(option | kAck);
  if (index != 0) {
    ueiError(out, kCmdSystem, answerOption, index, eInvalidEntity);
    return;
  }
  if (op == kGet) {
    if (option == 32 || option == 31) {
      if (d.size() != 3)
        return ueiError(out, kCmdSystem, answerOption, index, eSize);
      const std::string &n = config_.name;
      sendBytesSeries(out, kCmdSystem, option, index,
                      option == 32 ? std::vector<uint8_t>(n.begin(), n.end()) : powerConfig_, false);
      return;
    }
    std::vector<uint8_t> r = {kCmdSystem, option, index};
    if (option == 39) {
      // The chip identifier: four words, one per subindex.
      if (d.size() != 4 || d[3] > 3)
        return ueiError(out, kCmdSystem, answerOption, index, eParam);
      putU32(r, config_.fingerprint[d[3]]);
      reply(out, Packet{config_.address, std::move(r)});
      return;
    }
    uint32_t v = 0;
    int w = 0;
    if (!systemValue(option, v, w))
      return ueiError(out, kCmdSystem, answerOption, index, eInvalidOption);
    if (d.size() == 4 && d[3] != 0)
      return ueiError(out, kCmdSystem, answerOption, index, eParam); // no subindex here
    if (d.size() > 4)
      return ueiError(out, kCmdSystem, answerOption, index, eSize);
    if (w == 1)
      r.push_back(uint8_t(v));
    else
      putU32(r, v);
    reply(out, Packet{config_.address, std::move(r)});
    return;
  }
  // Set or call.
  if (isBytesOption(option))
    return onSystemBytes(p, out);
  int width = setWidth(option);
  if (width < 0) {
    uint32_t v;
    int w;
    bool known = systemValue(option, v, w) || option == 39;
    return ueiError(out, kCmdSystem, answerOption, index, known ? ePermission : eInvalidOption);
  }
  if (d.size() != size_t(3 + width))
    return ueiError(out, kCmdSystem, answerOption, index, eSize);
  uint32_t value = width == 1 ? d[3] : width == 4 ? getU32(&d[3]) : 0;
  bool restartAfter = false;
  switch (option) {
  case 2: config_.routerAddress = uint8_t(value); break;
  case 3:
    // The interval in seconds; 0 stops the heartbeats.
    hbSetting_ = uint8_t(value);
    hbMs_ = value * 1000;
    nextBeat_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(hbMs_);
    kick();
    break;
  case 4: led_ = uint8_t(value); break;
  case 6: bootSlot_ = uint8_t(value); break;
  case 11: restartAfter = true; break;
  case 15: softwareOffset_ = uint8_t(value); break;
  case 20: routeToMe_ = value != 0; break;
  case 30: powerBehavior_ = uint8_t(value); break;
  case 34: powerLimitMax_ = value; break;
  case 37:
    led_ = 0;
    bootSlot_ = 0;
    softwareOffset_ = 0;
    powerBehavior_ = 0;
    linkInterface_ = 0;
    ledMax_ = 255;
    powerLimitMax_ = 10000000;
    break;
  case 38: linkInterface_ = uint8_t(value); break;
  case 42: ledMax_ = uint8_t(value); break;
  default: break; // save (10) and log events (24) just acknowledge
  }
  reply(out, Packet{config_.address, {kCmdSystem, answerOption, index}});
  if (restartAfter)
    scheduleRestart(false, true);
}

void SimModule::onSystemBytes(const Packet &p, Out &out) {
  // A UEI-bytes series: command, option byte, specifier, payload, sequence.
  const auto &d = p.data;
  uint8_t cmd = d[0], option = d[1] & 0x3F, index = d[2] & 0x1F;
  uint8_t answerOption = uint8_t(option | kAck);
  if (d.size() < 4)
    return ueiError(out, cmd, answerOption, index, eSize);
  uint8_t seqByte = d.back();
  uint8_t seq = seqByte & 0x7F;
  if (seq == 0)
    bytesIn_ = BytesInFlight{cmd, option, index, 0, {}};
  if (!bytesIn_ || bytesIn_->command != cmd || bytesIn_->option != option || bytesIn_->index != index ||
      bytesIn_->nextSequence != seq) {
    violation("UEI-bytes packet out of sequence");
    bytesIn_.reset();
    return ueiError(out, cmd, answerOption, index, ePacket);
  }
  bytesIn_->bytes.insert(bytesIn_->bytes.end(), d.begin() + 3, d.end() - 1);
  bytesIn_->nextSequence = uint8_t((seq + 1) & 0x7F);
  if (bytesIn_->bytes.size() > 4096) {
    bytesIn_.reset();
    return ueiError(out, cmd, answerOption, index, eOverrun);
  }
  if (seqByte & 0x80)
    return; // more to come
  std::vector<uint8_t> bytes = std::move(bytesIn_->bytes);
  bytesIn_.reset();
  if (cmd == kCmdUpgrade) {
    // The upgrade's data option: the whole chunk at once.
    if (phase_ != Phase::Loader || !prepared_) {
      violation("UEI upgrade data outside a prepared firmware block");
      return ueiError(out, cmd, answerOption, index, eInvalidOption);
    }
    if (pending_.size() + bytes.size() > config_.upgradeBlockSize) {
      violation("UEI upgrade data beyond the block size");
      return ueiError(out, cmd, answerOption, index, eSize);
    }
    for (uint8_t b : bytes)
      sum_ += b;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  } else if (option == 32) {
    if (bytes.size() > kNameCapacity)
      return ueiError(out, cmd, answerOption, index, eSize);
    config_.name.assign(bytes.begin(), bytes.end());
  } else {
    if (bytes.size() > kPowerConfigCapacity || bytes.size() % 4 != 0)
      return ueiError(out, cmd, answerOption, index, eSize);
    powerConfig_ = bytes;
  }
  reply(out, Packet{config_.address, {cmd, answerOption, index}});
}

void SimModule::onDescriptor(const Packet &p, Out &out) {
  const auto &d = p.data;
  if (d.size() < 2)
    return;
  std::vector<uint8_t> r(d.begin(), d.begin() + 2);
  switch (d[1]) {
  case 0xFF:
    if (d.size() != 2)
      return;
    putU32(r, config_.build);
    break;
  case 1: {
    if (d.size() != 6)
      return;
    uint8_t cmd = d[2], option = d[3], index = d[4], flags = d[5];
    uint8_t answer = eInvalidOption;
    uint32_t v;
    int w;
    if (cmd == kCmdSystem) {
      if (index != 0)
        answer = eInvalidEntity;
      else if (flags == 0)
        answer = (systemValue(option, v, w) || setWidth(option) >= 0 || isBytesOption(option) || option == 39)
                     ? 0
                     : eInvalidOption;
      else if (flags == kGet)
        answer = (systemValue(option, v, w) || isBytesOption(option) || option == 39) ? 0 : eInvalidOption;
      else if (flags == kSet)
        answer = (setWidth(option) >= 0 || isBytesOption(option)) ? 0 : eInvalidOption;
    } else if (cmd == kCmdUpgrade) {
      answer = (index == 0 && option == 10 && config_.ueiDataUpgrade && flags != kGet) ? 0 : eInvalidOption;
    } else if (cmd == kCmdStream) {
      answer = (index == 0 && (option == 1 || option == 2)) ? 0 : eInvalidOption;
    } else {
      answer = eInvalidEntity;
    }
    r.insert(r.end(), {cmd, option, index, answer});
    break;
  }
  case 4: {
    if (d.size() != 3)
      return;
    uint8_t count = 0;
    switch (d[2]) {
    case kCmdSystem:
    case kCmdI2C:
    case kCmdDebug:
    case kCmdStream:
    case kCmdFactory:
    case kCmdUpgrade: count = 1; break;
    case kCmdSlot: count = uint8_t(config_.stores.size()); break;
    default: break;
    }
    r.insert(r.end(), {d[2], count});
    break;
  }
  case 5: {
    if (d.size() != 4)
      return;
    uint8_t count = 0;
    if (d[2] == kCmdSlot && d[3] < config_.stores.size())
      count = uint8_t(config_.stores[d[3]].size());
    r.insert(r.end(), {d[2], d[3], count});
    break;
  }
  case 6:
    if (d.size() != 4)
      return;
    r.insert(r.end(), {d[2], d[3], 0});
    break;
  default: return; // no such descriptor query: no answer
  }
  reply(out, Packet{config_.address, std::move(r)});
}

void SimModule::onStore(const Packet &p, Out &out) {
  // Save, reset or load an entity: a 32-bit set of option 0, 1 or 2.
  const auto &d = p.data;
  if (d.size() < 3 || !(d[2] & kRequest))
    return;
  uint8_t option = d[1] & 0x3F, index = d[2] & 0x1F;
  uint8_t answerOption = uint8_t(option | kAck);
  if ((d[1] & 0xC0) != kSet || index != 0 || option > 2)
    return ueiError(out, kCmdStore, (d[1] & 0xC0) == kGet ? option : answerOption, index, eInvalidOption);
  if (d.size() != 7)
    return ueiError(out, kCmdStore, answerOption, index, eSize);
  reply(out, Packet{config_.address, {kCmdStore, answerOption, index}});
}

void SimModule::onSlot(const Packet &p, Out &out) {
  const auto &d = p.data;
  if (d.size() < 3)
    return;
  uint8_t op = d[1];
  auto refuse = [&](std::vector<uint8_t> head, uint8_t code) {
    head[1] = uint8_t(op | 0x80);
    head.push_back(code);
    reply(out, Packet{config_.address, std::move(head)});
  };
  switch (op) {
  case 1:
  case 2:
  case 3:
  case 4: {
    if (d.size() != 4)
      return;
    std::vector<uint8_t> head(d.begin(), d.begin() + 4);
    uint8_t store = d[2], slot = d[3];
    if (store >= config_.stores.size() || slot >= config_.stores[store].size())
      return refuse(head, eNotFound);
    SlotConfig &s = config_.stores[store][slot];
    if (op <= 2) {
      putU16(head, op == 1 ? s.capacity : uint16_t(s.content.size()));
      reply(out, Packet{config_.address, std::move(head)});
      return;
    }
    for (auto &[h, o] : openSlots_)
      if (o.store == store && o.slot == slot)
        return refuse(head, 5 /* busy */);
    if (openSlots_.size() >= 4)
      return refuse(head, eResource);
    uint8_t handle = nextHandle_;
    nextHandle_ = uint8_t(nextHandle_ % 200 + 1);
    if (op == 4)
      s.content.clear(); // writing starts the file afresh
    openSlots_[handle] = OpenSlot{store, slot, op == 4, 0};
    head.push_back(handle);
    reply(out, Packet{config_.address, std::move(head)});
    return;
  }
  case 6:
  case 7:
  case 8: {
    std::vector<uint8_t> head(d.begin(), d.begin() + 3);
    auto it = openSlots_.find(d[2]);
    if (it == openSlots_.end())
      return refuse(head, eNotFound);
    OpenSlot &o = it->second;
    SlotConfig &s = config_.stores[o.store][o.slot];
    if (op == 6) {
      if (d.size() != 3 || o.write)
        return refuse(head, eParam);
      size_t n = std::min<size_t>(25, s.content.size() - o.position);
      head.insert(head.end(), s.content.begin() + o.position, s.content.begin() + o.position + n);
      o.position += n;
    } else if (op == 7) {
      if (d.size() < 4 || !o.write)
        return refuse(head, eParam);
      size_t n = d.size() - 3;
      if (s.content.size() + n > s.capacity)
        return refuse(head, eOverrun);
      uint8_t sum = 0;
      for (size_t i = 3; i < d.size(); ++i)
        sum = uint8_t(sum + d[i]);
      s.content.insert(s.content.end(), d.begin() + 3, d.end());
      head.push_back(sum);
    } else {
      if (d.size() != 3)
        return refuse(head, eParam);
      openSlots_.erase(it);
      head.push_back(0);
    }
    reply(out, Packet{config_.address, std::move(head)});
    return;
  }
  default: return;
  }
}

void SimModule::onFactory(const Packet &p, Out &out) {
  // Item in the low four bits of data[1]; 0x40 first packet, 0x10 a write,
  // 0x20 alone ends the transfer with the total count.
  const auto &d = p.data;
  if (d.size() < 2)
    return;
  uint8_t ctl = d[1];
  auto refuse = [&](uint8_t item, uint8_t code) {
    reply(out, Packet{config_.address, {'^', uint8_t(item | 0x80), code}});
  };
  if (ctl == 0x20) {
    if (factoryItem_ < 0 || d.size() != 4) {
      violation("factory transfer ended without one begun");
      return refuse(uint8_t(std::max(factoryItem_, 0)), eParam);
    }
    uint8_t item = uint8_t(factoryItem_);
    uint16_t total = getU16(&d[2]);
    bool write = factoryWrite_;
    factoryItem_ = -1;
    if (write) {
      if (total != factoryIn_.size())
        return refuse(item, eSize);
      config_.factory[item] = factoryIn_;
    } else if (total != factoryPos_) {
      return refuse(item, eSize);
    }
    reply(out, Packet{config_.address, {'^', item, 0}});
    return;
  }
  uint8_t item = ctl & 0x0F;
  bool first = ctl & 0x40, write = ctl & 0x10;
  if (first) {
    factoryItem_ = item;
    factoryWrite_ = write;
    factoryPos_ = 0;
    factoryIn_.clear();
  } else if (factoryItem_ != item || factoryWrite_ != write) {
    violation("factory packet outside its transfer");
    return refuse(item, eParam);
  }
  if (write) {
    if (d.size() < 3)
      return refuse(item, eSize);
    if (factoryIn_.size() + d.size() - 2 > 256)
      return refuse(item, eOverrun);
    factoryIn_.insert(factoryIn_.end(), d.begin() + 2, d.end());
    reply(out, Packet{config_.address, {'^', item}});
    return;
  }
  auto it = config_.factory.find(item);
  if (it == config_.factory.end()) {
    factoryItem_ = -1;
    return refuse(item, eNotFound);
  }
  size_t n = std::min<size_t>(26, it->second.size() - std::min(factoryPos_, it->second.size()));
  std::vector<uint8_t> r = {'^', item};
  r.insert(r.end(), it->second.begin() + factoryPos_, it->second.begin() + factoryPos_ + n);
  factoryPos_ += n;
  reply(out, Packet{config_.address, std::move(r)});
}

void SimModule::onStream(const Packet &p, Out &out) {
  const auto &d = p.data;
  if (d.size() < 3 || !(d[2] & kRequest))
    return;
  uint8_t op = d[1] & 0xC0, option = d[1] & 0x3F, index = d[2] & 0x1F;
  if (op == kGet && option == 1 && d.size() == 3) {
    reply(out, Packet{config_.address, {kCmdStream, 1, index, uint8_t(streamKeys_.empty() ? 0 : 1)}});
    return;
  }
  uint8_t answerOption = op == kGet ? option : uint8_t(option | kAck);
  if (op != kSet || (option != 1 && option != 2) || index != 0)
    return ueiError(out, kCmdStream, answerOption, index, eInvalidOption);
  if (d.size() != 7)
    return ueiError(out, kCmdStream, answerOption, index, eSize);
  uint32_t key = getU32(&d[3]); // module, command, option, index
  if (option == 1) {
    streamKeys_.insert(key);
    lastSample_.clear();
    // the first samples follow the acknowledgement, never overtake it
    nextSample_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    kick();
  } else {
    auto matches = [key](uint32_t k) {
      for (int s = 0; s < 24; s += 8) {
        uint8_t want = uint8_t(key >> s);
        if (want != 255 && want != uint8_t(k >> s))
          return false;
      }
      return true;
    };
    std::erase_if(streamKeys_, matches);
  }
  reply(out, Packet{config_.address, {kCmdStream, answerOption, index}});
}

void SimModule::streamTick(Out &out, uint64_t nowMs) {
  // One sample for each enabled UEI whose value changed since it was last
  // streamed (every value once after the stream was enabled).
  std::set<uint8_t> options;
  bool name = false;
  for (uint32_t key : streamKeys_) {
    uint8_t cmd = uint8_t(key >> 16), option = uint8_t(key >> 8), index = uint8_t(key);
    if ((cmd != kCmdSystem && cmd != 255) || (index != 0 && index != 255))
      continue;
    if (option == 255) {
      for (uint8_t o = 1; o < 64; ++o) {
        uint32_t v;
        int w;
        if (systemValue(o, v, w) || o == 39)
          options.insert(o);
      }
    } else if (option == 32) {
      name = true;
    } else {
      options.insert(option);
    }
  }
  auto sample = [&](uint8_t option, uint8_t type, uint32_t value, uint8_t sub) {
    uint32_t id = uint32_t(option) << 8 | sub;
    auto it = lastSample_.find(id);
    if (it != lastSample_.end() && it->second == value)
      return;
    lastSample_[id] = value;
    std::vector<uint8_t> d = {kCmdSystem, option, uint8_t(kStream | 0), type};
    if (type >= 5)
      d.push_back(sub);
    for (int s = 56; s >= 0; s -= 8)
      d.push_back(uint8_t(nowMs >> s));
    int width = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
    for (int s = (width - 1) * 8; s >= 0; s -= 8)
      d.push_back(uint8_t(value >> s));
    d.push_back(0); // sequence byte: a single sample
    out.push_back(Packet{config_.address, std::move(d)});
  };
  for (uint8_t o : options) {
    if (o == 39) {
      for (uint8_t sub = 0; sub < 4; ++sub)
        sample(o, 7, config_.fingerprint[sub], sub);
      continue;
    }
    uint32_t v;
    int w;
    if (systemValue(o, v, w))
      sample(o, w == 1 ? 1 : 3, v, 0);
  }
  if (name) {
    uint32_t h = 0;
    for (char c : config_.name)
      h = h * 31 + uint8_t(c);
    uint32_t id = uint32_t(32) << 8;
    if (!lastSample_.count(id) || lastSample_[id] != h) {
      lastSample_[id] = h;
      Out series;
      std::vector<uint8_t> bytes(config_.name.begin(), config_.name.end());
      // Streamed series bypass the reply faults.
      std::vector<FaultRule> saved;
      saved.swap(faults_.replies);
      sendBytesSeries(series, kCmdSystem, 32, kStream, bytes, true);
      saved.swap(faults_.replies);
      out.insert(out.end(), series.begin(), series.end());
    }
  }
}

void SimModule::sendStreamSample(uint8_t command, uint8_t option, uint8_t index, uint8_t type, uint32_t value,
                                 uint8_t subindex) {
  Packet p;
  {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<uint8_t> d = {command, uint8_t(option & 0x3F), uint8_t(kStream | (index & 0x1F)), type};
    if (type >= 5)
      d.push_back(subindex);
    uint64_t ts = uptimeMs();
    for (int s = 56; s >= 0; s -= 8)
      d.push_back(uint8_t(ts >> s));
    int width = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
    for (int s = (width - 1) * 8; s >= 0; s -= 8)
      d.push_back(uint8_t(value >> s));
    d.push_back(0);
    p = Packet{config_.address, std::move(d)};
  }
  Out out{p};
  emit(out);
}

void SimModule::sendRaw(const Packet &packet) {
  Out out{packet};
  emit(out);
}

void SimModule::onI2C(const Packet &p, Out &out) {
  // data: 8, bus index, 8-bit bus address (bit 0 = read), ...
  const auto &d = p.data;
  if (d.size() < 4)
    return;
  uint8_t bus = d[1], addr = d[2];
  auto present = [&](uint8_t a) {
    for (SimModule *m : bus_)
      if (m->address() == (a & 0xFE) && m->online())
        return true;
    return false;
  };
  if (d.size() == 4 && addr == 1) { // pull-ups on or off
    if (bus == 0)
      pullup_ = d[3];
    reply(out, Packet{config_.address, {kCmdI2C, bus, 1, d[3], uint8_t(bus == 0 ? 0 : kError | eInvalidEntity)}});
    return;
  }
  if (d.size() < 5)
    return;
  uint8_t n = d[3];
  if (addr & 1) { // read
    if (bus != 0 || d.size() != 5 || n > 23 || !present(addr)) {
      uint8_t code = bus != 0 ? eInvalidEntity : n > 23 ? eSize : eIO;
      reply(out, Packet{config_.address, {kCmdI2C, bus, addr, 0, uint8_t(kError | code)}});
      return;
    }
    std::vector<uint8_t> r = {kCmdI2C, bus, addr, n, 0};
    for (uint8_t i = 0; i < n; ++i)
      r.push_back(uint8_t(i));
    reply(out, Packet{config_.address, std::move(r)});
    return;
  }
  uint8_t status = 0;
  if (bus != 0)
    status = kError | eInvalidEntity;
  else if (d.size() != size_t(5 + n))
    status = kError | eSize;
  else if (!present(addr))
    status = kError | eIO; // nobody acknowledged
  reply(out, Packet{config_.address, {kCmdI2C, bus, addr, 0, status}});
}

} // namespace modulesim
