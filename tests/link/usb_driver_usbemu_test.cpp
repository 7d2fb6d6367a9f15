// The USB driver against modules emulated with umockdev: the real libusb runs
// in this process.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <libusb.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qwusb_driver_internal.h"
#include "usb_module.h"

namespace {

using qwemu::UsbDevice;
using qwemu::UsbDeviceConfig;

UsbDeviceConfig moduleConfig(uint16_t productId, const char *serial) {
  UsbDeviceConfig c;
  c.vendorId = QUILLWORK_VENDOR_ID;
  c.productId = productId;
  c.serial = serial;
  return c;
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++)
    v[i] = (uint8_t)(i * 7 + 3);
  return v;
}

class UsbDriverTest : public ::testing::Test {
protected:
  void SetUp() override {
    testbed = std::make_unique<qwemu::UsbTestbed>();
    ASSERT_TRUE(testbed->ok()) << "needs the umockdev preload";
  }
  void TearDown() override {
    for (auto *h : handles)
      if (h != nullptr)
        qwusb_destroy(&h);
    // The libusb context must not outlive the testbed.
    Quillwork_libusb_exit();
    testbed.reset();
  }
  qwusb_device *create(uint32_t kind = QWUSB_KIND_LIBUSB) {
    qwusb_device *h = qwusb_create_usb(kind);
    handles.push_back(h);
    return h;
  }
  qwusb_device *openModule(const char *serial) {
    qwusb_device *h = create();
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(qwusb_open_quillwork_device(h, serial), cErrNone);
    return h;
  }
  // Reads until count bytes arrived (bounded by calls).
  std::vector<uint8_t> readBytes(qwusb_device *h, size_t count) {
    std::vector<uint8_t> got;
    for (int calls = 0; got.size() < count && calls < 50; calls++) {
      uint8_t b;
      if (qwusb_get_from_device(h, &b) == cErrNone)
        got.push_back(b);
    }
    return got;
  }

  std::unique_ptr<qwemu::UsbTestbed> testbed;
  std::vector<qwusb_device *> handles;
};

TEST(UsbDriverIdentity, VendorAndProductIdDecideWhatIsAModule) {
  libusb_device_descriptor d{};
  d.idVendor = QUILLWORK_VENDOR_ID;
  d.idProduct = 0x7FFF;
  EXPECT_TRUE(is_quillwork_device(&d));
  d.idProduct = 0x8000;
  EXPECT_FALSE(is_quillwork_device(&d));
  d.idProduct = 0x0001;
  d.idVendor = QUILLWORK_VENDOR_ID + 1;
  EXPECT_FALSE(is_quillwork_device(&d));
  EXPECT_FALSE(is_quillwork_device(nullptr));
}

TEST_F(UsbDriverTest, OpensOnlyAModuleWithThatSerial) {
  testbed->plug(moduleConfig(0x7FFF, "0000A001"));
  testbed->plug(moduleConfig(0x8001, "0000A002")); // not a module: product ID too high
  UsbDeviceConfig other = moduleConfig(0x0001, "0000A003");
  other.vendorId = QUILLWORK_VENDOR_ID ^ 0x0100;
  testbed->plug(other);

  qwusb_device *h = create();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_CREATED);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "0000A002"), cErrNotFound);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "0000A003"), cErrNotFound);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "0000A00"), cErrNotFound); // a prefix is not the serial
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_CREATED);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "0000A001"), cErrNone);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY);
  EXPECT_STREQ(h->serial, "0000A001");
}

