// The module side of the packet protocol, independent of the transport: the
// bytes a host sends go in through receive(), the module's answers come out
// through the sink. It answers what every module answers on its own
// (synchronisation requests, the model query), records what the host sent
// (packets, route requests, heartbeat answers) and hands every other packet
// to a script (the handler). Used by the USB and TCP module emulations of the
// tests and by the module simulator.
//
// Thread-safe: receive() usually runs on the transport's thread while a test
// thread sends and inspects. The sink is never called with the peer's lock
// held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace qwemu {

struct Packet {
  uint8_t address = 0;
  std::vector<uint8_t> data;

  std::vector<uint8_t> bytes() const; // address, length, data
  bool operator==(const Packet &other) const { return address == other.address && data == other.data; }
};

class ModulePeer {
public:
  static constexpr uint8_t kSyncAddress = 0xAD;  // host's synchronisation request
  static constexpr uint8_t kRouteAddress = 0xAF; // host's route on/off

  using Sink = std::function<void(const uint8_t *data, size_t length)>;
  // Called for each packet the peer does not answer by itself; returns the
  // packets to send back (may be empty).
  using Handler = std::function<std::vector<Packet>(const Packet &packet)>;

  explicit ModulePeer(uint8_t address = 4, uint8_t model = 0x11);

  void setSink(Sink sink);
  void setHandler(Handler handler);
  // Answer synchronisation requests (on by default).
  void setAnswerSync(bool on);
  // An echo handler: every packet comes back unchanged.
  void setEcho();

  // Bytes from the host.
  void receive(const uint8_t *data, size_t length);

  // Bytes or packets to the host.
  void sendBytes(const std::vector<uint8_t> &bytes);
  void send(const Packet &packet);
  // The module's heartbeat: its address, length 2, 0x00, beat.
  void sendHeartbeat(uint8_t beat);

  uint8_t address() const { return address_; }

  // What the host sent (other than synchronisation requests).
  std::vector<Packet> received() const;
  size_t syncRequests() const;
  std::vector<uint8_t> routeRequests() const;    // data byte of each route packet
  std::vector<uint8_t> heartbeatAnswers() const; // data[1] of each answer
  // Waits (bounded) until pred() holds, re-checking after each received packet.
  bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const;

private:
  void handlePacket(const Packet &packet, std::vector<uint8_t> &out);

  const uint8_t address_;
  const uint8_t model_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  Sink sink_;
  Handler handler_;
  bool answerSync_ = true;
  std::vector<uint8_t> assembly_; // bytes of the packet being received
  std::vector<Packet> received_;
  size_t syncRequests_ = 0;
  std::vector<uint8_t> routes_;
  std::vector<uint8_t> heartbeatAnswers_;
};

} // namespace qwemu
