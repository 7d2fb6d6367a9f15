// Value streams from a simulated module on the emulated USB bus, through the
// library's USB stream and the real link engine, across a link reset.
#include <gtest/gtest.h>

#include "modulesim/UsbTransport.h"
#include "quillwork/qwusb_driver.h"
#include "stream_support.h"

using namespace streamtest;

TEST(LinkStreamUsb, SamplesKeepFlowingAcrossAReset) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    modulesim::SimModule module(SimOnTcp::config(0));
    modulesim::UsbTransport usb(module, bed);
    ASSERT_TRUE(usb.ok());
    linkSpec spec{};
    spec.type = linkTypeUSB;
    spec.serialNumber = module.config().serial;
    Link link(spec, "usb");
    cEtherConfig off;
    off.enabled = off.fallback = 0;
    ASSERT_EQ(link.setConfig(off), cErrNone);
    ASSERT_EQ(link.connect(), cErrNone);
    Recorder rec;
    ASSERT_EQ(link.registerStreamCallback(6, 50, 255, 1, true, rec.callback(), nullptr), cErrNone);
    EXPECT_TRUE(rec.saw(2, 200));
    ASSERT_EQ(link.reset(), cErrNone); // the USB stream is opened again; the engine forgot its filter
    ASSERT_TRUE(eventually([&] { return link.isConnected(); }));
    module.setStreamValue(50, 2, 1, 0, 333);
    EXPECT_TRUE(rec.saw(2, 333));
    uint32_t v = 0;
    EXPECT_EQ(link.getStreamValue(6, 50, 2, 1, 0, &v), cErrNone);
    EXPECT_EQ(v, 333u);
  }
  Quillwork_libusb_exit();
}
