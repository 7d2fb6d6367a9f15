// The link engine over a scripted stream: start and stop, the handshake,
// heartbeats, the user filter, pooled writes and the packet log.
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

#include "cLinkManagerInternal.h"
#include "scripted_stream.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using qwtest::CountSequence;
using qwtest::ScriptedStream;

const Bytes kSync = {0xAD, 0x00};
const Bytes kRouteOn = {0xAF, 0x01, 0x01};
const Bytes kRouteOff = {0xAF, 0x01, 0x00};

bool acceptAll(const cPacket *, const void *) { return true; }

class LinkEngineTest : public ::testing::Test {
protected:
  void TearDown() override {
    if (id != 0)
      cLink_Destroy(&id);
  }
  // A started link over the scripted stream.
  void create() {
    id = cLink_Create(stream.make());
    ASSERT_NE(id, 0u);
    ASSERT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  }
  // A link initialised over the scripted stream but not started: no traffic.
  void initOnly() {
    uint32_t raw = sCreate(0xFFFFFFFF, 0, linkTypeNone);
    ASSERT_EQ(cLink_Init(raw, stream.make()), raw);
    id = raw;
    sChangeUseCount(sLookupEntryByID(id), 1);
  }
  size_t syncRequests() const { return CountSequence(stream.written(), kSync); }
  bool waitStatus(uint32_t status, std::chrono::milliseconds timeout = 3000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (cLink_GetStatus(id) != status && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    return cLink_GetStatus(id) == status;
  }
  ScriptedStream stream;
  uint32_t id = 0;
};

TEST_F(LinkEngineTest, StartsRoutedAndStopsUnrouted) {
  create();
  EXPECT_TRUE(stream.waitWritten([](const Bytes &b) { return CountSequence(b, kRouteOn) == 1; }));
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  EXPECT_EQ(id, 0u);
  Bytes written = stream.written();
  ASSERT_GE(written.size(), 3u);
  EXPECT_EQ(Bytes(written.end() - 3, written.end()), kRouteOff); // sent on the way out
  EXPECT_TRUE(stream.deleted());
}

TEST_F(LinkEngineTest, UnknownLinksAreRefused) {
  uint32_t none = 9999999;
  EXPECT_EQ(cLink_GetStatus(none), cLINK_NO_STREAM);
  EXPECT_EQ(cLink_Start(none), cErrParam);
  EXPECT_EQ(cLink_Sync(none), cErrParam);
  EXPECT_EQ(cLink_Reset(none), cErrParam);
  cPacket *p = cPacket_Create();
  EXPECT_EQ(cLink_PutPacket(none, p), cErrParam);
  cPacket_Destroy(&p);
  EXPECT_EQ(cLink_AwaitPacket(none, 10), nullptr);
  EXPECT_EQ(cLink_AwaitFirst(none, acceptAll, nullptr, 10), nullptr);
  EXPECT_EQ(cLink_DrainPackets(none, acceptAll, nullptr), 0u);
  EXPECT_EQ(cLink_InstallUserPacketFilter(none, acceptAll, nullptr), cErrParam);
  EXPECT_EQ(cLink_Destroy(&none), cErrParam);
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(cLink_Destroy(nullptr), cErrParam);
  EXPECT_EQ(cLink_Stop(nullptr), cErrParam);
  EXPECT_EQ(cLink_Create(nullptr), 0u);
}

TEST_F(LinkEngineTest, RegistryHandsOutGrowingIdentifiersAndFindsEntries) {
  uint32_t a = sCreate2(0x11, 0x22, 0x33, linkTypeTCPIP);
  uint32_t b = sCreate(0x11, 0x44, linkTypeUSB);
  EXPECT_GT(b, a);
  EXPECT_EQ(sLookupEntryByIdentifier(0x11, linkTypeUSB)->identifier, b);
  EXPECT_EQ(sLookupEntryByTrident(0x11, 0x22, 0x33)->identifier, a);
  EXPECT_EQ(sLookupEntryByTrident(0x11, 0x22, 0x34), nullptr);
  // An entry without a stream reports so and does not start.
  EXPECT_EQ(cLink_Init(a, nullptr), a);
  EXPECT_EQ(cLink_GetStatus(a), cLINK_NO_STREAM);
  EXPECT_EQ(cLink_Start(a), cErrConnection);
  EXPECT_EQ(cLink_Destroy(&a), cErrNone);
  EXPECT_EQ(cLink_Destroy(&b), cErrNone); // never initialised
  EXPECT_EQ(sLookupEntryByID(b), nullptr);
  uint32_t c = sCreate(0x55, 0, linkTypeNone);
  EXPECT_GT(c, b); // identifiers are not reused
  cLink_Destroy(&c);
}

TEST_F(LinkEngineTest, TwoEmptyPacketsFromOneAddressSynchronise) {
  create();
  auto sync = std::async(std::launch::async, [this] { return cLink_Sync(id); });
  ASSERT_TRUE(stream.waitWritten([](const Bytes &b) { return CountSequence(b, kSync) >= 6; }));
  EXPECT_EQ(cLink_GetStatus(id), cLINK_SYNCING);
  stream.feed({0x04, 0x00, 0x04, 0x00});
  EXPECT_EQ(sync.get(), cErrNone);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_EQ(cLink_GetPacket(id), nullptr); // the surplus answers are gone
}

TEST_F(LinkEngineTest, SyncDoesNotWaitForTheReadersPendingReadToRunOut) {
  // The reader's get waits longer than the whole synchronisation may take.
  stream.setIdleWait(10000ms);
  create();
  auto sync = std::async(std::launch::async, [this] { return cLink_Sync(id); });
  ASSERT_TRUE(stream.waitWritten([](const Bytes &b) { return CountSequence(b, kSync) >= 6; }, 1500ms));
  stream.feed({0x04, 0x00, 0x04, 0x00});
  EXPECT_EQ(sync.get(), cErrNone);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_EQ(syncRequests(), 6u); // the reader queued none of its own
  stream.setIdleWait(20ms);
}

TEST_F(LinkEngineTest, AStopSendsEverythingQueuedThenRouteOff) {
  create();
  stream.delayWrites(30ms); // the out-pipe is still busy when the stop comes
  for (uint8_t i = 0; i < 5; i++) {
    cPacket *p = cPacket_CreateWithData(4, 1, &i);
    ASSERT_EQ(cLink_PutPacket(id, p), cErrNone);
    cPacket_Destroy(&p);
  }
  ASSERT_EQ(cLink_Destroy(&id), cErrNone);
  const Bytes tail = {4, 1, 0, 4, 1, 1, 4, 1, 2, 4, 1, 3, 4, 1, 4, 0xAF, 0x01, 0x00};
  Bytes written = stream.written();
  ASSERT_GE(written.size(), tail.size());
  EXPECT_EQ(Bytes(written.end() - (long)tail.size(), written.end()), tail);
}

TEST_F(LinkEngineTest, EmptyPacketsFromTwoAddressesDoNotSynchronise) {
  create();
  auto sync = std::async(std::launch::async, [this] { return cLink_Sync(id); });
  ASSERT_TRUE(stream.waitWritten([](const Bytes &b) { return CountSequence(b, kSync) >= 6; }));
  stream.feed({0x04, 0x00, 0x06, 0x00});
  EXPECT_EQ(sync.get(), cErrNotReady);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_SYNCING);
  // An odd address in state "expect address" starts again too.
  stream.feed({0x05, 0x00, 0x05, 0x00});
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_SYNCING);
  size_t before = syncRequests();
  stream.feed({0x08, 0x00, 0x08, 0x00});
  EXPECT_TRUE(waitStatus(cLINK_RUNNING));
  EXPECT_GE(before, 12u);
}

