// Value streams: stream keys and sample packets from literal bytes, then
// registrations, the cache and the callbacks against a simulated module on
// loopback TCP through the real link engine.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "quillwork/Entity.h"
#include "quillwork/Module.h"
#include "quillwork/cLink.h"
#include "stream_support.h"

using namespace streamtest;
using modulesim::Packet;

namespace {

cPacketPtr packet(uint8_t address, std::vector<uint8_t> data) {
  return cPacketPtr(cPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

TEST(StreamKeys, LayoutAndElements) {
  uint64_t key = Link::createStreamKey(6, 3, 22, 0, 255);
  EXPECT_EQ(key, 0xFF06031600ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE), 6);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_COMMAND), 3);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 22);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 0);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 255);
  EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
  uint32_t high = 0, low = 0;
  Link::getTimestampParts(0x0000000123456789ull, &high, &low);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(low, 0x23456789u);
  Link::getTimestampParts(5, nullptr, nullptr); // outputs are optional
}

TEST(StreamKeys, SamplePacketsByType) {
  const std::vector<uint8_t> ts = {0, 0, 0, 1, 0x23, 0x45, 0x67, 0x89};
  auto with = [&](std::vector<uint8_t> head, std::vector<uint8_t> tail) {
    head.insert(head.end(), ts.begin(), ts.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  uint64_t t = 0;
  uint32_t v = 0;
  uint8_t sub = 0xAA, type = 0xAA;

  auto p32 = packet(6, with({3, 22, 0x40, 3}, {0xDE, 0xAD, 0xBE, 0xEF, 0}));
  ASSERT_EQ(p32->length, 17);
  EXPECT_TRUE(Link::isStreamSample(p32.get()));
  EXPECT_EQ(Link::getStreamSample(p32.get(), &t, &v, &sub), cErrNone);
  EXPECT_EQ(t, 0x0000000123456789ull);
  EXPECT_EQ(v, 0xDEADBEEFu);
  EXPECT_EQ(sub, 0);

  auto p7 = packet(6, with({3, 39, 0x40, 7, 2}, {0, 0, 1, 2, 0}));
  EXPECT_EQ(Link::getStreamSample(p7.get(), &t, &v, &sub), cErrNone);
  EXPECT_EQ(v, 0x102u);
  EXPECT_EQ(sub, 2);
  EXPECT_TRUE(Link::isSubindexType(7));
  EXPECT_FALSE(Link::isSubindexType(3));

  auto p1 = packet(6, with({50, 2, 0x41, 1}, {0x7F, 0}));
  EXPECT_EQ(Link::getStreamSample(p1.get(), nullptr, &v, nullptr), cErrNone);
  EXPECT_EQ(v, 0x7Fu);
  auto p6 = packet(6, with({50, 2, 0x41, 6, 9}, {0x12, 0x34, 0}));
  EXPECT_EQ(Link::getStreamSample(p6.get(), nullptr, &v, &sub), cErrNone);
  EXPECT_EQ(v, 0x1234u);
  EXPECT_EQ(sub, 9);

  // A 32-bit sample one byte short: typed, but not a valid sample.
  auto shortSample = packet(6, with({3, 22, 0x40, 3}, {0xDE, 0xAD, 0xBE, 0}));
  EXPECT_TRUE(Link::getStreamPacketType(shortSample.get(), &type));
  EXPECT_EQ(type, 3);
  EXPECT_FALSE(Link::isStreamSample(shortSample.get()));
  EXPECT_EQ(Link::getStreamSample(shortSample.get(), &t, &v, &sub), cErrPacket);

  // A sequence byte that is not 0: part of a UEI-bytes series, whatever data[3] says.
  auto series = packet(6, {3, 32, 0x40, 3, 'a', 'm', 'e', 0x81});
  EXPECT_TRUE(Link::getStreamPacketType(series.get(), &type));
  EXPECT_EQ(type, 4);
  EXPECT_EQ(Link::getStreamSample(series.get(), &t, &v, &sub), cErrSize);

  // Types 0 and above 7 are no stream types.
  for (uint8_t bad : {0, 8}) {
    auto p = packet(6, {3, 22, 0x40, bad, 0});
    EXPECT_FALSE(Link::getStreamPacketType(p.get(), &type));
    EXPECT_EQ(type, 0);
    EXPECT_EQ(Link::getStreamSample(p.get(), &t, &v, &sub), cErrUnknown);
  }
  // A get answer (no stream bit) and a get request (operation bits) are no stream packets.
  auto answer = packet(6, {3, 22, 0x00, 1, 2, 3, 4});
  auto request = packet(6, with({3, 0x56, 0x40, 3}, {1, 2, 3, 4, 0}));
  for (const cPacket *p : {answer.get(), request.get()}) {
    EXPECT_FALSE(Link::isStreamPacket(p));
    EXPECT_FALSE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(Link::getStreamSample(p, &t, &v, &sub), cErrPacket);
  }
}

class LinkStream : public ::testing::Test {
protected:
  void SetUp() override {
    sim = std::make_unique<SimOnTcp>(streamingModule());
    ASSERT_TRUE(sim->tcp.ok()) << sim->tcp.error();
    link = std::make_unique<Link>(sim->spec(), "stream");
    ASSERT_EQ(link->setConfig(networkingOff()), cErrNone);
    ASSERT_EQ(link->connect(), cErrNone);
  }
  void TearDown() override {
    link.reset();
    sim.reset();
  }
  std::vector<Packet> streamRequests() const {
    std::vector<Packet> out;
    for (const Packet &p : sim->module.received())
      if (!p.data.empty() && p.data[0] == 93)
        out.push_back(p);
    return out;
  }
  // The first result other than cErrNotFound (bounded).
  cErr awaitValue(uint8_t command, uint8_t option, uint8_t index, uint8_t subindex, uint32_t *value) {
    cErr err = cErrNotFound;
    eventually(
        [&] { return (err = link->getStreamValue(6, command, option, index, subindex, value)) != cErrNotFound; });
    return err;
  }
  std::unique_ptr<SimOnTcp> sim;
  std::unique_ptr<Link> link;
};

TEST_F(LinkStream, SubindexWildcardCreatesExactEntryFreshThenStale) {
  ASSERT_EQ(link->enableStream(6, 3, 22, 0, true), cErrNone);
  std::vector<Packet> sent = streamRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{93, 0x81, 0x20, 6, 3, 22, 0}));
  uint8_t streaming = 0;
  EXPECT_EQ(link->isLinkStreaming(6, &streaming), cErrNone);
  EXPECT_EQ(streaming, 1);

  // The module's first uptime sample matches through the subindex wildcard.
  uint32_t first = 0, again = 0;
  EXPECT_EQ(awaitValue(3, 22, 0, 0, &first), cErrNone);
  EXPECT_EQ(link->getStreamValue(6, 3, 22, 0, 0, &again), cErrStreamStale);
  EXPECT_EQ(again, first);
  EXPECT_EQ(link->getStreamValue(6, 3, 22, 0, 1, &again), cErrNotFound);

  ASSERT_EQ(link->enableStream(6, 3, 22, 0, false), cErrNone);
  EXPECT_EQ(streamRequests().back().data, (std::vector<uint8_t>{93, 0x82, 0x20, 6, 3, 22, 0}));
  EXPECT_EQ(link->getStreamValue(6, 3, 22, 0, 0, &again), cErrNotFound);
  EXPECT_EQ(link->isLinkStreaming(6, &streaming), cErrNone);
  EXPECT_EQ(streaming, 0);
}

