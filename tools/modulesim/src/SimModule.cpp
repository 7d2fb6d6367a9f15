// The module's life: receiving, replying (through the armed faults), the
// timer thread (heartbeats, stream samples, delayed replies, restarts), the
// I2C module network of a routing module, and observation for tests.
#include "modulesim/SimModule.h"

#include <algorithm>
#include <cstdio>

namespace modulesim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {
// A host drains what arrives in the first 100 ms after it synchronised.
constexpr unsigned kLoadAckDelayMs = 250;
} // namespace

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
  return (major & 0xF) << 28 | (minor & 0xF) << 24 | (patch & 0xFF);
}

SimModule::SimModule(ModuleConfig config) : config_(std::move(config)) {
  presented_ = config_.serial;
  hbMs_ = config_.heartbeatMs;
  bootTime_ = Clock::now();
  nextBeat_ = bootTime_ + milliseconds(hbMs_);
  nextSample_ = bootTime_;
  powerConfig_ = {0, 0, 0, 1, 0, 0, 0, 2};
  for (const StreamValue &v : config_.streamValues)
    sources_.push_back(StreamSource{v});
  if (config_.startInLoader)
    phase_ = Phase::Loader; // firmware blocks may come at once
  timer_ = std::thread([this] { timerLoop(); });
}

SimModule::~SimModule() {
  // Leave the module network: members lose their way out, the router forgets us.
  std::vector<SimModule *> members;
  SimModule *router;
  {
    std::lock_guard<std::mutex> g(lock_);
    members.swap(bus_);
    router = router_;
    router_ = nullptr;
  }
  for (SimModule *m : members) {
    std::unique_lock<std::mutex> lk(m->lock_);
    m->router_ = nullptr;
    m->sink_ = nullptr;
    m->awaitOutCalls(lk); // a member's packet on its way up into this router
  }
  if (router) {
    std::lock_guard<std::mutex> g(router->lock_);
    std::erase(router->bus_, this);
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    stopping_ = true;
    kick();
  }
  timer_.join();
}

void SimModule::setSink(Sink sink) {
  std::unique_lock<std::mutex> lk(lock_);
  sink_ = std::move(sink);
  awaitOutCalls(lk);
}

void SimModule::setPresenceListener(PresenceListener listener) {
  std::unique_lock<std::mutex> lk(lock_);
  presence_ = std::move(listener);
  awaitOutCalls(lk);
}

void SimModule::kick() {
  timerDirty_ = true;
  timerWake_.notify_all();
}

namespace {
// How many sink, listener or trace calls this thread is inside (of any module).
thread_local int tOutCallDepth = 0;
} // namespace

void SimModule::beginOutCall() { // lock held
  ++outCalls_;
  ++tOutCallDepth;
}

void SimModule::endOutCall() { // lock not held
  --tOutCallDepth;
  std::lock_guard<std::mutex> g(lock_);
  if (--outCalls_ == 0)
    outCallsDone_.notify_all();
}

void SimModule::awaitOutCalls(std::unique_lock<std::mutex> &lk) {
  // A call replacing its own module's sink from inside a sink would wait for
  // itself; the bound covers a call that never returns.
  if (tOutCallDepth == 0)
    outCallsDone_.wait_for(lk, std::chrono::seconds(5), [this] { return outCalls_ == 0; });
}

void SimModule::setTrace(Trace trace) {
  std::unique_lock<std::mutex> lk(lock_);
  trace_ = std::move(trace);
  awaitOutCalls(lk);
}

void SimModule::setEventLog(EventLog log) {
  std::lock_guard<std::mutex> g(lock_);
  eventLog_ = std::move(log);
}

