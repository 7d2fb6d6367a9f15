// Discovery over UDP multicast and CZMQ beacons. This program runs inside a
// private network namespace (ctest starts it under "unshare --net"); it adds a
// bridge interface there, because beacons skip the loopback interface.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <czmq.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "process.h"
#include "quillwork/cDiscovery.h"

namespace {

constexpr const char *kBridge = "qwbr0";
constexpr const char *kHostA = "10.98.0.1";
constexpr const char *kHostB = "10.98.0.2";

uint32_t addressOf(const char *text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// Safe to send multicast and broadcast: this namespace has no interface but
// loopback and the test's own bridge, and it is not the parent's namespace.
bool privateNamespace() {
  struct stat self, parent;
  std::string parentPath = "/proc/" + std::to_string(getppid()) + "/ns/net";
  if (stat("/proc/self/ns/net", &self) != 0 || (stat(parentPath.c_str(), &parent) == 0 && parent.st_ino == self.st_ino))
    return false;
  struct if_nameindex *names = if_nameindex();
  if (names == nullptr)
    return false;
  bool onlyOurs = true;
  for (struct if_nameindex *i = names; i->if_index != 0; i++)
    if (strcmp(i->if_name, "lo") != 0 && strcmp(i->if_name, kBridge) != 0)
      onlyOurs = false;
  if_freenameindex(names);
  return onlyOurs;
}

class NetnsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!privateNamespace())
      return;
    auto has = qwtest::RunProcess({"/sbin/ip", "addr", "show", "dev", kBridge}, 5000);
    if (has.status == 0)
      return;
    qwtest::RunProcess({"/sbin/ip", "link", "add", kBridge, "type", "bridge"}, 5000);
    qwtest::RunProcess({"/sbin/ip", "addr", "add", std::string(kHostA) + "/24", "brd", "+", "dev", kBridge}, 5000);
    qwtest::RunProcess({"/sbin/ip", "addr", "add", std::string(kHostB) + "/24", "dev", kBridge}, 5000);
    qwtest::RunProcess({"/sbin/ip", "link", "set", kBridge, "up"}, 5000);
  }
  void SetUp() override {
    // Multicast and broadcast must never leave a private namespace.
    ASSERT_TRUE(privateNamespace()) << "run this program under unshare --net";
    auto has = qwtest::RunProcess({"/sbin/ip", "addr", "show", "dev", kBridge}, 5000);
    ASSERT_EQ(has.status, 0) << has.err;
  }
};

struct Found {
  std::vector<linkSpec> specs;
  int stopAfter = 1000;
};

int collect(const linkSpec *spec, bool *counted, void *reference) {
  Found *found = static_cast<Found *>(reference);
  found->specs.push_back(*spec);
  *counted = true;
  return (int)found->specs.size() < found->stopAfter;
}

// ---------------------------------------------------------------- TCP/IP modules

