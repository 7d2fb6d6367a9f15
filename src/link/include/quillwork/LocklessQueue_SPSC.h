// A bounded single-producer single-consumer queue without locks: a fixed
// array of N slots and two atomic indices. The producer owns the write index,
// the consumer the read index; the slot at the read index is never written,
// so the queue holds at most N - 1 items.
//
// The consumer can sleep until there is work (wait) instead of polling: the
// producer bumps a signal word after every push and wakes a sleeping
// consumer; wake() lets another thread end such a sleep (to stop a worker).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace Corvatek {

template <typename T, size_t N> class LocklessQueue_SPSC {
  static_assert(N >= 2 && N <= 65535, "the indices are 16 bits");

public:
  // Producer only. False (item untouched) when the queue is full.
  bool push(T &&item) {
    uint16_t write = write_.load(std::memory_order_relaxed);
    uint16_t next = static_cast<uint16_t>(write + 1 == N ? 0 : write + 1);
    if (next == read_.load(std::memory_order_acquire))
      return false;
    slots_[next] = std::move(item);
    write_.store(next, std::memory_order_release);
    signal_.fetch_add(1, std::memory_order_release);
    signal_.notify_one();
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

  // Consumer only: sleeps until the queue is not empty or wake() was called
  // since the caller's last look (a push or wake between the caller's check
  // and this call is not missed: both bump the signal word).
  void wait(uint32_t seen) const {
    if (empty())
      signal_.wait(seen, std::memory_order_acquire);
  }
  // The signal word to hand to wait(); read it before looking at the queue.
  uint32_t signal() const { return signal_.load(std::memory_order_acquire); }

  // Any thread: ends a consumer's wait.
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