TEST_F(LinkEngineTest, AnOddAddressRestartsTheHandshake) {
  create();
  stream.feed({0x04, 0x01, 0x07}); // an ordinary packet first
  cPacket *p = cLink_AwaitPacket(id, 2000);
  ASSERT_NE(p, nullptr);
  cPacket_Destroy(&p);
  EXPECT_EQ(syncRequests(), 0u);

  stream.feed({0x05});
  EXPECT_TRUE(waitStatus(cLINK_SYNCING));
  EXPECT_TRUE(stream.waitWritten([](const Bytes &b) { return CountSequence(b, kSync) >= 6; }));
  stream.feed({0x04, 0x00, 0x04, 0x00});
  EXPECT_TRUE(waitStatus(cLINK_RUNNING));
  stream.feed({0x04, 0x01, 0x09});
  p = cLink_AwaitPacket(id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x09); // back in step
  cPacket_Destroy(&p);
}

TEST_F(LinkEngineTest, HeartbeatsAreAnsweredAndNeverQueued) {
  create();
  stream.feed({0x04, 0x02, 0x00, 0x01, 0x06, 0x02, 0x00, 0x00});
  EXPECT_TRUE(stream.waitWritten([](const Bytes &b) {
    return CountSequence(b, {0x04, 0x02, 0x00, 0x03}) == 1 && CountSequence(b, {0x06, 0x02, 0x00, 0x02}) == 1;
  }));
  stream.feed({0x04, 0x02, 0x01, 0x01}); // not a heartbeat
  cPacket *p = cLink_AwaitPacket(id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 0x04);
  EXPECT_EQ(p->length, 2);
  EXPECT_EQ(p->data[0], 0x01);
  cPacket_Destroy(&p);
  EXPECT_EQ(cLink_GetPacket(id), nullptr);
}

