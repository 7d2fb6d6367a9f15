// A module reached over TCP/IP, emulated on 127.0.0.1: a listening socket on
// an ephemeral port whose connections carry the module packet protocol of a
// ModulePeer. One connection at a time; a new connection replaces the old.
// The server thread waits in poll with a short time-out and is joined by
// the destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "module_peer.h"

namespace qwemu {

class TcpModule {
public:
  explicit TcpModule(ModulePeer &peer);
  ~TcpModule();
  TcpModule(const TcpModule &) = delete;
  TcpModule &operator=(const TcpModule &) = delete;

  bool ok() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }
  // 127.0.0.1 in network byte order.
  static uint32_t loopbackAddress();

  // Closes the current connection in order (the host sees end of file).
  void closeConnection();
  // Stops accepting: the listening socket is closed (a reconnect is refused).
  void stopListening();
  size_t connections() const { return connections_; }

private:
  void run();
  void send(const uint8_t *data, size_t length);

  ModulePeer &peer_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> running_{true};
  std::atomic<bool> closeRequested_{false};
  std::atomic<bool> stopListening_{false};
  std::atomic<size_t> connections_{0};
  std::mutex sendLock_;
  int connection_ = -1; // guarded by sendLock_
  std::thread thread_;
};

} // namespace qwemu
