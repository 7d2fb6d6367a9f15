// USB links to emulated modules: synchronisation, sharing, a module that
// disappears and comes back, and stopping while the reader waits in libusb.
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "cLinkManagerInternal.h"
#include "module_peer.h"
#include "quillwork/qwusb_driver.h"
#include "usb_module.h"

namespace {

using namespace std::chrono_literals;
using qwemu::ModulePeer;
using qwemu::Packet;

constexpr uint32_t kSerial = 0x0012ABCD;

qwemu::UsbDeviceConfig moduleConfig(uint16_t productId = 0x0011) {
  qwemu::UsbDeviceConfig c;
  c.vendorId = QUILLWORK_VENDOR_ID;
  c.productId = productId;
  c.serial = "0012ABCD";
  return c;
}

bool waitStatus(uint32_t id, uint32_t status, std::chrono::milliseconds timeout = 8000ms) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (cLink_GetStatus(id) != status && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  return cLink_GetStatus(id) == status;
}

bool roundTrip(uint32_t id, ModulePeer &peer, uint8_t tag) {
  const uint8_t data[2] = {tag, 0x01};
  cPacket *p = cPacket_CreateWithData(peer.address(), 2, data);
  cLink_PutPacket(id, p);
  cPacket_Destroy(&p);
  cPacket *answer = cLink_AwaitFirst(
      id, [](const cPacket *q, const void *r) { return q->length == 2 && q->data[0] == *(const uint8_t *)r; }, &tag,
      3000);
  bool ok = answer != nullptr;
  cPacket_Destroy(&answer);
  return ok;
}

class LinkUsbTest : public ::testing::Test {
protected:
  void SetUp() override {
    testbed = std::make_unique<qwemu::UsbTestbed>();
    ASSERT_TRUE(testbed->ok()) << "needs the umockdev preload";
    peer.setEcho();
  }
  void TearDown() override {
    while (id != 0) // every use
      if (cLink_Destroy(&id) == cErrNone && sLookupEntryByIdentifier(kSerial, linkTypeUSB) != nullptr)
        id = sLookupEntryByIdentifier(kSerial, linkTypeUSB)->identifier;
    Quillwork_libusb_exit();
    testbed.reset();
  }
  std::unique_ptr<qwemu::UsbTestbed> testbed;
  ModulePeer peer{4, 0x11};
  ModulePeer rebooted{4, 0x12}; // outlives the test body: the link is destroyed in TearDown
  uint32_t id = 0;
};

TEST_F(LinkUsbTest, AUSBLinkSynchronisesAndCarriesPackets) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig());
  dev.attachPeer(peer);
  id = cLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_GE(peer.syncRequests(), 2u); // the rest are dropped once it is in step
  EXPECT_TRUE(roundTrip(id, peer, 0x51));
  peer.sendHeartbeat(1);
  EXPECT_TRUE(peer.waitFor([&] { return peer.heartbeatAnswers() == std::vector<uint8_t>{3}; }, 3000ms));
}

TEST_F(LinkUsbTest, AModuleThatDoesNotSynchroniseGivesNoLink) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig());
  dev.attachPeer(peer);
  peer.setAnswerSync(false);
  EXPECT_EQ(cLink_CreateUSB(kSerial), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, linkTypeUSB), nullptr);
  EXPECT_FALSE(dev.claimed(1));               // the device was let go
  EXPECT_EQ(cLink_CreateUSB(0x0BADBAD0), 0u); // not attached at all
}

TEST_F(LinkUsbTest, TwoCreatesShareOneLinkUntilTheSecondDestroy) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig());
  dev.attachPeer(peer);
  id = cLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  uint32_t second = cLink_CreateUSB(kSerial);
  EXPECT_EQ(second, id);
  EXPECT_EQ(cLink_Destroy(&second), cErrNone);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_TRUE(dev.claimed(1));
  EXPECT_TRUE(roundTrip(id, peer, 0x52));
  uint32_t last = id;
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  EXPECT_EQ(cLink_GetStatus(last), cLINK_NO_STREAM);
  EXPECT_FALSE(dev.claimed(1));
  EXPECT_EQ(peer.routeRequests(), (std::vector<uint8_t>{1, 0}));
}

TEST_F(LinkUsbTest, AModuleThatDisappearsAndComesBackIsReachedAfterAReset) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig());
  dev.attachPeer(peer);
  id = cLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  dev.unplug();
  EXPECT_TRUE(waitStatus(id, cLINK_IO_ERROR));
  EXPECT_FALSE(roundTrip(id, peer, 0x53));

  // Back, as after a reboot: same serial, another product ID.
  rebooted.setEcho();
  qwemu::UsbDevice &again = testbed->plug(moduleConfig(0x0012));
  again.attachPeer(rebooted);
  ASSERT_EQ(cLink_Reset(id), cErrNone);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_TRUE(roundTrip(id, rebooted, 0x54));
  EXPECT_TRUE(again.claimed(1));
}

TEST_F(LinkUsbTest, AResetWithTheModuleGoneFailsAfterItsAttempts) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig());
  dev.attachPeer(peer);
  id = cLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  dev.unplug();
  EXPECT_EQ(cLink_Reset(id), cErrNotFound);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_NO_STREAM);
}

TEST_F(LinkUsbTest, StoppingDoesNotWaitLongerThanOneRead) {
  qwemu::UsbDevice &dev = testbed->plug(moduleConfig());
  dev.attachPeer(peer);
  id = cLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(200ms); // the reader is waiting in a 1 s bulk read now
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
}

} // namespace