// A module on the network: answers the discovery request with its reply
// datagram, sent from its own address to port 9889 of the asker.
class FakeModule {
public:
  FakeModule(const char *ownAddress, std::vector<uint8_t> reply) : reply_(std::move(reply)) {
    listen_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(cDISCOVERY_MODULE_REQUEST_PORT);
    bound_ = bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = addressOf(cDISCOVERY_MODULE_GROUP);
    m.imr_interface.s_addr = addressOf(kHostA);
    joined_ = setsockopt(listen_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
    timeval tv{0, 100000};
    setsockopt(listen_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    answer_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = addressOf(ownAddress);
    bind(answer_, reinterpret_cast<sockaddr *>(&own), sizeof own);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeModule() {
    stop_ = true;
    thread_.join();
    close(listen_);
    close(answer_);
  }
  bool ready() const { return bound_ && joined_; }
  int requests() const { return requests_; }

private:
  void run() {
    for (int i = 0; i < 300 && !stop_; i++) { // at most 30 s
      uint8_t request[64];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n = recvfrom(listen_, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from), &length);
      if (n != cDISCOVERY_MODULE_DATAGRAM || request[0] != 0x01)
        continue;
      requests_++;
      from.sin_port = htons(cDISCOVERY_MODULE_REPLY_PORT);
      sendto(answer_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
    }
  }
  std::vector<uint8_t> reply_;
  int listen_ = -1, answer_ = -1;
  bool bound_ = false, joined_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

const std::vector<uint8_t> kReplyA = {0x00, 0x04, 0xE8, 0x03, 0x78, 0x56, 0x34, 0x12,
                                      0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kReplyB = {0x00, 0x06, 0x10, 0x27, 0x02, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00};

TEST_F(NetnsTest, TCPIPModulesAnswerTheRequestThroughOneInterface) {
  FakeModule a(kHostA, kReplyA), b(kHostB, kReplyB);
  ASSERT_TRUE(a.ready() && b.ready());
  Found found;
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeTCPIP, collect, &found, addressOf(kHostA)), 2);
  EXPECT_EQ(a.requests(), 1);
  ASSERT_EQ(found.specs.size(), 2u);
  const linkSpec &sa = found.specs[0].serialNumber == 0x12345678 ? found.specs[0] : found.specs[1];
  const linkSpec &sb = &sa == &found.specs[0] ? found.specs[1] : found.specs[0];
  EXPECT_EQ(sa.type, linkTypeTCPIP);
  EXPECT_EQ(sa.serialNumber, 0x12345678u);
  EXPECT_EQ(sa.moduleAddress, 4u);
  EXPECT_EQ(sa.port, 1000u);
  EXPECT_EQ(sa.model, 0x11u);
  EXPECT_EQ(sa.ipAddress, addressOf(kHostA));
  EXPECT_EQ(sb.serialNumber, 2u);
  EXPECT_EQ(sb.port, 10000u);
  EXPECT_EQ(sb.ipAddress, addressOf(kHostB));
}

TEST_F(NetnsTest, TCPIPSearchOfThisMachineAsksThroughEveryInterfaceButLoopback) {
  FakeModule a(kHostA, kReplyA);
  ASSERT_TRUE(a.ready());
  linkSpec *spec = cDiscovery_FindModule(linkTypeTCPIP, 0x12345678, cDISCOVERY_LOCALHOST);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->port, 1000u);
  cLinkSpec_Destroy(&spec);
  // The bridge carries two addresses, so the request went out twice. The
  // search ends at the first answer, so the module may still be reading the
  // second request: give it a moment.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (a.requests() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(a.requests(), 2);
}

TEST_F(NetnsTest, TCPIPSearchStopsWhenTheCallbackSaysSo) {
  FakeModule a(kHostA, kReplyA), b(kHostB, kReplyB);
  ASSERT_TRUE(a.ready() && b.ready());
  Found found;
  found.stopAfter = 1;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeTCPIP, collect, &found, addressOf(kHostA)), 1);
  EXPECT_EQ(found.specs.size(), 1u);
  // It did not sit out the 2 s of silence that end a full search.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
}

TEST_F(NetnsTest, TwoSearchesAtOnceEachGetTheirModule) {
  // Two programs look for their own module at the same moment; every module
  // answers every request at the asker's reply port. Each search must still
  // see its module's answer, round after round.
  FakeModule a(kHostA, kReplyA), b(kHostB, kReplyB);
  ASSERT_TRUE(a.ready() && b.ready());
  int missed = 0;
  for (int round = 0; round < 8; round++) {
    std::atomic<int> waiting{2};
    std::atomic<int> found{0};
    auto search = [&](uint32_t serial) {
      waiting--;
      while (waiting > 0)
        std::this_thread::yield();
      linkSpec *spec = cDiscovery_FindModule(linkTypeTCPIP, serial, addressOf(kHostA));
      if (spec != nullptr && spec->serialNumber == serial)
        found++;
      cLinkSpec_Destroy(&spec);
    };
    std::thread first(search, 0x12345678u), second(search, 2u);
    first.join();
    second.join();
    missed += 2 - found;
  }
  EXPECT_EQ(missed, 0);
}

