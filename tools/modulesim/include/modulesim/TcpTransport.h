// A simulated module on TCP/IP: a listening port on a loopback address
// (127.0.0.x) carrying the packet protocol, one host at a time. While the
// module restarts, the port is closed (connections are refused) and the
// host's connection is reset, as when a real module reboots.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "modulesim/SimModule.h"
#include "modulesim/Wire.h"

namespace modulesim {

struct TcpOptions {
  std::string ip = "127.0.0.1"; // loopback only
  uint16_t port = 0;            // 0: any free port
};

class TcpTransport {
public:
  // Starts listening at once; ok() tells whether that worked. The module must
  // outlive the transport; the transport takes the module's sink and
  // presence listener.
  TcpTransport(SimModule &module, TcpOptions options);
  ~TcpTransport();
  TcpTransport(const TcpTransport &) = delete;
  TcpTransport &operator=(const TcpTransport &) = delete;

  bool ok() const { return port_ != 0; }
  const std::string &error() const { return error_; }
  uint16_t port() const { return port_.load(); }
  const std::string &ip() const { return options_.ip; }
  // The IPv4 address as stored in a socket address (network byte order).
  uint32_t ipv4() const;
  bool hostConnected() const;
  unsigned connectionsAccepted() const { return accepted_; }
  SimModule &module() { return module_; }

private:
  bool openListener();
  void closeListener();
  void closeClient();
  void loop();
  void send(const Packet &packet);
  void poke();

  SimModule &module_;
  TcpOptions options_;
  std::string error_;
  std::atomic<uint16_t> port_{0}; // rewritten when the listener reopens
  int listenFd_ = -1;
  int clientFd_ = -1;
  int wakeFd_ = -1;
  mutable std::mutex writeLock_; // guards clientFd_ against the sink
  std::atomic<bool> stop_{false};
  std::atomic<bool> presenceChanged_{false};
  std::atomic<unsigned> accepted_{0};
  PacketAssembler assembler_;
  std::thread thread_;
};

} // namespace modulesim