void SimModule::receive(const Packet &p) {
  Out out;
  std::vector<SimModule *> forward;
  Trace trace;
  {
    std::lock_guard<std::mutex> g(lock_);
    trace = trace_;
    if (trace)
      beginOutCall();
  }
  if (trace) {
    trace(true, p);
    endOutCall();
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!online_ || faults_.frozen)
      return;
    if (p.address == kSyncAddress && p.data.empty()) {
      ++syncs_;
      if (!faults_.linkClaimed)
        reply(out, Packet{config_.address, {}});
      if (loadAckPending_ && !faults_.linkClaimed) {
        // After the host's synchronisation (and the drain that follows it).
        loadAckPending_ = false;
        delayed_.push_back(Timed{Clock::now() + milliseconds(kLoadAckDelayMs),
                                 Packet{config_.address, {kCmdUpgrade, 0x02}}, generation_});
        kick();
      }
    } else {
      received_.push_back(p);
      if (faults_.linkClaimed) {
        // someone else owns the link: nothing for this host
      } else if (p.address == kRouteAddress) {
        // Route on/off: the host's link takes the module network's traffic
        // (sent by the host when its link starts and stops).
        if (p.data.size() == 1) {
          routes_.push_back(p.data[0]);
          forceRoute_ = p.data[0] != 0;
        }
      } else if (p.address == config_.address) {
        dispatch(p, out);
      } else if (routeToMe_ || forceRoute_) {
        for (SimModule *m : bus_)
          if (m->address() == p.address)
            forward.push_back(m);
      }
    }
    // Injected faults that count the host's packets.
    if (faults_.freezeAfterPackets && --faults_.freezeAfterPackets == 0) {
      faults_.frozen = true;
      event("frozen");
    }
    if (faults_.dropLinkAfterPackets && --faults_.dropLinkAfterPackets == 0) {
      event("dropping the link");
      scheduleRestart(false, true);
    }
    changed_.notify_all();
  }
  for (SimModule *m : forward)
    m->receive(p);
  emit(out);
}

void SimModule::linkClosed() {
  std::lock_guard<std::mutex> g(lock_);
  forceRoute_ = false;
  openSlots_.clear();
  streamKeys_.clear();
  bytesIn_.reset();
  factoryItem_ = -1;
  beatsUnanswered_ = 0;
}

void SimModule::emit(Out &out) {
  if (out.empty())
    return;
  Sink sink;
  Trace trace;
  {
    std::lock_guard<std::mutex> g(lock_);
    sink = sink_;
    trace = trace_;
    beginOutCall();
  }
  for (const Packet &p : out) {
    if (trace)
      trace(false, p);
    if (sink)
      sink(p);
  }
  endOutCall();
  out.clear();
}

void SimModule::reply(Out &out, Packet p) {
  for (size_t i = 0; i < faults_.replies.size(); ++i) {
    const FaultRule &r = faults_.replies[i];
    if (ruleCounts_.size() <= i)
      ruleCounts_.resize(i + 1, 0);
    if (ruleCounts_[i] >= r.nth)
      continue; // fired already
    if (r.command >= 0 && (p.data.empty() || p.data[0] != r.command))
      continue;
    if (r.subop >= 0 && (p.data.size() < 2 || p.data[1] != r.subop))
      continue;
    if (++ruleCounts_[i] != r.nth)
      continue;
    if (r.kind == FaultRule::Delay) {
      delayed_.push_back(Timed{Clock::now() + milliseconds(r.delayMs), std::move(p), generation_});
      kick();
    }
    return; // dropped, or delayed
  }
  out.push_back(std::move(p));
}

void SimModule::violation(const std::string &what) {
  violations_.push_back(what);
  event("protocol violation: " + what);
}

void SimModule::routeUp(const Packet &p) {
  Sink sink;
  {
    std::lock_guard<std::mutex> g(lock_);
    if ((!routeToMe_ && !forceRoute_) || !online_)
      return; // nobody carries the bus module's packets to a host
    sink = sink_;
    if (sink)
      beginOutCall();
  }
  if (sink) {
    sink(p);
    endOutCall();
  }
}

void SimModule::attachToBus(SimModule &other) {
  {
    std::lock_guard<std::mutex> g(lock_);
    bus_.push_back(&other);
  }
  std::lock_guard<std::mutex> g(other.lock_);
  other.router_ = this;
  other.sink_ = [this](const Packet &p) { routeUp(p); };
}

bool SimModule::routing() const {
  std::lock_guard<std::mutex> g(lock_);
  return routeToMe_ || forceRoute_;
}

// ---- restarts and presence

void SimModule::goDown() {
  online_ = false;
  faults_.frozen = false; // a restart ends a freeze
  ++generation_;
  for (const Timed &t : delayed_)
    if (t.packet.data == std::vector<uint8_t>{kCmdUpgrade, 0x02})
      loadAckOwed_ = true; // the LOAD acknowledgement waits for the next host
  if (loadAckPending_) {
    loadAckPending_ = false;
    loadAckOwed_ = true;
  }
  delayed_.clear();
  openSlots_.clear();
  streamKeys_.clear();
  bytesIn_.reset();
  factoryItem_ = -1;
  routeToMe_ = false;
  forceRoute_ = false;
}

void SimModule::scheduleRestart(bool loaderSerial, bool comeBack) {
  // The module answers what it was asked first, then drops its link a moment
  // later, as a real module finishing its last transfer would.
  restartLoaderSerial_ = loaderSerial;
  restartComeBack_ = comeBack;
  downAt_ = Clock::now() + milliseconds(30);
  kick();
}

