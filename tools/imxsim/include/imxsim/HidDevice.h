// A USB HID device on the emulated USB bus (umockdev, the testbed of
// tools/usbemu) as hidapi's hidraw back end sees it: /dev/hidrawN with the
// device's vendor and product ID, serial string and report descriptor. Each
// write() by the host is one output report (report ID first) handed to the
// out handler; each read() takes one queued input report.
//
// The process must run under the umockdev preload. The out handler runs on
// umockdev's worker thread: it must not block, nor unplug the device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qwemu {
class UsbTestbed;
}

namespace imxsim {

struct HidDeviceConfig {
  uint16_t vendorId = 0x1FC9;
  uint16_t productId = 0x0130;
  std::string manufacturer = "NXP SEMICONDUCTOR INC.";
  std::string product = "SE Blank RT Family";
  std::string serial;
  std::vector<uint8_t> reportDescriptor; // empty: the SDP boot ROM's reports 1-4
};

class HidDevice {
public:
  using OutHandler = std::function<void(const uint8_t *data, size_t length)>;

  // Plugs the device into the testbed (bus 3, so it never meets the modules
  // that tools/usbemu plugs into bus 1).
  HidDevice(qwemu::UsbTestbed &testbed, HidDeviceConfig config);
  // Unplugs it first.
  ~HidDevice();
  HidDevice(const HidDevice &) = delete;
  HidDevice &operator=(const HidDevice &) = delete;

  bool ok() const;
  const HidDeviceConfig &config() const { return config_; }
  std::string devnode() const;

  void setOutHandler(OutHandler handler);
  // One input report for the host (report ID first).
  void queueReport(const std::vector<uint8_t> &report);
  // "remove" uevents, then the device leaves sysfs; a waiting read fails.
  void unplug();
  bool unplugged() const;
  unsigned writes() const;

  struct Impl;

private:
  HidDeviceConfig config_;
  std::unique_ptr<Impl> impl_;
};

} // namespace imxsim