TEST_F(LinkEngineTest, AUserFilterThatTakesEverythingSilencesTheLink) {
  create();
  int seen = 0;
  ASSERT_EQ(
      cLink_InstallUserPacketFilter(
          id, [](const cPacket *, const void *r) { return ++*static_cast<int *>(const_cast<void *>(r)) > 0; }, &seen),
      cErrNone);
  stream.feed({0x04, 0x02, 0x00, 0x01, 0x04, 0x01, 0x55});
  for (int i = 0; i < 300 && stream.pendingInput() > 0; i++)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms); // time for a wrong answer or delivery
  EXPECT_EQ(cLink_GetPacket(id), nullptr);
  EXPECT_EQ(CountSequence(stream.written(), {0x04, 0x02, 0x00, 0x03}), 0u);

  ASSERT_EQ(cLink_InstallUserPacketFilter(id, nullptr, nullptr), cErrNone);
  stream.feed({0x04, 0x01, 0x56});
  cPacket *p = cLink_AwaitPacket(id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x56);
  cPacket_Destroy(&p);
  EXPECT_EQ(seen, 2);
}

TEST_F(LinkEngineTest, AwaitFirstWaitsOnlyWhileTheLinkRuns) {
  create();
  stream.feed({0x04, 0x01, 0x01, 0x04, 0x01, 0x02});
  auto second = [](const cPacket *p, const void *) { return p->length == 1 && p->data[0] == 0x02; };
  cPacket *p = cLink_AwaitFirst(id, second, nullptr, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x02);
  cPacket_Destroy(&p);
  EXPECT_EQ(cLink_AwaitFirst(id, second, nullptr, 100), nullptr);

  stream.feed({0x05}); // out of step: synchronising, not running
  ASSERT_TRUE(waitStatus(cLINK_SYNCING));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cLink_AwaitFirst(id, acceptAll, nullptr, 5000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
}

TEST_F(LinkEngineTest, PooledWritesGatherUpTo4096Bytes) {
  initOnly();
  Bytes expected;
  for (int i = 0; i < 200; i++) {
    uint8_t data[28];
    for (int j = 0; j < 28; j++)
      data[j] = (uint8_t)(i + j);
    cPacket *p = cPacket_CreateWithData(4, 28, data);
    ASSERT_EQ(cLink_PutPacket(id, p), cErrNone);
    cPacket_Destroy(&p);
    expected.push_back(4);
    expected.push_back(28);
    expected.insert(expected.end(), data, data + 28);
  }
  ASSERT_EQ(cLink_EnablePooledPackets(id, true), cErrNone);
  ASSERT_EQ(cLink_Start(id), cErrNone);
  ASSERT_TRUE(stream.waitWritten([&](const Bytes &b) { return b.size() >= expected.size() + 3; }));
  std::vector<size_t> sizes = stream.writeSizes();
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], 4080u); // 136 packets
  Bytes written = stream.written();
  EXPECT_EQ(Bytes(written.begin(), written.begin() + (long)expected.size()), expected);

  // Not pooled: one write per packet.
  ASSERT_EQ(cLink_EnablePooledPackets(id, false), cErrNone);
  size_t writes = stream.writeSizes().size();
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(cLink_ForceRoute(id, 1), cErrNone);
  for (int i = 0; i < 300 && stream.writeSizes().size() < writes + 3; i++)
    std::this_thread::sleep_for(10ms);
  sizes = stream.writeSizes();
  EXPECT_EQ(std::vector<size_t>(sizes.begin() + (long)writes, sizes.end()), (std::vector<size_t>{3, 3, 3}));
}

