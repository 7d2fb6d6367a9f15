// Value streams on a Link. A module pushes a sample packet for every change
// of a value whose stream is enabled. While this Link has registrations, a
// packet filter on the engine's reader thread takes every stream packet off
// the engine's packet queue, caches the latest value per UEI (reads are then
// answered without a round trip) and hands a copy of the packet to the
// registered callbacks through a lock-free single-producer single-consumer
// queue; one worker thread per Link runs the callbacks.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "quillwork/Link.h"
#include "quillwork/LocklessQueue_SPSC.h"
#include "quillwork/cDebug.h"
#include "quillwork/cLink.h"

namespace Corvatek {
namespace Quillwork {

namespace {

constexpr uint8_t kWildcard = 255;
constexpr uint8_t kStreamSpecifier = 0x20; // request, entity index 0
constexpr uint8_t kStreamEnable = 0x81;    // set, option 1
constexpr uint8_t kStreamDisable = 0x82;   // set, option 2
constexpr uint8_t kStreamStateGet = 0x41;  // get, option 1
constexpr size_t kQueueSlots = 500;

struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0; // a value arrived since the last read
  Link::StreamCallback callback;
  void *context = nullptr;
  uint32_t value = 0;
  bool registered = false; // made by registerStreamCallback (else a cache entry made by a sample)
};

struct asyncPacket {
  Link::StreamCallback callback;
  void *context = nullptr;
  cPacketPtr packet; // released after the callback
};

// Elements made wildcards by each of the fifteen lookups after the exact key,
// in the order they are tried: index, option, command, subindex in every
// combination, counting up.
constexpr uint64_t kIndexMask = 0xFFull, kOptionMask = 0xFF00ull, kCommandMask = 0xFF0000ull,
                   kSubindexMask = 0xFF00000000ull;
constexpr uint64_t maskFor(unsigned bits) {
  return ((bits & 1) ? kIndexMask : 0) | ((bits & 2) ? kOptionMask : 0) | ((bits & 4) ? kCommandMask : 0) |
         ((bits & 8) ? kSubindexMask : 0);
}

// Length of a valid sample by type (0: not a sample type).
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};

} // namespace

struct Link::Streams {
  std::map<uint64_t, StreamEntry> table; // under lock
  std::mutex lock;                       // the stream lock
  LocklessQueue_SPSC<asyncPacket, kQueueSlots> queue;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> dropped{0}; // samples a full queue turned away
  // Serialises starting and stopping the worker and moving the engine filter;
  // never held by the reader thread.
  std::mutex control;
  std::thread worker;      // under control
  uint32_t filterLink = 0; // engine link carrying the filter (under control)
  bool closing = false;    // the Link is going: no new worker (under control)
};

