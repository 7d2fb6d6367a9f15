// Value streams: keys and sample packets from literal bytes, then the
// registrations, the cache and the callbacks against a simulated module on
// loopback TCP through the real link engine.
#include <gtest/gtest.h>

#include <atomic>

#include "quillwork/Entity.h"
#include "quillwork/Module.h"
#include "quillwork/cLink.h"
#include "stream_support.h"

using namespace streamtest;

namespace {

TEST(StreamKeys, KeysAndSamplesFromLiteralPackets) {
  uint64_t key = Link::createStreamKey(6, 3, 22, 0, 255);
  EXPECT_EQ(key, 0xFF06031600ull);
  const uint8_t elements[] = {6, 3, 22, 0, 255, 0}; // element 5 does not exist
  for (uint8_t e = 0; e < 6; ++e)
    EXPECT_EQ(Link::getStreamKeyElement(key, e), elements[e]);
  uint32_t high = 0, low = 0;
  Link::getTimestampParts(0x0000000123456789ull, &high, &low);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(low, 0x23456789u);

  const std::vector<uint8_t> ts = {0, 0, 0, 1, 0x23, 0x45, 0x67, 0x89};
  struct Case {
    std::vector<uint8_t> head, tail;
    cErr result;
    uint8_t type;
    uint32_t value;
    uint8_t subindex;
  } cases[] = {
      {{3, 22, 0x40, 3}, {0xDE, 0xAD, 0xBE, 0xEF, 0}, cErrNone, 3, 0xDEADBEEF, 0},
      {{3, 39, 0x40, 7, 2}, {0, 0, 1, 2, 0}, cErrNone, 7, 0x102, 2},
      {{50, 2, 0x41, 1}, {0x7F, 0}, cErrNone, 1, 0x7F, 0},
      {{50, 2, 0x41, 6, 9}, {0x12, 0x34, 0}, cErrNone, 6, 0x1234, 9},
      {{3, 22, 0x40, 3}, {0xDE, 0xAD, 0xBE, 0}, cErrPacket, 3, 0, 0}, // one byte short
      {{3, 32, 0x40, 3}, {'a', 0x81}, cErrSize, 4, 0, 0},             // sequence byte: a UEI-bytes series
      {{3, 22, 0x40, 0}, {0}, cErrUnknown, 0, 0, 0},                  // type 0
      {{3, 22, 0x40, 8}, {0}, cErrUnknown, 0, 0, 0},                  // type 8
      {{3, 22, 0x00, 3}, {1, 2, 3, 4, 0}, cErrPacket, 0, 0, 0},       // no stream bit: a get answer
      {{3, 0x56, 0x40, 3}, {1, 2, 3, 4, 0}, cErrPacket, 0, 0, 0},     // operation bits: a request
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> d = c.head;
    if (c.tail.size() >= 2 && c.tail.back() == 0) // samples carry a timestamp
      d.insert(d.end(), ts.begin(), ts.end());
    d.insert(d.end(), c.tail.begin(), c.tail.end());
    cPacketPtr p(cPacket_CreateWithData(6, static_cast<uint8_t>(d.size()), d.data()));
    uint64_t t = 0;
    uint32_t v = 0;
    uint8_t type = 0xAA, sub = 0xAA;
    SCOPED_TRACE(::testing::PrintToString(d));
    EXPECT_EQ(Link::getStreamSample(p.get(), &t, &v, &sub), c.result);
    EXPECT_EQ(Link::getStreamPacketType(p.get(), &type), c.type != 0);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(Link::isStreamSample(p.get()), c.result == cErrNone);
    if (c.result == cErrNone) {
      EXPECT_EQ(t, 0x0000000123456789ull);
      EXPECT_EQ(v, c.value);
      EXPECT_EQ(sub, c.subindex);
    }
  }
}

class LinkStream : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(sim.tcp.ok()) << sim.tcp.error();
    link = sim.connect();
    ASSERT_NE(link, nullptr);
  }
  std::vector<std::vector<uint8_t>> streamRequests() const {
    std::vector<std::vector<uint8_t>> out;
    for (const modulesim::Packet &p : sim.module.received())
      if (p.data[0] == 93)
        out.push_back(p.data);
    return out;
  }
  bool noStreamPacketQueued() {
    auto isStream = [](const cPacket *p, const void *) { return Link::isStreamPacket(p); };
    return cLink_GetFirst(link->handle(), isStream, nullptr) == nullptr;
  }
  SimOnTcp sim;
  std::unique_ptr<Link> link;
  uint32_t v = 0;
};

