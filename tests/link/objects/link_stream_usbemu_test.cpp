// Value streams from a simulated module on the emulated USB bus, through the
// library's USB stream and the real link engine, across a link reset.
#include <gtest/gtest.h>

#include <memory>

#include "modulesim/UsbTransport.h"
#include "quillwork/qwusb_driver.h"
#include "stream_support.h"

using namespace streamtest;

TEST(LinkStreamUsb, SamplesReachTheCallbackAndKeepFlowingAcrossAReset) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    modulesim::SimModule module(streamingModule());
    modulesim::UsbTransport usb(module, bed);
    ASSERT_TRUE(usb.ok());
    linkSpec spec{};
    spec.type = linkTypeUSB;
    spec.serialNumber = module.config().serial;
    Link link(spec, "usb");
    ASSERT_EQ(link.setConfig(networkingOff()), cErrNone);
    ASSERT_EQ(link.connect(), cErrNone);

    Recorder rec;
    ASSERT_EQ(link.registerStreamCallback(6, 50, 255, 1, true, rec.callback(), nullptr), cErrNone);
    EXPECT_TRUE(rec.waitFor(2, 200));
    module.setStreamValue(50, 2, 1, 0, 222);
    EXPECT_TRUE(rec.waitFor(2, 222));
    uint32_t v = 0;
    EXPECT_TRUE(eventually([&] { return link.getStreamValue(6, 50, 2, 1, 0, &v) != cErrNotFound && v == 222; }));

    // A reset opens the USB stream again; the engine forgot its filter.
    ASSERT_EQ(link.reset(), cErrNone);
    ASSERT_TRUE(eventually([&] { return link.isConnected(); }));
    module.setStreamValue(50, 2, 1, 0, 333);
    EXPECT_TRUE(rec.waitFor(2, 333));
    EXPECT_EQ(link.enableStream(6, 50, 255, 1, false), cErrNone);
  }
  Quillwork_libusb_exit();
}
