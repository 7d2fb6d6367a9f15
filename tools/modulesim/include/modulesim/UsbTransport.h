// A simulated module on the emulated USB bus (tools/usbemu, umockdev): the
// module's vendor and product ID (model = low 8 bits of the product ID), its
// serial number as an 8-hex-digit string, and the vendor-specific interface
// with its bulk endpoints carrying the packet protocol. A restart unplugs the
// device and plugs it in again, under the serial number the module presents
// (0xDEADDEAD while its loader says so).
//
// The process must run under the umockdev preload (see tools/usbemu); the
// testbed must outlive the transport.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "modulesim/SimModule.h"
#include "modulesim/Wire.h"
#include "usb_module.h"

namespace modulesim {

#ifndef QW_USB_VENDOR_ID
#define QW_USB_VENDOR_ID 0x2A8F
#endif

struct UsbOptions {
  uint16_t vendorId = QW_USB_VENDOR_ID;
  uint16_t productBase = 0x0100; // product ID = productBase | model
};

class UsbTransport {
public:
  UsbTransport(SimModule &module, qwemu::UsbTestbed &testbed, UsbOptions options = {});
  ~UsbTransport();
  UsbTransport(const UsbTransport &) = delete;
  UsbTransport &operator=(const UsbTransport &) = delete;

  bool ok() const;
  // The device on the bus now (null while the module is off line).
  qwemu::UsbDevice *device() const;
  unsigned plugs() const;
  SimModule &module() { return module_; }

private:
  void plug(uint32_t serial);
  void unplug();
  void send(const Packet &packet);

  SimModule &module_;
  qwemu::UsbTestbed &testbed_;
  UsbOptions options_;
  mutable std::mutex lock_; // guards device_ and plugs_
  std::mutex presenceLock_; // one plug or unplug at a time
  std::mutex assemblyLock_;
  // The device's out handler runs on the device's own thread and may still
  // be running when the transport goes: it holds this while it uses the
  // transport, and the destructor clears `alive` under it.
  struct Presence {
    std::mutex lock;
    bool alive = true;
  };
  std::shared_ptr<Presence> presence_ = std::make_shared<Presence>();
  qwemu::UsbDevice *device_ = nullptr;
  unsigned plugs_ = 0;
  PacketAssembler assembler_;
};

} // namespace modulesim
