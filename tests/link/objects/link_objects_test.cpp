// Link, Module and entities against simulated modules over TCP on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "modulesim_fixture.h"
#include "quillwork/Entity.h"
#include "quillwork/Module.h"

using namespace Corvatek::Quillwork;
using modulesim::ModuleConfig;
using modulesim::Packet;
using modulesim::SimModule;
using modulesim::TcpTransport;

namespace {

// One simulated module on a loopback port.
struct SimOnTcp {
  explicit SimOnTcp(ModuleConfig config) : module(config), tcp(module, {}) {}
  linkSpec spec() const {
    linkSpec s{};
    s.type = linkTypeTCPIP;
    s.serialNumber = module.config().serial;
    s.ipAddress = tcp.ipv4();
    s.port = tcp.port();
    return s;
  }
  SimModule module;
  TcpTransport tcp;
};

cEtherConfig networkingOff() {
  cEtherConfig c;
  c.enabled = 0;
  c.fallback = 0;
  return c;
}

// Packets the host sent with the given command byte.
std::vector<Packet> sent(const SimModule &m, uint8_t command) {
  std::vector<Packet> out;
  for (const Packet &p : m.received())
    if (!p.data.empty() && p.data[0] == command)
      out.push_back(p);
  return out;
}

class LinkObjects : public ::testing::Test {
protected:
  void SetUp() override {
    ModuleConfig c;
    c.serial = 0x40F5849A;
    c.address = 4;
    c.model = 17;
    c.version = modulesim::packVersion(2, 15, 3);
    c.build = 4321;
    c.name = "Bench-Hub";
    c.stores = {std::vector<modulesim::SlotConfig>(4)};
    c.stores[0][1].content.assign(30, 0);
    for (int i = 0; i < 30; ++i)
      c.stores[0][1].content[i] = static_cast<uint8_t>(i * 7);
    sim = std::make_unique<SimOnTcp>(c);
    ASSERT_TRUE(sim->tcp.ok()) << sim->tcp.error();
    module = std::make_unique<Module>(2, 0);
    ASSERT_EQ(module->setConfig(networkingOff()), cErrNone);
    ASSERT_EQ(module->connectFromSpec(sim->spec()), cErrNone);
    system.init(module.get(), 0);
  }
  void TearDown() override {
    module.reset();
    sim.reset();
  }

  std::unique_ptr<SimOnTcp> sim;
  std::unique_ptr<Module> module;
  SystemClass system;
};

} // namespace