namespace {

// Runs the callbacks until the Link goes; sleeps while the queue is empty. It
// holds the stream state so that a Link destroyed from one of its own
// callbacks leaves the queue alive until this returns.
void asyncWork(std::shared_ptr<Link::Streams> s) {
  asyncPacket item;
  while (!s->stop.load(std::memory_order_acquire)) {
    if (!s->queue.pop(item)) {
      // Looks again after reading the signal word: a push in between
      // changes it, and the wait returns at once.
      uint32_t seen = s->queue.signal();
      if (!s->queue.pop(item)) {
        s->queue.wait(seen);
        continue;
      }
    }
    if (item.callback)
      item.callback(item.packet.get(), item.context);
    item = asyncPacket{};
  }
  // Whatever is left is released without running: streaming stopped.
  while (s->queue.pop(item))
    item = asyncPacket{};
}

// True when queued; the caller wakes the worker once for the packet.
bool queueAsyncCallback(Link::Streams &s, const StreamEntry &entry, const cPacket *packet) {
  if (!entry.callback)
    return false;
  asyncPacket item{entry.callback, entry.context, cPacketPtr(cPacket_Copy(packet))};
  if (item.packet != nullptr && s.queue.push(std::move(item)))
    return true;
  s.dropped.fetch_add(1, std::memory_order_relaxed); // item (and its packet copy) released here
  return false;
}

// The engine's user packet filter, on its reader thread.
bool linkStreamFilter(const cPacket *packet, const void *reference) {
  if (!Link::isStreamPacket(packet))
    return false;
  auto &s = *static_cast<Link::Streams *>(const_cast<void *>(reference));
  const uint8_t *d = packet->data;
  uint8_t type = 0;
  bool typed = Link::getStreamPacketType(packet, &type);
  uint8_t subindex = typed && Link::isSubindexType(type) ? d[4] : 0;
  uint64_t key = Link::createStreamKey(packet->address, d[0], d[1] & ueiOPTION_CODE_MASK,
                                       d[2] & ueiSPECIFIER_INDEX_MASK, subindex);
  uint32_t value = 0;
  bool sample = Link::getStreamSample(packet, nullptr, &value, nullptr) == cErrNone;

  std::lock_guard<std::mutex> g(s.lock);
  if (s.table.empty())
    return true; // nothing registered: the packet is only kept off the engine's queue
  bool queued = false;
  auto exact = s.table.find(key);
  if (exact != s.table.end()) {
    queued |= queueAsyncCallback(s, exact->second, packet);
    if (sample) {
      exact->second.value = value;
      exact->second.fresh = 1;
    }
  }
  // A key that already holds 255 in an element would meet itself again:
  // each entry is looked up once.
  uint64_t seen[16] = {key};
  size_t seenCount = 1;
  bool matched = false;
  for (unsigned bits = 1; bits < 16; ++bits) {
    uint64_t wild = key | maskFor(bits);
    if (std::find(seen, seen + seenCount, wild) != seen + seenCount)
      continue;
    seen[seenCount++] = wild;
    auto it = s.table.find(wild);
    if (it == s.table.end())
      continue;
    matched = true;
    queued |= queueAsyncCallback(s, it->second, packet);
  }
  if (queued)
    s.queue.wake();
  if (exact == s.table.end() && matched && sample) {
    StreamEntry e;
    e.key = key;
    e.fresh = 1;
    e.value = value;
    s.table.emplace(key, std::move(e));
  }
  return true;
}

bool isStreamOnly(const cPacket *packet, const void *) { return Link::isStreamPacket(packet); }

bool keyMatches(uint64_t key, uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  const uint8_t want[5] = {module, command, option, index, subindex};
  for (uint8_t e = 0; e < 5; ++e)
    if (want[e] != kWildcard && want[e] != Link::getStreamKeyElement(key, e))
      return false;
  return true;
}

bool hasWildcard(uint64_t key) {
  for (uint8_t e = 0; e < 5; ++e)
    if (Link::getStreamKeyElement(key, e) == kWildcard)
      return true;
  return false;
}

} // namespace

// ---- keys and samples ----

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(module) << 24 |
         static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element) {
  switch (element) {
  case STREAM_KEY_MODULE: return static_cast<uint8_t>(key >> 24);
  case STREAM_KEY_COMMAND: return static_cast<uint8_t>(key >> 16);
  case STREAM_KEY_OPTION: return static_cast<uint8_t>(key >> 8);
  case STREAM_KEY_INDEX: return static_cast<uint8_t>(key);
  case STREAM_KEY_SUBINDEX: return static_cast<uint8_t>(key >> 32);
  default: return 0;
  }
}

