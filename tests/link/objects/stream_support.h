// Shared pieces of the stream tests: a simulated module on loopback TCP with
// streamed values, and a recorder of callbacks.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/Link.h"

namespace streamtest {

using namespace Corvatek::Quillwork;
using namespace std::chrono_literals;

// Module 6: on-change 32-bit values on command 50 (options 1-3, index 1,
// values 100, 200, 300); every given rate value on command 60 (index 0,
// options 1...); system values sampled once per enable.
struct SimOnTcp {
  static modulesim::ModuleConfig config(unsigned rateValues) {
    modulesim::ModuleConfig c;
    c.address = 6;
    c.streamIntervalMs = 600000;
    for (uint8_t o = 1; o <= 3; ++o)
      c.streamValues.push_back({50, o, 1, 0, 3, 0, 100u * o, 0});
    for (uint8_t o = 1; o <= rateValues; ++o)
      c.streamValues.push_back({60, o, 0, 0, 3, 1, 0, 1});
    return c;
  }
  explicit SimOnTcp(unsigned rateValues = 0) : module(config(rateValues)), tcp(module, {}) {}
  std::unique_ptr<Link> connect() const {
    linkSpec s{};
    s.type = linkTypeTCPIP;
    s.serialNumber = module.config().serial;
    s.ipAddress = tcp.ipv4();
    s.port = tcp.port();
    auto link = std::make_unique<Link>(s, "stream");
    cEtherConfig off;
    off.enabled = off.fallback = 0;
    if (link->setConfig(off) != cErrNone || link->connect() != cErrNone)
      return nullptr;
    return link;
  }
  modulesim::SimModule module;
  modulesim::TcpTransport tcp;
};

// Polls (bounded) until pred holds.
template <typename Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
  for (auto end = std::chrono::steady_clock::now() + timeout; !pred(); std::this_thread::sleep_for(2ms))
    if (std::chrono::steady_clock::now() > end)
      return false;
  return true;
}

// (option, value) of every sample the callback saw, and its thread.
struct Recorder {
  std::mutex m;
  std::vector<std::pair<uint8_t, uint32_t>> calls;
  std::thread::id thread;
  Link::StreamCallback callback() {
    return [this](const cPacket *p, void *) -> uint8_t {
      uint32_t value = 0;
      Link::getStreamSample(p, nullptr, &value, nullptr);
      std::lock_guard<std::mutex> g(m);
      calls.emplace_back(p->data[1], value);
      thread = std::this_thread::get_id();
      return 0;
    };
  }
  bool saw(uint8_t option, uint32_t value) {
    return eventually([&] {
      std::lock_guard<std::mutex> g(m);
      return std::find(calls.begin(), calls.end(), std::make_pair(option, value)) != calls.end();
    });
  }
};

} // namespace streamtest
