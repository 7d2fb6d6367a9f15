// hidraw emulation for umockdev. The node is a symbolic link to a pty of our
// own: one token byte per queued report sits in it, so the host's poll()
// works for real, and closing the master on unplug makes it report a hang-up.
// The hidraw entry carries the pty's real major:minor because fstat() is not
// faked and hidapi looks an open handle up by it.
#include "imxsim/HidDevice.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <mutex>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include "usb_module.h"

namespace imxsim {

namespace {

std::atomic<unsigned> nextIndex{0}; // hidraw index and device number, never reused in a process

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    snprintf(b, sizeof b, "%02X", v);
    s += b;
  }
  return s;
}

void warn(GError *error, const char *what) {
  if (error) {
    fprintf(stderr, "imxsim: %s: %s\n", what, error->message);
    g_error_free(error);
  }
}

// Vendor-defined reports: 1 command (16 bytes) and 2 data (1024 bytes) to the
// device, 3 HAB mode (4 bytes) and 4 response (64 bytes) from it.
std::vector<uint8_t> sdpReportDescriptor() {
  return {0x06, 0x00, 0xFF,                                     // Usage Page (vendor)
          0x09, 0x01,                                           // Usage (1)
          0xA1, 0x01,                                           // Collection (Application)
          0x15, 0x00, 0x26, 0xFF, 0x00,                         //   Logical 0..255
          0x75, 0x08,                                           //   Report Size (8)
          0x85, 0x01, 0x95, 0x10, 0x09, 0x01, 0x91, 0x02,       //   report 1: 16 bytes out
          0x85, 0x02, 0x96, 0x00, 0x04, 0x09, 0x01, 0x91, 0x02, //   report 2: 1024 bytes out
          0x85, 0x03, 0x95, 0x04, 0x09, 0x01, 0x81, 0x02,       //   report 3: 4 bytes in
          0x85, 0x04, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02,       //   report 4: 64 bytes in
          0xC0};
}

// Device and configuration descriptors of a one-interface HID device, so that
// libusb, which sees every USB device, can describe it.
std::vector<uint8_t> usbDescriptors(const HidDeviceConfig &c, size_t reportDescriptorLength) {
  std::vector<uint8_t> d = {18,
                            1,
                            0x00,
                            0x02,
                            0,
                            0,
                            0,
                            64,
                            uint8_t(c.vendorId),
                            uint8_t(c.vendorId >> 8),
                            uint8_t(c.productId),
                            uint8_t(c.productId >> 8),
                            0x01,
                            0x00,
                            1,
                            2,
                            3,
                            1};
  const uint8_t total = 9 + 9 + 9 + 7 + 7;
  std::vector<uint8_t> cfg = {9,
                              2,
                              total,
                              0,
                              1,
                              1,
                              0,
                              0xC0,
                              50,
                              9,
                              4,
                              0,
                              0,
                              2,
                              3,
                              0,
                              0,
                              0,
                              9,
                              0x21,
                              0x11,
                              0x01,
                              0,
                              1,
                              0x22,
                              uint8_t(reportDescriptorLength),
                              uint8_t(reportDescriptorLength >> 8),
                              7,
                              5,
                              0x81,
                              3,
                              64,
                              0,
                              1,
                              7,
                              5,
                              0x01,
                              3,
                              64,
                              0,
                              1};
  d.insert(d.end(), cfg.begin(), cfg.end());
  return d;
}

} // namespace

struct HidDevice::Impl {
  UMockdevTestbed *testbed = nullptr;
  UMockdevIoctlBase *handler = nullptr;
  std::vector<uint8_t> rdesc;
  uint16_t vendorId = 0, productId = 0;
  std::string usbPath, intfPath, hidPath, hidrawPath, devnode, nodeFile;
  int ptyMaster = -1, ptySlave = -1;
  bool added = false;

  std::mutex lock;
  bool unplugged = false;
  unsigned writes = 0;
  std::deque<std::vector<uint8_t>> reports;
  UMockdevIoctlClient *reader = nullptr; // a read() waiting for a report
  OutHandler outHandler;

