// Shared pieces of the stream tests: a simulated module on loopback TCP, a
// Link connected to it with networking off, and a callback recorder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/Link.h"

namespace streamtest {

using namespace Corvatek::Quillwork;
using namespace std::chrono_literals;

struct SimOnTcp {
  explicit SimOnTcp(modulesim::ModuleConfig config) : module(config), tcp(module, {}) {}
  linkSpec spec() const {
    linkSpec s{};
    s.type = linkTypeTCPIP;
    s.serialNumber = module.config().serial;
    s.ipAddress = tcp.ipv4();
    s.port = tcp.port();
    return s;
  }
  modulesim::SimModule module;
  modulesim::TcpTransport tcp;
};

inline cEtherConfig networkingOff() {
  cEtherConfig c;
  c.enabled = 0;
  c.fallback = 0;
  return c;
}

// Module 6 with three on-change values on command 50 (options 1-3, index 1)
// and its system values sampled only once per enable.
inline modulesim::ModuleConfig streamingModule() {
  modulesim::ModuleConfig c;
  c.serial = 0x5EA11E55;
  c.address = 6;
  c.streamIntervalMs = 600000;
  for (uint8_t option = 1; option <= 3; ++option) {
    modulesim::StreamValue v;
    v.command = 50;
    v.option = option;
    v.index = 1;
    v.type = 3;
    v.value = 100u * option;
    c.streamValues.push_back(v);
  }
  return c;
}

// What the callbacks saw, in order.
struct Recorder {
  struct Call {
    uint8_t option;
    uint32_t value;
    std::thread::id thread;
    void *context;
  };
  std::mutex m;
  std::condition_variable cv;
  std::vector<Call> calls;

  Link::StreamCallback callback() {
    return [this](const cPacket *p, void *context) -> uint8_t {
      uint32_t value = 0;
      Link::getStreamSample(p, nullptr, &value, nullptr);
      std::lock_guard<std::mutex> g(m);
      calls.push_back({static_cast<uint8_t>(p->data[1] & 0x3F), value, std::this_thread::get_id(), context});
      cv.notify_all();
      return 0;
    };
  }
  // Waits (bounded) until a call with this option and value was seen.
  bool waitFor(uint8_t option, uint32_t value, std::chrono::milliseconds timeout = 3000ms) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, timeout, [&] {
      for (const Call &c : calls)
        if (c.option == option && c.value == value)
          return true;
      return false;
    });
  }
  size_t count() {
    std::lock_guard<std::mutex> g(m);
    return calls.size();
  }
};

// Polls (bounded) until pred holds.
template <typename Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

} // namespace streamtest