TEST_F(LinkStream, OptionWildcardCallsBackOnTheWorkerForEveryOption) {
  Recorder rec;
  int context = 0;
  ASSERT_EQ(link->registerStreamCallback(6, 50, 255, 1, true, rec.callback(), &context), cErrNone);
  for (uint8_t option = 1; option <= 3; ++option)
    EXPECT_TRUE(rec.waitFor(option, 100u * option)) << int(option);
  uint32_t v = 0;
  for (uint8_t option = 1; option <= 3; ++option) {
    EXPECT_EQ(link->getStreamValue(6, 50, option, 1, 0, &v), cErrNone);
    EXPECT_EQ(v, 100u * option);
  }
  {
    std::lock_guard<std::mutex> g(rec.m);
    for (const Recorder::Call &c : rec.calls) {
      EXPECT_NE(c.thread, std::this_thread::get_id());
      EXPECT_EQ(c.thread, rec.calls[0].thread);
      EXPECT_EQ(c.context, &context);
    }
  }

  // A callback that blocks holds up only the callbacks: the reader keeps
  // caching samples meanwhile.
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<int> entered{0};
  ASSERT_EQ(link->registerStreamCallback(
                6, 50, 2, 1, true,
                [&](const cPacket *, void *) -> uint8_t {
                  ++entered;
                  std::lock_guard<std::mutex> wait(gate);
                  return 0;
                },
                nullptr),
            cErrNone);
  sim->module.setStreamValue(50, 2, 1, 0, 201);
  ASSERT_TRUE(eventually([&] { return entered.load() == 1; }));
  sim->module.setStreamValue(50, 2, 1, 0, 202);
  EXPECT_TRUE(eventually([&] { return link->getStreamValue(6, 50, 2, 1, 0, &v) == cErrNone && v == 202; }));
  closed.unlock();
  EXPECT_TRUE(rec.waitFor(2, 202));
}

