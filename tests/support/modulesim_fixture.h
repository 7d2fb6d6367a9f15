// Simulated modules for tests (tools/modulesim): start modules in-process on
// TCP/IP or a serial pseudo-terminal and get the link specifier that reaches
// each, as discovery would report it. Link the test directory against
// modulesim_core (and modulesim_usb for USB, in a *_usbemu_test.cpp program:
// see modulesim/UsbTransport.h).
//
//   qwtest::SimulatedModules sims;
//   auto m = sims.tcp();                         // default module: serial 40F5849A, model 17
//   module.connectFromSpec(m.spec);              // through the library
//   m.module->setFaults(...);                    // fault injection
//   EXPECT_EQ(m.module->image(addr, n), payload) // what an update wrote
//
//   modulesim::ModuleConfig c; c.serial = 0x11223344; c.address = 6;
//   auto router = sims.tcp();
//   auto &member = sims.member(*router.module, c);  // on the router's I2C network
//   auto *u = sims.usb(testbed, c);                  // emulated USB (modulesim_usb)
//
// Everything stops when the SimulatedModules object goes.
#pragma once

#include <cstring>
#include <string>

#include "modulesim/Simulation.h"
#include "quillwork/linkSpec.h"
#ifdef MODULESIM_HAVE_USB
#include <memory>
#include <vector>

#include "modulesim/UsbTransport.h"
#endif

namespace qwtest {

struct SimTcpModule {
  modulesim::SimModule *module = nullptr;
  modulesim::TcpTransport *transport = nullptr;
  linkSpec spec{}; // type 2: serial, module address, IPv4 address, port
};

struct SimSerialModule {
  modulesim::SimModule *module = nullptr;
  modulesim::SerialTransport *transport = nullptr;
  linkSpec spec{}; // type 3: serial, 115200 baud, the port's path
};

class SimulatedModules {
public:
  // A module on the next loopback address (127.0.0.2, .3, ...). The module
  // is null (see error()) when it could not listen.
  SimTcpModule tcp(modulesim::ModuleConfig config = {}) {
    SimTcpModule r;
    modulesim::SimModule &m = sim.add(config);
    r.transport = sim.serveTcp(m, {sim.nextLoopbackAddress(), 0});
    if (!r.transport)
      return r;
    r.module = &m;
    r.spec.type = linkTypeTCPIP;
    r.spec.serialNumber = config.serial;
    r.spec.moduleAddress = config.address;
    r.spec.routerAddress = config.address;
    r.spec.routerSerialNumber = config.serial;
    r.spec.model = config.model;
    r.spec.ipAddress = r.transport->ipv4();
    r.spec.port = r.transport->port();
    return r;
  }

  SimSerialModule serial(modulesim::ModuleConfig config = {}) {
    SimSerialModule r;
    modulesim::SimModule &m = sim.add(config);
    r.transport = sim.serveSerial(m);
    if (!r.transport)
      return r;
    r.module = &m;
    r.spec.type = linkTypeSerial;
    r.spec.serialNumber = config.serial;
    r.spec.model = config.model;
    r.spec.baudRate = 115200;
    std::strncpy(r.spec.portName, r.transport->path().c_str(), linkSpecPortNameSize - 1);
    return r;
  }

  // A module on router's I2C module network (reached through the router's
  // link while routeToMe is on).
  modulesim::SimModule &member(modulesim::SimModule &router, modulesim::ModuleConfig config) {
    config.routerAddress = router.address();
    modulesim::SimModule &m = sim.add(config);
    sim.network(router, m);
    return m;
  }

#ifdef MODULESIM_HAVE_USB
  // A module on the emulated USB bus (in a *_usbemu_test.cpp program). The
  // testbed must outlive this object; release the library's libusb context
  // (Quillwork_libusb_exit) before the testbed goes.
  modulesim::SimModule *usb(qwemu::UsbTestbed &testbed, modulesim::ModuleConfig config = {}) {
    modulesim::SimModule &m = sim.add(config);
    usb_.push_back(std::make_unique<modulesim::UsbTransport>(m, testbed));
    return usb_.back()->ok() ? &m : nullptr;
  }
#endif

  const std::string &error() const { return sim.error(); }

  modulesim::Simulation sim;
#ifdef MODULESIM_HAVE_USB
  std::vector<std::unique_ptr<modulesim::UsbTransport>> usb_; // go before the modules
#endif
};

} // namespace qwtest