bool Link::isStreamPacket(const cPacket *packet) { return cUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const cPacket *packet, uint8_t *type) {
  uint8_t t = STREAM_PACKET_NONE;
  if (isStreamPacket(packet)) {
    if (packet->data[packet->length - 1] != 0)
      t = STREAM_PACKET_UEI_BYTES; // part of a UEI-bytes series, whatever data[3] says
    else if (packet->data[3] >= STREAM_PACKET_8BIT && packet->data[3] <= STREAM_PACKET_32BIT_SUBINDEX)
      t = packet->data[3];
  }
  if (type != nullptr)
    *type = t;
  return t != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(uint8_t type) {
  return type == STREAM_PACKET_8BIT_SUBINDEX || type == STREAM_PACKET_16BIT_SUBINDEX ||
         type == STREAM_PACKET_32BIT_SUBINDEX;
}

bool Link::isStreamSample(const cPacket *packet) {
  uint8_t type = 0;
  return getStreamPacketType(packet, &type) && type != STREAM_PACKET_UEI_BYTES && packet->length == kSampleLength[type];
}

cErr Link::getStreamSample(const cPacket *packet, uint64_t *timestamp, uint32_t *value, uint8_t *subindex) {
  if (!isStreamPacket(packet))
    return cErrPacket;
  uint8_t type = 0;
  if (!getStreamPacketType(packet, &type))
    return cErrUnknown;
  if (type == STREAM_PACKET_UEI_BYTES)
    return cErrSize;
  if (!isStreamSample(packet))
    return cErrPacket;
  const uint8_t *d = packet->data;
  bool withSubindex = isSubindexType(type);
  const uint8_t *at = d + (withSubindex ? 5 : 4);
  uint64_t ts = 0;
  for (int i = 0; i < 8; ++i)
    ts = ts << 8 | at[i];
  at += 8;
  uint32_t v = 0;
  switch (type) {
  case STREAM_PACKET_8BIT:
  case STREAM_PACKET_8BIT_SUBINDEX: v = at[0]; break;
  case STREAM_PACKET_16BIT:
  case STREAM_PACKET_16BIT_SUBINDEX: v = cUEI_RetrieveShort(at); break;
  default: v = cUEI_RetrieveInt(at); break;
  }
  if (timestamp != nullptr)
    *timestamp = ts;
  if (value != nullptr)
    *value = v;
  if (subindex != nullptr)
    *subindex = withSubindex ? d[4] : 0;
  return cErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t *high, uint32_t *low) {
  if (high != nullptr)
    *high = static_cast<uint32_t>(timestamp >> 32);
  if (low != nullptr)
    *low = static_cast<uint32_t>(timestamp);
}

// ---- the stream state ----

Link::Streams &Link::streams() {
  // Made by the constructor, before any other thread can see the Link.
  if (!pStreams)
    pStreams = std::make_shared<Streams>();
  return *pStreams;
}

// Puts the stream filter on the engine link and starts the callback worker
// when the table has entries. The filter stays on the engine link while it is
// connected, also when the table empties: it keeps stray stream packets (a
// module still streaming after a failed stop, samples in flight) off the
// engine's queue, where they would pile up and could pass for the answer to
// a get. The worker, once started, sleeps while there is no work and is
// joined when the Link goes: a callback may register and unregister freely,
// and nobody ever waits for the worker while it waits for them.
cErr Link::installStreamFilter(bool on) {
  Streams &s = streams();
  uint32_t link = handle();
  std::lock_guard<std::mutex> control(s.control);
  if (s.closing)
    return cErrConnection;
  bool want;
  {
    std::lock_guard<std::mutex> g(s.lock);
    want = !s.table.empty(); // another thread may have changed it since the caller looked
  }
  if (on && link == 0)
    return cErrConnection;
  if (!want)
    return cErrNone;
  if (link != 0) {
    cErr err = cLink_InstallUserPacketFilter(link, linkStreamFilter, &s);
    if (err != cErrNone)
      return err;
    s.filterLink = link;
  }
  if (!s.worker.joinable())
    s.worker = std::thread(asyncWork, pStreams);
  return cErrNone;
}

void Link::detachStreams() {
  if (!pStreams)
    return;
  std::lock_guard<std::mutex> control(pStreams->control);
  if (pStreams->filterLink != 0)
    cLink_InstallUserPacketFilter(pStreams->filterLink, nullptr, nullptr);
  pStreams->filterLink = 0;
}

void Link::shutdownStreams() {
  if (!pStreams)
    return;
  detachStreams(); // the reader no longer reaches the state once this returns
  Streams &s = *pStreams;
  std::thread worker;
  {
    std::lock_guard<std::mutex> control(s.control);
    s.closing = true;
    worker = std::move(s.worker);
  }
  if (!worker.joinable())
    return;
  s.stop = true;
  s.queue.wake();
  if (worker.get_id() == std::this_thread::get_id())
    worker.detach(); // destroyed from its own callback: the worker keeps the state until it returns
  else
    worker.join(); // outside the control lock: a running callback may still call in
}

void Link::restoreStreams() {
  if (!pStreams || handle() == 0)
    return;
  std::vector<uint64_t> registered;
  {
    std::lock_guard<std::mutex> g(pStreams->lock);
    for (const auto &[key, entry] : pStreams->table)
      if (entry.registered)
        registered.push_back(key);
  }
  if (registered.empty())
    return;
  // The engine dropped its filter with the old connection; stream packets
  // that reached its queue meanwhile are of no use to anyone.
  installStreamFilter(true);
  cLink_DrainPackets(handle(), isStreamOnly, nullptr);
  for (uint64_t key : registered) {
    cErr err = tellModuleStream(getStreamKeyElement(key, STREAM_KEY_MODULE), key, true);
    if (err != cErrNone)
      cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "restoreStreams: key %llx not restored (%d)\n",
                    static_cast<unsigned long long>(key), static_cast<int>(err));
  }
}

