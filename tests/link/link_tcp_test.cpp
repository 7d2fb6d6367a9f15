// Links to modules over TCP/IP (a module peer on 127.0.0.1) and over a serial
// line (a pseudo-terminal with COBS frames), and the creation rules.
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cLinkManagerInternal.h"
#include "module_peer.h"
#include "tcp_module.h"

namespace {

using namespace std::chrono_literals;
using qwemu::ModulePeer;
using qwemu::Packet;
using qwemu::TcpModule;

bool waitStatus(uint32_t id, uint32_t status, std::chrono::milliseconds timeout = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (cLink_GetStatus(id) != status && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  return cLink_GetStatus(id) == status;
}

cErr put(uint32_t id, uint8_t address, std::vector<uint8_t> data) {
  cPacket *p = cPacket_CreateWithData(address, (uint8_t)data.size(), data.data());
  cErr err = cLink_PutPacket(id, p);
  cPacket_Destroy(&p);
  return err;
}

bool firstByteIs(const cPacket *p, const void *reference) {
  return p->length >= 1 && p->data[0] == *static_cast<const uint8_t *>(reference);
}

class LinkTcpTest : public ::testing::Test {
protected:
  void SetUp() override {
    module = std::make_unique<TcpModule>(peer);
    ASSERT_TRUE(module->ok());
  }
  void TearDown() override {
    if (id != 0)
      cLink_Destroy(&id);
    module.reset();
  }
  uint32_t create(uint32_t serial = 0x00C0FFEE) {
    return cLink_CreateTCPIP(serial, TcpModule::loopbackAddress(), module->port());
  }
  ModulePeer peer{4, 0x31};
  std::unique_ptr<TcpModule> module;
  uint32_t id = 0;
};

TEST_F(LinkTcpTest, PacketsTravelBothWays) {
  id = create();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_TRUE(peer.waitFor([&] { return peer.routeRequests() == std::vector<uint8_t>{1}; }, 3000ms));
  EXPECT_EQ(peer.syncRequests(), 0u); // TCP/IP links start without the handshake

  ASSERT_EQ(put(id, 4, {0x10, 0x20}), cErrNone);
  EXPECT_TRUE(peer.waitFor([&] { return peer.received().size() == 1; }, 3000ms));
  EXPECT_EQ(peer.received()[0], (Packet{4, {0x10, 0x20}}));

  peer.send(Packet{4, {0x33, 0x01}});
  const uint8_t tag = 0x33;
  cPacket *answer = cLink_AwaitFirst(id, firstByteIs, &tag, 3000);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->address, 4);
  EXPECT_EQ(answer->data[1], 0x01);
  cPacket_Destroy(&answer);

  peer.sendHeartbeat(0);
  peer.sendHeartbeat(1);
  EXPECT_TRUE(peer.waitFor([&] { return peer.heartbeatAnswers() == std::vector<uint8_t>{2, 3}; }, 3000ms));
  EXPECT_EQ(cLink_GetPacket(id), nullptr);
}

TEST_F(LinkTcpTest, AModuleQueryAnswersAddressAndModel) {
  id = create();
  ASSERT_NE(id, 0u);
  uint8_t address = 0, model = 0;
  ASSERT_EQ(_cLink_GetModuleAddress(id, &address), cErrNone);
  EXPECT_EQ(address, 4);
  ASSERT_EQ(_cLink_GetModel(id, address, &model), cErrNone);
  EXPECT_EQ(model, 0x31);
  // Nothing answers an address without a module.
  EXPECT_EQ(_cLink_GetModel(id, 6, &model), cErrTimeout);
  peer.setAnswerSync(false);
  EXPECT_EQ(_cLink_GetModuleAddress(id, &address), cErrTimeout);
  EXPECT_EQ(address, 0);
}

TEST_F(LinkTcpTest, LinksToOneModuleAreSharedAndCounted) {
  id = create();
  ASSERT_NE(id, 0u);
  uint32_t again = create();
  EXPECT_EQ(again, id);
  // The module counts a connection when it accepts it, which may come after
  // the create has returned.
  EXPECT_TRUE(peer.waitFor([&] { return module->connections() >= 1u; }, 3000ms));
  EXPECT_EQ(module->connections(), 1u);
  EXPECT_EQ(cLink_Destroy(&again), cErrNone);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING); // one use is left
  ASSERT_EQ(put(id, 4, {0x01}), cErrNone);
  EXPECT_TRUE(peer.waitFor([&] { return peer.received().size() == 1; }, 3000ms));