TEST_F(LinkStream, SubindexWildcardCreatesTheExactEntryFreshThenStale) {
  EXPECT_EQ(link->enableStream(255, 3, 22, 0, true), cErrParam);
  EXPECT_EQ(link->enableStream(7, 3, 22, 0, true), cErrParam);
  EXPECT_TRUE(streamRequests().empty());

  ASSERT_EQ(link->enableStream(6, 3, 22, 0, true), cErrNone);
  EXPECT_EQ(streamRequests(), (std::vector<std::vector<uint8_t>>{{93, 0x81, 0x20, 6, 3, 22, 0}}));
  uint8_t streaming = 0;
  EXPECT_EQ(link->isLinkStreaming(6, &streaming), cErrNone);
  EXPECT_EQ(streaming, 1);
  // The module's first uptime sample matched through the subindex wildcard.
  cErr first = cErrNotFound;
  ASSERT_TRUE(eventually([&] { return (first = link->getStreamValue(6, 3, 22, 0, 0, &v)) != cErrNotFound; }));
  EXPECT_EQ(first, cErrNone);
  uint32_t again = 0;
  EXPECT_EQ(link->getStreamValue(6, 3, 22, 0, 0, &again), cErrStreamStale);
  EXPECT_EQ(again, v);

  ASSERT_EQ(link->enableStream(6, 3, 22, 0, false), cErrNone);
  EXPECT_EQ(streamRequests().back(), (std::vector<uint8_t>{93, 0x82, 0x20, 6, 3, 22, 0}));
  EXPECT_EQ(link->getStreamValue(6, 3, 22, 0, 0, &v), cErrNotFound);
  EXPECT_EQ(link->isLinkStreaming(6, &streaming), cErrNone);
  EXPECT_EQ(streaming, 0);
}

TEST_F(LinkStream, OptionWildcardCallsBackOnTheWorkerForEveryOption) {
  Recorder rec;
  ASSERT_EQ(link->registerStreamCallback(6, 50, 255, 1, true, rec.callback(), nullptr), cErrNone);
  for (uint8_t option = 1; option <= 3; ++option) {
    EXPECT_TRUE(rec.saw(option, 100u * option));
    EXPECT_EQ(link->getStreamValue(6, 50, option, 1, 0, &v), cErrNone);
    EXPECT_EQ(v, 100u * option);
  }
  EXPECT_NE(rec.thread, std::this_thread::get_id());

  // A callback that blocks holds up only the callbacks: the reader thread
  // goes on caching samples.
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<int> entered{0};
  auto blocking = [&](const cPacket *, void *) -> uint8_t {
    ++entered;
    std::lock_guard<std::mutex> wait(gate);
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(6, 50, 2, 1, true, blocking, nullptr), cErrNone);
  sim.module.setStreamValue(50, 2, 1, 0, 201);
  ASSERT_TRUE(eventually([&] { return entered.load() == 1; }));
  sim.module.setStreamValue(50, 2, 1, 0, 202);
  EXPECT_TRUE(eventually([&] { return link->getStreamValue(6, 50, 2, 1, 0, &v) == cErrNone && v == 202; }));
  closed.unlock();
  EXPECT_TRUE(rec.saw(2, 202));
}