// An open goes straight to the device last seen with its serial number
// instead of asking every module on the bus first, and still checks it: a
// device remembered under another serial number is only tried first.
TEST_F(UsbDriverTest, AnOpenAsksOnlyTheDeviceLastSeenWithItsSerial) {
  std::vector<UsbDevice *> bus;
  for (const char *serial : {"0000B001", "0000B002", "0000B003", "0000B004"})
    bus.push_back(&testbed->plug(moduleConfig(0x0011, serial)));
  const char *serials[] = {"0000B001", "0000B002", "0000B003", "0000B004"};
  auto openEach = [&] {
    for (const char *serial : serials) {
      qwusb_device *h = openModule(serial);
      EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY) << serial;
      qwusb_close_quillwork_device(h);
    }
  };
  openEach(); // a first open may ask the modules before its own
  std::vector<unsigned> before;
  for (UsbDevice *d : bus)
    before.push_back(d->serialReads());
  openEach();
  for (size_t i = 0; i < bus.size(); ++i)
    EXPECT_EQ(bus[i]->serialReads(), before[i] + 1) << serials[i];

  // Remembered wrongly (as after a re-plug at a reused address): the open
  // finds the right device all the same.
  libusb_device **list = nullptr;
  ssize_t n = libusb_get_device_list(Quillwork_libusb_context(), &list);
  for (ssize_t i = 0; i < n; ++i)
    if (libusb_get_device_address(list[i]) == bus[0]->deviceAddress())
      qwusb_remember_serial(list[i], "0000B003");
  libusb_free_device_list(list, 1);
  qwusb_device *third = openModule("0000B003");
  EXPECT_EQ(qwusb_get_state(third), QWUSB_STATE_READY);
  EXPECT_STREQ(third->serial, "0000B003");
  EXPECT_TRUE(bus[2]->claimed(third->interfaceNumber));
  EXPECT_FALSE(bus[0]->claimed(third->interfaceNumber));
}

TEST_F(UsbDriverTest, ClaimsTheLinkInterfaceAndReleasesItOnClose) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "12345678"));
  qwusb_device *h = openModule("12345678");
  // Interface 0 is another vendor interface; the link is interface 1.
  EXPECT_EQ(h->interfaceNumber, 1);
  EXPECT_EQ(h->inEndpoint, 0x81);
  EXPECT_EQ(h->outEndpoint, 0x01);
  EXPECT_EQ(h->inMaxPacket, 512);
  EXPECT_EQ(h->outMaxPacket, 512);
  EXPECT_TRUE(dev.claimed(1));
  EXPECT_FALSE(dev.claimed(0));

  EXPECT_EQ(qwusb_close_quillwork_device(h), cErrNone);
  EXPECT_FALSE(dev.claimed(1));
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_CLOSED);
  uint8_t b;
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrConnection);
  EXPECT_EQ(qwusb_write_to_device(h, &b, 1), cErrConnection);
  EXPECT_EQ(qwusb_close_quillwork_device(h), cErrMode); // nothing open any more

  // Destroying an open handle releases the device too.
  EXPECT_EQ(qwusb_open_quillwork_device(h, "12345678"), cErrNone);
  EXPECT_TRUE(dev.claimed(1));
  handles.clear();
  EXPECT_EQ(qwusb_destroy(&h), cErrNone);
  EXPECT_EQ(h, nullptr);
  EXPECT_FALSE(dev.claimed(1));
  EXPECT_EQ(qwusb_destroy(&h), cErrParam);
}

TEST_F(UsbDriverTest, AModuleBusyWithWhatItWasSentHoldsUpNoOtherModule) {
  // Each open file of the bus is served on its own, as the kernel serves
  // each device: while the first module still works on its bytes, the
  // second one gets and handles its own.
  UsbDevice &a = testbed->plug(moduleConfig(0x0010, "00000001"));
  UsbDevice &b = testbed->plug(moduleConfig(0x0010, "00000002"));
  std::promise<void> bGot, aDone;
  std::shared_future<void> bGotIt = bGot.get_future().share();
  std::future<void> aDoneIt = aDone.get_future();
  std::atomic<bool> aSawB{false};
  std::once_flag once;
  a.setOutHandler([&](const uint8_t *, size_t) {
    aSawB = bGotIt.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    aDone.set_value();
  });
  b.setOutHandler([&](const uint8_t *, size_t) { std::call_once(once, [&] { bGot.set_value(); }); });
  qwusb_device *ha = openModule("00000001");
  qwusb_device *hb = openModule("00000002");
  uint8_t byte = 0x5A;
  // A's transfer completes once A has taken the byte, so it goes on a thread.
  auto aWrite = std::async(std::launch::async, [&] { return qwusb_write_to_device(ha, &byte, 1); });
  EXPECT_EQ(qwusb_write_to_device(hb, &byte, 1), cErrNone);
  ASSERT_EQ(aDoneIt.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(aWrite.get(), cErrNone);
  EXPECT_TRUE(aSawB);
  a.setOutHandler(nullptr);
  b.setOutHandler(nullptr);
}

TEST_F(UsbDriverTest, RefusesWhatCannotBeUsed) {
  UsbDeviceConfig noOut = moduleConfig(0x0010, "00000001");
  noOut.hasOutEndpoint = false;
  UsbDevice &dev = testbed->plug(noOut);
  qwusb_device *h = create();
  EXPECT_EQ(qwusb_open_quillwork_device(h, "00000001"), cErrConfiguration);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_CLOSED);
  EXPECT_FALSE(dev.claimed(1));

  // A second handle on a module whose interface is claimed already.
  testbed->plug(moduleConfig(0x0010, "00000002"));
  openModule("00000002");
  qwusb_device *second = create();
  EXPECT_EQ(qwusb_open_quillwork_device(second, "00000002"), cErrBusy);
  EXPECT_EQ(qwusb_get_state(second), QWUSB_STATE_CLOSED);

  // The back ends refuse a handle of the other kind.
  qwusb_device *kernel = create(QWUSB_KIND_KERNEL);
  uint8_t b = 0;
  EXPECT_EQ(qwusb_libusb_get(kernel, &b), cErrMode);
  EXPECT_EQ(qwusb_libusb_write(kernel, &b, 1), cErrMode);
  EXPECT_EQ(qwusb_kernel_get(h, &b), cErrMode);
  EXPECT_EQ(qwusb_create_usb(7), nullptr);
}

