// A byte stream whose far side is the test: bytes fed by the test are read by
// the stream's user, bytes it writes are recorded. get waits up to 20 ms for a
// byte (like the real streams, it never returns at once when idle). Writes can
// be made to return late, as on a loaded machine: the bytes are recorded (and
// seen by waitWritten) at once, the write call returns only after the delay.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "quillwork/cStream.h"

namespace qwtest {

class ScriptedStream {
public:
  // A new cStream over this object (which must outlive it).
  cStream *make() { return cStream_Create(sGet, sPut, sWrite, sDelete, this); }

  void feed(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> g(lock_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
  }
  // Every later write returns this long after its bytes were recorded.
  void delayWrites(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> g(lock_);
    writeDelay_ = delay;
  }
  // How long an idle get waits before it reports cErrNotReady (a USB read
  // waits up to a second). A get already waiting returns at once.
  void setIdleWait(std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> g(lock_);
    idleWait_ = wait;
    idleWaitGeneration_++;
    changed_.notify_all();
  }
  // Reads fail with err (cErrNone: they work again).
  void failReads(cErr err) {
    std::lock_guard<std::mutex> g(lock_);
    readError_ = err;
  }
  std::vector<uint8_t> written() const {
    std::lock_guard<std::mutex> g(lock_);
    return written_;
  }
  // Writes whose call has returned (a delayed write is recorded before).
  size_t returnedWrites() const {
    std::lock_guard<std::mutex> g(lock_);
    return returnedWrites_;
  }
  std::vector<size_t> writeSizes() const {
    std::lock_guard<std::mutex> g(lock_);
    return writeSizes_;
  }
  bool deleted() const {
    std::lock_guard<std::mutex> g(lock_);
    return deleted_;
  }
  size_t pendingInput() const {
    std::lock_guard<std::mutex> g(lock_);
    return input_.size();
  }
  // Waits (bounded) until pred(written bytes) holds.
  bool waitWritten(const std::function<bool(const std::vector<uint8_t> &)> &pred,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, timeout, [&] { return pred(written_); });
  }

private:
  static ScriptedStream *self(void *reference) { return static_cast<ScriptedStream *>(reference); }
  static cErr sGet(uint8_t *byte, void *reference) {
    ScriptedStream *s = self(reference);
    std::unique_lock<std::mutex> g(s->lock_);
    if (s->readError_ != cErrNone) {
      g.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return s->readError_;
    }
    unsigned generation = s->idleWaitGeneration_;
    if (!s->changed_.wait_for(g, s->idleWait_,
                              [&] { return !s->input_.empty() || s->idleWaitGeneration_ != generation; }) ||
        s->input_.empty())
      return cErrNotReady;
    *byte = s->input_.front();
    s->input_.pop_front();
    return cErrNone;
  }
  static cErr sPut(uint8_t byte, void *reference) { return sWrite(&byte, 1, reference); }
  static cErr sWrite(const uint8_t *data, size_t length, void *reference) {
    ScriptedStream *s = self(reference);
    std::chrono::milliseconds delay;
    {
      std::lock_guard<std::mutex> g(s->lock_);
      s->written_.insert(s->written_.end(), data, data + length);
      s->writeSizes_.push_back(length);
      delay = s->writeDelay_;
      s->changed_.notify_all();
    }
    if (delay.count() > 0)
      std::this_thread::sleep_for(delay);
    std::lock_guard<std::mutex> g(s->lock_);
    s->returnedWrites_++;
    return cErrNone;
  }
  static cErr sDelete(void *reference) {
    ScriptedStream *s = self(reference);
    std::lock_guard<std::mutex> g(s->lock_);
    s->deleted_ = true;
    return cErrNone;
  }

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::deque<uint8_t> input_;
  std::vector<uint8_t> written_;
  std::vector<size_t> writeSizes_;
  size_t returnedWrites_ = 0;
  cErr readError_ = cErrNone;
  std::chrono::milliseconds writeDelay_{0};
  std::chrono::milliseconds idleWait_{20};
  unsigned idleWaitGeneration_ = 0;
  bool deleted_ = false;
};

// Counts occurrences of a byte sequence.
inline size_t CountSequence(const std::vector<uint8_t> &bytes, const std::vector<uint8_t> &sequence) {
  size_t n = 0;
  for (size_t i = 0; i + sequence.size() <= bytes.size(); i++)
    if (std::equal(sequence.begin(), sequence.end(), bytes.begin() + (long)i))
      n++;
  return n;
}

} // namespace qwtest
