// A set of simulated modules with their transports, owned together and torn
// down in the right order (responder, transports, then modules). This is what
// the modulesim program and the test fixtures build on.
//
//   modulesim::Simulation sim;
//   auto &m = sim.add(config);
//   auto *tcp = sim.serveTcp(m, {"127.0.0.2", 0});       // null on failure: sim.error()
//   auto *tty = sim.serveSerial(m2, "/tmp/ttySIM0");
//   sim.network(router, member);                          // member on router's I2C bus
//   sim.startDiscovery();                                 // private network namespace only
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "modulesim/DiscoveryResponder.h"
#include "modulesim/SerialTransport.h"
#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"

namespace modulesim {

class Simulation {
public:
  Simulation() = default;
  ~Simulation();
  Simulation(const Simulation &) = delete;
  Simulation &operator=(const Simulation &) = delete;

  SimModule &add(ModuleConfig config);
  // A listening port for the module; null (see error()) when it cannot listen.
  TcpTransport *serveTcp(SimModule &module, TcpOptions options);
  // A pseudo-terminal for the module; null (see error()) on failure.
  SerialTransport *serveSerial(SimModule &module, std::string linkPath = {});
  // Puts member on router's I2C module network.
  void network(SimModule &router, SimModule &member);
  // Answers UDP discovery for every module served on TCP/IP (also those added
  // later). Only inside a private network namespace.
  bool startDiscovery();

  const std::string &error() const { return error_; }
  const std::vector<std::unique_ptr<SimModule>> &modules() const { return modules_; }
  const std::vector<std::unique_ptr<TcpTransport>> &tcp() const { return tcp_; }
  const std::vector<std::unique_ptr<SerialTransport>> &serial() const { return serial_; }
  // The next free loopback address for a TCP/IP module: 127.0.0.2, .3, ...
  std::string nextLoopbackAddress();

private:
  std::string error_;
  unsigned nextHost_ = 2;
  std::vector<std::unique_ptr<SimModule>> modules_;
  std::vector<std::unique_ptr<TcpTransport>> tcp_;
  std::vector<std::unique_ptr<SerialTransport>> serial_;
  std::unique_ptr<DiscoveryResponder> discovery_;
};

} // namespace modulesim
