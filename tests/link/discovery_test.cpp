// Discovery without any network traffic: link specifiers, reply parsing,
// dispatch and the beacon-interface lock.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

#include "discover_internal.h"
#include "quillwork/cDiscovery.h"

namespace {

TEST(LinkSpec, IsTheFixedWireLayout) {
  EXPECT_EQ(sizeof(linkSpec), 128u);
  linkSpec s{};
  strcpy(s.portName, "/dev/ttyUSB0");
  // The serial port name begins where the port word is.
  EXPECT_EQ(reinterpret_cast<const uint8_t *>(&s.port)[0], '/');
  EXPECT_EQ(offsetof(linkSpec, baudRate), 24u);
}

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec *spec = cLinkSpec_Create(linkTypeTCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, linkTypeTCPIP);
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(spec);
  for (size_t i = 4; i < sizeof(linkSpec); i++)
    ASSERT_EQ(bytes[i], 0) << i;
  spec->serialNumber = 0x1234;
  strcpy(spec->portName + 90, "tail"); // the copy takes all 128 bytes
  linkSpec *copy = cLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
  EXPECT_EQ(cLinkSpec_Copy(nullptr), nullptr);
  EXPECT_EQ(cLinkSpec_Destroy(&spec), cErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(cLinkSpec_Destroy(&spec), cErrParam);
  EXPECT_EQ(cLinkSpec_Destroy(nullptr), cErrParam);
  cLinkSpec_Destroy(&copy);
}

TEST(LinkSpec, SameModuleMeansTypeSerialAddressAndPort) {
  linkSpec a{}, b{};
  a.type = b.type = linkTypeCEtherUSB;
  a.serialNumber = b.serialNumber = 7;
  a.ipAddress = b.ipAddress = cDISCOVERY_LOCALHOST;
  a.port = b.port = 5000;
  b.model = 9;
  b.moduleAddress = 4; // not compared
  EXPECT_TRUE(_isSameSpec(&a, &b));
  b.port = 5001;
  EXPECT_FALSE(_isSameSpec(&a, &b));
  b.port = 5000;
  b.type = linkTypeCEtherTCPIP;
  EXPECT_FALSE(_isSameSpec(&a, &b));
}

TEST(ModuleReply, TheDatagramBecomesATCPIPSpec) {
  const uint8_t reply[16] = {0x00, 0x04, 0xE8, 0x03, 0x78, 0x56, 0x34, 0x12,
                             0xAA, 0xBB, 0xCC, 0xDD, 0x11, 0x01, 0x02, 0x03};
  in_addr sender;
  inet_pton(AF_INET, "192.168.1.20", &sender);
  linkSpec spec;
  memset(&spec, 0x5A, sizeof spec);
  ASSERT_TRUE(_parseModuleReply(reply, sizeof reply, sender.s_addr, &spec));
  EXPECT_EQ(spec.type, linkTypeTCPIP);
  EXPECT_EQ(spec.serialNumber, 0x12345678u);
  EXPECT_EQ(spec.moduleAddress, 4u);
  EXPECT_EQ(spec.port, 1000u);
  EXPECT_EQ(spec.model, 0x11u);
  EXPECT_EQ(spec.routerAddress, 4u);
  EXPECT_EQ(spec.routerSerialNumber, 0x12345678u);
  EXPECT_EQ(spec.ipAddress, sender.s_addr);
  const uint8_t *b = reinterpret_cast<const uint8_t *>(&spec.ipAddress);
  EXPECT_EQ(b[0], 192); // first octet in the lowest byte
  for (size_t i = 32; i < sizeof spec; i++)
    ASSERT_EQ(reinterpret_cast<const uint8_t *>(&spec)[i], 0) << i;

  // Shorter than 13 bytes: no model byte.
  ASSERT_TRUE(_parseModuleReply(reply, 12, sender.s_addr, &spec));
  EXPECT_EQ(spec.model, 0xFFu);
  EXPECT_EQ(spec.serialNumber, 0x12345678u);
  // Shorter than the serial number: not a reply.
  EXPECT_FALSE(_parseModuleReply(reply, 7, sender.s_addr, &spec));
}

int countAll(const linkSpec *, bool *counted, void *reference) {
  ++*static_cast<int *>(reference);
  *counted = true;
  return 1;
}

TEST(Discovery, TypesWithoutASearchFindNothing) {
  int calls = 0;
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeNone, countAll, &calls, cDISCOVERY_LOCALHOST), 0);
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeSerial, countAll, &calls, cDISCOVERY_LOCALHOST), 0);
  EXPECT_EQ(cDiscovery_EnumerateModules(8, countAll, &calls, cDISCOVERY_LOCALHOST), 0);
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeUSB, nullptr, &calls, cDISCOVERY_LOCALHOST), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(cDiscovery_FindModule(linkTypeSerial, 5, cDISCOVERY_LOCALHOST), nullptr);
}

