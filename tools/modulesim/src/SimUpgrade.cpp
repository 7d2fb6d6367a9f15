// The module's upgrade command set, checked strictly. A well-behaved host
// goes: INIT; per loader block PREPARE, DATA..., SUM; LOAD (the module
// restarts into its loader); per firmware block PREPARE, then per chunk
// DATA... (or the UEI data option), SUM, WRITE; REBOOT (the module restarts
// under the new image). INIT starts over from any phase. Anything else is recorded as a violation and refused.
#include "modulesim/SimModule.h"

namespace modulesim {

namespace {
enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6, kStatus = 7 };
constexpr uint8_t kDataUeiOption = 10;
} // namespace

void SimModule::onUpgrade(const Packet &p, Out &out) {
  const auto &d = p.data;
  if (d.size() < 2)
    return;
  if (d[1] == (0x80 | kDataUeiOption) && d.size() >= 3 && (d[2] & 0x20)) {
    if (!config_.ueiDataUpgrade) {
      reply(out, Packet{config_.address, {kCmdUpgrade, 0xC0 | kDataUeiOption, uint8_t(0x80 | (d[2] & 0x1F)), 29}});
      return;
    }
    onSystemBytes(p, out);
    return;
  }
  const uint8_t a = config_.address;
  auto status = [&](uint8_t s, std::vector<uint8_t> extra = {}) {
    std::vector<uint8_t> r = {kCmdUpgrade, kStatus, s};
    r.insert(r.end(), extra.begin(), extra.end());
    reply(out, Packet{a, std::move(r)});
  };
  switch (d[1]) {
  case kInit: {
    if (d.size() != 2)
      return violation("INIT with a payload");
    // INIT opens a loader upload wherever the module is: also from its
    // loader, where an update that was cut short leaves it, so that the
    // same update run again goes through (loader blocks, LOAD, firmware).
    phase_ = Phase::LoaderUpload;
    prepared_ = false;
    pending_.clear();
    sum_ = 0;
    std::vector<uint8_t> r = {kCmdUpgrade, kInit};
    putU32(r, config_.loadBase);
    reply(out, Packet{a, std::move(r)});
    return;
  }
  case kPrepare: {
    if (d.size() != 7) {
      violation("PREPARE of the wrong length");
      return status(1, {0, 0});
    }
    if (phase_ == Phase::Application) {
      violation("PREPARE before INIT");
      return status(1, {0, 0});
    }
    ++prepares_;
    if (faults_.disconnectAtBlock && prepares_ == faults_.disconnectAtBlock) {
      faults_.disconnectAtBlock = 0;
      scheduleRestart(false, true);
      downAt_ = std::chrono::steady_clock::now(); // at once, without an answer
      return;
    }
    if (faults_.refusePrepare || (faults_.refuseBlock && prepares_ == faults_.refuseBlock)) {
      if (faults_.refusePrepare)
        --faults_.refusePrepare;
      else
        faults_.refuseBlock = 0;
      return status(1, {0, 0});
    }
    prepared_ = true;
    blockAddress_ = writeAddress_ = getU32(&d[3]);
    pending_.clear();
    sum_ = 0;
    blocks_.push_back(BlockRecord{blockAddress_, d[2], phase_ == Phase::LoaderUpload});
    std::vector<uint8_t> size;
    putU16(size, config_.upgradeBlockSize);
    return status(0, size);
  }
  case kData: {
    size_t n = d.size() - 2;
    auto accept = [&](uint8_t count) { reply(out, Packet{a, {kCmdUpgrade, kData, count}}); };
    if (n < 1 || n > 26) {
      violation("DATA with " + std::to_string(n) + " bytes");
      return accept(0);
    }
    if (!prepared_) {
      violation("DATA outside a prepared block");
      return accept(0);
    }
    if (phase_ == Phase::Loader && pending_.size() + n > config_.upgradeBlockSize) {
      violation("DATA beyond the block size");
      return accept(0);
    }
    if (faults_.shortAccept) {
      --faults_.shortAccept;
      return accept(uint8_t(n - 1)); // the bytes are not kept: the host sends them again
    }
    for (size_t i = 2; i < d.size(); ++i)
      sum_ += d[i];
    pending_.insert(pending_.end(), d.begin() + 2, d.end());
    return accept(uint8_t(n));
  }
  case kSum: {
    if (d.size() != 2)
      violation("SUM with a payload");
    if (!prepared_) {
      violation("SUM outside a prepared block");
      std::vector<uint8_t> zero(4, 0);
      return status(1, zero);
    }
    uint32_t sum = sum_;
    if (faults_.wrongSums) {
      --faults_.wrongSums;
      sum += 1;
    }
    if (phase_ == Phase::LoaderUpload) {
      // A loader block is complete when its sum is asked for.
      loaderMem_.write(writeAddress_, pending_.data(), pending_.size());
      writeAddress_ += uint32_t(pending_.size());
      pending_.clear();
      sum_ = 0;
    }
    std::vector<uint8_t> s;
    putU32(s, sum);
    return status(0, s);
  }
  case kWrite: {
    if (d.size() != 4) {
      violation("WRITE of the wrong length");
      return status(1);
    }
    uint16_t count = getU16(&d[2]);
    if (phase_ != Phase::Loader || !prepared_) {
      violation("WRITE outside a prepared firmware block");
      return status(1);
    }
    if (faults_.refuseWrite) {
      --faults_.refuseWrite;
      return status(1);
    }
    if (count == 0 || count != pending_.size()) {
      violation("WRITE of " + std::to_string(count) + " bytes with " + std::to_string(pending_.size()) + " received");
      pending_.clear();
      sum_ = 0;
      return status(1);
    }
    flash_.write(writeAddress_, pending_.data(), pending_.size());
    writeAddress_ += count;
    pending_.clear();
    sum_ = 0;
    return status(0);
  }
  case kLoad: {
    if (d.size() != 2 || phase_ != Phase::LoaderUpload)
      return violation("LOAD without INIT");
    phase_ = Phase::Loader;
    prepared_ = false;
    if (!config_.restartOnLoad) {
      reply(out, Packet{a, {kCmdUpgrade, kLoad}}); // the loader takes over in place
      return;
    }
    // The module resets at once, before it can answer; its loader
    // acknowledges the LOAD once a host has synchronised with it again.
    loadAckOwed_ = true;
    scheduleRestart(config_.loaderSerialMs > 0, true);
    downAt_ = std::chrono::steady_clock::now();
    return;
  }
  case kReboot: {
    if (d.size() != 2)
      violation("REBOOT with a payload");
    if (phase_ == Phase::Loader) {
      // The new image decides what the module reports from now on.
      if (auto id = findImageMarker(flash_)) {
        if (id->version)
          config_.version = id->version;
        config_.build = id->build;
      }
    } else {
      violation("REBOOT outside the loader");
    }
    phase_ = Phase::Application;
    prepared_ = false;
    pending_.clear();
    loadAckOwed_ = loadAckPending_ = false; // the new image owes nobody anything
    scheduleRestart(false, !faults_.neverBackAfterReboot);
    return;
  }
  default: violation("unknown upgrade operation " + std::to_string(d[1])); return;
  }
}

} // namespace modulesim