cErr Link::tellModuleStream(uint8_t module, uint64_t key, bool enable) {
  uei r;
  memset(&r, 0, sizeof r);
  r.module = module;
  r.command = cmdSTREAM;
  r.option = enable ? kStreamEnable : kStreamDisable;
  r.specifier = kStreamSpecifier;
  r.type = ueiTYPE_INT;
  r.value.intVal = static_cast<uint32_t>(key);
  cErr err = sendUEI(r);
  if (err != cErrNone)
    return err;
  r.option = static_cast<uint8_t>(r.option | ueiOPTION_ACK);
  r.specifier = 0;
  err = receiveUEI(module, cmdSTREAM, r.option, 0, &r);
  if (err == cErrNone && (r.specifier & ueiSPECIFIER_ERROR))
    return static_cast<cErr>(r.value.byteVal);
  return err;
}

// ---- registrations ----

cErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void *context) {
  if ((module & 1) != 0 || module == kWildcard)
    return cErrParam;
  uint64_t key = createStreamKey(module, command, option, index, kWildcard);
  Streams &s = streams();
  // What a failed enable puts back: the registration as it was before.
  bool existed = false;
  StreamEntry previous;
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (enable) {
      auto it = s.table.find(key);
      existed = it != s.table.end();
      if (existed) {
        previous = it->second;
      } else {
        it = s.table.emplace(key, StreamEntry{}).first;
        it->second.key = key;
      }
      it->second.callback = std::move(callback);
      it->second.context = context;
      it->second.registered = true;
    } else {
      for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kWildcard, false))
        s.table.erase(k);
    }
  }
  cErr err = installStreamFilter(enable);
  if (err == cErrNone)
    err = tellModuleStream(module, key, enable);
  if (err != cErrNone && enable) {
    // Only this registration is undone: others that it overlaps keep working.
    {
      std::lock_guard<std::mutex> g(s.lock);
      if (existed)
        s.table[key] = std::move(previous);
      else
        s.table.erase(key);
    }
  }
  return err;
}

cErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback{}, nullptr);
}

cErr Link::isLinkStreaming(uint8_t module, uint8_t *out) {
  if (out == nullptr)
    return cErrParam;
  uei r;
  memset(&r, 0, sizeof r);
  r.module = module;
  r.command = cmdSTREAM;
  r.option = kStreamStateGet;
  r.specifier = kStreamSpecifier;
  r.type = ueiTYPE_VOID;
  cErr err = sendUEI(r);
  if (err != cErrNone)
    return err;
  r.option = kStreamStateGet & ueiOPTION_CODE_MASK;
  r.specifier = 0;
  err = receiveUEI(module, cmdSTREAM, r.option, 0, &r);
  if (err != cErrNone)
    return err;
  if (r.specifier & ueiSPECIFIER_ERROR)
    return static_cast<cErr>(r.value.byteVal);
  *out = r.value.byteVal;
  return cErrNone;
}

cErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t *value) {
  if (value == nullptr)
    return cErrParam;
  if (!pStreams)
    return cErrNotFound;
  std::lock_guard<std::mutex> g(pStreams->lock);
  auto it = pStreams->table.find(createStreamKey(module, command, option, index, subindex));
  if (it == pStreams->table.end())
    return cErrNotFound;
  *value = it->second.value;
  if (!it->second.fresh)
    return cErrStreamStale;
  it->second.fresh = 0;
  return cErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  std::vector<uint64_t> keys;
  if (!pStreams)
    return keys;
  std::unique_lock<std::mutex> g(pStreams->lock, std::defer_lock);
  if (lock)
    g.lock();
  for (const auto &[key, entry] : pStreams->table)
    if (keyMatches(key, module, command, option, index, subindex))
      keys.push_back(key);
  return keys;
}

cErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry *entries, uint32_t entryCount, uint32_t *count) {
  if (!isConnected())
    return cErrConnection;
  if (entries == nullptr || count == nullptr || entryCount == 0)
    return cErrParam;
  *count = 0;
  if (!pStreams)
    return cErrNone;
  std::lock_guard<std::mutex> g(pStreams->lock);
  for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
    if (hasWildcard(key))
      continue; // registrations are not reported, only concrete values
    if (*count == entryCount)
      return cErrSize;
    entries[*count] = StreamStatusEntry{key, pStreams->table[key].value};
    ++*count;
  }
  return cErrNone;
}

cErr Link::readStreamCache(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           uint32_t *value) {
  return getStreamValue(module, command, option, index, subindex, value);
}

} // namespace Quillwork
} // namespace Corvatek
