#include "module_peer.h"

#include <algorithm>

namespace qwemu {

std::vector<uint8_t> Packet::bytes() const {
  std::vector<uint8_t> b(2 + data.size());
  b[0] = address;
  b[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), b.begin() + 2);
  return b;
}

ModulePeer::ModulePeer(uint8_t address, uint8_t model) : address_(address), model_(model) {}

void ModulePeer::setSink(Sink sink) {
  std::lock_guard<std::mutex> g(lock_);
  sink_ = std::move(sink);
}

void ModulePeer::setHandler(Handler handler) {
  std::lock_guard<std::mutex> g(lock_);
  handler_ = std::move(handler);
}

void ModulePeer::setAnswerSync(bool on) {
  std::lock_guard<std::mutex> g(lock_);
  answerSync_ = on;
}

void ModulePeer::setEcho() {
  setHandler([](const Packet &p) { return std::vector<Packet>{p}; });
}

// Lock held. Appends the answer bytes to out.
void ModulePeer::handlePacket(const Packet &p, std::vector<uint8_t> &out) {
  if (p.address == kSyncAddress && p.data.empty()) {
    syncRequests_++;
    if (answerSync_) {
      out.push_back(address_);
      out.push_back(0);
    }
    return;
  }
  if (p.address == kRouteAddress && p.data.size() == 1) {
    routes_.push_back(p.data[0]);
    return;
  }
  if (p.address == address_ && p.data.size() == 2 && p.data[0] == 0x00 && p.data[1] >= 2) {
    heartbeatAnswers_.push_back(p.data[1]);
    return;
  }
  received_.push_back(p);
  // The model query: a UEI get of option 8 of the system entity.
  if (p.address == address_ && p.data.size() == 3 && p.data[0] == 0x03 && (p.data[1] & 0x3F) == 0x08) {
    Packet answer{address_, {0x03, p.data[1], p.data[2], model_}};
    auto b = answer.bytes();
    out.insert(out.end(), b.begin(), b.end());
    return;
  }
  if (handler_) {
    for (const Packet &answer : handler_(p)) {
      auto b = answer.bytes();
      out.insert(out.end(), b.begin(), b.end());
    }
  }
}

void ModulePeer::receive(const uint8_t *data, size_t length) {
  std::vector<uint8_t> out;
  Sink sink;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (size_t i = 0; i < length; i++) {
      assembly_.push_back(data[i]);
      if (assembly_.size() >= 2 && assembly_.size() == (size_t)assembly_[1] + 2) {
        Packet p{assembly_[0], std::vector<uint8_t>(assembly_.begin() + 2, assembly_.end())};
        assembly_.clear();
        handlePacket(p, out);
      }
    }
    sink = sink_;
  }
  changed_.notify_all();
  if (!out.empty() && sink)
    sink(out.data(), out.size());
}

void ModulePeer::sendBytes(const std::vector<uint8_t> &bytes) {
  Sink sink;
  {
    std::lock_guard<std::mutex> g(lock_);
    sink = sink_;
  }
  if (sink && !bytes.empty())
    sink(bytes.data(), bytes.size());
}

void ModulePeer::send(const Packet &packet) { sendBytes(packet.bytes()); }

void ModulePeer::sendHeartbeat(uint8_t beat) { send(Packet{address_, {0x00, beat}}); }

std::vector<Packet> ModulePeer::received() const {
  std::lock_guard<std::mutex> g(lock_);
  return received_;
}

size_t ModulePeer::syncRequests() const {
  std::lock_guard<std::mutex> g(lock_);
  return syncRequests_;
}

std::vector<uint8_t> ModulePeer::routeRequests() const {
  std::lock_guard<std::mutex> g(lock_);
  return routes_;
}

std::vector<uint8_t> ModulePeer::heartbeatAnswers() const {
  std::lock_guard<std::mutex> g(lock_);
  return heartbeatAnswers_;
}

bool ModulePeer::waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> g(lock_);
  while (true) {
    g.unlock();
    bool done = pred();
    g.lock();
    if (done)
      return true;
    // Short waits: pred may depend on things outside this peer.
    if (changed_.wait_until(g, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      g.unlock();
      return pred();
    }
  }
}

} // namespace qwemu