TEST_F(NetnsTest, TCPIPSearchWaitsBoundedForTheReplyPort) {
  FakeModule a(kHostA, kReplyA);
  ASSERT_TRUE(a.ready());
  // Another search holds the reply port for longer than any search does.
  int held = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in port{};
  port.sin_family = AF_INET;
  port.sin_port = htons(cDISCOVERY_MODULE_REPLY_PORT);
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&port), sizeof port), 0);
  auto t0 = std::chrono::steady_clock::now();
  linkSpec *spec = cDiscovery_FindModule(linkTypeTCPIP, 0x12345678, addressOf(kHostA));
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(a.requests(), 0); // nothing asked without a place for the answers
  EXPECT_LT(waited, std::chrono::seconds(10));
  // Freed while the next search waits: that one goes through.
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(held);
  });
  spec = cDiscovery_FindModule(linkTypeTCPIP, 0x12345678, addressOf(kHostA));
  release.join();
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->port, 1000u);
  cLinkSpec_Destroy(&spec);
}

// ---------------------------------------------------------------- local link servers

linkSpec serverSpec(uint32_t serial, const char *ip, uint32_t port) {
  linkSpec s{};
  s.type = linkTypeCEtherUSB;
  s.serialNumber = serial;
  s.moduleAddress = 4;
  s.model = 0x23;
  s.ipAddress = addressOf(ip);
  s.port = port;
  return s;
}

// A link server's multicast answerer: holds the probe port 9850 + offset and
// answers the query word with its spec on 9950 + offset.
class FakeLocalServer {
public:
  FakeLocalServer(int offset, linkSpec spec, size_t answerLength = sizeof(linkSpec))
      : spec_(spec), answerLength_(answerLength) {
    uint32_t group = htonl(cDISCOVERY_SERVER_GROUP);
    in_ = cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REQUEST_PORT + offset),
                            cMULTICAST_RECEIVER);
    out_ = cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REPLY_PORT + offset),
                             cMULTICAST_SENDER);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeLocalServer() {
    stop_ = true;
    thread_.join();
    cMulticast_Destroy(&in_);
    cMulticast_Destroy(&out_);
  }
  bool ready() const { return in_ != nullptr && out_ != nullptr; }
  int queries() const { return queries_; }

private:
  void run() {
    for (int i = 0; i < 30 && !stop_ && in_ != nullptr; i++) { // receive waits 1 s
      uint32_t word = 0;
      if (cMulticast_Receive(in_, &word, sizeof word) != 4 || word != cDISCOVERY_SERVER_QUERY)
        continue;
      queries_++;
      uint8_t answer[sizeof(linkSpec) + 8] = {};
      memcpy(answer, &spec_, sizeof spec_);
      cMulticast_Send(out_, answer, answerLength_);
    }
  }
  linkSpec spec_;
  size_t answerLength_;
  cMulticast *in_ = nullptr, *out_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

TEST_F(NetnsTest, MulticastSocketsCheckTheirMode) {
  uint32_t group = htonl(cDISCOVERY_SERVER_GROUP);
  cMulticast *rx = cMulticast_Create(0, group, 9870, cMULTICAST_RECEIVER);
  cMulticast *tx = cMulticast_Create(cDISCOVERY_LOCALHOST, group, 9870, cMULTICAST_SENDER);
  ASSERT_NE(rx, nullptr);
  ASSERT_NE(tx, nullptr);
  // A second receiver cannot take a port that is held.
  EXPECT_EQ(cMulticast_Create(0, group, 9870, cMULTICAST_RECEIVER), nullptr);
  char buffer[8] = "ping";
  EXPECT_EQ(cMulticast_Send(rx, buffer, 4), -3);
  EXPECT_EQ(cMulticast_Receive(tx, buffer, 4), -3);
  EXPECT_EQ(cMulticast_Send(tx, buffer, 4), 4);
  char got[8] = {};
  EXPECT_EQ(cMulticast_Receive(rx, got, sizeof got), 4);
  EXPECT_STREQ(got, "ping");
  EXPECT_EQ(cMulticast_Receive(rx, got, sizeof got), -1); // 1 s without a datagram
  EXPECT_EQ(cMulticast_Destroy(&rx), 0);
  EXPECT_EQ(rx, nullptr);
  cMulticast_Destroy(&tx);
}

TEST_F(NetnsTest, LocalSearchWithoutServersFindsNothing) {
  Found found;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cDiscovery_Enumerate_cEtherModules(collect, &found, cDISCOVERY_LOCALHOST), 0);
  EXPECT_TRUE(found.specs.empty());
  // No probe port was held, so no reply was waited for (that takes 1 s each).
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
}

