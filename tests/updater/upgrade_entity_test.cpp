// The upgrade command set on the wire, against a simulated module on TCP
// loopback: packet sizes, sums, writes, resends and the bounds that stop a
// misbehaving module.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/Entity.h"
#include "recording_display.h"
#include "updater/UpdaterEntity.h"

using namespace Corvatek::Quillwork;
using modulesim::Packet;

namespace {

class UpgradeEntity : public ::testing::Test {
protected:
  void connect(modulesim::ModuleConfig c) {
    c.restartOnLoad = false;
    sim = std::make_unique<modulesim::SimModule>(c);
    tcp = std::make_unique<modulesim::TcpTransport>(*sim, modulesim::TcpOptions{});
    ASSERT_TRUE(tcp->ok());
    module = std::make_unique<Module>(2, 0);
    cEtherConfig off;
    off.enabled = 0;
    off.fallback = 0;
    ASSERT_EQ(module->setConfig(off), cErrNone);
    linkSpec s{};
    s.type = linkTypeTCPIP;
    s.serialNumber = c.serial;
    s.ipAddress = tcp->ipv4();
    s.port = tcp->port();
    ASSERT_EQ(module->connectFromSpec(s), cErrNone);
    entity.init(module.get(), 0, true, false);
    ASSERT_EQ(entity.LoaderInit(), cErrNone);
    ASSERT_EQ(entity.LoaderStart(), cErrNone);
  }
  void TearDown() override {
    module.reset();
    tcp.reset();
    sim.reset();
  }

  // Upgrade requests the module received since the last call, as their
  // sub-operation and data length.
  std::vector<std::pair<uint8_t, size_t>> upgradeTraffic() {
    std::vector<std::pair<uint8_t, size_t>> out;
    std::vector<Packet> all = sim->received();
    for (size_t i = seen; i < all.size(); ++i)
      if (all[i].data.size() >= 2 && all[i].data[0] == cmdUPGRADE)
        out.push_back({all[i].data[1], all[i].data.size() - 2});
    seen = all.size();
    return out;
  }

  static std::vector<uint8_t> block(uint32_t address, size_t payload) {
    std::vector<uint8_t> b = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    for (size_t i = 0; i < payload; ++i)
      b.push_back(static_cast<uint8_t>(i * 3 + 1));
    return b;
  }

  std::unique_ptr<modulesim::SimModule> sim;
  std::unique_ptr<modulesim::TcpTransport> tcp;
  std::unique_ptr<Module> module;
  UpdaterEntity entity;
  qwtest::RecordingDisplay display;
  size_t seen = 0;
};

} // namespace

TEST_F(UpgradeEntity, SixtyBytesGoAsThreePacketsAndOneSum) {
  connect({});
  std::vector<uint8_t> b = block(0x00010000, 60);
  uint16_t size = 0;
  upgradeTraffic();
  ASSERT_EQ(entity.TransferPrepare(b.data(), 64, 0, &size), cErrNone);
  EXPECT_EQ(size, 512);
  ASSERT_EQ(entity.FirmwareTransfer(b.data(), 64, size, display), cErrNone);
  using T = std::vector<std::pair<uint8_t, size_t>>;
  // Payload bytes after the sub-operation: PREPARE flags and address; DATA
  // 26 + 26 + 8; SUM; WRITE with the count.
  EXPECT_EQ(upgradeTraffic(), (T{{3, 5}, {1, 26}, {1, 26}, {1, 8}, {4, 0}, {5, 2}}));
  EXPECT_EQ(sim->image(0x00010000, 60), std::vector<uint8_t>(b.begin() + 4, b.end()));
  EXPECT_EQ(display.progress, (std::vector<std::string>{"on", "off"}));
  ASSERT_EQ(display.fractions.size(), 1u);
  EXPECT_DOUBLE_EQ(display.fractions[0], 1.0);
}