// A byte series' answer window starts when its last packet has been
// written: AwaitSent returns only once no write is queued or under way.
TEST_F(LinkEngineTest, AwaitSentWaitsForTheLastQueuedWriteToReturn) {
  uint32_t unknown = 0x7FFFFFF0;
  EXPECT_EQ(cLink_AwaitSent(unknown, 10), cErrParam);
  initOnly();
  ASSERT_EQ(cLink_EnablePooledPackets(id, true), cErrNone);
  stream.delayWrites(100ms);
  const uint8_t data[3] = {0x5F, 0x01, 0x02};
  for (int i = 0; i < 3; i++) { // queued: the link is not running yet
    cPacket *p = cPacket_CreateWithData(4, sizeof data, data);
    ASSERT_EQ(cLink_PutPacket(id, p), cErrNone);
    cPacket_Destroy(&p);
  }
  ASSERT_EQ(cLink_Start(id), cErrNone);
  EXPECT_EQ(cLink_AwaitSent(id, 10), cErrTimeout); // the writer is still in its first write
  ASSERT_EQ(cLink_AwaitSent(id, 5000), cErrNone);  // woken by the last write's return
  EXPECT_EQ(stream.returnedWrites(), stream.writeSizes().size());
  EXPECT_EQ(CountSequence(stream.written(), {4, 3, 0x5F, 0x01, 0x02}), 3u);
  stream.delayWrites(0ms);
}

// A series of packets: written by the caller at once when nothing is queued,
// on a pooled link in one stream write; invalid packets queue nothing.
TEST_F(LinkEngineTest, APacketSeriesGoesOutInOrderAndPooledInOneWrite) {
  create();
  cPacket series[3];
  for (int i = 0; i < 3; i++) {
    const uint8_t data[2] = {0x5F, (uint8_t)i};
    cPacket *p = cPacket_CreateWithData(4, sizeof data, data);
    series[i] = *p;
    cPacket_Destroy(&p);
  }
  EXPECT_EQ(cLink_PutPackets(0x7FFFFFF0, series, 3), cErrParam);
  cPacket broken[2] = {series[0], series[1]};
  broken[1].check = 0;
  size_t writes = stream.writeSizes().size();
  EXPECT_EQ(cLink_PutPackets(id, broken, 2), cErrParam);
  EXPECT_EQ(stream.writeSizes().size(), writes);

  ASSERT_EQ(cLink_PutPackets(id, series, 3), cErrNone);
  ASSERT_EQ(cLink_AwaitSent(id, 5000), cErrNone);
  std::vector<size_t> sizes = stream.writeSizes();
  EXPECT_EQ(std::vector<size_t>(sizes.begin() + (long)writes, sizes.end()), (std::vector<size_t>{4, 4, 4}));

  ASSERT_EQ(cLink_EnablePooledPackets(id, true), cErrNone);
  writes = sizes.size();
  ASSERT_EQ(cLink_PutPackets(id, series, 3), cErrNone);
  ASSERT_EQ(cLink_AwaitSent(id, 5000), cErrNone);
  sizes = stream.writeSizes();
  EXPECT_EQ(std::vector<size_t>(sizes.begin() + (long)writes, sizes.end()), (std::vector<size_t>{12}));
  const Bytes twice = {4, 2, 0x5F, 0, 4, 2, 0x5F, 1, 4, 2, 0x5F, 2};
  EXPECT_EQ(CountSequence(stream.written(), twice), 2u);
}

