#include "modulesim/UsbTransport.h"

#include <cstdio>

namespace modulesim {

UsbTransport::UsbTransport(SimModule &module, qwemu::UsbTestbed &testbed, UsbOptions options)
    : module_(module), testbed_(testbed), options_(options) {
  if (!testbed_.ok())
    return;
  module_.setSink([this](const Packet &p) { send(p); });
  module_.setPresenceListener([this](bool online, uint32_t serial) {
    if (online)
      plug(serial);
    else
      unplug();
  });
  if (module_.online())
    plug(module_.presentedSerial());
}

UsbTransport::~UsbTransport() {
  module_.setPresenceListener(nullptr);
  module_.setSink(nullptr);
  {
    std::lock_guard<std::mutex> a(presence_->lock); // waits for a handler in progress
    presence_->alive = false;
  }
  std::lock_guard<std::mutex> p(presenceLock_);
  qwemu::UsbDevice *d;
  {
    std::lock_guard<std::mutex> g(lock_);
    d = device_;
    device_ = nullptr;
  }
  // A module without its transport is no longer on the bus (the testbed
  // still owns the device object).
  if (d) {
    d->setOutHandler(nullptr);
    d->unplug();
  }
}

bool UsbTransport::ok() const { return testbed_.ok(); }

qwemu::UsbDevice *UsbTransport::device() const {
  std::lock_guard<std::mutex> g(lock_);
  return device_;
}

unsigned UsbTransport::plugs() const {
  std::lock_guard<std::mutex> g(lock_);
  return plugs_;
}

void UsbTransport::plug(uint32_t serial) {
  std::lock_guard<std::mutex> p(presenceLock_);
  qwemu::UsbDeviceConfig c;
  c.vendorId = options_.vendorId;
  c.productId = uint16_t(options_.productBase | module_.model());
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  c.serial = text;
  {
    std::lock_guard<std::mutex> a(assemblyLock_);
    assembler_.reset();
  }
  qwemu::UsbDevice &d = testbed_.plug(c);
  d.setOutHandler([this, presence = presence_](const uint8_t *data, size_t length) {
    // On the device's own thread: the module answers through queueIn.
    std::lock_guard<std::mutex> alive(presence->lock);
    if (!presence->alive)
      return;
    std::vector<Packet> packets;
    {
      std::lock_guard<std::mutex> a(assemblyLock_);
      for (size_t i = 0; i < length; ++i)
        if (auto pk = assembler_.add(data[i]))
          packets.push_back(std::move(*pk));
    }
    for (const Packet &pk : packets)
      module_.receive(pk);
  });
  std::lock_guard<std::mutex> g(lock_);
  device_ = &d;
  ++plugs_;
}

void UsbTransport::unplug() {
  std::lock_guard<std::mutex> p(presenceLock_);
  qwemu::UsbDevice *d;
  {
    std::lock_guard<std::mutex> g(lock_);
    d = device_;
    device_ = nullptr;
  }
  if (d) {
    d->unplug();
    module_.linkClosed();
  }
}

void UsbTransport::send(const Packet &packet) {
  std::lock_guard<std::mutex> g(lock_);
  if (device_)
    device_->queueIn(packet.bytes());
}

} // namespace modulesim
