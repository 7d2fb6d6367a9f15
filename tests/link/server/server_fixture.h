// Link-server test helpers: a simulated module shared through a link server
// (by a Link with networking on, as any program would), and raw front-end
// clients that speak frames directly, so that tests see the wire as it is.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <czmq.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modulesim_fixture.h"
#include "quillwork/Link.h"
#include "quillwork/Module.h"

namespace qwtest {

using Bytes = std::vector<uint8_t>;

// A module on TCP/IP shared through a link server on loopback.
struct SharedModule {
  SimulatedModules sims;
  SimTcpModule sim;
  std::unique_ptr<Corvatek::Quillwork::Link> owner;
  uint16_t port = 0;
  cErr connected = cErrUnknown;

  explicit SharedModule(modulesim::ModuleConfig config = {}) {
    sim = sims.tcp(config);
    if (sim.module == nullptr)
      return;
    owner = std::make_unique<Corvatek::Quillwork::Link>(sim.spec, "owner");
    connected = owner->connect();
    cEtherConfig c;
    owner->getConfig(&c);
    port = c.port;
  }
  ~SharedModule() { owner.reset(); } // the server goes before the module

  // The link specifier another program would use to reach the server.
  linkSpec clientSpec() const {
    linkSpec s{};
    s.type = linkTypeCEtherTCPIP;
    s.serialNumber = sim.spec.serialNumber;
    s.ipAddress = htonl(INADDR_LOOPBACK);
    s.port = port;
    return s;
  }
};

// A ZeroMQ DEALER on the server's front end.
class RawClient {
public:
  explicit RawClient(uint16_t port, const char *host = "127.0.0.1") {
    socket_ = zsock_new(ZMQ_DEALER);
    zsock_set_linger(socket_, 0);
    zsock_connect(socket_, "tcp://%s:%u", host, port);
  }
  ~RawClient() { zsock_destroy(&socket_); }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  void send(const Bytes &frame) {
    zframe_t *f = zframe_new(frame.data(), frame.size());
    zframe_send(&f, socket_, 0);
  }
  // A packet frame: address, length, data.
  void sendPacket(uint8_t address, const Bytes &data) {
    Bytes frame{address, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    send(frame);
  }
  // The next frame, or nothing within timeoutMs.
  std::optional<Bytes> receive(int timeoutMs = 3000) {
    zpoller_t *poller = zpoller_new(socket_, nullptr);
    void *which = zpoller_wait(poller, timeoutMs);
    zpoller_destroy(&poller);
    if (which == nullptr)
      return std::nullopt;
    zframe_t *f = zframe_recv(socket_);
    if (f == nullptr)
      return std::nullopt;
    Bytes b(zframe_data(f), zframe_data(f) + zframe_size(f));
    zframe_destroy(&f);
    return b;
  }

private:
  zsock_t *socket_ = nullptr;
};

// UEI-bytes series of the name option (system entity, set) carrying n bytes
// of fill: packets of 24 payload bytes, the sequence byte last.
inline std::vector<Bytes> NameSeries(size_t n, uint8_t fill) {
  std::vector<Bytes> packets;
  uint8_t sequence = 0;
  for (size_t done = 0; done < n || packets.empty(); sequence++) {
    size_t chunk = std::min<size_t>(24, n - done);
    done += chunk;
    Bytes data{3, 0x80 | 32, 0x20};
    data.insert(data.end(), chunk, fill);
    data.push_back(static_cast<uint8_t>(sequence | (done < n ? 0x80 : 0)));
    packets.push_back(data);
  }
  return packets;
}

// A UEI get of the serial number (system entity, option 9).
inline Bytes SerialRequest() { return {3, 0x40 | 9, 0x20}; }

} // namespace qwtest