TEST_F(NetnsTest, LocalSearchAsksEveryServerAndKeepsThoseOfThisMachine) {
  FakeLocalServer local(3, serverSpec(0x00ABCDEF, "127.0.0.1", 6001));
  FakeLocalServer remote(7, serverSpec(0x00000077, kHostA, 6002));
  FakeLocalServer broken(9, serverSpec(0x00000099, "127.0.0.1", 6003), sizeof(linkSpec) + 4);
  ASSERT_TRUE(local.ready() && remote.ready() && broken.ready());
  Found found;
  EXPECT_EQ(cDiscovery_EnumerateModules(linkTypeCEther, collect, &found, 0), 1);
  ASSERT_EQ(found.specs.size(), 1u);
  linkSpec expected = serverSpec(0x00ABCDEF, "127.0.0.1", 6001);
  EXPECT_EQ(memcmp(&found.specs[0], &expected, sizeof expected), 0);
  EXPECT_EQ(local.queries(), 1);
  EXPECT_EQ(remote.queries(), 1);
  EXPECT_EQ(broken.queries(), 1); // asked, but a 132-byte answer is no spec

  linkSpec *spec = cDiscovery_FindModule(linkTypeCEtherUSB, 0x00ABCDEF, cDISCOVERY_LOCALHOST);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->port, 6001u);
  cLinkSpec_Destroy(&spec);
}

// ---------------------------------------------------------------- beacons

// A link server's beacon: its spec as the payload, every 50 ms.
class FakeBeaconServer {
public:
  explicit FakeBeaconServer(const linkSpec &spec) {
    EXPECT_EQ(zBeaconInterface_backupSetAndLock(kHostA), 1);
    beacon_ = zactor_new(zbeacon, nullptr);
    zsock_set_rcvtimeo(beacon_, 2000);
    zsock_send(beacon_, "si", "CONFIGURE", cDISCOVERY_BEACON_PORT);
    char *host = zstr_recv(beacon_);
    zBeaconInterface_restoreAndUnlock();
    ok_ = host != nullptr && *host != '\0';
    zstr_free(&host);
    zsock_send(beacon_, "sbi", "PUBLISH", &spec, sizeof spec, 50);
  }
  ~FakeBeaconServer() {
    zstr_sendx(beacon_, "SILENCE", nullptr);
    zactor_destroy(&beacon_);
  }
  bool ok() const { return ok_; }

private:
  zactor_t *beacon_ = nullptr;
  bool ok_ = false;
};

TEST_F(NetnsTest, BeaconSearchReportsEachServerOnce) {
  ASSERT_EQ(zBeaconInterface_setAndLock("*"), 1);
  zBeaconInterface_unlock();
  FakeBeaconServer one(serverSpec(0x0000BEEF, kHostA, 7001));
  FakeBeaconServer two(serverSpec(0x0000CAFE, kHostB, 7002));
  ASSERT_TRUE(one.ok() && two.ok());
  Found found;
  EXPECT_EQ(cDiscovery_Enumerate_cEtherModules(collect, &found, addressOf(kHostA)), 2);
  ASSERT_EQ(found.specs.size(), 2u); // about 40 beacons arrived, two servers
  EXPECT_NE(found.specs[0].serialNumber, found.specs[1].serialNumber);
  for (const linkSpec &s : found.specs) {
    EXPECT_TRUE(s.serialNumber == 0xBEEF || s.serialNumber == 0xCAFE);
    EXPECT_EQ(s.type, linkTypeCEtherUSB);
  }
  // The previous beacon interface is back.
  EXPECT_EQ(zBeaconInterface_get(), "*");
}

TEST_F(NetnsTest, BeaconSearchStopsWhenTheCallbackSaysSo) {
  FakeBeaconServer one(serverSpec(0x0000BEEF, kHostA, 7001));
  FakeBeaconServer two(serverSpec(0x0000CAFE, kHostB, 7002));
  ASSERT_TRUE(one.ok() && two.ok());
  Found found;
  found.stopAfter = 1;
  EXPECT_EQ(cDiscovery_Enumerate_cEtherModules(collect, &found, addressOf(kHostA)), 1);
  EXPECT_EQ(found.specs.size(), 1u);
}

} // namespace