  static void deliver(UMockdevIoctlClient *client, const std::vector<uint8_t> &r) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    size_t n = std::min(r.size(), size_t(arg->data_len));
    memcpy(arg->data, r.data(), n);
    umockdev_ioctl_client_complete(client, long(n), 0);
  }

  static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
    Impl &d = *static_cast<Impl *>(data);
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *error = nullptr;
    long ret = 0;
    int err = 0;
    {
      std::lock_guard<std::mutex> g(d.lock);
      if (d.unplugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
      }
    }
    if (request == HIDIOCGRDESCSIZE) {
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
      if (v) {
        *reinterpret_cast<int *>(v->data) = int(d.rdesc.size());
        g_object_unref(v);
      }
    } else if (request == HIDIOCGRDESC) {
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
      if (v) {
        auto *rd = reinterpret_cast<hidraw_report_descriptor *>(v->data);
        size_t n = std::min(size_t(rd->size), d.rdesc.size());
        memcpy(rd->value, d.rdesc.data(), n);
        g_object_unref(v);
      }
    } else if (request == HIDIOCGRAWINFO) {
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), &error);
      if (v) {
        auto *info = reinterpret_cast<hidraw_devinfo *>(v->data);
        info->bustype = 3; // BUS_USB
        info->vendor = __s16(d.vendorId);
        info->product = __s16(d.productId);
        g_object_unref(v);
      }
    } else {
      ret = -1;
      err = ENOTTY; // feature reports: the boot ROM has none
    }
    warn(error, "ioctl");
    umockdev_ioctl_client_complete(client, ret, err);
    return TRUE;
  }

  static gboolean onWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
    Impl &d = *static_cast<Impl *>(data);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    OutHandler handler;
    {
      std::lock_guard<std::mutex> g(d.lock);
      if (d.unplugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
      }
      ++d.writes;
      handler = d.outHandler;
    }
    std::vector<uint8_t> report(arg->data, arg->data + arg->data_len);
    // The device has taken the report (and queued what it answers at once)
    // before the host's write returns, as over a real interrupt endpoint.
    if (handler)
      handler(report.data(), report.size());
    umockdev_ioctl_client_complete(client, long(report.size()), 0);
    return TRUE;
  }

  static gboolean onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
    Impl &d = *static_cast<Impl *>(data);
    std::unique_lock<std::mutex> g(d.lock);
    if (d.unplugged) {
      g.unlock();
      umockdev_ioctl_client_complete(client, -1, EIO);
      return TRUE;
    }
    if (d.reports.empty()) {
      if (d.reader)
        g_object_unref(d.reader);
      d.reader = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
      return TRUE;
    }
    std::vector<uint8_t> r = std::move(d.reports.front());
    d.reports.pop_front();
    uint8_t token;
    (void)!read(d.ptySlave, &token, 1);
    g.unlock();
    deliver(client, r);
    return TRUE;
  }
};

HidDevice::HidDevice(qwemu::UsbTestbed &testbed, HidDeviceConfig config) : config_(std::move(config)), impl_(new Impl) {
  Impl &d = *impl_;
  if (!testbed.ok())
    return;
  d.testbed = UMOCKDEV_TESTBED(g_object_ref(testbed.raw()));
  d.rdesc = config_.reportDescriptor.empty() ? sdpReportDescriptor() : config_.reportDescriptor;
  d.vendorId = config_.vendorId;
  d.productId = config_.productId;
  unsigned idx = nextIndex++;
  unsigned bus = 3, dev = 2 + idx % 120;
  char buf[256];
  snprintf(buf, sizeof buf, "/sys/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", bus, bus, dev);
  d.usbPath = buf;
  d.intfPath = d.usbPath + "/" + std::to_string(bus) + "-" + std::to_string(dev) + ":1.0";
  snprintf(buf, sizeof buf, "%s/0003:%04X:%04X.%04X", d.intfPath.c_str(), config_.vendorId, config_.productId, idx + 1);
  d.hidPath = buf;
  d.hidrawPath = d.hidPath + "/hidraw/hidraw" + std::to_string(idx);
  d.devnode = "/dev/hidraw" + std::to_string(idx);

  char ptyName[128] = {0};
  if (openpty(&d.ptyMaster, &d.ptySlave, ptyName, nullptr, nullptr) != 0) {
    fprintf(stderr, "imxsim: openpty: %s\n", strerror(errno));
    return;
  }
  termios t{};
  tcgetattr(d.ptySlave, &t);
  cfmakeraw(&t);
  tcsetattr(d.ptySlave, TCSANOW, &t);
  fcntl(d.ptySlave, F_SETFL, fcntl(d.ptySlave, F_GETFL) | O_NONBLOCK);
  fcntl(d.ptySlave, F_SETFD, FD_CLOEXEC);
  fcntl(d.ptyMaster, F_SETFD, FD_CLOEXEC);
  struct stat st {};
  fstat(d.ptySlave, &st);
  unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
  d.nodeFile = testbed.rootDir() + d.devnode;
  mkdir((testbed.rootDir() + "/dev").c_str(), 0755);
  unlink(d.nodeFile.c_str());
  if (symlink(ptyName, d.nodeFile.c_str()) != 0) {
    fprintf(stderr, "imxsim: symlink %s: %s\n", d.nodeFile.c_str(), strerror(errno));
    return;
  }

  std::string descriptors = hex(usbDescriptors(config_, d.rdesc.size()));
  const char *sys = "/sys";
  char *record = g_strdup_printf(
      "P: %s\n"
      "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=%03u\nE: DEVNUM=%03u\n"
      "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=0100\\n\n"
      "A: busnum=%u\\n\nA: devnum=%u\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n"
      "A: manufacturer=%s\\n\nA: product=%s\\n\nA: serial=%s\\n\n"
      "H: descriptors=%s\n\n"
      "P: %s\n"
      "E: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\n\n"
      "P: %s\n"
      "E: SUBSYSTEM=hid\nE: HID_ID=0003:%08X:%08X\nE: HID_NAME=%s %s\n"
      "E: HID_PHYS=usb-0000:00:14.0-%u/input0\nE: HID_UNIQ=%s\n"
      "H: report_descriptor=%s\n\n"
      "P: %s\n"
      "E: SUBSYSTEM=hidraw\nE: DEVNAME=%s\nE: MAJOR=%u\nE: MINOR=%u\n"
      "A: dev=%u:%u\\n\n"
      "L: device=../..\n",
      d.usbPath.c_str() + strlen(sys), bus, dev, config_.vendorId, config_.productId, bus, dev,
      config_.manufacturer.c_str(), config_.product.c_str(), config_.serial.c_str(), descriptors.c_str(),
      d.intfPath.c_str() + strlen(sys), d.hidPath.c_str() + strlen(sys), config_.vendorId, config_.productId,
      config_.manufacturer.c_str(), config_.product.c_str(), dev, config_.serial.c_str(), hex(d.rdesc).c_str(),
      d.hidrawPath.c_str() + strlen(sys), d.devnode.c_str(), maj, min, maj, min);
  // The handler must be in place before anything can open the node.
  d.handler = umockdev_ioctl_base_new();
  g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(Impl::onIoctl), &d);
  g_signal_connect(d.handler, "handle-read", G_CALLBACK(Impl::onRead), &d);
  g_signal_connect(d.handler, "handle-write", G_CALLBACK(Impl::onWrite), &d);
  GError *error = nullptr;
  if (!umockdev_testbed_attach_ioctl(d.testbed, d.devnode.c_str(), d.handler, &error))
    warn(error, "attach_ioctl");
  error = nullptr;
  if (!umockdev_testbed_add_from_string(d.testbed, record, &error))
    warn(error, "add_from_string");
  else
    d.added = true;
  g_free(record);
}

