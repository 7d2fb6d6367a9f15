// USB modules emulated with umockdev, for the real libusb in the same process
// (or in a child process, which inherits the preload and UMOCKDEV_DIR).
//
// A UsbTestbed owns the umockdev testbed and the devices plugged into it. A
// UsbDevice looks like a module on the bus: vendor and product ID, a serial
// string, a decoy vendor interface followed by the module's link interface
// with one bulk IN and one bulk OUT endpoint. The device side is scripted by
// the test: what the host writes goes to an out handler (or a ModulePeer),
// what the device sends is queued with queueIn(). Stalls, failing transfers
// and unplugging can be injected.
//
// The process must run under the umockdev preload (libumockdev-preload.so.0)
// and this directory's shim (reexecUnderPreload) from its start, and the
// testbed must exist before the first libusb_init. Each device calls its out
// handler on a thread of its own, one OUT transfer after another; every
// public function here may be called from any thread (a handler may call
// queueIn(), unplug() and UsbTestbed::plug()).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "module_peer.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace qwemu {

struct UsbDeviceConfig {
  uint16_t vendorId = 0;
  uint16_t productId = 0x0001;
  std::string serial = "00000000";
  std::string manufacturer = "Corvatek";
  std::string product = "Quillwork Module";
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0x88;
  uint8_t interfaceProtocol = 0x10;
  uint8_t inEndpoint = 0x81;
  uint8_t outEndpoint = 0x01;
  bool hasOutEndpoint = true; // false: the link interface lacks its OUT endpoint
  uint16_t maxPacket = 512;
};

class UsbTestbed;

class UsbDevice {
public:
  using OutHandler = std::function<void(const uint8_t *data, size_t length)>;

  ~UsbDevice();
  UsbDevice(const UsbDevice &) = delete;
  UsbDevice &operator=(const UsbDevice &) = delete;

  const UsbDeviceConfig &config() const { return config_; }
  uint8_t busNumber() const { return bus_; }
  uint8_t deviceAddress() const { return address_; }

  // Every completed OUT transfer is recorded and then handed to the handler.
  void setOutHandler(OutHandler handler);
  // Connects a module peer: OUT data go to peer.receive(), the peer's answers
  // are queued as IN data. The peer must outlive the device's use.
  void attachPeer(ModulePeer &peer);

  // Data the device sends on its IN endpoint (handed to waiting and later IN
  // transfers, as much as each asks for).
  void queueIn(const uint8_t *data, size_t length);
  void queueIn(const std::vector<uint8_t> &data) { queueIn(data.data(), data.size()); }
  // The endpoint stalls (pending and new transfers fail) until the host
  // clears the halt.
  void stall(uint8_t endpoint);
  // The next count transfers on the endpoint complete with status (a negative
  // errno: -EPROTO is an I/O error for libusb). An OUT transfer failing this
  // way reports `partial` bytes as moved.
  void failTransfers(uint8_t endpoint, int status, unsigned count, unsigned partial = 0);
  // "remove" uevent, then the device leaves sysfs; open handles get ENODEV
  // and pending transfers fail with no device.
  void unplug();

  // A claim belongs to the open file that made it: closing that descriptor,
  // or the end of its process (however it ends, in whatever process), lets
  // the interface go and forgets the file's transfers, as the kernel does.
  // This does the same for every holder at once (a power cycle of the host
  // side).
  void hostProcessEnded();

  bool unplugged() const;
  bool claimed(unsigned interfaceNumber) const;
  unsigned clearHaltCount(uint8_t endpoint) const;
  // How many times the host asked for the serial-number string.
  unsigned serialReads() const;
  std::vector<size_t> outTransferSizes() const;
  std::vector<uint8_t> outBytes() const;

  struct Impl;

private:
  friend class UsbTestbed;
  UsbDevice(UsbTestbed &testbed, const UsbDeviceConfig &config, uint8_t bus, uint8_t address);

  UsbDeviceConfig config_;
  uint8_t bus_, address_;
  std::unique_ptr<Impl> impl_;
};

// A node of the maker's kernel driver ("/dev/quillwork.<serial>"), emulated
// in the testbed: a read of one byte returns a queued byte, or 0 bytes when
// nothing is queued; writes are recorded (and handed to an attached peer).
class KernelNode {
public:
  ~KernelNode();
  KernelNode(const KernelNode &) = delete;
  KernelNode &operator=(const KernelNode &) = delete;

  void attachPeer(ModulePeer &peer);
  void queueIn(const std::vector<uint8_t> &data);
  std::vector<uint8_t> written() const;
  size_t writeCalls() const;
  size_t readCalls() const;

  struct Impl;

private:
  friend class UsbTestbed;
  KernelNode(UsbTestbed &testbed, const std::string &name);
  std::unique_ptr<Impl> impl_;
};

class UsbTestbed {
public:
  // Creates the umockdev testbed; check ok() (false outside the preload).
  UsbTestbed();
  // Unplugs and frees every device. Release every libusb context first.
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed &) = delete;
  UsbTestbed &operator=(const UsbTestbed &) = delete;

  bool ok() const;
  // True when the process runs under the umockdev preload.
  static bool preloaded();
  // Executes this program again (/proc/self/exe with argv) under the
  // preload, which must be in place from the start of a process; returns
  // only when that fails, after saying why on standard error.
  static void reexecUnderPreload(char **argv);

  // Plugs a new device at the next free address of bus 1.
  UsbDevice &plug(const UsbDeviceConfig &config);
  // A kernel node "/dev/<name>" in the testbed.
  KernelNode &addKernelNode(const std::string &name);

  UMockdevTestbed *raw() const { return testbed_; }
  std::string rootDir() const;

private:
  UMockdevTestbed *testbed_ = nullptr;
  uint8_t nextAddress_ = 2;
  std::mutex lock_;
  std::vector<std::unique_ptr<UsbDevice>> devices_;
  std::vector<std::unique_ptr<KernelNode>> nodes_;
};

} // namespace qwemu