TEST_F(LinkStream, UnmatchedStreamPacketsNeverReachTheAnswerQueue) {
  // Reads go through this Link: samples for unregistered values must not pass
  // for the answer to a get of the same value.
  ASSERT_EQ(link->enableStream(6, 50, 1, 1, true), cErrNone);
  for (int round = 0; round < 2; ++round) {
    sim->module.sendStreamSample(3, 12, 0, 3, 77);
    uei r{};
    r.module = 6;
    r.command = 3;
    r.option = 12 | 0x40;
    r.specifier = 0x20;
    r.type = ueiTYPE_VOID;
    ASSERT_EQ(link->sendUEI(r), cErrNone);
    r.option = 12;
    r.specifier = 0;
    ASSERT_EQ(link->receiveUEI(6, 3, 12, 0, &r), cErrNone);
    EXPECT_EQ(r.type, ueiTYPE_INT);
    EXPECT_EQ(r.value.intVal, sim->module.config().inputVoltage);
    EXPECT_EQ(cLink_GetFirst(
                  link->handle(), [](const cPacket *p, const void *) { return Link::isStreamPacket(p); }, nullptr),
              nullptr);
    // Second round: with every stream stopped, stray samples are still kept
    // off the engine's queue.
    ASSERT_EQ(link->enableStream(6, 50, 1, 1, false), cErrNone);
  }
}

TEST_F(LinkStream, StreamStatusListsConcreteKeysUntilRoomRunsOut) {
  Link::StreamStatusEntry entries[3] = {};
  uint32_t count = 99;
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, nullptr, 3, &count), cErrParam);
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 0, &count), cErrParam);
  ASSERT_EQ(link->enableStream(6, 50, 255, 1, true), cErrNone);
  uint32_t v = 0;
  for (uint8_t option = 1; option <= 3; ++option)
    ASSERT_EQ(awaitValue(50, option, 1, 0, &v), cErrNone);

  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 2, &count), cErrSize);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 3, &count), cErrNone);
  ASSERT_EQ(count, 3u); // the wildcard registration itself is not listed
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].key, Link::createStreamKey(6, 50, static_cast<uint8_t>(i + 1), 1, 0));
    EXPECT_EQ(entries[i].value, 100u * (i + 1));
  }
  link->disconnect();
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 3, &count), cErrConnection);
}

TEST_F(LinkStream, BadModuleAddressRefusedWithoutSending) {
  EXPECT_EQ(link->enableStream(255, 3, 22, 0, true), cErrParam);
  EXPECT_EQ(link->registerStreamCallback(7, 3, 22, 0, true, Recorder().callback(), nullptr), cErrParam);
  EXPECT_TRUE(streamRequests().empty());
  uint32_t v = 0;
  EXPECT_EQ(link->getStreamValue(255, 3, 22, 0, 255, &v), cErrNotFound);
}

TEST_F(LinkStream, FailedEnableLeavesOtherRegistrationsWorking) {
  Recorder rec;
  ASSERT_EQ(link->registerStreamCallback(6, 50, 1, 1, true, rec.callback(), nullptr), cErrNone);
  ASSERT_TRUE(rec.waitFor(1, 100));
  modulesim::Faults f;
  modulesim::FaultRule drop;
  drop.command = 93;
  drop.subop = 0xC1;
  f.replies.push_back(drop);
  sim->module.setFaults(f);
  EXPECT_EQ(link->enableStream(6, 50, 255, 1, true), cErrTimeout);
  uint32_t v = 0;
  EXPECT_EQ(link->getStreamValue(6, 50, 255, 1, 255, &v), cErrNotFound);
  sim->module.setStreamValue(50, 1, 1, 0, 111);
  EXPECT_TRUE(rec.waitFor(1, 111));
}