  uint32_t last = id;
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  EXPECT_EQ(cLink_GetStatus(last), cLINK_NO_STREAM);
  EXPECT_TRUE(peer.waitFor([&] { return peer.routeRequests() == std::vector<uint8_t>{1, 0}; }, 3000ms));
  EXPECT_EQ(sLookupEntryByID(last), nullptr);
  EXPECT_EQ(cLink_Destroy(&last), cErrParam);
}

TEST_F(LinkTcpTest, ResetMakesANewConnection) {
  id = create();
  ASSERT_NE(id, 0u);
  ASSERT_EQ(cLink_EnablePooledPackets(id, true), cErrNone);
  ASSERT_EQ(cLink_Reset(id), cErrNone);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_TRUE(peer.waitFor([&] { return module->connections() == 2u; }, 3000ms));
  EXPECT_FALSE(sLookupEntryByID(id)->link.pooled); // a reset link starts plain
  ASSERT_EQ(put(id, 4, {0x02}), cErrNone);
  EXPECT_TRUE(peer.waitFor([&] { return peer.received().size() == 1; }, 3000ms));
}

TEST_F(LinkTcpTest, AResetThatGetsNoStreamFailsAndLeavesTheLinkStopped) {
  id = create();
  ASSERT_NE(id, 0u);
  module->stopListening();
  module->closeConnection();
  cErr err = cLink_Reset(id); // 20 attempts, 2 s
  EXPECT_NE(err, cErrNone);
  EXPECT_EQ(err, cErrResource); // the socket stream's own error
  EXPECT_EQ(cLink_GetStatus(id), cLINK_NO_STREAM);
  EXPECT_EQ(cLink_AwaitFirst(id, firstByteIs, "", 100), nullptr);
  EXPECT_NE(cLink_PutPacket(id, nullptr), cErrNone);
}

TEST_F(LinkTcpTest, APeerThatClosesInOrderIsNoLongerConnected) {
  id = create();
  ASSERT_NE(id, 0u);
  module->stopListening(); // it will not come back
  module->closeConnection();
  EXPECT_TRUE(waitStatus(id, cLINK_IO_ERROR));
}

TEST_F(LinkTcpTest, NothingListeningMeansNoLink) {
  uint16_t port = module->port();
  module.reset(); // the port is closed now
  EXPECT_EQ(cLink_CreateTCPIP(0x1234, TcpModule::loopbackAddress(), port), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(0x1234, linkTypeTCPIP), nullptr);
}

TEST(LinkCreation, ClientAndServerLinksNeedALinkServer) {
  ModulePeer peer;
  TcpModule module(peer);
  uint32_t id = cLink_CreateTCPIP(0x77, TcpModule::loopbackAddress(), module.port());
  ASSERT_NE(id, 0u);
  // A client link by reference is one more use of that link.
  EXPECT_EQ(cLink_CreateClient(0, 0, id), id);
  EXPECT_EQ(cLink_CreateClient(0, 0, 987654321), 0u);
  // A new client link needs a link server to talk to.
  EXPECT_EQ(cLink_CreateClient(TcpModule::loopbackAddress(), 5555, 0), 0u);
  EXPECT_EQ(sLookupEntryByTrident(TcpModule::loopbackAddress(), 5555, 0), nullptr);
  uint32_t port = 0, interfaceAddress = 0x0100007F;
  EXPECT_EQ(cLink_CreateServer(id, nullptr, &interfaceAddress, true), 0u);
  EXPECT_EQ(cLink_CreateServer(987654321, &port, &interfaceAddress, true), 0u);
  EXPECT_EQ(cLink_CreateServer(id, &port, &interfaceAddress, true), 0u);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  uint32_t last = sLookupEntryByIdentifier(0x77, linkTypeTCPIP)->identifier;
  EXPECT_EQ(cLink_Destroy(&last), cErrNone);
  EXPECT_EQ(sLookupEntryByIdentifier(0x77, linkTypeTCPIP), nullptr);
}