TEST_F(UsbDriverTest, WritesNeverSendAWhole512BytePacket) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");
  auto data = pattern(1100);
  ASSERT_EQ(qwusb_write_to_device(h, data.data(), 512), cErrNone);
  EXPECT_EQ(dev.outTransferSizes(), (std::vector<size_t>{511, 1}));
  ASSERT_EQ(qwusb_write_to_device(h, data.data(), 1100), cErrNone);
  EXPECT_EQ(dev.outTransferSizes(), (std::vector<size_t>{511, 1, 511, 511, 78}));
  auto sent = dev.outBytes();
  EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 512, sent.end()), data);

  // Full-speed packets of 64 bytes go out whole.
  UsbDeviceConfig small = moduleConfig(0x0010, "00000002");
  small.maxPacket = 64;
  UsbDevice &dev2 = testbed->plug(small);
  qwusb_device *h2 = openModule("00000002");
  ASSERT_EQ(qwusb_write_to_device(h2, data.data(), 130), cErrNone);
  EXPECT_EQ(dev2.outTransferSizes(), (std::vector<size_t>{64, 64, 2}));
}

TEST_F(UsbDriverTest, ReadHandsOutOneTransferByteByByte) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");
  dev.queueIn({0x04, 0x02, 0x00, 0x01});
  EXPECT_EQ(readBytes(h, 4), (std::vector<uint8_t>{0x04, 0x02, 0x00, 0x01}));
  EXPECT_EQ(h->available, 0);

  // More than one receive buffer's worth arrives in order, nothing lost.
  auto data = pattern(1500);
  dev.queueIn(data);
  std::vector<uint8_t> got;
  for (int calls = 0; got.size() < data.size() && calls < 3000; calls++) {
    uint8_t b;
    if (qwusb_get_from_device(h, &b) == cErrNone)
      got.push_back(b);
  }
  EXPECT_EQ(got, data);

  // Nothing to read: the time-out gives cErrNotReady and no byte.
  uint8_t b = 0xEE;
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrNotReady);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY);
}

TEST_F(UsbDriverTest, AWakeCutsAReadShortAndLosesNothing) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");
  // Before a read: the next read gives up at once; the bytes wait for the one after.
  qwusb_wake(h);
  dev.queueIn({0x06, 0x00});
  uint8_t b = 0xEE;
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrNotReady);
  EXPECT_EQ(readBytes(h, 2), (std::vector<uint8_t>{0x06, 0x00}));

  // During a read (or just before it, if the reader is slow to start).
  auto reading = std::async(std::launch::async, [h] {
    uint8_t x;
    return qwusb_get_from_device(h, &x);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  qwusb_wake(h);
  EXPECT_EQ(reading.get(), cErrNotReady);
  dev.queueIn({0x08, 0x00});
  EXPECT_EQ(readBytes(h, 2), (std::vector<uint8_t>{0x08, 0x00}));
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY);
}