TEST_F(LinkEngineTest, ResetOfALinkOverTheCallersStreamLeavesItAlone) {
  create();
  EXPECT_EQ(cLink_Reset(id), cErrParam);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  stream.feed({0x04, 0x01, 0x01});
  cPacket *p = cLink_AwaitPacket(id, 2000);
  EXPECT_NE(p, nullptr);
  cPacket_Destroy(&p);
}

TEST_F(LinkEngineTest, ReadErrorsShowAndTheLinkResynchronisesAfterThem) {
  create();
  stream.failReads(cErrIO);
  EXPECT_TRUE(waitStatus(cLINK_IO_ERROR));
  stream.failReads(cErrNone);
  // The next read that finds nothing starts the handshake.
  EXPECT_TRUE(stream.waitWritten([](const Bytes &b) { return CountSequence(b, kSync) >= 6; }));
  stream.feed({0x04, 0x00, 0x04, 0x00});
  EXPECT_TRUE(waitStatus(cLINK_RUNNING));
}

TEST_F(LinkEngineTest, AStopReturnsWhileTheReaderWaits) {
  create();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms); // the scripted get waits 20 ms
}

// ---------------------------------------------------------------- packet log

TEST_F(LinkEngineTest, PacketLogKeepsTheNewestEntries) {
  initOnly();
  EXPECT_EQ(cLink_PacketDebug_Write(id, cLINK_LOG_MARKER, 1, (const uint8_t *)"x"), cErrNotReady);
  EXPECT_EQ(cLink_PacketDebug_Disable(id), cErrNotReady);
  EXPECT_EQ(cLink_PacketDebug_SetLogSize(id, cLINK_LOG_MAX_SIZE + 1), cErrParam);
  ASSERT_EQ(cLink_PacketDebug_SetLogSize(id, 64), cErrNone);
  ASSERT_EQ(cLink_PacketDebug_Enable(id), cErrNone);
  EXPECT_EQ(cLink_PacketDebug_SetLogSize(id, 128), cErrBusy);

  for (uint8_t i = 0; i < 8; i++) {
    uint8_t data[10];
    for (int j = 0; j < 10; j++)
      data[j] = i;
    ASSERT_EQ(cLink_PacketDebug_Write(id, cLINK_LOG_MARKER, 10, data), cErrNone);
  }
  EXPECT_EQ(cLink_PacketDebug_Write(id, cLINK_LOG_MARKER, 62, Bytes(62).data()), cErrOverrun); // never fits
  std::vector<uint8_t> kept;
  uint8_t direction = 0;
  uint8_t buffer[32];
  uint32_t length = sizeof buffer;
  while (cLink_PacketDebug_Read(id, &direction, &length, buffer) == cErrNone) {
    EXPECT_EQ(direction, cLINK_LOG_MARKER);
    EXPECT_EQ(length, 10u);
    kept.push_back(buffer[0]);
    length = sizeof buffer;
  }
  EXPECT_EQ(kept, (std::vector<uint8_t>{3, 4, 5, 6, 7}));
  EXPECT_EQ(cLink_PacketDebug_Read(id, &direction, &length, buffer), cErrNotFound);
}

