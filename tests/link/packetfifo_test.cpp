#include <gtest/gtest.h>

#include <vector>

#include "quillwork/cPacketFifo.h"

namespace {

// The first FIFO of the process, made before any test runs.
cPacketFifoId gFirstFifo = 0;
struct FirstFifo : ::testing::Environment {
  void SetUp() override { gFirstFifo = cPacketFifo_Create(); }
  void TearDown() override { cPacketFifo_Destroy(&gFirstFifo); }
};
const auto *const gFirstFifoEnv = ::testing::AddGlobalTestEnvironment(new FirstFifo);

cPacketPtr makePacket(uint8_t address, std::vector<uint8_t> data) {
  return cPacketPtr(cPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

// Puts a packet whose first data byte is tag.
void put(cPacketFifoId fifo, uint8_t tag) {
  cPacketPtr p = makePacket(2, {tag});
  ASSERT_EQ(cPacketFifo_Put(fifo, p.get()), cErrNone);
}

uint8_t tagOf(const cPacketPtr &p) { return p ? p->data[0] : 0xFF; }

struct Fifo : ::testing::Test {
  cPacketFifoId fifo = cPacketFifo_Create();
  void TearDown() override {
    if (fifo != 0)
      cPacketFifo_Destroy(&fifo);
  }
};

TEST(PacketFifoRegistry, IdentifiersStartAtOneAndAreNeverReused) {
  EXPECT_EQ(gFirstFifo, 1u);
  cPacketFifoId a = cPacketFifo_Create();
  cPacketFifoId b = cPacketFifo_Create();
  ASSERT_NE(a, 0u);
  EXPECT_GT(b, a);
  cPacketFifoId destroyed = a;
  ASSERT_EQ(cPacketFifo_Destroy(&a), cErrNone);
  EXPECT_EQ(a, 0u);
  cPacketFifoId c = cPacketFifo_Create();
  EXPECT_NE(c, destroyed);
  EXPECT_GT(c, b);
  cPacketFifo_Destroy(&b);
  cPacketFifo_Destroy(&c);
}

TEST(PacketFifoRegistry, UnknownIdentifiersFailWithoutBlocking) {
  cPacketFifoId gone = cPacketFifo_Create();
  cPacketFifoId copy = gone;
  cPacketFifo_Destroy(&gone);
  cPacketPtr p = makePacket(2, {1});
  EXPECT_EQ(cPacketFifo_Put(copy, p.get()), cErrParam);
  EXPECT_EQ(cPacketFifo_GetLength(copy), 0u);
  EXPECT_EQ(cPacketFifo_Get(copy), nullptr);
  EXPECT_EQ(cPacketFifo_Await(copy, 60000), nullptr); // returns at once, or the test times out
  auto any = [](const cPacket *, const void *) { return true; };
  EXPECT_EQ(cPacketFifo_GetFirst(copy, any, nullptr), nullptr);
  EXPECT_EQ(cPacketFifo_AwaitFirst(copy, any, nullptr, 60000), nullptr);
  EXPECT_EQ(cPacketFifo_DrainPackets(copy, any, nullptr), 0u);
  EXPECT_EQ(cPacketFifo_Destroy(&copy), cErrNotFound);
  EXPECT_EQ(cPacketFifo_Destroy(nullptr), cErrParam);
  cPacketFifoId zero = 0;
  EXPECT_EQ(cPacketFifo_Destroy(&zero), cErrNotFound);
}

TEST_F(Fifo, PutStoresACopyAndGetReturnsOldestFirst) {
  cPacketPtr mine = makePacket(4, {7});
  ASSERT_EQ(cPacketFifo_Put(fifo, mine.get()), cErrNone);
  mine->data[0] = 99; // the queued copy is not the caller's packet
  put(fifo, 8);
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 2u);
  cPacketPtr first(cPacketFifo_Get(fifo));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->address, 4);
  EXPECT_EQ(tagOf(first), 7);
  EXPECT_TRUE(cPacket_IsComplete(first.get()));
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_Get(fifo))), 8);
  EXPECT_EQ(cPacketFifo_Get(fifo), nullptr);
}

TEST_F(Fifo, PutRefusesInvalidPackets) {
  EXPECT_EQ(cPacketFifo_Put(fifo, nullptr), cErrParam);
  cPacket fake{};
  EXPECT_EQ(cPacketFifo_Put(fifo, &fake), cErrParam);
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 0u);
}

