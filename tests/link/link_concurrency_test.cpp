// The link engine under concurrent use: many requesters on one link, creates
// and destroys racing, a link destroyed while others use it, a user filter
// swapped while packets arrive, and the packet log written from all sides.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cLinkManagerInternal.h"
#include "module_peer.h"
#include "scripted_stream.h"
#include "tcp_module.h"

namespace {

using namespace std::chrono_literals;
using qwemu::ModulePeer;
using qwemu::Packet;
using qwemu::TcpModule;

constexpr uint32_t kSerial = 0x00CC0001;

struct Tag {
  uint8_t a, b;
};

bool matchesTag(const cPacket *p, const void *reference) {
  const Tag *t = static_cast<const Tag *>(reference);
  return p->length == 3 && p->data[0] == t->a && p->data[1] == t->b;
}

cErr put(uint32_t id, uint8_t address, std::vector<uint8_t> data) {
  cPacket *p = cPacket_CreateWithData(address, (uint8_t)data.size(), data.data());
  cErr err = cLink_PutPacket(id, p);
  cPacket_Destroy(&p);
  return err;
}

class LinkConcurrencyTest : public ::testing::Test {
protected:
  void SetUp() override {
    module = std::make_unique<TcpModule>(peer);
    ASSERT_TRUE(module->ok());
  }
  void TearDown() override {
    for (cLinkEntryPtr e = sLookupEntryByIdentifier(kSerial, linkTypeTCPIP); e != nullptr;
         e = sLookupEntryByIdentifier(kSerial, linkTypeTCPIP)) {
      uint32_t id = e->identifier;
      cLink_Destroy(&id);
    }
    module.reset();
  }
  uint32_t create() { return cLink_CreateTCPIP(kSerial, TcpModule::loopbackAddress(), module->port()); }
  ModulePeer peer{4, 0x11};
  std::unique_ptr<TcpModule> module;
};

TEST_F(LinkConcurrencyTest, ManyRequestersGetTheirOwnAnswers) {
  peer.setEcho();
  uint32_t id = create();
  ASSERT_NE(id, 0u);
  constexpr int kThreads = 6, kRequests = 40;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= kThreads; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; i++) {
        Tag tag{(uint8_t)(0x40 + t), (uint8_t)i}; // 0x03 0x08 would be the model query
        if (put(id, 4, {tag.a, tag.b, 0x77}) != cErrNone)
          continue;
        cPacket *answer = cLink_AwaitFirst(id, matchesTag, &tag, 3000);
        if (answer != nullptr)
          answered++;
        cPacket_Destroy(&answer);
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(answered, kThreads * kRequests);
  EXPECT_EQ(peer.syncRequests(), 0u);
  EXPECT_EQ(peer.received().size(), (size_t)(kThreads * kRequests));
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
}

TEST_F(LinkConcurrencyTest, CreatesAndDestroysRaceWithoutLeavingLinksBehind) {
  std::vector<std::thread> threads;
  std::atomic<int> created{0};
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; i++) {
        uint32_t id = create();
        if (id == 0)
          continue;
        created++;
        cLink_GetStatus(id);
        cLink_Destroy(&id);
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_GT(created, 0);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, linkTypeTCPIP), nullptr);
}

// A create that reuses the link races the link's last destroy: it either
// takes a use of the live link (which the destroy then leaves running) or
// makes a new one; it never hands out the identifier of a link on its way out.
// Lanes of their own serial numbers run side by side (a teardown is slow).
TEST_F(LinkConcurrencyTest, ACreateRacingTheLastDestroyNeverGetsADeadLink) {
  std::atomic<int> dead{0}, failed{0};
  std::atomic<bool> racing{true};
  // Threads that keep the registry busy widen the gaps between its lock
  // sections, where a create and a destroy could interleave.
  std::vector<std::thread> busy;
  for (int b = 0; b < 2; b++)
    busy.emplace_back([&] {
      while (racing)
        sLookupEntryByIdentifier(kSerial + 100, linkTypeTCPIP);
    });
  std::vector<std::thread> lanes;
  for (uint32_t lane = 1; lane <= 8; lane++)
    lanes.emplace_back([&, lane] {
      auto make = [&] { return cLink_CreateTCPIP(kSerial + lane, TcpModule::loopbackAddress(), module->port()); };
      for (int round = 0; round < 15; round++) {
        uint32_t first = make();
        std::atomic<bool> go{false};
        std::thread destroyer([&] {
          while (!go.load()) {
          }
          cLink_Destroy(&first);
        });
        go = true;
        uint32_t second = make();
        destroyer.join();
        if (second == 0 || first != 0) {
          failed++;
          continue;
        }
        if (sLookupEntryByID(second) == nullptr)
          dead++;
        else if (cLink_Destroy(&second) != cErrNone)
          failed++;
      }
    });
  for (auto &t : lanes)
    t.join();
  racing = false;
  for (auto &t : busy)
    t.join();
  EXPECT_EQ(dead.load(), 0) << "creates handed out the identifier of a destroyed link";
  EXPECT_EQ(failed.load(), 0);
  for (uint32_t lane = 1; lane <= 8; lane++)
    EXPECT_EQ(sLookupEntryByIdentifier(kSerial + lane, linkTypeTCPIP), nullptr);
}