TEST_F(LinkStream, StreamsKeepFlowingAcrossResetAndReconnect) {
  Recorder rec;
  ASSERT_EQ(link->registerStreamCallback(6, 50, 1, 1, true, rec.callback(), nullptr), cErrNone);
  ASSERT_TRUE(rec.waitFor(1, 100));

  ASSERT_EQ(link->reset(), cErrNone);
  ASSERT_TRUE(link->isConnected());
  // The module lost the stream with the old connection and was told again;
  // its first sample of the new enable arrives, then changes.
  EXPECT_TRUE(eventually([&] { return streamRequests().size() >= 2; }));
  sim->module.setStreamValue(50, 1, 1, 0, 150);
  EXPECT_TRUE(rec.waitFor(1, 150));

  ASSERT_EQ(link->disconnect(), cErrNone);
  ASSERT_EQ(link->connect(), cErrNone);
  sim->module.setStreamValue(50, 1, 1, 0, 160);
  EXPECT_TRUE(rec.waitFor(1, 160));
  EXPECT_EQ(cLink_GetFirst(
                link->handle(), [](const cPacket *p, const void *) { return Link::isStreamPacket(p); }, nullptr),
            nullptr);
}

TEST_F(LinkStream, StopAndRestartStreamingRepeatedly) {
  for (uint32_t round = 0; round < 10; ++round) {
    Recorder rec;
    ASSERT_EQ(link->registerStreamCallback(6, 50, 3, 1, true, rec.callback(), nullptr), cErrNone);
    sim->module.setStreamValue(50, 3, 1, 0, 1000 + round);
    ASSERT_TRUE(rec.waitFor(3, 1000 + round)) << round;
    ASSERT_EQ(link->registerStreamCallback(6, 50, 3, 1, false, nullptr, nullptr), cErrNone);
  }
}

TEST_F(LinkStream, FullQueueDropsSamplesAndReleasesTheirCopies) {
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<int> calls{0};
  ASSERT_EQ(link->registerStreamCallback(
                6, 60, 1, 0, true,
                [&](const cPacket *, void *) -> uint8_t {
                  ++calls;
                  std::lock_guard<std::mutex> wait(gate);
                  return 0;
                },
                nullptr),
            cErrNone);
  sim->module.sendStreamSample(60, 1, 0, 3, 1);
  ASSERT_TRUE(eventually([&] { return calls.load() == 1; })); // the worker is held in the callback
  for (uint32_t i = 2; i <= 700; ++i)
    sim->module.sendStreamSample(60, 1, 0, 3, i);
  uint32_t v = 0;
  ASSERT_TRUE(eventually([&] { return link->getStreamValue(6, 60, 1, 0, 0, &v) != cErrNotFound && v == 700; }));
  closed.unlock();
  // One callback was running, 499 waited in the queue; the rest were dropped.
  EXPECT_TRUE(eventually([&] { return calls.load() >= 500; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 500);
}

TEST(EntityStream, SystemReadsAnsweredFromTheCache) {
  SimOnTcp sim(streamingModule());
  ASSERT_TRUE(sim.tcp.ok());
  Module module(6, 0);
  ASSERT_EQ(module.setConfig(networkingOff()), cErrNone);
  ASSERT_EQ(module.connectFromSpec(sim.spec()), cErrNone);
  SystemClass system;
  system.init(&module, 0);
  uint8_t led = 0xEE;
  ASSERT_EQ(system.getLED(&led), cErrNone); // no stream yet: the module answers
  ASSERT_EQ(system.setStreamEnabled(true), cErrNone);
  uint32_t v = 0;
  ASSERT_TRUE(eventually([&] { return module.getLink()->getStreamValue(6, 3, 4, 0, 0, &v) != cErrNotFound; }));
  size_t before = sim.module.received().size();
  uint8_t cached = 0xEE;
  // The sample above was read fresh by the poll: now it is stale, still written.
  EXPECT_EQ(system.getLED(&cached), cErrStreamStale);
  EXPECT_EQ(cached, led);
  EXPECT_EQ(sim.module.received().size(), before); // no round trip

  Link::StreamStatusEntry entries[64];
  uint32_t count = 0;
  ASSERT_EQ(system.getStreamStatus(entries, 64, &count), cErrNone);
  EXPECT_GT(count, 4u);
  bool listed = false;
  for (uint32_t i = 0; i < count; ++i)
    listed |= entries[i].key == Link::createStreamKey(6, 3, 4, 0, 0) && entries[i].value == led;
  EXPECT_TRUE(listed);

  Recorder rec;
  ASSERT_EQ(system.registerOptionCallback(4, true, rec.callback(), nullptr), cErrNone);
  EXPECT_TRUE(rec.waitFor(4, led)); // the module streams every value again after an enable
  ASSERT_EQ(system.setStreamEnabled(false), cErrNone);
  uint8_t fromModule = 0xEE;
  EXPECT_EQ(system.getLED(&fromModule), cErrNone); // back to the module
  EXPECT_EQ(fromModule, led);
}

} // namespace