TEST_F(UsbDriverTest, StallsAreClearedInBothDirections) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");

  dev.stall(0x81);
  uint8_t b;
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrNotReady);
  EXPECT_EQ(dev.clearHaltCount(0x81), 1u);
  dev.queueIn({0x42});
  EXPECT_EQ(readBytes(h, 1), std::vector<uint8_t>{0x42});

  dev.stall(0x01);
  auto data = pattern(20);
  EXPECT_EQ(qwusb_write_to_device(h, data.data(), data.size()), cErrNone);
  EXPECT_EQ(dev.clearHaltCount(0x01), 1u);
  EXPECT_EQ(dev.outBytes(), data); // the stalled transfer is sent again
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY);
}

TEST_F(UsbDriverTest, FourIOErrorsInARowAreHiddenTheFifthFailsTheHandle) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");
  uint8_t b;

  dev.failTransfers(0x81, -EPROTO, 4);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(qwusb_get_from_device(h, &b), cErrNotReady) << i;
  EXPECT_EQ(h->errorCount, 4);
  dev.queueIn({0x10});
  ASSERT_EQ(qwusb_get_from_device(h, &b), cErrNone); // a success clears the count
  EXPECT_EQ(h->errorCount, 0);

  dev.failTransfers(0x81, -EPROTO, 5);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(qwusb_get_from_device(h, &b), cErrNotReady) << i;
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrIO);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_FAILED);

  // Failed stays failed, for reads and writes, until the device is reopened.
  dev.queueIn({0x11});
  for (int i = 0; i < 300; i++)
    ASSERT_EQ(qwusb_get_from_device(h, &b), cErrIO) << i;
  EXPECT_EQ(qwusb_write_to_device(h, &b, 1), cErrIO);
  ASSERT_EQ(qwusb_close_quillwork_device(h), cErrNone);
  ASSERT_EQ(qwusb_open_quillwork_device(h, "00000001"), cErrNone);
  EXPECT_EQ(h->errorCount, 0);
  EXPECT_EQ(readBytes(h, 1), std::vector<uint8_t>{0x11});
}

TEST_F(UsbDriverTest, AWriteThatKeepsFailingReportsTheBytesLeftOver) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");
  auto data = pattern(40);
  dev.failTransfers(0x01, -EPROTO, 10);
  EXPECT_EQ(qwusb_write_to_device(h, data.data(), data.size()), cErrWrite);
  EXPECT_TRUE(dev.outBytes().empty());
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY);

  // Nine failures are retried through.
  dev.failTransfers(0x01, -EPROTO, 9);
  EXPECT_EQ(qwusb_write_to_device(h, data.data(), data.size()), cErrNone);
  EXPECT_EQ(dev.outBytes(), data);
}

TEST_F(UsbDriverTest, BytesAFailedTransferMovedAreNotSentTwice) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");
  auto data = pattern(300);
  dev.failTransfers(0x01, -EPROTO, 1, 100); // the first transfer moves 100 bytes, then fails
  EXPECT_EQ(qwusb_write_to_device(h, data.data(), data.size()), cErrNone);
  EXPECT_EQ(dev.outBytes(), data);
  EXPECT_EQ(dev.outTransferSizes(), (std::vector<size_t>{100, 200}));
}