TEST_F(UpgradeEntity, ABlockIsWrittenInChunksOfTheBlockSize) {
  connect({});
  std::vector<uint8_t> b = block(0x00020000, 1000);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), 1004, 0, &size), cErrNone);
  upgradeTraffic();
  ASSERT_EQ(entity.FirmwareTransfer(b.data(), 1004, size, display), cErrNone);
  std::vector<size_t> writes;
  size_t sums = 0;
  for (auto [op, length] : upgradeTraffic()) {
    if (op == 5)
      writes.push_back(length);
    sums += op == 4;
  }
  EXPECT_EQ(writes.size(), 2u);
  EXPECT_EQ(sums, 2u);
  // WRITE names the chunk's byte count big-endian: 512, then 488.
  std::vector<Packet> all = sim->received();
  std::vector<std::vector<uint8_t>> writeData;
  for (const Packet &p : all)
    if (p.data.size() == 4 && p.data[0] == cmdUPGRADE && p.data[1] == 5)
      writeData.push_back({p.data[2], p.data[3]});
  EXPECT_EQ(writeData, (std::vector<std::vector<uint8_t>>{{0x02, 0x00}, {0x01, 0xE8}}));
  EXPECT_EQ(sim->image(0x00020000, 1000), std::vector<uint8_t>(b.begin() + 4, b.end()));
}

TEST_F(UpgradeEntity, AShortAcceptSendsTheSameBytesAgain) {
  connect({});
  modulesim::Faults f;
  f.shortAccept = 1;
  sim->setFaults(f);
  std::vector<uint8_t> b = block(0x00010000, 26);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), 30, 0, &size), cErrNone);
  upgradeTraffic();
  ASSERT_EQ(entity.FirmwareTransfer(b.data(), 30, size, display), cErrNone); // the sum counts them once
  using T = std::vector<std::pair<uint8_t, size_t>>;
  EXPECT_EQ(upgradeTraffic(), (T{{1, 26}, {1, 26}, {4, 0}, {5, 2}}));
}

TEST_F(UpgradeEntity, BoundsForAModuleThatNeverAccepts) {
  connect({});
  modulesim::Faults f;
  f.shortAccept = 1000;
  sim->setFaults(f);
  std::vector<uint8_t> b = block(0x00010000, 26);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), 30, 0, &size), cErrNone);
  upgradeTraffic();
  EXPECT_EQ(entity.FirmwareTransfer(b.data(), 30, size, display), cErrPacket);
  EXPECT_EQ(upgradeTraffic().size(), static_cast<size_t>(UPGRADE_MAX_DATA_RESENDS) + 1);
}

TEST_F(UpgradeEntity, ABlockSizeOfZeroIsRefused) {
  modulesim::ModuleConfig c;
  c.upgradeBlockSize = 0;
  connect(c);
  std::vector<uint8_t> b = block(0x00010000, 100);
  uint16_t size = 77;
  ASSERT_EQ(entity.TransferPrepare(b.data(), 104, 0, &size), cErrNone);
  EXPECT_EQ(size, 0);
  upgradeTraffic();
  EXPECT_EQ(entity.FirmwareTransfer(b.data(), 104, size, display), cErrSize);
  EXPECT_TRUE(upgradeTraffic().empty());
}

TEST_F(UpgradeEntity, SumsAndStatusesAreChecked) {
  connect({});
  std::vector<uint8_t> b = block(0x00010000, 40);
  uint16_t size = 0;
  modulesim::Faults f;
  f.wrongSums = 1;
  sim->setFaults(f);
  ASSERT_EQ(entity.TransferPrepare(b.data(), 44, 0, &size), cErrNone);
  EXPECT_EQ(entity.FirmwareTransfer(b.data(), 44, size, display), cErrInvalidOption);
  f = {};
  f.refusePrepare = 1;
  sim->setFaults(f);
  EXPECT_EQ(entity.TransferPrepare(b.data(), 44, 0, &size), cErrInvalidOption);

  // Without verification no SUM goes out.
  UpdaterEntity quiet;
  quiet.init(module.get(), 0, false, false);
  ASSERT_EQ(quiet.TransferPrepare(b.data(), 44, 0, &size), cErrNone);
  upgradeTraffic();
  ASSERT_EQ(quiet.FirmwareTransfer(b.data(), 44, size, display), cErrNone);
  for (auto [op, length] : upgradeTraffic())
    EXPECT_NE(op, 4) << length;
}