TEST_F(LinkObjects, AutoNetworkingFindsTheModulesAddress) {
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(module->getModuleAddress(), 4);
  uint8_t address = 0;
  EXPECT_EQ(module->getLink()->getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
}

TEST_F(LinkObjects, ValuesOfEachType) {
  uint32_t serial = 0, version = 0, voltage = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(system.getVersion(&version), cErrNone);
  EXPECT_EQ(version, modulesim::packVersion(2, 15, 3));
  EXPECT_EQ(system.getInputVoltage(&voltage), cErrNone);
  EXPECT_EQ(voltage, 5000000u);
  uint8_t model = 0, led = 0;
  EXPECT_EQ(system.getModel(&model), cErrNone);
  EXPECT_EQ(model, 17);
  EXPECT_EQ(system.setLED(3), cErrNone);
  EXPECT_EQ(system.getLED(&led), cErrNone);
  EXPECT_EQ(led, 3);
  int32_t temperature = 0;
  EXPECT_EQ(system.getTemperature(&temperature), cErrNone);
  EXPECT_EQ(temperature, 35000000);
  EXPECT_EQ(system.save(), cErrNone);
  uint32_t fp = 0;
  EXPECT_EQ(system.getUEI32(39, 3, &fp), cErrNone);
  EXPECT_EQ(fp, 0x4B5A6978u);

  // The requests on the wire: a get of option 9 is 03 49 20, a set of the
  // LED 03 84 20 03, a call of save 03 8A 20.
  auto wire = sent(sim->module, cmdSYSTEM);
  auto has = [&](std::vector<uint8_t> bytes) {
    for (const Packet &p : wire)
      if (p.address == 4 && p.data == bytes)
        return true;
    return false;
  };
  EXPECT_TRUE(has({0x03, 0x49, 0x20}));
  EXPECT_TRUE(has({0x03, 0x84, 0x20, 0x03}));
  EXPECT_TRUE(has({0x03, 0x8A, 0x20}));
  EXPECT_TRUE(has({0x03, 0x67, 0x20, 0x03}));
}

TEST_F(LinkObjects, ErrorRepliesCarryTheModulesCode) {
  uint32_t value = 0xAAAA;
  EXPECT_EQ(system.getUEI32(50, &value), cErrInvalidOption);
  EXPECT_EQ(value, 0xAAAAu); // not written on an error
  EXPECT_EQ(system.getUEI32(7, nullptr), cErrParam);
}

// Answers the module sends on its own: an unasked 32-bit value is awaited by
// module, command, option and index; a value of a width no type has is an
// error, not a success with whatever the record held.
TEST_F(LinkObjects, UnaskedValuesAndAnswersOfAnOddWidth) {
  SimModule &m = sim->module;
  m.sendRaw(Packet{6, {0x03, 0x21, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}}); // another module's
  m.sendRaw(Packet{4, {0x03, 0x22, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}}); // another option
  m.sendRaw(Packet{4, {0x03, 0x21, 0x00, 0x12, 0x34, 0x56, 0x78}});
  uint32_t value = 0;
  EXPECT_EQ(system.awaitUEI32Val(0x21, &value, 1000), cErrNone);
  EXPECT_EQ(value, 0x12345678u);

  // 9 is the serial number, 39 the chip words by subindex: answers of 6 bytes.
  m.sendRaw(Packet{4, {0x03, 0x09, 0x00, 0x01, 0x02, 0x03}});
  m.sendRaw(Packet{4, {0x03, 0x27, 0x00, 0x01, 0x02, 0x03}});
  uint8_t model = 0;
  ASSERT_EQ(system.getModel(&model), cErrNone); // answered after them: both are queued now
  value = 0xAAAA;
  EXPECT_EQ(system.getSerialNumber(&value), cErrPacket);
  EXPECT_EQ(value, 0xAAAAu);
  EXPECT_EQ(system.getUEI32(39, 2, &value), cErrPacket);
  EXPECT_EQ(value, 0xAAAAu);
}

// The host's requests, byte for byte as the module's command tables give
// them, so that this library and the simulated module cannot agree on the
// same mistake.
TEST_F(LinkObjects, RequestsOnTheWireMatchTheCommandTables) {
  using B = std::vector<uint8_t>;
  auto requests = [&](uint8_t command) {
    std::vector<B> out;
    for (const Packet &p : sent(sim->module, command))
      out.push_back(p.data);
    return out;
  };
  uint32_t word = 0;
  uint8_t byte = 0;
  module->getBuild(&word);
  module->hasUEI(cmdUPGRADE, 10, 0, 0x80);
  module->classQuantity(3, &byte);
  module->subClassQuantity(3, 1, &byte);
  module->entityGroup(3, 2, &byte);
  EXPECT_EQ(requests(cmdDESCRIPTOR),
            (std::vector<B>{{73, 0xFF}, {73, 1, 95, 10, 0, 0x80}, {73, 4, 3}, {73, 5, 3, 1}, {73, 6, 3, 2}}));

  const uint8_t echo[3] = {0xDE, 0xAD, 0x01};
  EXPECT_EQ(module->debug(echo, 3), cErrNone);
  EXPECT_EQ(requests(cmdDEBUG), (std::vector<B>{{23, 0xDE, 0xAD, 0x01}}));

  Link *link = module->getLink();
  link->storeSlotCapacity(4, 0, 1, &word);
  link->storeSlotSize(4, 0, 1, &word);
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(link->loadStoreSlot(4, 0, 2, five, 5), cErrNone);
  std::vector<B> slot = requests(cmdSLOT);
  ASSERT_EQ(slot.size(), 5u);
  EXPECT_EQ(slot[0], (B{4, 1, 0, 1}));
  EXPECT_EQ(slot[1], (B{4, 2, 0, 1}));
  EXPECT_EQ(slot[2], (B{4, 4, 0, 2}));
  uint8_t handle = slot[3].size() > 2 ? slot[3][2] : 0;
  EXPECT_EQ(slot[3], (B{4, 7, handle, 1, 2, 3, 4, 5}));
  EXPECT_EQ(slot[4], (B{4, 8, handle}));

  I2CClass i2c;
  i2c.init(module.get(), 0);
  uint8_t speed = 0;
  i2c.getSpeed(&speed);
  uint8_t in[3];
  const uint8_t out[2] = {0x55, 0xAA};
  i2c.read(0x20, 3, in);
  i2c.write(0x20, 2, out);
  i2c.setPullup(true);
  EXPECT_EQ(requests(cmdI2C),
            (std::vector<B>{{8, 0, 0x21, 3, speed}, {8, 0, 0x20, 2, speed, 0x55, 0xAA}, {8, 0, 1, 1}}));
}

TEST_F(LinkObjects, ByteArraysTravelAsASeries) {
  // 60 bytes: three packets of 24, 24 and 12 with sequence bytes 80, 81, 02.
  uint32_t words[15];
  for (uint32_t i = 0; i < 15; ++i)
    words[i] = 0x01020304u * (i + 1);
  ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 15), cErrNone);
  std::vector<Packet> series;
  for (const Packet &p : sent(sim->module, cmdSYSTEM))
    if (p.data.size() >= 2 && p.data[1] == (0x80 | 31))
      series.push_back(p);
  ASSERT_EQ(series.size(), 3u);
  EXPECT_EQ(series[0].data.size(), 3u + 24 + 1);
  EXPECT_EQ(series[0].data.back(), 0x80);
  EXPECT_EQ(series[1].data.back(), 0x81);
  EXPECT_EQ(series[2].data.size(), 3u + 12 + 1);
  EXPECT_EQ(series[2].data.back(), 0x02);
  EXPECT_EQ(memcmp(series[0].data.data() + 3, words, 24), 0); // words go as stored

  uint32_t back[16] = {};
  uint32_t count = 0;
  EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 16, &count), cErrNone);
  EXPECT_EQ(count, 15u);
  EXPECT_EQ(memcmp(back, words, sizeof words), 0);
}

