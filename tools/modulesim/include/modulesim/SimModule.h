// A simulated module: the least module that answers everything the host
// sends over the packet protocol. It is transport-independent: a transport
// hands it the packets it receives (receive) and gives it a sink for the
// packets it sends. Time-driven work (heartbeats, stream samples, delayed
// replies, restarts) runs on the module's own timer thread, which sleeps until
// the next deadline, so an idle module costs no CPU.
//
// Thread-safe: transports, the timer thread and a test may call in at once.
// The sink and the presence listener are never called with the module's lock
// held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "modulesim/Memory.h"
#include "modulesim/Wire.h"

namespace modulesim {

constexpr uint32_t kLoaderSerial = 0xDEADDEAD; // serial a module's loader reports

// Command codes the module understands.
enum : uint8_t {
  kCmdSystem = 3,
  kCmdSlot = 4,
  kCmdI2C = 8,
  kCmdDebug = 23,
  kCmdDescriptor = 73,
  kCmdStore = 92,
  kCmdStream = 93,
  kCmdFactory = 94,
  kCmdUpgrade = 95,
};

// Packed firmware version as modules report it (new format from 2.15 on).
uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);

struct SlotConfig {
  uint16_t capacity = 256;
  std::vector<uint8_t> content;
};

// A value the module streams while a host has its stream enabled: at a set
// rate, or on every change that setStreamValue makes. The first sample
// follows the enable. Samples carry the module's uptime in ms as timestamp.
struct StreamValue {
  uint8_t command = kCmdSystem, option = 0, index = 0;
  uint8_t subindex = 0; // for types 5-7
  uint8_t type = 3;     // sample type: 1-3 (8, 16, 32 bits), 5-7 (with subindex)
  unsigned rateMs = 0;  // 0: on change; else one sample every rateMs
  uint32_t value = 0;
  uint32_t step = 0; // added to the value after every timed sample
};

struct ModuleConfig {
  uint32_t serial = 0x40F5849A;
  uint8_t model = 17;
  uint8_t address = 4; // even, 2-254
  uint8_t routerAddress = 0;
  uint32_t version = packVersion(2, 15, 0);
  uint32_t build = 1000;
  std::string name = "SimModule";
  // Bit 31: pooled packets welcome. Set by default, as on a module whose
  // upgrade set takes UEI byte series (ueiDataUpgrade): the host then packs
  // a series into few bulk transfers.
  uint32_t protocolFeatures = 0x80000000u;
  uint32_t hardwareVersion = 1;
  uint32_t inputVoltage = 5000000; // micro-units, as a module reports them
  uint32_t inputCurrent = 250000;
  int32_t temperature = 35000000;
  uint32_t fingerprint[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978}; // option 39
  bool ueiDataUpgrade = true;      // offers the UEI-bytes data option of the upgrade set
  uint16_t upgradeBlockSize = 512; // block size answered to PREPARE
  uint32_t loadBase = 0x10000000;  // answered to INIT
  unsigned heartbeatMs = 0;        // 0: no heartbeats
  unsigned streamIntervalMs = 200; // sampling period of enabled streams
  unsigned restartDownMs = 300;    // link down while restarting
  unsigned loaderSerialMs = 0;     // after LOAD, first come back as 0xDEADDEAD for this long
  bool restartOnLoad = true;       // LOAD restarts the module into its loader
  bool startInLoader = false;      // runs its loader from the start (a recovery loader a boot ROM started)
  // stores: store index -> slots
  std::vector<std::vector<SlotConfig>> stores = {std::vector<SlotConfig>(4)};
  std::map<uint8_t, std::vector<uint8_t>> factory = {{0, {'S', 'I', 'M'}}};
  std::vector<StreamValue> streamValues; // values streamed besides the system entity's
};

// Faults a test can arm. Counters count down as they fire.
struct FaultRule {
  enum Kind { Drop, Delay } kind = Drop;
  int command = -1; // reply's command byte (data[0]); -1: any reply
  int subop = -1;   // reply's data[1]; -1: any
  unsigned nth = 1; // the nth matching reply from now on (1 = the next one)
  unsigned delayMs = 0;
};

struct Faults {
  std::vector<FaultRule> replies;
  unsigned wrongSums = 0;            // this many SUM replies carry a wrong sum
  unsigned refusePrepare = 0;        // this many PREPAREs answer status 1
  unsigned refuseWrite = 0;          // this many WRITEs answer status 1
  unsigned shortAccept = 0;          // this many DATA replies accept one byte less (bytes dropped)
  unsigned disconnectAtBlock = 0;    // the link drops when this PREPARE (1-based) arrives
  unsigned refuseBlock = 0;          // this PREPARE (1-based, loader blocks counted) answers status 1
  unsigned dropLinkAfterPackets = 0; // the link drops (the module restarts) after this many packets from the host
  unsigned freezeAfterPackets = 0;   // after this many packets from the host the module freezes
  bool frozen = false;               // answers nothing, sends nothing, until it restarts
  bool neverBackAfterReboot = false;
  bool linkClaimed = false; // another host owns the link: the module answers nothing
};