TEST(Discovery, ConvertsInterfaceAddressesToText) {
  char text[16];
  EXPECT_EQ(cDiscovery_ConvertIPv4Interface(cDISCOVERY_LOCALHOST, text, sizeof text), 9u);
  EXPECT_STREQ(text, "127.0.0.1");
  in_addr a;
  inet_pton(AF_INET, "255.255.255.255", &a);
  EXPECT_EQ(cDiscovery_ConvertIPv4Interface(a.s_addr, text, sizeof text), 15u);
  EXPECT_EQ(cDiscovery_ConvertIPv4Interface(cDISCOVERY_LOCALHOST, text, 15), 0u);
  EXPECT_EQ(cDiscovery_ConvertIPv4Interface(cDISCOVERY_LOCALHOST, nullptr, 16), 0u);
}

TEST(Multicast, NullObjectsAreRefused) {
  char buffer[4] = {};
  EXPECT_EQ(cMulticast_Send(nullptr, buffer, 4), -2);
  EXPECT_EQ(cMulticast_Receive(nullptr, buffer, 4), -2);
  EXPECT_EQ(cMulticast_Destroy(nullptr), -2);
  cMulticast *none = nullptr;
  EXPECT_EQ(cMulticast_Destroy(&none), -2);
  EXPECT_EQ(cMulticast_Create(0, htonl(0xE0000007), 9850, 7), nullptr);
}

// Whether another thread takes the beacon-interface lock within 300 ms. If
// this thread holds the lock, it is released afterwards (so the other thread
// can finish).
bool otherThreadGetsLock(bool held) {
  std::atomic<bool> got{false};
  std::thread other([&] {
    if (zBeaconInterface_setAndLock("*")) {
      got = true;
      zBeaconInterface_unlock();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  bool early = got;
  if (held)
    zBeaconInterface_unlock();
  other.join();
  return early;
}

TEST(BeaconInterface, OnlyAddressesOrWildcardsAreAccepted) {
  EXPECT_EQ(zBeaconInterface_setAndLock("eth0"), 0);
  EXPECT_EQ(zBeaconInterface_setAndLock("10.0.0"), 0);
  EXPECT_TRUE(otherThreadGetsLock(false)); // a refused text does not take the lock
  ASSERT_EQ(zBeaconInterface_setAndLock(""), 1);
  EXPECT_EQ(zBeaconInterface_get(), "");
  zBeaconInterface_unlock();
  ASSERT_EQ(zBeaconInterface_setAndLock("*"), 1);
  EXPECT_EQ(zBeaconInterface_get(), "*");
  EXPECT_FALSE(otherThreadGetsLock(true)); // held, so the other thread waits
}

TEST(BeaconInterface, BackupIsRestoredOnUnlock) {
  ASSERT_EQ(zBeaconInterface_setAndLock("10.1.2.3"), 1);
  zBeaconInterface_unlock();
  ASSERT_EQ(zBeaconInterface_backupSetAndLock("192.168.0.1"), 1);
  EXPECT_EQ(zBeaconInterface_get(), "192.168.0.1");
  EXPECT_EQ(zBeaconInterface_getBackup(), "10.1.2.3");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(zBeaconInterface_get(), "10.1.2.3");
  // A thread that does not hold the lock cannot release it for its holder.
  ASSERT_EQ(zBeaconInterface_setAndLock(""), 1);
  std::thread([] { zBeaconInterface_unlock(); }).join();
  EXPECT_FALSE(otherThreadGetsLock(true));
  EXPECT_TRUE(otherThreadGetsLock(false));
}

} // namespace