TEST_F(LinkObjects, NameAndTooSmallBuffers) {
  std::string name = "Bench-Hub-Number-Thirty-Chars!";
  ASSERT_EQ(name.size(), 30u);
  ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t *>(name.data()), 30), cErrNone);
  uint8_t buffer[32];
  uint32_t count = 0;
  EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), cErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), count), name);
  uint8_t small[10];
  EXPECT_EQ(system.getName(small, sizeof small, &count), cErrMemory);
}

TEST_F(LinkObjects, StoreSlots) {
  Link *link = module->getLink();
  uint8_t buffer[64];
  uint32_t count = 0;
  EXPECT_EQ(link->unloadStoreSlot(4, 0, 1, buffer, sizeof buffer, &count), cErrNone);
  ASSERT_EQ(count, 30u);
  EXPECT_EQ(buffer[29], static_cast<uint8_t>(29 * 7));

  // A buffer smaller than the slot: the first bytes, and an overrun.
  uint8_t ten[10];
  count = 0;
  EXPECT_EQ(link->unloadStoreSlot(4, 0, 1, ten, sizeof ten, &count), cErrOverrun);
  EXPECT_EQ(ten[9], static_cast<uint8_t>(9 * 7));

  std::vector<uint8_t> data(60);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(200 - i);
  EXPECT_EQ(link->loadStoreSlot(4, 0, 2, data.data(), static_cast<uint32_t>(data.size())), cErrNone);
  uint32_t size = 0, capacity = 0;
  EXPECT_EQ(link->storeSlotSize(4, 0, 2, &size), cErrNone);
  EXPECT_EQ(size, 60u);
  EXPECT_EQ(link->storeSlotCapacity(4, 0, 2, &capacity), cErrNone);
  EXPECT_EQ(capacity, 256u);
  std::vector<uint8_t> back(60);
  EXPECT_EQ(link->unloadStoreSlot(4, 0, 2, back.data(), 60, &count), cErrNone);
  EXPECT_EQ(back, data);
  EXPECT_EQ(link->loadStoreSlot(4, 0, 2, data.data(), 0), cErrNone); // opens and closes
  EXPECT_EQ(link->loadStoreSlot(4, 0, 2, nullptr, 0), cErrParam);
}