TEST_F(LinkStream, SampleWithSubindex255CallsBackOnce) {
  // Its exact key equals the registration's subindex wildcard.
  std::atomic<int> calls{0};
  auto count = [&](const cPacket *, void *) -> uint8_t { return static_cast<uint8_t>(++calls); };
  ASSERT_EQ(link->registerStreamCallback(6, 70, 1, 0, true, count, nullptr), cErrNone);
  sim.module.sendStreamSample(70, 1, 0, 5, 42, 255);
  sim.module.sendStreamSample(70, 1, 0, 5, 43, 254);
  ASSERT_TRUE(eventually([&] { return link->getStreamValue(6, 70, 1, 0, 254, &v) == cErrNone; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls.load(), 2);
}

// A registration with every element a wildcard (command, option, index and
// subindex) hears samples of any key of its module.
TEST_F(LinkStream, FullWildcardHearsEveryKeyOfItsModule) {
  // The record outlives the test body: callbacks go on until the link goes.
  struct Seen {
    std::mutex m;
    std::vector<uint32_t> values;
    bool has(uint32_t v) {
      std::lock_guard<std::mutex> g(m);
      return std::find(values.begin(), values.end(), v) != values.end();
    }
  };
  auto seen = std::make_shared<Seen>();
  auto record = [seen](const cPacket *p, void *) -> uint8_t {
    uint32_t value = 0;
    if (Link::getStreamSample(p, nullptr, &value, nullptr) == cErrNone) {
      std::lock_guard<std::mutex> g(seen->m);
      seen->values.push_back(value);
    }
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(6, 255, 255, 255, true, record, nullptr), cErrNone);
  sim.module.sendStreamSample(70, 2, 3, 7, 7001, 4); // 32-bit values, with and without a subindex
  sim.module.sendStreamSample(71, 9, 1, 3, 7002);
  EXPECT_TRUE(eventually([&] { return seen->has(7001) && seen->has(7002); }));
}

TEST_F(LinkStream, UnmatchedStreamPacketsNeverPassForAnAnswer) {
  ASSERT_EQ(link->enableStream(6, 50, 1, 1, true), cErrNone);
  for (int round = 0; round < 2; ++round) {
    // A sample of the input voltage, then a get of it: the sample must not
    // be taken for the answer.
    sim.module.sendStreamSample(3, 12, 0, 3, 77);
    uei r{6, 3, 12 | 0x40, 0x20, {}, 0, ueiTYPE_VOID};
    ASSERT_EQ(link->sendUEI(r), cErrNone);
    r.option = 12;
    r.specifier = 0;
    ASSERT_EQ(link->receiveUEI(6, 3, 12, 0, &r), cErrNone);
    EXPECT_EQ(r.value.intVal, sim.module.config().inputVoltage);
    EXPECT_TRUE(noStreamPacketQueued());
    // Second round with every stream stopped.
    ASSERT_EQ(link->enableStream(6, 50, 1, 1, false), cErrNone);
  }
}

TEST_F(LinkStream, StreamStatusListsConcreteKeysUntilRoomRunsOut) {
  Link::StreamStatusEntry entries[3] = {};
  uint32_t count = 99;
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, nullptr, 3, &count), cErrParam);
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 0, &count), cErrParam);
  ASSERT_EQ(link->enableStream(6, 50, 255, 1, true), cErrNone);
  for (uint8_t option = 1; option <= 3; ++option)
    ASSERT_TRUE(eventually([&] { return link->getStreamValue(6, 50, option, 1, 0, &v) == cErrNone; }));
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 2, &count), cErrSize);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 3, &count), cErrNone);
  ASSERT_EQ(count, 3u); // the wildcard registration is not listed
  for (uint8_t i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].key, Link::createStreamKey(6, 50, i + 1, 1, 0));
    EXPECT_EQ(entries[i].value, 100u * (i + 1));
  }
  link->disconnect();
  EXPECT_EQ(link->getStreamStatus(6, 50, 255, 1, 255, entries, 3, &count), cErrConnection);
}

TEST_F(LinkStream, FailedEnableLeavesOtherRegistrationsWorking) {
  Recorder rec;
  ASSERT_EQ(link->registerStreamCallback(6, 50, 1, 1, true, rec.callback(), nullptr), cErrNone);
  modulesim::Faults f;
  f.replies.push_back({modulesim::FaultRule::Drop, 93, 0xC1, 1, 0});
  sim.module.setFaults(f);
  EXPECT_EQ(link->enableStream(6, 50, 255, 1, true), cErrTimeout);
  EXPECT_EQ(link->getStreamValue(6, 50, 255, 1, 255, &v), cErrNotFound);
  sim.module.setStreamValue(50, 1, 1, 0, 111);
  EXPECT_TRUE(rec.saw(1, 111));
}

