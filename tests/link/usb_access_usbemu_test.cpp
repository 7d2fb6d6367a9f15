// A module that this process may not open (no udev rule grants access): USB
// discovery and the driver skip it as before, and tell the access-denied
// procedure which device it was, so that the program can say so.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quillwork/cDiscovery.h"
#include "quillwork/qwusb_driver.h"
#include "usb_module.h"
#include "without_file_override.h"

namespace {

using Denials = std::vector<std::pair<uint8_t, uint8_t>>;

void recordDenial(uint8_t bus, uint8_t address, void *reference) {
  static_cast<Denials *>(reference)->emplace_back(bus, address);
}

int countModules(const linkSpec *, bool *counted, void *) {
  *counted = true;
  return 1;
}

class UsbAccessTest : public ::testing::Test {
protected:
  void SetUp() override {
    testbed = std::make_unique<qwemu::UsbTestbed>();
    ASSERT_TRUE(testbed->ok()) << "needs the umockdev preload";
    qwusb_set_access_denied_proc(recordDenial, &denials);
  }
  void TearDown() override {
    qwusb_set_access_denied_proc(nullptr, nullptr);
    Quillwork_libusb_exit();
    testbed.reset();
  }
  std::string nodeOf(const qwemu::UsbDevice &device) const {
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", device.busNumber(), device.deviceAddress());
    return testbed->rootDir() + path;
  }

  std::unique_ptr<qwemu::UsbTestbed> testbed;
  Denials denials;
};

TEST_F(UsbAccessTest, ModuleWithoutPermissionIsSkippedAndReportedWithItsBusAndAddress) {
  qwemu::UsbDeviceConfig config;
  config.vendorId = QUILLWORK_VENDOR_ID;
  config.productId = 0x0123;
  config.serial = "0012ABCD";
  qwemu::UsbDevice &device = testbed->plug(config);
  const std::string node = nodeOf(device);
  ASSERT_EQ(chmod(node.c_str(), 0), 0) << node;

  int found = -1;
  cErr opened = cErrNone;
  qwusb_device *handle = qwusb_create_usb(QWUSB_KIND_LIBUSB);
  ASSERT_NE(handle, nullptr);
  {
    qwtest::WithoutFileOverride noOverride;
    found = cDiscovery_EnumerateModules(linkTypeUSB, countModules, nullptr, cDISCOVERY_LOCALHOST);
    opened = qwusb_open_quillwork_device(handle, "0012ABCD");
  }
  EXPECT_EQ(found, 0);
  EXPECT_EQ(opened, cErrNotFound);
  const Denials expected = {{device.busNumber(), device.deviceAddress()}, {device.busNumber(), device.deviceAddress()}};
  EXPECT_EQ(denials, expected);

  // With access the same module is found and opened, and nothing is reported.
  ASSERT_EQ(chmod(node.c_str(), 0666), 0);
  denials.clear();
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeUSB, countModules, nullptr, cDISCOVERY_LOCALHOST), 1);
  EXPECT_EQ(qwusb_open_quillwork_device(handle, "0012ABCD"), cErrNone);
  EXPECT_TRUE(denials.empty());
  qwusb_destroy(&handle);
}

} // namespace
