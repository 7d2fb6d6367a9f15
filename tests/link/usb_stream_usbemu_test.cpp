// The USB byte stream over emulated modules and kernel-driver nodes.
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "quillwork/cStream.h"
#include "quillwork/qwusb_driver.h"
#include "usb_module.h"

namespace {

qwemu::UsbDeviceConfig moduleConfig(const char *serial) {
  qwemu::UsbDeviceConfig c;
  c.vendorId = QUILLWORK_VENDOR_ID;
  c.productId = 0x0011;
  c.serial = serial;
  return c;
}

class UsbStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    testbed = std::make_unique<qwemu::UsbTestbed>();
    ASSERT_TRUE(testbed->ok()) << "needs the umockdev preload";
  }
  void TearDown() override {
    if (stream != nullptr)
      cStream_Destroy(&stream);
    Quillwork_libusb_exit();
    testbed.reset();
  }
  std::unique_ptr<qwemu::UsbTestbed> testbed;
  cStream *stream = nullptr;
};

TEST_F(UsbStreamTest, CarriesBytesBothWaysAndReleasesTheModule) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig("0012ABCD"));
  ASSERT_EQ(cStream_CreateUSB(0x0012ABCD, &stream), cErrNone);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(dev.claimed(1));

  const uint8_t packet[] = {0xAD, 0x00};
  ASSERT_EQ(cStream_Write(stream, packet, sizeof packet), cErrNone);
  ASSERT_EQ(cStream_Write(stream, packet, 1), cErrNone); // one byte goes through put
  EXPECT_EQ(dev.outBytes(), (std::vector<uint8_t>{0xAD, 0x00, 0xAD}));

  dev.queueIn({0x04, 0x00, 0x04, 0x00});
  uint8_t in[4] = {};
  cErr err = cErrNotReady;
  for (int i = 0; i < 5 && err == cErrNotReady; i++)
    err = cStream_Read(stream, in, sizeof in);
  ASSERT_EQ(err, cErrNone);
  EXPECT_EQ(std::vector<uint8_t>(in, in + 4), (std::vector<uint8_t>{0x04, 0x00, 0x04, 0x00}));

  EXPECT_EQ(cStream_Destroy(&stream), cErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_FALSE(dev.claimed(1));
}

TEST_F(UsbStreamTest, AModuleThatIsNotThereGivesTheDriversError) {
  testbed->plug(moduleConfig("0012ABCD"));
  stream = reinterpret_cast<cStream *>(0x1);
  EXPECT_EQ(cStream_CreateUSB(0x0012ABCE, &stream), cErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(cStream_CreateUSB(0x0012ABCD, nullptr), cErrParam);
}

TEST_F(UsbStreamTest, TheKernelNodeIsPreferredAndLibusbIsLeftAlone) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig("0012ABCD"));
  qwemu::KernelNode &node = testbed->addKernelNode("quillwork.0012ABCD");
  ASSERT_EQ(cStream_CreateUSB(0x0012ABCD, &stream), cErrNone);
  EXPECT_FALSE(dev.claimed(1));

  const uint8_t bytes[] = {0x04, 0x03, 0x01, 0x02, 0x03};
  ASSERT_EQ(cStream_Write(stream, bytes, sizeof bytes), cErrNone);
  EXPECT_EQ(node.written(), std::vector<uint8_t>(bytes, bytes + sizeof bytes));
  EXPECT_TRUE(dev.outBytes().empty());

  node.queueIn({0x06, 0x00});
  uint8_t in[2] = {};
  cErr err = cErrNotReady;
  for (int i = 0; i < 5 && err == cErrNotReady; i++)
    err = cStream_Read(stream, in, sizeof in);
  ASSERT_EQ(err, cErrNone);
  EXPECT_EQ(in[0], 0x06);
  EXPECT_EQ(cStream_Destroy(&stream), cErrNone);
}

} // namespace