// One firmware (or loader) block as it landed.
struct BlockRecord {
  uint32_t address = 0;
  uint8_t flags = 0;
  bool loader = false;
};

enum class Phase { Application, LoaderUpload, Loader };

class SimModule {
public:
  using Sink = std::function<void(const Packet &)>;
  // Called on every change of presence: online or not, and the serial number
  // the module now presents (its own, or 0xDEADDEAD while its loader runs).
  using PresenceListener = std::function<void(bool online, uint32_t serial)>;
  // Sees every packet from the host (fromHost) and to it, for logging.
  using Trace = std::function<void(bool fromHost, const Packet &)>;

  explicit SimModule(ModuleConfig config);
  ~SimModule();
  SimModule(const SimModule &) = delete;
  SimModule &operator=(const SimModule &) = delete;

  // --- transport side
  void setSink(Sink sink);
  void setPresenceListener(PresenceListener listener);
  void setTrace(Trace trace);
  // Hears what happens to the module (restarts, strict-check violations) as
  // text. Called with the module's lock held: it must not call the module.
  using EventLog = std::function<void(const std::string &)>;
  void setEventLog(EventLog log);
  // One packet from the host.
  void receive(const Packet &packet);
  // The host side of the link closed (the module keeps running).
  void linkClosed();

  // --- what the module is now
  bool online() const;
  uint32_t presentedSerial() const;
  uint8_t address() const;
  uint8_t model() const;
  uint32_t version() const;
  uint32_t build() const;
  std::string name() const;
  Phase phase() const;
  unsigned restarts() const;

  // --- the I2C module network of a routing module
  // Modules on this module's I2C bus, by their module address (not owned).
  // While routing (routeToMe on, or the host's link sent route on), packets to
  // their addresses on this module's link go to them, and their packets come
  // back. A member has no transport of its own:
  // this takes its sink. Either side may be destroyed first.
  void attachToBus(SimModule &other);
  bool routing() const;

  // --- upgrade results
  // Bytes written by WRITE (firmware) at [address, address + length).
  std::vector<uint8_t> image(uint32_t address, size_t length) const;
  std::vector<uint8_t> loaderImage(uint32_t address, size_t length) const;
  std::vector<BlockRecord> blocks() const;
  // Protocol violations met by the strict checks, as text, oldest first.
  std::vector<std::string> violations() const;

  // --- observation
  std::vector<Packet> received() const; // every packet from the host except sync requests
  size_t syncRequests() const;
  std::vector<uint8_t> routeRequests() const;
  unsigned heartbeatsSent() const;
  unsigned heartbeatsUnanswered() const; // consecutive beats without an answer
  bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const;

  // --- knobs
  void setFaults(Faults faults);
  Faults faults() const;
  void setHeartbeatMs(unsigned ms);
  void setInputVoltage(uint32_t microvolts);
  // Sends one stream sample of the given type (1-7, as the host reads them)
  // now, as if a stream had produced it.
  void sendStreamSample(uint8_t command, uint8_t option, uint8_t index, uint8_t type, uint32_t value,
                        uint8_t subindex = 0);
  // Sends any packet as the module, unasked: for tests of how a host takes
  // answers that are late, odd or from another address.
  void sendRaw(const Packet &packet);
  // Adds a streamed value (or replaces the one with the same command, option,
  // index and subindex).
  void streamValue(const StreamValue &value);
  // Changes a streamed value; an on-change stream that is enabled sends a
  // sample at once when the value differs from the last one sent.
  void setStreamValue(uint8_t command, uint8_t option, uint8_t index, uint8_t subindex, uint32_t value);
  // Samples sent for the values of streamValue (not the system entity's).
  unsigned streamSamplesSent() const;
  // Takes the module off line (a power cut) or back on line.
  void powerOff();
  void powerOn();
  // Restarts now (as the reset option does).
  void restart();

  // The configuration as built, for reading fields that never change (serial
  // number, model, address); the rest may change under a running module.
  const ModuleConfig &config() const { return config_; }

private:
  struct Timed {
    std::chrono::steady_clock::time_point when;
    Packet packet;
    uint64_t generation;
  };
  struct OpenSlot {
    uint8_t store, slot;
    bool write;
    size_t position;
  };
  struct BytesInFlight {
    uint8_t command = 0, option = 0, index = 0;
    uint8_t nextSequence = 0;
    std::vector<uint8_t> bytes;
  };

  using Out = std::vector<Packet>;
  void dispatch(const Packet &p, Out &out);
  void emit(Out &out);
  void reply(Out &out, Packet p);
  void timerLoop();
  void kick(); // lock held: the timer thread looks at its deadlines again
  unsigned heartbeatMs_() const;