TEST_F(LinkObjects, FactoryDataBothWays) {
  Link *link = module->getLink();
  uint8_t buffer[128];
  uint32_t count = 0;
  EXPECT_EQ(link->getFactoryData(4, 0, buffer, sizeof buffer, &count), cErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), count), "SIM");
  std::vector<uint8_t> item(70);
  for (size_t i = 0; i < item.size(); ++i)
    item[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(link->setFactoryData(4, 3, item.data(), 70), cErrNone);
  EXPECT_EQ(link->getFactoryData(4, 3, buffer, sizeof buffer, &count), cErrNone);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + count), item);
  EXPECT_EQ(link->getFactoryData(4, 3, buffer, 20, &count), cErrOverrun);
}

TEST_F(LinkObjects, DescriptorQueriesAndEcho) {
  uint32_t build = 0;
  EXPECT_EQ(module->getBuild(&build), cErrNone);
  EXPECT_EQ(build, 4321u);
  EXPECT_EQ(module->hasUEI(cmdSYSTEM, 9, 0, 0x40), cErrNone);
  EXPECT_EQ(module->hasUEI(cmdSYSTEM, 9, 0, 0x01), cErrParam);
  EXPECT_EQ(module->hasUEI(cmdSYSTEM, 9, 0, 0xC0), cErrParam);
  uint8_t n = 0xEE;
  EXPECT_EQ(module->classQuantity(cmdSYSTEM, &n), cErrNone);
  EXPECT_GE(n, 1);
  const uint8_t echo[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(module->debug(echo, sizeof echo), cErrNone);
}

TEST_F(LinkObjects, ArgumentChecks) {
  Link *link = module->getLink();
  uint8_t data[28] = {};
  EXPECT_EQ(link->sendPacket(4, cmdDEBUG, 28, data), cErrParam);
  EXPECT_EQ(link->sendPacket(4, cmdDEBUG, 27, data), cErrNone);
  uint8_t echo[28];
  uint8_t length = 1;
  const uint8_t match[1] = {cmdDEBUG};
  EXPECT_EQ(link->receivePacket(4, match, &length, echo), cErrNone); // the module echoes all 27
  EXPECT_EQ(length, 28);
  EXPECT_EQ(link->sendPacket(0, cmdDEBUG, 1, data), cErrPacket);
  EXPECT_EQ(link->sendPacket(3, cmdDEBUG, 1, data), cErrPacket);
  uei r{};
  r.module = 3;
  r.command = cmdSYSTEM;
  r.type = ueiTYPE_VOID;
  EXPECT_EQ(link->sendUEI(r), cErrPacket);
  r.module = 4;
  r.type = static_cast<ueiType>(6); // no such value type
  EXPECT_EQ(link->sendUEI(r), cErrParam);
  // Nothing went out: the next packet the module sees is the echo after it.
  const uint8_t marker[3] = {0xEC, 0x40, 0x01};
  EXPECT_EQ(module->debug(marker, sizeof marker), cErrNone);
  std::vector<Packet> seen = sim->module.received();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 1].data, (std::vector<uint8_t>{cmdDEBUG, 0xEC, 0x40, 0x01}));
  EXPECT_EQ(seen[seen.size() - 2].data.size(), 28u); // the 27-byte command before it

  Link idle("idle");
  r.type = ueiTYPE_VOID;
  EXPECT_EQ(idle.sendUEI(r), cErrConnection);
  EXPECT_EQ(idle.sendPacket(0, cmdDEBUG, 1, data), cErrConnection); // connection is tested first
  // Without a specifier of its own a link cannot go through another.
  EXPECT_EQ(idle.connectThroughLinkModule(*link), cErrConfiguration);
  EXPECT_FALSE(idle.isConnected());

  Module unconnected(2, 0);
  EXPECT_EQ(unconnected.connect(linkTypeTCPIP, 0), cErrParam);
  EXPECT_EQ(unconnected.getBuild(nullptr), cErrParam);
  uint32_t b = 0;
  EXPECT_EQ(unconnected.getBuild(&b), cErrConnection);
}

