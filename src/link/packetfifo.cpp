// The packet FIFO registry. Every operation looks its FIFO up under the
// registry lock, copies out the shared pointer and lets go of the registry
// before it takes the FIFO's own lock; so the registry lock is never held
// together with a FIFO lock, and a FIFO lives until the last operation that
// found it has returned.
#include "packetfifo.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <new>

#include "quillwork/cPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;
using FifoPtr = std::shared_ptr<packetFifo>;

// Never destroyed: threads still inside a FIFO operation at process exit must
// not find the registry torn down under them.
std::map<uint64_t, FifoPtr> &gpPacketFifoDictionary = *new std::map<uint64_t, FifoPtr>;
std::mutex &gpPacketFifoDictionaryMutex = *new std::mutex;
std::atomic<uint64_t> gpSequentialId{1};

FifoPtr sGetFifo(cPacketFifoId id) {
  std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(id);
  return it == gpPacketFifoDictionary.end() ? nullptr : it->second;
}

FifoPtr sExtractFifo(cPacketFifoId id) {
  std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(id);
  if (it == gpPacketFifoDictionary.end())
    return nullptr;
  FifoPtr fifo = std::move(it->second);
  gpPacketFifoDictionary.erase(it);
  return fifo;
}

Clock::time_point sDeadline(uint32_t timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

// Takes the entry out (lock held). The queued packet is already the FIFO's
// own copy, so it is handed over rather than copied again.
cPacket *sTakeEntry(packetFifo &fifo, std::deque<SerialPacket>::iterator entry) {
  cPacket *packet = static_cast<cPacketPtr &>(*entry).release();
  fifo.eraseAndSyncWindow(entry);
  return packet;
}

// The first entry after lastChecked that the filter accepts (lock held);
// lastChecked advances past every entry offered, so no packet is offered twice.
// Entries are in sequence order, so the first unchecked one is found by
// binary search: a waiter that wakes often does not rescan a long queue.
std::deque<SerialPacket>::iterator sFindFirst(packetFifo &fifo, cPacketFilterProc filter, const void *reference,
                                              int32_t &lastChecked) {
  auto it = std::partition_point(fifo.packets.begin(), fifo.packets.end(), [&](const SerialPacket &entry) {
    return sSequenceDiff(entry.getId(), lastChecked) <= 0;
  });
  for (; it != fifo.packets.end(); ++it) {
    lastChecked = it->getId();
    if (filter(it->getPacket(), reference))
      return it;
  }
  return fifo.packets.end();
}

} // namespace

cPacketFifoId cPacketFifo_Create(void) {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
    uint64_t id = gpSequentialId++;
    if (id == 0)
      id = gpSequentialId++;
    gpPacketFifoDictionary.emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

cErr cPacketFifo_Destroy(cPacketFifoId *id) {
  if (id == nullptr)
    return cErrParam;
  try {
    FifoPtr fifo = sExtractFifo(*id);
    if (fifo == nullptr)
      return cErrNotFound;
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      fifo->clearAndSyncWindow();
      fifo->alive = false;
    }
    fifo->condition.notify_all();
    *id = 0;
    return cErrNone;
  } catch (...) {
    return cErrUnknown;
  }
}

size_t cPacketFifo_GetLength(cPacketFifoId id) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (fifo == nullptr)
      return 0;
    std::lock_guard<std::mutex> guard(fifo->lock);
    return fifo->packets.size();
  } catch (...) {
    return 0;
  }
}

cErr cPacketFifo_Put(cPacketFifoId id, const cPacket *packet) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (fifo == nullptr || !cVALIDPACKET(packet))
      return cErrParam;
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      if (!fifo->alive)
        return cErrParam;
      int32_t sequence = fifo->nextSequence.fetch_add(1);
      cPacketPtr copy(cPacket_Copy(packet));
      if (copy == nullptr)
        return cErrParam;
      try {
        fifo->packets.emplace_back(std::move(copy), sequence);
      } catch (...) {
        return cErrResource;
      }
      fifo->windowStart = fifo->packets.front().getId();
      if (fifo->packets.size() > cPACKETFIFO_MAXPACKETS) {
        // Nobody is reading: drop everything rather than grow without bound.
        fifo->clearAndSyncWindow();
        return cErrNone;
      }
    }
    fifo->condition.notify_all();
    return cErrNone;
  } catch (...) {
    return cErrResource;
  }
}

cPacket *cPacketFifo_Get(cPacketFifoId id) { return cPacketFifo_Await(id, 0); }

cPacket *cPacketFifo_Await(cPacketFifoId id, uint32_t timeoutMs) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (fifo == nullptr)
      return nullptr;
    Clock::time_point deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> guard(fifo->lock);
    fifo->condition.wait_until(guard, deadline, [&] { return !fifo->packets.empty() || !fifo->alive; });
    if (!fifo->alive || fifo->packets.empty())
      return nullptr;
    return sTakeEntry(*fifo, fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

cPacket *cPacketFifo_GetFirst(cPacketFifoId id, cPacketFilterProc filter, const void *reference) {
  if (filter == nullptr)
    return nullptr;
  try {
    FifoPtr fifo = sGetFifo(id);
    if (fifo == nullptr)
      return nullptr;
    std::lock_guard<std::mutex> guard(fifo->lock);
    if (!fifo->alive)
      return nullptr;
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it)
      if (filter(it->getPacket(), reference))
        return sTakeEntry(*fifo, it);
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

cPacket *cPacketFifo_AwaitFirst(cPacketFifoId id, cPacketFilterProc filter, const void *reference, uint32_t timeoutMs) {
  if (filter == nullptr)
    return nullptr;
  try {
    FifoPtr fifo = sGetFifo(id);
    if (fifo == nullptr)
      return nullptr;
    Clock::time_point deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> guard(fifo->lock);
    int32_t lastChecked = sSequenceDiff(fifo->windowStart, 1);
    // found is only used when matched was set by the last evaluation of the
    // predicate, which ran under the lock just before the wait returned.
    std::deque<SerialPacket>::iterator found;
    bool matched = false;
    fifo->condition.wait_until(guard, deadline, [&] {
      if (!fifo->alive)
        return true;
      found = sFindFirst(*fifo, filter, reference, lastChecked);
      matched = found != fifo->packets.end();
      return matched;
    });
    if (!fifo->alive || !matched)
      return nullptr;
    return sTakeEntry(*fifo, found);
  } catch (...) {
    return nullptr;
  }
}

size_t cPacketFifo_DrainPackets(cPacketFifoId id, cPacketFilterProc filter, const void *reference) {
  if (filter == nullptr)
    return 0;
  try {
    FifoPtr fifo = sGetFifo(id);
    if (fifo == nullptr)
      return 0;
    std::lock_guard<std::mutex> guard(fifo->lock);
    size_t before = fifo->packets.size();
    auto keep = std::stable_partition(fifo->packets.begin(), fifo->packets.end(),
                                      [&](const SerialPacket &entry) { return !filter(entry.getPacket(), reference); });
    fifo->eraseAndSyncWindow(keep, fifo->packets.end());
    return before - fifo->packets.size();
  } catch (...) {
    return 0;
  }
}