  // handlers (lock held)
  void onSystem(const Packet &p, Out &out);
  void onSystemBytes(const Packet &p, Out &out);
  void onDescriptor(const Packet &p, Out &out);
  void onSlot(const Packet &p, Out &out);
  void onFactory(const Packet &p, Out &out);
  void onStream(const Packet &p, Out &out);
  void onI2C(const Packet &p, Out &out);
  void onUpgrade(const Packet &p, Out &out);
  void onUpgradeBytes(const Packet &p, Out &out);
  void onStore(const Packet &p, Out &out);
  void routeUp(const Packet &p);
  void ueiError(Out &out, uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code);
  void sendBytesSeries(Out &out, uint8_t command, uint8_t option, uint8_t specifier, const std::vector<uint8_t> &bytes,
                       bool streamType);
  void violation(const std::string &what);
  void scheduleRestart(bool loaderSerial, bool comeBack);
  void goDown();
  void streamTick(Out &out, uint64_t nowMs);
  // The values of streamValue (SimStreams.cpp); lock held.
  struct StreamSource {
    explicit StreamSource(const StreamValue &v) : value(v) {}
    StreamValue value;
    bool enabled = false; // a host's stream covers it
    std::optional<std::chrono::steady_clock::time_point> due;
    std::optional<uint32_t> lastSent;
  };
  bool streamCovers(uint8_t command, uint8_t option, uint8_t index) const;
  Packet streamSample(const StreamValue &v);
  void sourcesTick(Out &out, std::chrono::steady_clock::time_point now);
  std::optional<std::chrono::steady_clock::time_point> sourcesDue() const;
  std::vector<StreamSource> sources_;
  unsigned sourceSamples_ = 0;
  bool systemValue(uint8_t option, uint32_t &value, int &width) const;
  uint64_t uptimeMs() const;

  ModuleConfig config_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::condition_variable timerWake_;
  Sink sink_;
  PresenceListener presence_;
  Trace trace_;
  // Copies of the sink, presence listener or trace being called outside the
  // lock: replacing one waits for them, so that a transport that clears its
  // sink is never called once it has gone.
  unsigned outCalls_ = 0;
  std::condition_variable outCallsDone_;
  void beginOutCall();
  void endOutCall();
  void awaitOutCalls(std::unique_lock<std::mutex> &lk);
  EventLog eventLog_;
  void event(const std::string &text) {
    if (eventLog_)
      eventLog_(text);
  }
  std::thread timer_;
  bool stopping_ = false;
  bool timerDirty_ = false;

  // live state
  bool online_ = true;
  bool powered_ = true;
  uint32_t presented_;
  uint64_t generation_ = 1; // bumps on every restart: stale delayed replies are dropped
  unsigned restarts_ = 0;
  std::chrono::steady_clock::time_point bootTime_;
  std::optional<std::chrono::steady_clock::time_point> downAt_; // dropping the link then
  bool restartLoaderSerial_ = false, restartComeBack_ = true, pendingLoaderSerial_ = false;
  std::optional<std::chrono::steady_clock::time_point> upAt_;         // coming back then
  std::optional<std::chrono::steady_clock::time_point> realSerialAt_; // leave 0xDEADDEAD then
  std::vector<Timed> delayed_;
  std::chrono::steady_clock::time_point nextBeat_;
  std::chrono::steady_clock::time_point nextSample_;
  unsigned hbMs_ = 0;
  bool awaitingBeat_ = false;
  uint8_t lastBeat_ = 0; // 0 up, 1 down
  unsigned beatsSent_ = 0, beatsUnanswered_ = 0;
  std::map<uint32_t, uint32_t> lastSample_; // (option << 8 | subindex) -> last value streamed
  uint8_t led_ = 0, bootSlot_ = 0, softwareOffset_ = 0, powerBehavior_ = 0, linkInterface_ = 0;
  uint8_t ledMax_ = 255, hbSetting_ = 0;
  uint32_t powerLimitMax_ = 10000000;
  std::vector<uint8_t> powerConfig_;
  bool routeToMe_ = false;  // system option 20
  bool forceRoute_ = false; // route on (0xAF 0x01) from the host's link
  std::vector<SimModule *> bus_;
  SimModule *router_ = nullptr;
  uint8_t pullup_ = 0;
  std::map<uint8_t, OpenSlot> openSlots_;
  uint8_t nextHandle_ = 1;
  // factory transfer
  int factoryItem_ = -1;
  bool factoryWrite_ = false;
  size_t factoryPos_ = 0;
  std::vector<uint8_t> factoryIn_;
  std::optional<BytesInFlight> bytesIn_;
  std::set<uint32_t> streamKeys_;
  // upgrade
  Phase phase_ = Phase::Application;
  bool loadAckOwed_ = false;    // LOAD restarted the module: its loader will acknowledge it
  bool loadAckPending_ = false; // ... to the next host that synchronises
  bool prepared_ = false;
  uint32_t blockAddress_ = 0, writeAddress_ = 0;
  uint32_t sum_ = 0;
  std::vector<uint8_t> pending_;
  unsigned prepares_ = 0;
  Memory flash_, loaderMem_;
  std::vector<BlockRecord> blocks_;
  std::vector<std::string> violations_;
  // observation
  std::vector<Packet> received_;
  size_t syncs_ = 0;
  std::vector<uint8_t> routes_;
  Faults faults_;
  std::vector<unsigned> ruleCounts_;
};

} // namespace modulesim