TEST_F(LinkConcurrencyTest, ALinkDestroyedWhileInUseLetsEveryoneGo) {
  uint32_t id = create();
  ASSERT_NE(id, 0u);
  ASSERT_EQ(cLink_PacketDebug_Enable(id), cErrNone);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] { // waits far longer than the test runs
    Tag never{0xEE, 0xEE};
    cPacket *p = cLink_AwaitFirst(id, matchesTag, &never, 60000);
    cPacket_Destroy(&p);
  });
  threads.emplace_back([&] {
    while (!stop)
      put(id, 4, {0x01, 0x02, 0x03});
  });
  threads.emplace_back([&] {
    const uint8_t marker[3] = {'m', 'r', 'k'};
    while (!stop)
      cLink_PacketDebug_Write(id, cLINK_LOG_MARKER, 3, marker);
  });
  threads.emplace_back([&] {
    while (!stop) {
      cLink_InstallUserPacketFilter(
          id, [](const cPacket *, const void *) { return false; }, nullptr);
      cLink_InstallUserPacketFilter(id, nullptr, nullptr);
      cLink_GetStatus(id);
    }
  });
  std::this_thread::sleep_for(200ms);
  uint32_t victim = id;
  EXPECT_EQ(cLink_Destroy(&victim), cErrNone);
  threads[0].join(); // the waiter returns as soon as its FIFO is gone
  stop = true;
  for (size_t i = 1; i < threads.size(); i++)
    threads[i].join();
  EXPECT_EQ(cLink_GetStatus(id), cLINK_NO_STREAM);
}

TEST_F(LinkConcurrencyTest, EveryPacketReachesEitherTheFilterOrTheQueue) {
  uint32_t id = create();
  ASSERT_NE(id, 0u);
  // The connection is taken by the emulated module's own thread, which may
  // not have done so yet when the link is made: packets it sent before that
  // would go nowhere. One round trip shows it is there.
  peer.setEcho();
  ASSERT_EQ(put(id, 4, {0x01}), cErrNone);
  cPacket *first = cLink_AwaitPacket(id, 5000);
  ASSERT_NE(first, nullptr);
  cPacket_Destroy(&first);
  constexpr int kPackets = 400;
  std::atomic<int> filtered{0};
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) {
      cLink_InstallUserPacketFilter(
          id,
          [](const cPacket *, const void *r) { return ++*static_cast<std::atomic<int> *>(const_cast<void *>(r)) > 0; },
          &filtered);
      std::this_thread::sleep_for(1ms);
      cLink_InstallUserPacketFilter(id, nullptr, nullptr);
      std::this_thread::sleep_for(1ms);
    }
  });
  int queued = 0;
  std::thread drainer([&] {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (filtered + queued < kPackets && std::chrono::steady_clock::now() < deadline) {
      cPacket *p = cLink_AwaitPacket(id, 50);
      if (p != nullptr)
        queued++;
      cPacket_Destroy(&p);
    }
  });
  for (int i = 0; i < kPackets; i++)
    peer.send(Packet{4, {0x10, (uint8_t)i, (uint8_t)(i >> 8)}});
  drainer.join();
  stop = true;
  swapper.join();
  EXPECT_EQ(filtered + queued, kPackets);
  cLink_Destroy(&id);
}