TEST_F(Fifo, AwaitTimesOutEmptyAndTakesWhatIsThere) {
  EXPECT_EQ(cPacketFifo_Await(fifo, 0), nullptr);
  EXPECT_EQ(cPacketFifo_Await(fifo, 20), nullptr);
  put(fifo, 5);
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_Await(fifo, 0))), 5);
}

TEST_F(Fifo, OverflowEmptiesTheQueueWithoutAnError) {
  for (int i = 0; i < cPACKETFIFO_MAXPACKETS; ++i)
    put(fifo, static_cast<uint8_t>(i));
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 1000u);
  cPacketPtr p = makePacket(2, {1});
  EXPECT_EQ(cPacketFifo_Put(fifo, p.get()), cErrNone);
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 0u);
  // ... and it keeps working afterwards.
  put(fifo, 42);
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_Get(fifo))), 42);
}

bool isEven(const cPacket *p, const void *) { return p->data[0] % 2 == 0; }
bool isTag(const cPacket *p, const void *reference) { return p->data[0] == *static_cast<const uint8_t *>(reference); }

TEST_F(Fifo, GetFirstTakesTheOldestMatchAndKeepsTheRest) {
  for (uint8_t t : {1, 3, 4, 6})
    put(fifo, t);
  uint8_t want = 6;
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_GetFirst(fifo, isTag, &want))), 6);
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_GetFirst(fifo, isEven, nullptr))), 4);
  EXPECT_EQ(cPacketFifo_GetFirst(fifo, isEven, nullptr), nullptr);
  EXPECT_EQ(cPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_Get(fifo))), 1);
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_Get(fifo))), 3);
}

TEST_F(Fifo, DrainRemovesMatchesAndKeepsOrder) {
  for (uint8_t t = 0; t < 10; ++t)
    put(fifo, t);
  EXPECT_EQ(cPacketFifo_DrainPackets(fifo, isEven, nullptr), 5u);
  std::vector<uint8_t> rest;
  while (cPacketPtr p{cPacketFifo_Get(fifo)})
    rest.push_back(tagOf(p));
  EXPECT_EQ(rest, (std::vector<uint8_t>{1, 3, 5, 7, 9}));
  EXPECT_EQ(cPacketFifo_DrainPackets(fifo, nullptr, nullptr), 0u);
}

struct Counting {
  int calls = 0;
  uint8_t want = 0xFF;
};
bool countingFilter(const cPacket *p, const void *reference) {
  Counting *c = const_cast<Counting *>(static_cast<const Counting *>(reference));
  c->calls++;
  return p->data[0] == c->want;
}

TEST_F(Fifo, AwaitFirstWithoutMatchSeesEachQueuedPacketOnceAndTimesOut) {
  for (uint8_t t = 0; t < 5; ++t)
    put(fifo, t);
  Counting c;
  EXPECT_EQ(cPacketFifo_AwaitFirst(fifo, countingFilter, &c, 50), nullptr);
  EXPECT_EQ(c.calls, 5);
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 5u);
  c.want = 3;
  c.calls = 0;
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_AwaitFirst(fifo, countingFilter, &c, 50))), 3);
  EXPECT_EQ(c.calls, 4);
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 4u);
  EXPECT_EQ(cPacketFifo_AwaitFirst(fifo, nullptr, nullptr, 50), nullptr);
}

TEST_F(Fifo, AwaitFirstSeesEveryPacketLeftAfterRemovals) {
  // Removals from the front, the middle and by draining move the window of
  // sequence numbers that AwaitFirst starts from; none may hide a packet.
  for (uint8_t t = 0; t < 4; ++t)
    put(fifo, t);
  cPacketPtr(cPacketFifo_Get(fifo));
  uint8_t two = 2;
  cPacketPtr(cPacketFifo_GetFirst(fifo, isTag, &two));
  Counting c;
  EXPECT_EQ(cPacketFifo_AwaitFirst(fifo, countingFilter, &c, 20), nullptr);
  EXPECT_EQ(c.calls, 2);
  auto all = [](const cPacket *, const void *) { return true; };
  EXPECT_EQ(cPacketFifo_DrainPackets(fifo, all, nullptr), 2u);
  put(fifo, 9);
  c.calls = 0;
  c.want = 9;
  EXPECT_EQ(tagOf(cPacketPtr(cPacketFifo_AwaitFirst(fifo, countingFilter, &c, 20))), 9);
  EXPECT_EQ(c.calls, 1);
}

} // namespace
