// A module on the (emulated) USB bus shared through a link server: the
// server announces it as a USB network client, a second direct USB link is
// refused, and another user finds the server and uses the module.
#include <gtest/gtest.h>

#include <memory>

#include "modulesim/SimModule.h"
#include "modulesim/UsbTransport.h"
#include "netns.h"
#include "quillwork/Link.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/qwusb_driver.h"
#include "usb_module.h"

using namespace Corvatek::Quillwork;

namespace {

// Discovery of the server is by multicast: a namespace of its own.
const bool kIsolated = qwtest::IsolateNetwork();

int sFirst(const linkSpec *spec, bool *counted, void *reference) {
  *static_cast<linkSpec *>(reference) = *spec;
  *counted = true;
  return 0;
}

} // namespace

TEST(UsbLinkServer, UsbModuleIsSharedAndFoundAsAUsbNetworkClient) {
  ASSERT_TRUE(kIsolated);
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  modulesim::ModuleConfig config;
  config.serial = 0x40F5849A;
  config.model = 2;
  auto module = std::make_unique<modulesim::SimModule>(config);
  auto usb = std::make_unique<modulesim::UsbTransport>(*module, bed);
  ASSERT_TRUE(usb->ok());
  {
    Link owner("owner");
    ASSERT_EQ(owner.discoverAndConnect(linkTypeUSB, 0x40F5849A, 0), cErrNone);
    uint8_t address = 0;
    EXPECT_EQ(owner.getModuleAddress(&address), cErrNone);
    EXPECT_EQ(address, 4);

    linkSpec found{};
    ASSERT_EQ(cDiscovery_Enumerate_cEtherModules(sFirst, &found, 0), 1);
    EXPECT_EQ(found.type, linkTypeCEtherUSB);
    EXPECT_EQ(found.serialNumber, 0x40F5849Au);
    EXPECT_EQ(found.model, 2u);

    // The module is reached only through the server now.
    linkSpec direct{};
    direct.type = linkTypeUSB;
    direct.serialNumber = 0x40F5849A;
    Link second(direct, "second");
    EXPECT_EQ(second.connect(), cErrConnection);
    Link client(found, "client");
    ASSERT_EQ(client.connect(), cErrNone);
    address = 0;
    EXPECT_EQ(client.getModuleAddress(&address), cErrNone);
    EXPECT_EQ(address, 4);
  }
  usb.reset();
  module.reset();
  Quillwork_libusb_exit();
}
