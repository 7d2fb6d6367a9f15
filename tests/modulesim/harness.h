// Drives a simulated module with literal bytes and collects the bytes it
// sends, without any transport in between.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "modulesim/SimModule.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

class Harness {
public:
  explicit Harness(modulesim::ModuleConfig config = {}) : module(std::move(config)) {
    module.setSink([this](const modulesim::Packet &p) {
      std::lock_guard<std::mutex> g(lock_);
      auto b = p.bytes();
      out_.insert(out_.end(), b.begin(), b.end());
      cv_.notify_all();
    });
  }

  void send(const Bytes &bytes) {
    for (uint8_t b : bytes)
      if (auto p = assembler_.add(b))
        module.receive(*p);
  }

  // Waits (bounded) until at least n bytes came out, then takes exactly n.
  Bytes take(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    std::unique_lock<std::mutex> lk(lock_);
    cv_.wait_for(lk, timeout, [&] { return out_.size() >= n; });
    size_t k = std::min(n, out_.size());
    Bytes r(out_.begin(), out_.begin() + long(k));
    out_.erase(out_.begin(), out_.begin() + long(k));
    return r;
  }

  // Sends a request and takes the reply of the given size.
  Bytes ask(const Bytes &request, size_t replySize) {
    send(request);
    return take(replySize);
  }

  // Everything sent so far, after waiting the given time for stragglers.
  Bytes drain(std::chrono::milliseconds settle = std::chrono::milliseconds(0)) {
    std::unique_lock<std::mutex> lk(lock_);
    if (settle.count())
      cv_.wait_for(lk, settle, [] { return false; });
    Bytes r;
    r.swap(out_);
    return r;
  }

  modulesim::SimModule module;

private:
  modulesim::PacketAssembler assembler_;
  std::mutex lock_;
  std::condition_variable cv_;
  Bytes out_;
};

} // namespace simtest
