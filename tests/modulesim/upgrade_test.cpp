// The upgrade command set on literal bytes: a whole update from INIT to the
// restart under the new image, the strict checks, and the upgrade faults.
#include <gtest/gtest.h>

#include "birdtool/BirdWriter.h"
#include "harness.h"

using namespace modulesim;
using simtest::Bytes;
using simtest::Harness;
using namespace std::chrono_literals;

namespace {
ModuleConfig fastConfig() {
  ModuleConfig c;
  c.restartDownMs = 40;
  c.upgradeBlockSize = 32;
  return c;
}

// DATA request: 04 len 5F 01 bytes...
Bytes dataPacket(const Bytes &bytes) {
  Bytes p = {0x04, uint8_t(bytes.size() + 2), 0x5F, 0x01};
  p.insert(p.end(), bytes.begin(), bytes.end());
  return p;
}

uint32_t sumOf(const Bytes &b) {
  uint32_t s = 0;
  for (uint8_t x : b)
    s += x;
  return s;
}

Bytes sumReply(uint8_t status, uint32_t sum) {
  return {0x04, 0x07, 0x5F, 0x07, status, uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)};
}

// Runs INIT, one loader block at 0x20000000 and LOAD, and waits for the
// restart into the loader.
void loadLoader(Harness &h, const Bytes &loader) {
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x00}, 8), (Bytes{0x04, 0x06, 0x5F, 0x00, 0x10, 0x00, 0x00, 0x00}));
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5F, 0x03, 0x00, 0x20, 0x00, 0x00, 0x00}, 7),
            (Bytes{0x04, 0x05, 0x5F, 0x07, 0x00, 0x00, 0x20}));
  EXPECT_EQ(h.ask(dataPacket(loader), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, uint8_t(loader.size())}));
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x04}, 9), sumReply(0, sumOf(loader)));
  // LOAD resets the module before it can answer; its loader acknowledges
  // the LOAD once the host has synchronised with it again
  h.send({0x04, 0x02, 0x5F, 0x02});
  EXPECT_TRUE(h.module.waitFor([&] { return h.module.restarts() == 1 && h.module.online(); }, 2000ms));
  EXPECT_TRUE(h.drain().empty());
  EXPECT_EQ(h.module.phase(), Phase::Loader);
  EXPECT_EQ(h.ask({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
  EXPECT_TRUE(h.drain(100ms).empty()) << "not while the host drains its sync answers";
  EXPECT_EQ(h.take(4, 1000ms), (Bytes{0x04, 0x02, 0x5F, 0x02}));
}
} // namespace

TEST(SimUpgrade, WholeUpdateLandsAndRestartsUnderTheNewImage) {
  Harness h(fastConfig());
  Bytes loader = {1, 2, 3, 4, 5};
  loadLoader(h, loader);
  EXPECT_EQ(h.module.loaderImage(0x20000000, 5), loader);

  // firmware block at 0x00001000, 40 bytes carrying the image marker:
  // chunk 1 of 32 bytes (26 + 6), chunk 2 of 8 bytes
  // (the marker the BIRD tool appends to test images)
  Bytes image(8, 0);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = uint8_t(0x30 + i);
  Bytes marker = birdwriter::MarkerBytes(5555, "2.16.3");
  image.insert(image.end(), marker.begin(), marker.end());
  ASSERT_EQ(image.size(), 40u);
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5F, 0x03, 0x01, 0x00, 0x00, 0x10, 0x00}, 7),
            (Bytes{0x04, 0x05, 0x5F, 0x07, 0x00, 0x00, 0x20}));
  Bytes c1(image.begin(), image.begin() + 26), c2(image.begin() + 26, image.begin() + 32),
      c3(image.begin() + 32, image.end());
  EXPECT_EQ(h.ask(dataPacket(c1), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 26}));
  EXPECT_EQ(h.ask(dataPacket(c2), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 6}));
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x04}, 9), sumReply(0, sumOf(c1) + sumOf(c2)));
  EXPECT_EQ(h.ask({0x04, 0x04, 0x5F, 0x05, 0x00, 0x20}, 5), (Bytes{0x04, 0x03, 0x5F, 0x07, 0x00}));
  // the second chunk goes as the UEI data option: 95, 0x8A, 0x20, bytes, sequence 0
  Bytes uei = {0x04, uint8_t(3 + c3.size() + 1), 0x5F, 0x8A, 0x20};
  uei.insert(uei.end(), c3.begin(), c3.end());
  uei.push_back(0x00);
  EXPECT_EQ(h.ask(uei, 5), (Bytes{0x04, 0x03, 0x5F, 0xCA, 0x00}));
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x04}, 9), sumReply(0, sumOf(c3)));
  EXPECT_EQ(h.ask({0x04, 0x04, 0x5F, 0x05, 0x00, 0x08}, 5), (Bytes{0x04, 0x03, 0x5F, 0x07, 0x00}));
  EXPECT_EQ(h.module.image(0x1000, 40), image);

  h.send({0x04, 0x02, 0x5F, 0x06}); // REBOOT: no answer
  EXPECT_TRUE(h.drain(10ms).empty());
  EXPECT_TRUE(h.module.waitFor([&] { return h.module.restarts() == 2 && h.module.online(); }, 2000ms));
  EXPECT_EQ(h.module.version(), packVersion(2, 16, 3));
  EXPECT_EQ(h.module.build(), 5555u);
  EXPECT_EQ(h.module.phase(), Phase::Application);
  EXPECT_TRUE(h.module.violations().empty());
  ASSERT_EQ(h.module.blocks().size(), 2u);
  EXPECT_TRUE(h.module.blocks()[0].loader);
  EXPECT_EQ(h.module.blocks()[1].flags, 0x01);
}

