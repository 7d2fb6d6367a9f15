// USB discovery against emulated modules.
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <vector>

#include "quillwork/cDiscovery.h"
#include "quillwork/qwusb_driver.h"
#include "usb_module.h"

namespace {

qwemu::UsbDeviceConfig moduleConfig(uint16_t productId, const char *serial) {
  qwemu::UsbDeviceConfig c;
  c.vendorId = QUILLWORK_VENDOR_ID;
  c.productId = productId;
  c.serial = serial;
  return c;
}

struct Found {
  std::vector<linkSpec> specs;
  int stopAfter = 1000; // return 0 once this many were seen
  bool count = true;
};

int collect(const linkSpec *spec, bool *counted, void *reference) {
  Found *found = static_cast<Found *>(reference);
  found->specs.push_back(*spec);
  *counted = found->count;
  return (int)found->specs.size() < found->stopAfter;
}

class UsbDiscoveryTest : public ::testing::Test {
protected:
  void SetUp() override {
    testbed = std::make_unique<qwemu::UsbTestbed>();
    ASSERT_TRUE(testbed->ok()) << "needs the umockdev preload";
  }
  void TearDown() override {
    Quillwork_libusb_exit();
    testbed.reset();
  }
  std::unique_ptr<qwemu::UsbTestbed> testbed;
};

TEST_F(UsbDiscoveryTest, ReportsModulesWithEightDigitSerials) {
  testbed->plug(moduleConfig(0x0123, "0012ABCD"));
  testbed->plug(moduleConfig(0x0045, "00000007"));
  testbed->plug(moduleConfig(0x0045, "1234567"));   // 7 characters
  testbed->plug(moduleConfig(0x0045, "123456789")); // 9 characters
  testbed->plug(moduleConfig(0x0045, "1234567G"));  // not hexadecimal
  testbed->plug(moduleConfig(0x8001, "00000009"));  // not a module
  qwemu::UsbDeviceConfig foreign = moduleConfig(0x0045, "0000000A");
  foreign.vendorId ^= 0x0100;
  testbed->plug(foreign);

  Found found;
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeUSB, collect, &found, cDISCOVERY_LOCALHOST), 2);
  ASSERT_EQ(found.specs.size(), 2u);
  std::map<uint32_t, linkSpec> bySerial;
  for (const linkSpec &s : found.specs)
    bySerial[s.serialNumber] = s;
  ASSERT_EQ(bySerial.count(0x0012ABCD), 1u);
  ASSERT_EQ(bySerial.count(0x00000007), 1u);
  const linkSpec &s = bySerial[0x0012ABCD];
  EXPECT_EQ(s.type, linkTypeUSB);
  EXPECT_EQ(s.model, 0x23u); // low 8 bits of the product ID
  EXPECT_EQ(s.ipAddress, 0x0012ABCDu);
  EXPECT_EQ(s.port, 0u);
  EXPECT_EQ(s.moduleAddress, 0u);
  EXPECT_EQ(s.routerAddress, 0u);
  EXPECT_EQ(s.routerSerialNumber, 0u);
}

TEST_F(UsbDiscoveryTest, TheCallbackDecidesWhatCountsAndWhenToStop) {
  testbed->plug(moduleConfig(0x0001, "00000001"));
  testbed->plug(moduleConfig(0x0001, "00000002"));
  testbed->plug(moduleConfig(0x0001, "00000003"));
  Found stopAtOnce;
  stopAtOnce.stopAfter = 1;
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeUSB, collect, &stopAtOnce, 0), 1);
  EXPECT_EQ(stopAtOnce.specs.size(), 1u);

  Found notCounted;
  notCounted.count = false;
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeUSB, collect, &notCounted, 0), 0);
  EXPECT_EQ(notCounted.specs.size(), 3u);
}

TEST_F(UsbDiscoveryTest, FindsOneModuleBySerial) {
  testbed->plug(moduleConfig(0x0002, "000000A1"));
  testbed->plug(moduleConfig(0x0003, "000000A2"));
  linkSpec *spec = cDiscovery_FindModule(linkTypeUSB, 0xA2, cDISCOVERY_LOCALHOST);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serialNumber, 0xA2u);
  EXPECT_EQ(spec->model, 3u);
  cLinkSpec_Destroy(&spec);
  EXPECT_EQ(cDiscovery_FindModule(linkTypeUSB, 0xA3, cDISCOVERY_LOCALHOST), nullptr);

  spec = cDiscovery_FindFirstModule(linkTypeUSB, cDISCOVERY_LOCALHOST);
  ASSERT_NE(spec, nullptr);
  EXPECT_TRUE(spec->serialNumber == 0xA1 || spec->serialNumber == 0xA2);
  cLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscoveryTest, SerialZeroIsNotAFirstModule) {
  testbed->plug(moduleConfig(0x0002, "00000000"));
  EXPECT_EQ(cDiscovery_FindFirstModule(linkTypeUSB, 0), nullptr);
  linkSpec *spec = cDiscovery_FindModule(linkTypeUSB, 0, 0);
  ASSERT_NE(spec, nullptr);
  cLinkSpec_Destroy(&spec);
}

} // namespace