// A PREPARE answered after its time-out: the late status must not pass for
// the answer to the next PREPARE, nor that one's for the SUM after it.
TEST_F(UpgradeEntity, ALateAnswerIsNotTakenForTheNextRequest) {
  connect({});
  std::atomic<int> statuses{0};
  sim->setTrace([&](bool fromHost, const Packet &p) {
    if (!fromHost && p.data.size() >= 2 && p.data[0] == cmdUPGRADE && p.data[1] == val_UPGRADE_STATUS)
      ++statuses;
  });
  modulesim::Faults f;
  f.replies.push_back({modulesim::FaultRule::Delay, cmdUPGRADE, val_UPGRADE_STATUS, 1, 1300});
  sim->setFaults(f);
  std::vector<uint8_t> b = block(0x00010000, 60);
  uint16_t size = 0;
  EXPECT_EQ(entity.TransferPrepare(b.data(), 64, 0, &size), cErrTimeout);
  ASSERT_TRUE(sim->waitFor([&] { return statuses.load() == 1; }, std::chrono::milliseconds(2000)));
  // An exchange answered after the late status: by then the host has it.
  SystemClass system;
  system.init(module.get(), 0);
  uint32_t serial = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), cErrNone);

  ASSERT_EQ(entity.TransferPrepare(b.data(), 64, 0, &size), cErrNone);
  EXPECT_EQ(size, 512);
  EXPECT_EQ(entity.FirmwareTransfer(b.data(), 64, size, display), cErrNone);
  EXPECT_EQ(sim->image(0x00010000, 60), std::vector<uint8_t>(b.begin() + 4, b.end()));
  sim->setTrace(nullptr);
}

// The LOAD goes unanswered, so the entity reconnects; the first attempt's
// link comes up but the module does not answer its address query. The next
// attempt must start from a clean link, not fail on the one left behind.
TEST_F(UpgradeEntity, EveryReconnectAttemptStartsFromACleanLink) {
  connect({});
  module->setNetworkingMode(true);
  ASSERT_EQ(entity.LoaderInit(), cErrNone);
  modulesim::Faults f;
  f.replies.push_back({modulesim::FaultRule::Drop, cmdUPGRADE, val_UPGRADE_LOAD, 1, 0});
  for (int query = 0; query < 4; ++query) // every answer to the first attempt's address queries
    f.replies.push_back({modulesim::FaultRule::Drop, -1, -1, 1, 0});
  sim->setFaults(f);
  EXPECT_EQ(entity.LoaderStart(), cErrTimeout); // the acknowledgement never comes
  EXPECT_TRUE(module->isConnected());
  SystemClass system;
  system.init(module.get(), 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
}

TEST_F(UpgradeEntity, ByteArrayModeAndTheRebootWait) {
  connect({});
  ASSERT_EQ(entity.CheckUEIDataSupport(), cErrNone);
  EXPECT_TRUE(entity.usesUEIData());
  std::vector<uint8_t> b = block(0x00030000, 300);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), 304, 0, &size), cErrNone);
  upgradeTraffic();
  ASSERT_EQ(entity.FirmwareTransfer(b.data(), 304, size, display), cErrNone);
  EXPECT_EQ(sim->image(0x00030000, 300), std::vector<uint8_t>(b.begin() + 4, b.end()));
  for (auto [op, length] : upgradeTraffic())
    EXPECT_NE(op, 1) << "no raw DATA in byte-array mode";

  // Routed: one pause, whether or not the link drops.
  UpdaterEntity routed;
  routed.init(module.get(), 0, true, true);
  EXPECT_EQ(routed.LoaderReboot(display), cErrNone);
  EXPECT_EQ(display.spinner.back(), "stop:Verifying Update");
}