// ---------------------------------------------------------------- serial

// The module end of a serial line: COBS frames on a pseudo-terminal.
class SerialModule {
public:
  SerialModule() {
    char name[128];
    ok_ = openpty(&master_, &slave_, name, nullptr, nullptr) == 0;
    if (!ok_)
      return;
    termios t;
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    path_ = name;
    thread_ = std::thread([this] { run(); });
  }
  ~SerialModule() {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
    if (ok_) {
      close(master_);
      close(slave_);
    }
  }
  const std::string &path() const { return path_; }
  ModulePeer peer{6, 0x44};

private:
  void sendFrame(const uint8_t *data, size_t length) {
    // One packet per frame: split what the peer sends at packet boundaries.
    for (size_t at = 0; at + 2 <= length;) {
      size_t n = 2 + data[at + 1];
      uint8_t raw[40], frame[48];
      memcpy(raw, data + at, n);
      raw[n] = crc8_create(raw, n);
      size_t encoded = cobs_encode(raw, n + 1, frame);
      frame[encoded++] = 0x00;
      if (write(master_, frame, encoded) != (ssize_t)encoded)
        return;
      at += n;
    }
  }
  void run() {
    peer.setSink([this](const uint8_t *d, size_t n) { sendFrame(d, n); });
    std::vector<uint8_t> frame;
    for (int idle = 0; !stop_ && idle < 3000; idle++) { // bounded: about 30 s
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0)
        continue;
      uint8_t b[256];
      ssize_t n = read(master_, b, sizeof b);
      for (ssize_t i = 0; i < n; i++) {
        if (b[i] != 0) {
          frame.push_back(b[i]);
          continue;
        }
        uint8_t decoded[64];
        size_t length = frame.size() < sizeof decoded ? cobs_decode(frame.data(), frame.size(), decoded) : 0;
        frame.clear();
        if (length >= 3 && crc8_check(decoded, length - 1, decoded[length - 1]))
          peer.receive(decoded, length - 1);
      }
    }
    peer.setSink(nullptr);
  }
  int master_ = -1, slave_ = -1;
  bool ok_ = false;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(LinkSerial, OnlyTheListedBaudRatesMakeALink) {
  SerialModule module;
  ASSERT_FALSE(module.path().empty());
  EXPECT_EQ(cLink_CreateSerial(0x5E, module.path().c_str(), 14400), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(0x5E, linkTypeSerial), nullptr);
  EXPECT_EQ(cLink_CreateSerial(0x5E, nullptr, 115200), 0u);

  uint32_t id = cLink_CreateSerial(0x5E, module.path().c_str(), 115200);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_EQ(cLink_CreateSerial(0x5E, "/dev/whatever", 9600), id); // one more use
  module.peer.setEcho();
  ASSERT_EQ(put(id, 6, {0x21, 0x22, 0x23}), cErrNone);
  const uint8_t tag = 0x21;
  cPacket *echo = cLink_AwaitFirst(id, firstByteIs, &tag, 3000);
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->address, 6);
  EXPECT_EQ(echo->length, 3);
  cPacket_Destroy(&echo);
  // A serial link can't be made again from what the registry keeps.
  EXPECT_EQ(cLink_Reset(id), cErrParam);
  EXPECT_EQ(cLink_GetStatus(id), cLINK_RUNNING);
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
  id = sLookupEntryByIdentifier(0x5E, linkTypeSerial)->identifier;
  EXPECT_EQ(cLink_Destroy(&id), cErrNone);
}

} // namespace
