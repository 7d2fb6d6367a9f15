// Internals of the packet FIFO registry (the API is quillwork/cPacketFifo.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "quillwork/cPacket.h"

// One FIFO entry: an owned packet and its sequence number.
class SerialPacket {
public:
  SerialPacket(cPacketPtr packet, int32_t id) : packet_(std::move(packet)), id_(id) {}
  cPacket *getPacket() const { return packet_.get(); }
  int32_t getId() const { return id_; }
  operator cPacketPtr &() { return packet_; }

private:
  cPacketPtr packet_;
  int32_t id_;
};

// Sequence numbers wrap: compare them only through this signed difference.
static inline int32_t sSequenceDiff(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

struct packetFifo {
  std::deque<SerialPacket> packets; // oldest first
  std::condition_variable condition;
  std::mutex lock;
  std::atomic<bool> alive{true};
  std::atomic<int32_t> windowStart{0};  // sequence of the oldest entry, or nextSequence when empty
  std::atomic<int32_t> nextSequence{0}; // given to the next packet put

  // Both are called with the lock held.
  void clearAndSyncWindow() {
    packets.clear();
    windowStart = nextSequence.load();
  }
  template <typename It> void eraseAndSyncWindow(It first, It last) {
    packets.erase(first, last);
    windowStart = packets.empty() ? nextSequence.load() : packets.front().getId();
  }
  template <typename It> void eraseAndSyncWindow(It position) { eraseAndSyncWindow(position, std::next(position)); }
};