TEST_F(LinkObjects, ConfigurationIsFixedWhileConnected) {
  EXPECT_EQ(module->setConfig(networkingOff()), cErrMode);
  EXPECT_EQ(module->getLink()->setLinkSpecifier(sim->spec()), cErrBusy);
  EXPECT_EQ(module->connectFromSpec(sim->spec()), cErrBusy);
  module->disconnect();
  EXPECT_FALSE(module->isConnected());
  EXPECT_EQ(module->getStatus(), 8);
  EXPECT_EQ(module->reconnect(), cErrNone);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
}

TEST_F(LinkObjects, TwoModulesShareOneEngineLink) {
  Module second(2, 0);
  ASSERT_EQ(second.setConfig(networkingOff()), cErrNone);
  ASSERT_EQ(second.connectFromSpec(sim->spec()), cErrNone);
  EXPECT_EQ(second.getLink()->handle(), module->getLink()->handle());
  second.disconnect();
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
  EXPECT_EQ(serial, 0x40F5849Au);
}

TEST(LinkRouting, ReachesAModuleBehindARouter) {
  ModuleConfig rc;
  rc.serial = 0xD272031D;
  rc.address = 2;
  rc.model = 3;
  ModuleConfig mc;
  mc.serial = 0x2181F0EE;
  mc.address = 8;
  SimModule behind(mc);
  SimOnTcp router(rc);
  router.module.attachToBus(behind);
  ASSERT_TRUE(router.tcp.ok());

  Module r(2, 0);
  ASSERT_EQ(r.setConfig(networkingOff()), cErrNone);
  ASSERT_EQ(r.connectFromSpec(router.spec()), cErrNone);
  SystemClass rs;
  rs.init(&r, 0);
  ASSERT_EQ(rs.routeToMe(1), cErrNone);

  I2CClass i2c;
  i2c.init(&r, 0);
  EXPECT_EQ(i2c.setSpeed(4), cErrParam);
  ASSERT_EQ(i2c.setSpeed(3), cErrNone);
  const uint8_t probe[2] = {0, 0};
  EXPECT_EQ(i2c.write(8, 2, probe), cErrNone);
  EXPECT_NE(i2c.write(10, 2, probe), cErrNone);
  uint8_t big[24] = {};
  EXPECT_EQ(i2c.read(8, 24, big), cErrSize);

  Module m(8, false, 0);
  ASSERT_EQ(m.setConfig(networkingOff()), cErrNone);
  ASSERT_EQ(m.connectThroughLinkModule(r), cErrNone);
  EXPECT_EQ(m.getModuleAddress(), 8);
  SystemClass ms;
  ms.init(&m, 0);
  uint32_t serial = 0;
  EXPECT_EQ(ms.getSerialNumber(&serial), cErrNone);
  EXPECT_EQ(serial, 0x2181F0EEu);
  m.disconnect();
  EXPECT_EQ(rs.getSerialNumber(&serial), cErrNone); // the router's link goes on
  EXPECT_EQ(serial, 0xD272031Du);
  EXPECT_EQ(rs.routeToMe(0), cErrNone);
}

TEST(LinkEntities, WithoutALinkEveryUEIOperationFails) {
  SystemClass s;
  uint32_t v;
  EXPECT_EQ(s.getSerialNumber(&v), cErrResource);
  EXPECT_EQ(s.save(), cErrResource);
  uint8_t buffer[4];
  uint32_t count;
  EXPECT_EQ(s.getName(buffer, 4, &count), cErrResource);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), cErrParam);
  uint32_t ten = 10;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&ten, 4), cErrMemory);
  uint32_t eight = 8;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&eight, 4), cErrNone);
  EXPECT_EQ(eight, 2u);
}

TEST(LinkSerial, AModuleOnASerialPortAnswers) {
  qwtest::SimulatedModules sims;
  modulesim::ModuleConfig c;
  c.serial = 0x0000BEEF;
  c.address = 6;
  c.name = "Serial-Hub";
  auto s = sims.serial(c);
  ASSERT_NE(s.module, nullptr);
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(networkingOff()), cErrNone);
  ASSERT_EQ(module.connectFromSpec(s.spec), cErrNone);
  EXPECT_EQ(module.getModuleAddress(), 6);
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
  EXPECT_EQ(serial, 0x0000BEEFu);
  uint8_t name[32];
  uint32_t count = 0;
  EXPECT_EQ(system.getName(name, sizeof name, &count), cErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(name), count), "Serial-Hub");
  module.disconnect();
}