TEST_F(LinkConcurrencyTest, PacketLogStaysWellFormedUnderConcurrentWriters) {
  peer.setEcho();
  uint32_t id = create();
  ASSERT_NE(id, 0u);
  ASSERT_EQ(cLink_PacketDebug_SetLogSize(id, 1024), cErrNone);
  ASSERT_EQ(cLink_PacketDebug_Enable(id), cErrNone);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  writers.emplace_back([&] {
    for (int i = 0; i < 300; i++)
      put(id, 4, {0x20, (uint8_t)i, 0x01});
  });
  writers.emplace_back([&] {
    const uint8_t marker[5] = {'h', 'e', 'l', 'l', 'o'};
    for (int i = 0; i < 300; i++)
      cLink_PacketDebug_Write(id, cLINK_LOG_MARKER, 5, marker);
  });
  int entries = 0, malformed = 0;
  std::thread reader([&] {
    while (!stop) {
      uint8_t direction = 0, buffer[64];
      uint32_t length = sizeof buffer;
      cErr err = cLink_PacketDebug_Read(id, &direction, &length, buffer);
      if (err != cErrNone) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      entries++;
      bool marker = direction == cLINK_LOG_MARKER && length == 5 && buffer[0] == 'h';
      bool packet = (direction == cLINK_LOG_SENT || direction == cLINK_LOG_RECEIVED) && length >= 2 &&
                    length == (uint32_t)buffer[1] + 2;
      if (!marker && !packet)
        malformed++;
    }
  });
  for (auto &w : writers)
    w.join();
  std::this_thread::sleep_for(200ms);
  stop = true;
  reader.join();
  EXPECT_GT(entries, 0);
  EXPECT_EQ(malformed, 0);
  cLink_Destroy(&id);
}

// Callers that write their own packet when nothing is queued, racing the
// out-pipe (whose writes return late) and each other: each caller's packets
// still leave in the order it put them.
TEST(LinkPutOrder, EveryCallersPacketsLeaveInOrder) {
  qwtest::ScriptedStream stream;
  uint32_t id = cLink_Create(stream.make());
  ASSERT_NE(id, 0u);
  constexpr int kCallers = 4, kEach = 250;
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; c++)
    callers.emplace_back([id, c] {
      for (int i = 0; i < kEach; i++) {
        uint8_t data[2] = {(uint8_t)c, (uint8_t)i};
        cPacket *p = cPacket_CreateWithData(4, 2, data);
        EXPECT_EQ(cLink_PutPacket(id, p), cErrNone);
        cPacket_Destroy(&p);
      }
    });
  for (auto &t : callers)
    t.join();
  EXPECT_TRUE(
      stream.waitWritten([](const std::vector<uint8_t> &b) { return b.size() >= 3 + kCallers * kEach * 4; }, 10000ms));
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  std::vector<uint8_t> b = stream.written();
  int next[kCallers] = {};
  for (size_t i = 0; i + 3 < b.size(); i += 2 + b[i + 1]) {
    if (b[i] != 4 || b[i + 1] != 2)
      continue; // route packets
    int c = b[i + 2];
    ASSERT_LT(c, kCallers);
    EXPECT_EQ(b[i + 3], next[c]) << "caller " << c;
    next[c] = b[i + 3] + 1;
  }
  for (int c = 0; c < kCallers; c++)
    EXPECT_EQ(next[c], kEach);
}

// Callers putting byte series on a pooled link and waiting for each to be
// written: every wait ends with the caller's series on the stream, and each
// caller's packets still leave in order.
TEST(LinkPutOrder, AwaitSentReturnsOnceTheCallersSeriesIsWritten) {
  qwtest::ScriptedStream stream;
  uint32_t id = cLink_Create(stream.make());
  ASSERT_NE(id, 0u);
  ASSERT_EQ(cLink_EnablePooledPackets(id, true), cErrNone);
  constexpr int kCallers = 4, kEach = 60;
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; c++)
    callers.emplace_back([&stream, id, c] {
      for (int i = 0; i < kEach; i++) {
        cPacket series[3];
        for (int k = 0; k < 3; k++) {
          uint8_t data[3] = {(uint8_t)c, (uint8_t)i, (uint8_t)k};
          cPacket *p = cPacket_CreateWithData(4, 3, data);
          series[k] = *p;
          cPacket_Destroy(&p);
        }
        ASSERT_EQ(cLink_PutPackets(id, series, 3), cErrNone);
        ASSERT_EQ(cLink_AwaitSent(id, 10000), cErrNone);
        const std::vector<uint8_t> last = {4, 3, (uint8_t)c, (uint8_t)i, 2};
        std::vector<uint8_t> b = stream.written();
        ASSERT_NE(std::search(b.begin(), b.end(), last.begin(), last.end()), b.end()) << c << " " << i;
      }
    });
  for (auto &t : callers)
    t.join();
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  std::vector<uint8_t> b = stream.written();
  int next[kCallers] = {};
  for (size_t i = 0; i + 4 < b.size(); i += 2 + b[i + 1]) {
    if (b[i] != 4 || b[i + 1] != 3)
      continue; // route packets
    int c = b[i + 2];
    ASSERT_LT(c, kCallers);
    EXPECT_EQ(b[i + 3] * 3 + b[i + 4], next[c]) << "caller " << c;
    next[c] = b[i + 3] * 3 + b[i + 4] + 1;
  }
  for (int c = 0; c < kCallers; c++)
    EXPECT_EQ(next[c], kEach * 3);
}

} // namespace