TEST_F(LinkStream, StreamsKeepFlowingAcrossResetAndReconnect) {
  Recorder rec;
  ASSERT_EQ(link->registerStreamCallback(6, 50, 1, 1, true, rec.callback(), nullptr), cErrNone);
  ASSERT_TRUE(rec.saw(1, 100));
  // The engine forgets its filter on reset and the module its streams with
  // the old connection: both are told again.
  ASSERT_EQ(link->reset(), cErrNone);
  ASSERT_TRUE(link->isConnected());
  sim.module.setStreamValue(50, 1, 1, 0, 150);
  EXPECT_TRUE(rec.saw(1, 150));
  ASSERT_EQ(link->disconnect(), cErrNone);
  ASSERT_EQ(link->connect(), cErrNone);
  sim.module.setStreamValue(50, 1, 1, 0, 160);
  EXPECT_TRUE(rec.saw(1, 160));
  EXPECT_EQ(streamRequests().size(), 3u);
  EXPECT_TRUE(noStreamPacketQueued());
}

TEST_F(LinkStream, FullQueueDropsSamplesAndReleasesTheirCopies) {
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<int> calls{0};
  auto blocking = [&](const cPacket *, void *) -> uint8_t {
    ++calls;
    std::lock_guard<std::mutex> wait(gate);
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(6, 60, 1, 0, true, blocking, nullptr), cErrNone);
  sim.module.sendStreamSample(60, 1, 0, 3, 1);
  ASSERT_TRUE(eventually([&] { return calls.load() == 1; })); // the worker is held in the callback
  for (uint32_t i = 2; i <= 700; ++i)
    sim.module.sendStreamSample(60, 1, 0, 3, i);
  ASSERT_TRUE(eventually([&] { return link->getStreamValue(6, 60, 1, 0, 0, &v) != cErrNotFound && v == 700; }));
  closed.unlock();
  // 499 waited in the queue; the rest were dropped (ASan sees their copies freed).
  EXPECT_TRUE(eventually([&] { return calls.load() >= 500; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 500);
}

TEST(EntityStream, SystemReadsAnsweredFromTheCache) {
  SimOnTcp sim;
  ASSERT_TRUE(sim.tcp.ok());
  Module module(6, 0);
  cEtherConfig off;
  off.enabled = off.fallback = 0;
  ASSERT_EQ(module.setConfig(off), cErrNone);
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.serialNumber = sim.module.config().serial;
  spec.ipAddress = sim.tcp.ipv4();
  spec.port = sim.tcp.port();
  ASSERT_EQ(module.connectFromSpec(spec), cErrNone);
  SystemClass system;
  system.init(&module, 0);
  uint8_t led = 0xEE, cached = 0xEE;
  ASSERT_EQ(system.getLED(&led), cErrNone); // no stream yet: the module answers
  Recorder rec;
  ASSERT_EQ(system.registerOptionCallback(4, true, rec.callback(), nullptr), cErrNone);
  ASSERT_TRUE(rec.saw(4, led));
  ASSERT_EQ(system.setStreamEnabled(true), cErrNone);
  // The module streams every value again after an enable.
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> g(rec.m);
    return std::count(rec.calls.begin(), rec.calls.end(), std::make_pair(uint8_t(4), uint32_t(led))) == 2;
  }));
  size_t before = sim.module.received().size();
  EXPECT_EQ(system.getLED(&cached), cErrNone);
  EXPECT_EQ(system.getLED(&cached), cErrStreamStale);
  EXPECT_EQ(cached, led);
  EXPECT_EQ(sim.module.received().size(), before); // no round trip

  Link::StreamStatusEntry entries[64];
  uint32_t count = 0;
  ASSERT_EQ(system.getStreamStatus(entries, 64, &count), cErrNone);
  EXPECT_NE(std::find_if(entries, entries + count,
                         [](const auto &e) { return e.key == Link::createStreamKey(6, 3, 4, 0, 0); }),
            entries + count);
  ASSERT_EQ(system.setStreamEnabled(false), cErrNone);
  EXPECT_EQ(system.getLED(&cached), cErrNone); // back to the module
  EXPECT_GT(sim.module.received().size(), before);
}

} // namespace