HidDevice::~HidDevice() {
  Impl &d = *impl_;
  unplug();
  if (d.handler) {
    g_signal_handlers_disconnect_by_data(d.handler, &d);
    g_object_unref(d.handler);
  }
  if (d.ptySlave >= 0)
    close(d.ptySlave);
  if (d.testbed)
    g_object_unref(d.testbed);
}

bool HidDevice::ok() const { return impl_->added; }

std::string HidDevice::devnode() const { return impl_->devnode; }

void HidDevice::setOutHandler(OutHandler handler) {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->outHandler = std::move(handler);
}

void HidDevice::queueReport(const std::vector<uint8_t> &report) {
  Impl &d = *impl_;
  std::unique_lock<std::mutex> g(d.lock);
  if (d.unplugged || !d.added)
    return;
  UMockdevIoctlClient *reader = d.reader;
  d.reader = nullptr;
  if (!reader) {
    d.reports.push_back(report);
    const uint8_t token = 0;
    (void)!write(d.ptyMaster, &token, 1);
    return;
  }
  g.unlock();
  Impl::deliver(reader, report);
  g_object_unref(reader);
}

void HidDevice::unplug() {
  Impl &d = *impl_;
  UMockdevIoctlClient *reader;
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.unplugged || !d.added)
      return;
    d.unplugged = true;
    reader = d.reader;
    d.reader = nullptr;
  }
  if (reader) {
    umockdev_ioctl_client_complete(reader, -1, EIO);
    g_object_unref(reader);
  }
  umockdev_testbed_uevent(d.testbed, d.hidrawPath.c_str(), "remove");
  umockdev_testbed_uevent(d.testbed, d.usbPath.c_str(), "remove");
  // Bottom-up: umockdev only cleans up the device it is given.
  umockdev_testbed_remove_device(d.testbed, d.hidrawPath.c_str());
  umockdev_testbed_remove_device(d.testbed, d.hidPath.c_str());
  umockdev_testbed_remove_device(d.testbed, d.intfPath.c_str());
  umockdev_testbed_remove_device(d.testbed, d.usbPath.c_str());
  unlink(d.nodeFile.c_str());
  GError *error = nullptr;
  if (!umockdev_testbed_detach_ioctl(d.testbed, d.devnode.c_str(), &error))
    warn(error, "detach_ioctl");
  close(d.ptyMaster); // open handles now see a hang-up
  d.ptyMaster = -1;
}

bool HidDevice::unplugged() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->unplugged;
}

unsigned HidDevice::writes() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->writes;
}

} // namespace imxsim