namespace {

// A TCP peer that takes one connection and then reads nothing; once its
// accept queue is full (clog), further connections hang until they time out.
struct StalledPeer {
  StalledPeer() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 1024;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr *>(&a), n) != 0 || listen(listener, 0) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &n) != 0)
      return;
    port = ntohs(a.sin_port);
  }
  ~StalledPeer() {
    for (int fd : fds)
      close(fd);
    close(listener);
  }
  int accept1() {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    fds.push_back(fd);
    return fd;
  }
  // Fills the accept queue with connections nobody accepts.
  void clog() {
    for (int i = 0; i < 3; i++) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(port);
      connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
      fds.push_back(fd);
    }
  }
  int listener = -1;
  uint16_t port = 0;
  std::vector<int> fds;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// A module that stopped reading: the stop writes what is still queued for a
// bounded time, not one write time-out per queued packet (minutes).
TEST(LinkTeardown, TheFinalDrainHasADeadline) {
  StalledPeer peer;
  ASSERT_NE(peer.port, 0);
  uint32_t id = cLink_CreateTCPIP(0x00CC0002, TcpModule::loopbackAddress(), peer.port);
  ASSERT_NE(id, 0u);
  ASSERT_GE(peer.accept1(), 0);
  // Keep the queue near full (it drops everything past 1000) until the
  // writer is stuck on a socket that takes nothing more: then it no longer
  // empties the queue. Pooled writes fill the socket quickly. The packets go
  // into the queue itself: a caller would write them itself while the queue
  // is empty.
  ASSERT_EQ(cLink_EnablePooledPackets(id, true), cErrNone);
  cPacketFifoId outgoing = sLookupEntryByID(id)->link.outgoing;
  auto put = [&](uint32_t, uint8_t address, const std::vector<uint8_t> &data) {
    cPacket *p = cPacket_CreateWithData(address, (uint8_t)data.size(), data.data());
    cErr err = cPacketFifo_Put(outgoing, p);
    cPacket_Destroy(&p);
    return err;
  };
  auto start = std::chrono::steady_clock::now(), full = start;
  bool stuck = false;
  while (!stuck && secondsSince(start) < 20) {
    if (cPacketFifo_GetLength(outgoing) < 700) { // one pooled write takes at most 147
      while (cPacketFifo_GetLength(outgoing) < 900)
        ASSERT_EQ(put(id, 4, std::vector<uint8_t>(27, 2)), cErrNone);
      full = std::chrono::steady_clock::now();
    }
    stuck = secondsSince(full) > 0.2;
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(stuck);
  ASSERT_EQ(cLink_EnablePooledPackets(id, false), cErrNone);
  while (cPacketFifo_GetLength(outgoing) < 900)
    ASSERT_EQ(put(id, 4, std::vector<uint8_t>(27, 1)), cErrNone);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  EXPECT_LT(secondsSince(start), 10.0); // a bound, well below 1000 write time-outs
}

// A reset against a peer that no longer answers gives up after a few seconds,
// and a destroy meanwhile does not wait for every attempt.
TEST(LinkTeardown, AResetOfAnUnreachablePeerIsBoundedAndADestroyCutsItShort) {
  StalledPeer peer;
  ASSERT_NE(peer.port, 0);
  uint32_t id = cLink_CreateTCPIP(0x00CC0003, TcpModule::loopbackAddress(), peer.port);
  ASSERT_NE(id, 0u);
  ASSERT_GE(peer.accept1(), 0);
  peer.clog();

  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(cLink_Reset(id), cErrNone);
  double alone = secondsSince(start);
  EXPECT_LT(alone, 12.0); // each attempt waits for its connect time-out: 20 of them took a minute

  uint32_t destroyed = id;
  std::atomic<bool> resetting{false};
  std::thread reset([&] {
    resetting = true;
    cLink_Reset(id);
  });
  while (!resetting) {
  }
  std::this_thread::sleep_for(100ms); // the reset is in its first connect
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(cLink_Destroy(&destroyed), cErrNone);
  EXPECT_LT(secondsSince(start), 4.5); // at most the attempt under way
  reset.join();
}