TEST_F(UsbDriverTest, UnplugDuringAReadAndReplugUnderAnotherIdentity) {
  UsbDevice &dev = testbed->plug(moduleConfig(0x0010, "00000001"));
  qwusb_device *h = openModule("00000001");

  std::thread unplugger([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dev.unplug();
  });
  uint8_t b;
  auto t0 = std::chrono::steady_clock::now();
  cErr first = qwusb_get_from_device(h, &b); // waiting when the device goes
  unplugger.join();
  EXPECT_EQ(first, cErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900)); // did not sit out the time-out
  cErr r = cErrNone;
  int calls = 1;
  while (r != cErrIO && calls < 10) {
    r = qwusb_get_from_device(h, &b);
    calls++;
  }
  EXPECT_EQ(r, cErrIO);
  EXPECT_EQ(calls, 5); // four hidden, the fifth reported
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_FAILED);
  EXPECT_EQ(qwusb_close_quillwork_device(h), cErrNone);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "00000001"), cErrNotFound);

  // Back as its boot loader: another product ID, then with another serial.
  UsbDevice &again = testbed->plug(moduleConfig(0x0011, "00000001"));
  bool opened = false;
  for (int i = 0; i < 100 && !opened; i++) { // hot-plug events arrive asynchronously
    opened = qwusb_open_quillwork_device(h, "00000001") == cErrNone;
    if (!opened)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(opened);
  again.queueIn({0x5A});
  EXPECT_EQ(readBytes(h, 1), std::vector<uint8_t>{0x5A});
  ASSERT_EQ(qwusb_close_quillwork_device(h), cErrNone);
  again.unplug();
  testbed->plug(moduleConfig(0x0010, "00000009"));
  opened = false;
  for (int i = 0; i < 100 && !opened; i++) {
    opened = qwusb_open_quillwork_device(h, "00000009") == cErrNone;
    if (!opened)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(opened);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "00000001"), cErrNotFound);
}

TEST_F(UsbDriverTest, ReleasingTheSharedContextLetsTheNextUseStartAfresh) {
  testbed->plug(moduleConfig(0x0010, "00000001"));
  libusb_context *first = Quillwork_libusb_context();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Quillwork_libusb_init(), first);
  Quillwork_libusb_exit();
  Quillwork_libusb_exit();                  // twice is harmless
  qwusb_device *h = openModule("00000001"); // makes a new context
  EXPECT_NE(Quillwork_libusb_context(), nullptr);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_READY);
}

// ---------------------------------------------------------------- kernel back end

TEST_F(UsbDriverTest, KernelNodeIsReadAndWrittenDirectly) {
  qwemu::KernelNode &node = testbed->addKernelNode("quillwork.12345678");
  EXPECT_TRUE(qwusb_is_kernel_driver_installed(0x12345678));
  EXPECT_FALSE(qwusb_is_kernel_driver_installed(0x12345679));

  qwusb_device *h = create(QWUSB_KIND_KERNEL);
  ASSERT_NE(h, nullptr);
  uint8_t b;
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrMode); // not open yet
  EXPECT_EQ(qwusb_open_quillwork_device(h, "12345679"), cErrIO);
  ASSERT_EQ(qwusb_open_quillwork_device(h, "12345678"), cErrNone);

  auto data = pattern(600);
  EXPECT_EQ(qwusb_write_to_device(h, data.data(), data.size()), cErrNone);
  EXPECT_EQ(node.written(), data);                       // unchanged, not split
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrNotReady); // idle node: 0 bytes
  node.queueIn({0x04, 0x00});
  EXPECT_EQ(readBytes(h, 2), (std::vector<uint8_t>{0x04, 0x00}));

  EXPECT_EQ(qwusb_close_quillwork_device(h), cErrNone);
  EXPECT_EQ(qwusb_close_quillwork_device(h), cErrNone); // nothing open
  EXPECT_EQ(qwusb_get_from_device(h, &b), cErrMode);
  EXPECT_EQ(qwusb_get_state(h), QWUSB_STATE_CLOSED);
}

TEST_F(UsbDriverTest, KernelNodeDirectoryCanBeMoved) {
  char dir[] = "/tmp/qwusb-nodes-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string node = std::string(dir) + "/quillwork.0000BEEF";
  FILE *f = fopen(node.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_FALSE(qwusb_is_kernel_driver_installed(0xBEEF));
  ASSERT_EQ(qwusb_set_kernel_node_directory(dir), cErrNone);
  EXPECT_TRUE(qwusb_is_kernel_driver_installed(0xBEEF));
  qwusb_device *h = create(QWUSB_KIND_KERNEL);
  EXPECT_EQ(qwusb_open_quillwork_device(h, "0000BEEF"), cErrNone);
  EXPECT_EQ(qwusb_set_kernel_node_directory(""), cErrParam);
  ASSERT_EQ(qwusb_set_kernel_node_directory(nullptr), cErrNone);
  EXPECT_FALSE(qwusb_is_kernel_driver_installed(0xBEEF));
  EXPECT_EQ(qwusb_close_quillwork_device(h), cErrNone);
  unlink(node.c_str());
  rmdir(dir);
}

} // namespace