void SimModule::restart() {
  std::lock_guard<std::mutex> g(lock_);
  scheduleRestart(false, true);
}

void SimModule::powerOff() {
  PresenceListener listener;
  uint32_t serial;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!powered_)
      return;
    powered_ = false;
    goDown();
    downAt_.reset();
    upAt_.reset();
    realSerialAt_.reset();
    listener = presence_;
    serial = presented_;
    changed_.notify_all();
    if (listener)
      beginOutCall();
  }
  if (listener) {
    listener(false, serial);
    endOutCall();
  }
}

void SimModule::powerOn() {
  PresenceListener listener;
  uint32_t serial;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (powered_)
      return;
    powered_ = true;
    online_ = true;
    ++restarts_;
    bootTime_ = Clock::now();
    presented_ = config_.serial;
    listener = presence_;
    serial = presented_;
    nextBeat_ = bootTime_ + milliseconds(hbMs_);
    changed_.notify_all();
    kick();
    if (listener)
      beginOutCall();
  }
  if (listener) {
    listener(true, serial);
    endOutCall();
  }
}

void SimModule::timerLoop() {
  std::unique_lock<std::mutex> lk(lock_);
  while (!stopping_) {
    auto now = Clock::now();
    Out out;
    std::vector<std::pair<bool, uint32_t>> events;
    if (downAt_ && now >= *downAt_) {
      downAt_.reset();
      if (online_) {
        if (heartbeatMs_() > 0) {
          out.push_back(Packet{config_.address, {0x00, 0x01}}); // the down beat
          lastBeat_ = 1;
        }
        goDown();
        events.emplace_back(false, presented_);
      }
      event(restartComeBack_ ? "restarting" : "going down for good");
      ++restarts_;
      if (restartComeBack_)
        upAt_ = now + milliseconds(config_.restartDownMs);
      if (realSerialAt_)
        realSerialAt_.reset();
      pendingLoaderSerial_ = restartLoaderSerial_;
    }
    if (upAt_ && now >= *upAt_) {
      upAt_.reset();
      online_ = powered_;
      bootTime_ = now;
      beatsUnanswered_ = 0;
      awaitingBeat_ = false;
      nextBeat_ = now + milliseconds(heartbeatMs_());
      if (pendingLoaderSerial_) {
        presented_ = kLoaderSerial;
        realSerialAt_ = now + milliseconds(config_.loaderSerialMs);
        pendingLoaderSerial_ = false;
      } else {
        presented_ = config_.serial;
      }
      if (loadAckOwed_) {
        loadAckOwed_ = false;
        loadAckPending_ = true;
      }
      if (online_) {
        events.emplace_back(true, presented_);
        char text[64];
        std::snprintf(text, sizeof text, "back on line as %08X, version %08X build %u", presented_, config_.version,
                      config_.build);
        event(text);
      }
    }
    if (realSerialAt_ && now >= *realSerialAt_) {
      // The loader re-enumerates under the module's own serial number.
      realSerialAt_.reset();
      goDown();
      events.emplace_back(false, presented_);
      restartComeBack_ = true;
      restartLoaderSerial_ = false;
      pendingLoaderSerial_ = false;
      upAt_ = now + milliseconds(config_.restartDownMs);
    }
    for (auto it = delayed_.begin(); it != delayed_.end();) {
      if (it->when <= now) {
        if (it->generation == generation_ && online_ && !faults_.frozen)
          out.push_back(std::move(it->packet));
        it = delayed_.erase(it);
      } else {
        ++it;
      }
    }
    unsigned hb = heartbeatMs_();
    if (online_ && hb > 0 && now >= nextBeat_ && !faults_.linkClaimed && !faults_.frozen) {
      if (awaitingBeat_)
        ++beatsUnanswered_;
      awaitingBeat_ = true;
      ++beatsSent_;
      lastBeat_ = 0;
      out.push_back(Packet{config_.address, {0x00, 0x00}});
      nextBeat_ = now + milliseconds(hb);
    }
    if (online_ && !streamKeys_.empty() && now >= nextSample_) {
      streamTick(out, uptimeMs());
      nextSample_ = now + milliseconds(std::max(config_.streamIntervalMs, 10u));
    }
    sourcesTick(out, now);
    if (!events.empty())
      changed_.notify_all();

    // Next deadline.
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
      if (!next || t < *next)
        next = t;
    };
    if (downAt_)
      consider(*downAt_);
    if (upAt_)
      consider(*upAt_);
    if (realSerialAt_)
      consider(*realSerialAt_);
    for (const Timed &t : delayed_)
      consider(t.when);
    if (online_ && heartbeatMs_() > 0)
      consider(nextBeat_);
    if (online_ && !streamKeys_.empty())
      consider(nextSample_);
    if (auto due = sourcesDue())
      consider(*due);

    if (!out.empty() || !events.empty()) {
      Sink sink = sink_;
      PresenceListener listener = presence_;
      Trace trace = trace_;
      beginOutCall();
      lk.unlock();
      for (const Packet &p : out) {
        if (trace)
          trace(false, p);
        if (sink)
          sink(p);
      }
      if (listener)
        for (auto &[on, serial] : events)
          listener(on, serial);
      endOutCall();
      lk.lock();
      continue; // state may have changed meanwhile: look again
    }
    timerDirty_ = false;
    auto woken = [this] { return stopping_ || timerDirty_; };
    if (next)
      timerWake_.wait_until(lk, *next, woken);
    else
      timerWake_.wait(lk, woken);
  }
}

