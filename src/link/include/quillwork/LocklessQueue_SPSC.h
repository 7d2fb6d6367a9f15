// A bounded single-producer single-consumer queue without locks: a fixed
// array of N slots and two atomic indices. The producer owns the write index,
// the consumer the read index; the slot at the read index is never written,
// so the queue holds at most N - 1 items.
//
// The consumer can sleep until there is work (wait) instead of polling: after
// its pushes the producer calls wake(), which bumps a signal word and wakes a
// sleeping consumer; any thread may call wake() (to stop a worker). push and
// pop themselves stay free of read-modify-write operations.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace Corvatek {

template <typename T, size_t N> class LocklessQueue_SPSC {
  static_assert(N >= 2 && N <= 65535, "the indices are 16 bits");
  static_assert(std::atomic<uint16_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
                "the indices and the signal word need no lock");

public:
  // Producer only. False (item untouched) when the queue is full.
  bool push(T &&item) {
    uint16_t write = write_.load(std::memory_order_relaxed);
    uint16_t next = static_cast<uint16_t>(write + 1 == N ? 0 : write + 1);
    if (next == read_.load(std::memory_order_acquire))
      return false;
    slots_[next] = std::move(item);
    write_.store(next, std::memory_order_release);
    return true;
  }

  // Consumer only. False when the queue is empty.
  bool pop(T &out) {
    uint16_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire))
      return false;
    uint16_t next = static_cast<uint16_t>(read + 1 == N ? 0 : read + 1);
    out = std::move(slots_[next]);
    read_.store(next, std::memory_order_release);
    return true;
  }

  bool empty() const { return read_.load(std::memory_order_acquire) == write_.load(std::memory_order_acquire); }

  // Consumer only: sleeps until wake() was called since the caller read the
  // signal word (a push and its wake between the caller's look at the queue
  // and this call are not missed: the word changed).
  void wait(uint32_t seen) const {
    if (empty())
      signal_.wait(seen, std::memory_order_acquire);
  }
  // The signal word to hand to wait(); read it before looking at the queue.
  uint32_t signal() const { return signal_.load(std::memory_order_acquire); }

  // Any thread: ends a consumer's wait (the producer calls it after pushing).
  void wake() {
    signal_.fetch_add(1, std::memory_order_release);
    signal_.notify_all();
  }

  static constexpr size_t capacity() { return N - 1; }

private:
  std::array<T, N> slots_{};
  alignas(64) std::atomic<uint16_t> write_{0};
  alignas(64) std::atomic<uint16_t> read_{0};
  alignas(64) mutable std::atomic<uint32_t> signal_{0};
};

} // namespace Corvatek