TEST(SimUpgrade, StrictChecksRefuseOutOfOrderRequests) {
  Harness h(fastConfig());
  // PREPARE before INIT: status 1
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5F, 0x03, 0x00, 0x00, 0x00, 0x10, 0x00}, 7),
            (Bytes{0x04, 0x05, 0x5F, 0x07, 0x01, 0x00, 0x00}));
  // DATA outside a block: nothing accepted
  EXPECT_EQ(h.ask(dataPacket({1, 2, 3}), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 0x00}));
  // LOAD without INIT is not answered
  h.send({0x04, 0x02, 0x5F, 0x02});
  EXPECT_TRUE(h.drain(50ms).empty());
  loadLoader(h, {9});
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5F, 0x03, 0x00, 0x00, 0x00, 0x10, 0x00}, 7),
            (Bytes{0x04, 0x05, 0x5F, 0x07, 0x00, 0x00, 0x20}));
  EXPECT_EQ(h.ask(dataPacket({1, 2, 3}), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 0x03}));
  // WRITE of another count than was received: status 1, nothing written
  EXPECT_EQ(h.ask({0x04, 0x04, 0x5F, 0x05, 0x00, 0x04}, 5), (Bytes{0x04, 0x03, 0x5F, 0x07, 0x01}));
  EXPECT_EQ(h.module.image(0x1000, 3), (Bytes{0xFF, 0xFF, 0xFF}));
  // more than a block's worth of DATA is refused
  EXPECT_EQ(h.ask(dataPacket(Bytes(26, 1)), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 26}));
  EXPECT_EQ(h.ask(dataPacket(Bytes(7, 1)), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 0x00}));
  EXPECT_EQ(h.module.violations().size(), 5u);
}

TEST(SimUpgrade, FaultsOnSumsPrepareWriteAndAcceptedCounts) {
  Harness h(fastConfig());
  loadLoader(h, {7, 7});
  Faults f;
  f.wrongSums = 1;
  f.refusePrepare = 1;
  f.refuseWrite = 1;
  f.shortAccept = 1;
  h.module.setFaults(f);
  Bytes prepare = {0x04, 0x07, 0x5F, 0x03, 0x00, 0x00, 0x00, 0x10, 0x00};
  EXPECT_EQ(h.ask(prepare, 7), (Bytes{0x04, 0x05, 0x5F, 0x07, 0x01, 0x00, 0x00}));
  EXPECT_EQ(h.ask(prepare, 7), (Bytes{0x04, 0x05, 0x5F, 0x07, 0x00, 0x00, 0x20}));
  Bytes chunk = {10, 20, 30};
  EXPECT_EQ(h.ask(dataPacket(chunk), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 0x02})); // one short
  EXPECT_EQ(h.ask(dataPacket(chunk), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 0x03})); // sent again
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x04}, 9), sumReply(0, 61));                // wrong by one
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x04}, 9), sumReply(0, 60));                // counted once
  EXPECT_EQ(h.ask({0x04, 0x04, 0x5F, 0x05, 0x00, 0x03}, 5), (Bytes{0x04, 0x03, 0x5F, 0x07, 0x01}));
  EXPECT_EQ(h.module.image(0x1000, 3), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(h.module.violations().empty()) << "injected faults are not the host's violations";
}