unsigned SimModule::heartbeatMs_() const { return hbMs_; }

uint64_t SimModule::uptimeMs() const {
  return uint64_t(std::chrono::duration_cast<milliseconds>(Clock::now() - bootTime_).count());
}

// ---- observation and knobs

bool SimModule::online() const {
  std::lock_guard<std::mutex> g(lock_);
  return online_;
}
uint32_t SimModule::presentedSerial() const {
  std::lock_guard<std::mutex> g(lock_);
  return presented_;
}
uint8_t SimModule::address() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_.address;
}
uint8_t SimModule::model() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_.model;
}
uint32_t SimModule::version() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_.version;
}
uint32_t SimModule::build() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_.build;
}
std::string SimModule::name() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_.name;
}
Phase SimModule::phase() const {
  std::lock_guard<std::mutex> g(lock_);
  return phase_;
}
unsigned SimModule::restarts() const {
  std::lock_guard<std::mutex> g(lock_);
  return restarts_;
}
std::vector<uint8_t> SimModule::image(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> g(lock_);
  return flash_.read(address, length);
}
std::vector<uint8_t> SimModule::loaderImage(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> g(lock_);
  return loaderMem_.read(address, length);
}
std::vector<BlockRecord> SimModule::blocks() const {
  std::lock_guard<std::mutex> g(lock_);
  return blocks_;
}
std::vector<std::string> SimModule::violations() const {
  std::lock_guard<std::mutex> g(lock_);
  return violations_;
}
std::vector<Packet> SimModule::received() const {
  std::lock_guard<std::mutex> g(lock_);
  return received_;
}
size_t SimModule::syncRequests() const {
  std::lock_guard<std::mutex> g(lock_);
  return syncs_;
}
std::vector<uint8_t> SimModule::routeRequests() const {
  std::lock_guard<std::mutex> g(lock_);
  return routes_;
}
unsigned SimModule::heartbeatsSent() const {
  std::lock_guard<std::mutex> g(lock_);
  return beatsSent_;
}
unsigned SimModule::heartbeatsUnanswered() const {
  std::lock_guard<std::mutex> g(lock_);
  return beatsUnanswered_;
}

bool SimModule::waitFor(const std::function<bool()> &pred, milliseconds timeout) const {
  // The predicate usually calls the accessors above, so it runs unlocked; the
  // wait re-checks after every change or at least every 10 ms.
  auto deadline = Clock::now() + timeout;
  while (true) {
    if (pred())
      return true;
    auto now = Clock::now();
    if (now >= deadline)
      return false;
    std::unique_lock<std::mutex> lk(lock_);
    changed_.wait_for(lk, std::min<Clock::duration>(deadline - now, milliseconds(10)));
  }
}

void SimModule::setFaults(Faults faults) {
  std::lock_guard<std::mutex> g(lock_);
  faults_ = std::move(faults);
  ruleCounts_.assign(faults_.replies.size(), 0);
}
Faults SimModule::faults() const {
  std::lock_guard<std::mutex> g(lock_);
  return faults_;
}
void SimModule::setHeartbeatMs(unsigned ms) {
  {
    std::lock_guard<std::mutex> g(lock_);
    hbMs_ = ms;
    nextBeat_ = Clock::now() + milliseconds(ms);
    kick();
  }
}
void SimModule::setInputVoltage(uint32_t microvolts) {
  std::lock_guard<std::mutex> g(lock_);
  config_.inputVoltage = microvolts;
}

} // namespace modulesim