TEST_F(LinkEngineTest, PacketLogReadIntoASmallBufferKeepsTheEntry) {
  initOnly();
  ASSERT_EQ(cLink_PacketDebug_Enable(id), cErrNone);
  const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(cLink_PacketDebug_Write(id, cLINK_LOG_MARKER, 6, six), cErrNone);
  uint8_t direction = 0, buffer[8];
  uint32_t length = 4;
  EXPECT_EQ(cLink_PacketDebug_Read(id, &direction, &length, buffer), cErrOverrun);
  EXPECT_EQ(length, 6u);
  length = sizeof buffer;
  ASSERT_EQ(cLink_PacketDebug_Read(id, &direction, &length, buffer), cErrNone);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes(six, six + 6));
}

TEST_F(LinkEngineTest, PacketLogRecordsTrafficBothWays) {
  // The out-pipe records a sent packet once its write has returned, so a log
  // made after the bytes were seen on the stream may still get that packet.
  // The log exists before any traffic here, and the writes return late (as
  // on a loaded machine): every record trails its write.
  stream.delayWrites(30ms);
  initOnly();
  ASSERT_EQ(cLink_PacketDebug_Enable(id), cErrNone);
  ASSERT_EQ(cLink_PacketDebug_Disable(id), cErrNone); // the pipes record all the same
  ASSERT_EQ(cLink_Start(id), cErrNone);               // sends route on
  stream.feed({0x04, 0x01, 0x42});
  cPacket *in = cLink_AwaitPacket(id, 2000);
  ASSERT_NE(in, nullptr);
  cPacket_Destroy(&in);
  ASSERT_EQ(cLink_ForceRoute(id, 1), cErrNone);

  // The two pipes record independently: compare without order, after
  // waiting (bounded) until all three are there.
  std::multiset<std::pair<uint8_t, Bytes>> entries;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (entries.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    uint8_t direction, buffer[32];
    uint32_t length = sizeof buffer;
    if (cLink_PacketDebug_Read(id, &direction, &length, buffer) == cErrNone)
      entries.insert({direction, Bytes(buffer, buffer + length)});
    else
      std::this_thread::sleep_for(10ms);
  }
  std::multiset<std::pair<uint8_t, Bytes>> expected = {
      {cLINK_LOG_SENT, kRouteOn}, {cLINK_LOG_SENT, kRouteOn}, {cLINK_LOG_RECEIVED, Bytes{0x04, 0x01, 0x42}}};
  EXPECT_EQ(entries, expected);
  uint8_t direction, buffer[32];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(cLink_PacketDebug_Read(id, &direction, &length, buffer), cErrNotFound);
}

// ---------------------------------------------------------------- logger

struct LoggerCounter {
  std::atomic<int> calls{0};
  cLogger *self = nullptr;
};

TEST(Logger, CallsTheCallbackUntilDisabled) {
  char path[] = "/tmp/qwlogger-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  LoggerCounter counter;
  cLogger *logger = cLogger_Create(
      &counter,
      [](cFile file, void *p) {
        auto *c = static_cast<LoggerCounter *>(p);
        cFile_Printf(file, "line %d\n", c->calls.load());
        if (++c->calls == 3) {
          EXPECT_EQ(cLogger_Disable(c->self), cErrNone); // from its own thread: nothing happens
        }
        std::this_thread::sleep_for(2ms);
      },
      path);
  ASSERT_NE(logger, nullptr);
  counter.self = logger;
  ASSERT_EQ(cLogger_Enable(logger), cErrNone);
  for (int i = 0; i < 500 && counter.calls < 10; i++)
    std::this_thread::sleep_for(2ms);
  EXPECT_GE(counter.calls, 10);
  EXPECT_EQ(cLogger_Disable(logger), cErrNone);
  int after = counter.calls;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(counter.calls, after);
  EXPECT_EQ(cLogger_Destroy(&logger), cErrNone);
  EXPECT_EQ(logger, nullptr);
  FILE *f = fopen(path, "r");
  ASSERT_NE(f, nullptr);
  char line[32] = {};
  EXPECT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "line 0\n");
  fclose(f);
  unlink(path);
  EXPECT_EQ(cLogger_Create(nullptr, nullptr, path), nullptr);
  EXPECT_EQ(cLogger_Create(
                nullptr, [](cFile, void *) {}, "/nonexistent-dir/x.log"),
            nullptr);
}

} // namespace