TEST(SimUpgrade, DisconnectAtBlockAndNeverBackAfterReboot) {
  ModuleConfig c = fastConfig();
  c.loaderSerialMs = 1500;
  Harness h(c);
  loadLoader(h, {1});
  // the loader first answers under the default serial number
  EXPECT_EQ(h.module.presentedSerial(), kLoaderSerial);
  EXPECT_EQ(h.ask({0x04, 0x03, 0x03, 0x49, 0x20}, 9), (Bytes{0x04, 0x07, 0x03, 0x09, 0x00, 0xDE, 0xAD, 0xDE, 0xAD}));
  EXPECT_TRUE(h.module.waitFor([&] { return h.module.presentedSerial() == c.serial && h.module.online(); }, 3000ms));

  Faults f;
  f.disconnectAtBlock = 2; // the loader block was PREPARE number 1
  f.neverBackAfterReboot = true;
  h.module.setFaults(f);
  h.send({0x04, 0x07, 0x5F, 0x03, 0x00, 0x00, 0x00, 0x10, 0x00});
  EXPECT_TRUE(h.module.waitFor([&] { return !h.module.online(); }, 1000ms));
  h.drain(20ms);
  EXPECT_TRUE(h.module.waitFor([&] { return h.module.online(); }, 2000ms));
  EXPECT_EQ(h.module.phase(), Phase::Loader) << "a dropped link does not end the loader";
  unsigned before = h.module.restarts();
  h.send({0x04, 0x02, 0x5F, 0x06});
  EXPECT_TRUE(h.module.waitFor([&] { return h.module.restarts() == before + 1; }, 2000ms));
  EXPECT_FALSE(h.module.waitFor([&] { return h.module.online(); }, 300ms));
}

// An update cut short leaves the module in its loader; the same update run
// again starts with INIT and a loader block larger than the block size,
// which the loader takes as a loader upload again. Then the command-line
// faults: a refused block by number, and a link that drops after N packets.
TEST(SimUpgrade, AnUpdateRunAgainFromTheLoaderStartsOver) {
  Harness h(fastConfig());
  loadLoader(h, {1});
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x00}, 8), (Bytes{0x04, 0x06, 0x5F, 0x00, 0x10, 0x00, 0x00, 0x00}));
  EXPECT_EQ(h.module.phase(), Phase::LoaderUpload);
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5F, 0x03, 0x00, 0x20, 0x00, 0x00, 0x00}, 7),
            (Bytes{0x04, 0x05, 0x5F, 0x07, 0x00, 0x00, 0x20}));
  Bytes a(26, 3), b(14, 4); // 40 bytes: more than the block size of 32
  EXPECT_EQ(h.ask(dataPacket(a), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 26}));
  EXPECT_EQ(h.ask(dataPacket(b), 5), (Bytes{0x04, 0x03, 0x5F, 0x01, 14}));
  EXPECT_EQ(h.ask({0x04, 0x02, 0x5F, 0x04}, 9), sumReply(0, 26 * 3 + 14 * 4));
  EXPECT_EQ(h.module.loaderImage(0x20000000, 2), (Bytes{3, 3}));
  EXPECT_TRUE(h.module.violations().empty()) << h.module.violations().front();

  Faults f;
  f.refuseBlock = 3; // the first PREPARE was 1, the one above 2
  f.dropLinkAfterPackets = 2;
  h.module.setFaults(f);
  Bytes prepare = {0x04, 0x07, 0x5F, 0x03, 0x00, 0x20, 0x00, 0x01, 0x00};
  EXPECT_EQ(h.ask(prepare, 7), (Bytes{0x04, 0x05, 0x5F, 0x07, 0x01, 0x00, 0x00})); // refused
  unsigned before = h.module.restarts();
  EXPECT_EQ(h.ask(prepare, 7), (Bytes{0x04, 0x05, 0x5F, 0x07, 0x00, 0x00, 0x20})); // answered, then the drop
  EXPECT_TRUE(h.module.waitFor([&] { return h.module.restarts() == before + 1; }, 2000ms));
}
