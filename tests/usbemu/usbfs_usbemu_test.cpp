// The emulated bus at the level of usbfs, as a host program sees it through
// the device node: what the kernel does for each open file of a device.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "usb_module.h"

namespace {

using qwemu::UsbDevice;

class UsbfsTest : public ::testing::Test {
protected:
  void SetUp() override {
    testbed = std::make_unique<qwemu::UsbTestbed>();
    ASSERT_TRUE(testbed->ok()) << "needs the umockdev preload";
    qwemu::UsbDeviceConfig c;
    c.vendorId = 0x1234;
    c.serial = "00C0FFEE";
    dev = &testbed->plug(c);
  }
  void TearDown() override {
    for (int fd : fds)
      close(fd);
    testbed.reset();
  }
  int openNode() {
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", dev->busNumber(), dev->deviceAddress());
    int fd = open(path, O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path << ": " << strerror(errno);
    fds.push_back(fd);
    return fd;
  }
  void closeNode(int fd) {
    close(fd);
    fds.erase(std::find(fds.begin(), fds.end(), fd));
  }
  // The node is writable while a finished URB waits to be reaped.
  static bool finishedWaits(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, 5000) == 1;
  }
  // -errno, or 0 with the URB reaped in *urb.
  static int reap(int fd, usbdevfs_urb **urb) {
    *urb = nullptr;
    return ioctl(fd, USBDEVFS_REAPURBNDELAY, urb) == 0 ? 0 : -errno;
  }
  static usbdevfs_urb urb(unsigned char type, unsigned char endpoint, uint8_t *buffer, size_t length) {
    usbdevfs_urb u{};
    u.type = type;
    u.endpoint = endpoint;
    u.buffer = buffer;
    u.buffer_length = (int)length;
    return u;
  }
  static int call(int fd, unsigned long request, void *argument) {
    return ioctl(fd, request, argument) == 0 ? 0 : -errno;
  }

  std::unique_ptr<qwemu::UsbTestbed> testbed;
  UsbDevice *dev = nullptr;
  std::vector<int> fds;
};

TEST_F(UsbfsTest, AClaimBelongsToTheFileThatMadeItAndGoesWhenTheFileIsClosed) {
  int a = openNode(), b = openNode();
  unsigned link = 1;
  EXPECT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &link), 0);
  EXPECT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &link), 0); // the same file again
  EXPECT_EQ(call(b, USBDEVFS_CLAIMINTERFACE, &link), -EBUSY);
  EXPECT_EQ(call(b, USBDEVFS_RELEASEINTERFACE, &link), -EINVAL);
  unsigned none = 5;
  EXPECT_EQ(call(b, USBDEVFS_CLAIMINTERFACE, &none), -ENOENT);

  closeNode(a); // without a release, as a killed program leaves it
  EXPECT_EQ(call(b, USBDEVFS_CLAIMINTERFACE, &link), 0);
  EXPECT_TRUE(dev->claimed(1));
  closeNode(b);
  EXPECT_FALSE(dev->claimed(1));
}

TEST_F(UsbfsTest, URBsCarryTheirBytesAndAreReapedByTheFileThatSubmittedThem) {
  int a = openNode(), b = openNode();
  unsigned link = 1;
  ASSERT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &link), 0);
  usbdevfs_urb *reaped = nullptr;

  // OUT: the device has the bytes; only the submitting file reaps the URB.
  uint8_t sent[5] = {0x93, 0x81, 0x20, 0x06, 0x03};
  usbdevfs_urb out = urb(USBDEVFS_URB_TYPE_BULK, 0x01, sent, sizeof sent);
  ASSERT_EQ(call(a, USBDEVFS_SUBMITURB, &out), 0);
  ASSERT_TRUE(finishedWaits(a));
  EXPECT_EQ(reap(b, &reaped), -EAGAIN);
  ASSERT_EQ(reap(a, &reaped), 0);
  EXPECT_EQ(reaped, &out);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.actual_length, 5);
  EXPECT_EQ(dev->outBytes(), std::vector<uint8_t>(sent, sent + 5));

  // IN: pending until the device sends; nothing past what it sent is touched.
  uint8_t buffer[16];
  memset(buffer, 0xEE, sizeof buffer);
  usbdevfs_urb in = urb(USBDEVFS_URB_TYPE_BULK, 0x81, buffer, sizeof buffer);
  ASSERT_EQ(call(a, USBDEVFS_SUBMITURB, &in), 0);
  EXPECT_EQ(reap(a, &reaped), -EAGAIN);
  dev->queueIn({0x01, 0x02, 0x03});
  ASSERT_TRUE(finishedWaits(a));
  ASSERT_EQ(reap(a, &reaped), 0);
  EXPECT_EQ(reaped, &in);
  EXPECT_EQ(in.actual_length, 3);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0xEE}));

  // A discarded IN transfer is reaped as cancelled.
  ASSERT_EQ(call(a, USBDEVFS_SUBMITURB, &in), 0);
  EXPECT_EQ(call(a, USBDEVFS_DISCARDURB, &in), 0);
  EXPECT_EQ(call(a, USBDEVFS_DISCARDURB, &in), -EINVAL); // nothing pending any more
  ASSERT_TRUE(finishedWaits(a));
  ASSERT_EQ(reap(a, &reaped), 0);
  EXPECT_EQ(reaped, &in);
  EXPECT_EQ(in.status, -ENOENT);

  // Control: the serial-number string comes back after the setup packet.
  uint8_t control[8 + 64] = {0x80, 0x06, 0x03, 0x03, 0x09, 0x04, 64, 0};
  usbdevfs_urb get = urb(USBDEVFS_URB_TYPE_CONTROL, 0x00, control, sizeof control);
  ASSERT_EQ(call(b, USBDEVFS_SUBMITURB, &get), 0);
  ASSERT_TRUE(finishedWaits(b));
  ASSERT_EQ(reap(b, &reaped), 0);
  EXPECT_EQ(reaped, &get);
  ASSERT_EQ(get.actual_length, 18);
  EXPECT_EQ(std::vector<uint8_t>(control + 8, control + 12), (std::vector<uint8_t>{18, 0x03, '0', 0}));
  EXPECT_EQ(control[8 + 16], 'E');
  EXPECT_EQ(dev->serialReads(), 1u);

  // Once the device has left the bus, its open files get ENODEV.
  ASSERT_EQ(call(a, USBDEVFS_SUBMITURB, &in), 0);
  dev->unplug();
  ASSERT_TRUE(finishedWaits(a));
  ASSERT_EQ(reap(a, &reaped), 0);
  EXPECT_EQ(in.status, -ESHUTDOWN);
  EXPECT_EQ(reap(a, &reaped), -ENODEV);
  EXPECT_EQ(call(b, USBDEVFS_CLAIMINTERFACE, &link), -ENODEV);
}

} // namespace
