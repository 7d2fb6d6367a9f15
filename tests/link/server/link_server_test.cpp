// The link server seen from its clients: frames on the front end, answers to
// the right client, UEI-bytes series kept whole, stream batches, clients that
// die. The program moves itself into a private network namespace first (the
// server answers multicast discovery on loopback).
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "cServerInternal.h"
#include "netns.h"
#include "process.h"
#include "quillwork/Entity.h"
#include "quillwork/cDebug.h"
#include "quillwork/cLink.h"
#include "quillwork/cServer_ZeroMQ.h"
#include "server_fixture.h"

using namespace Corvatek::Quillwork;
using qwtest::Bytes;

namespace {

// A copy of this program started with QW_SERVER_CHILD=MODE:PORT and the
// filter ServerChildProcess.* is a client process of the server at PORT.
int sChildMain(const char *what) {
  std::string mode(what, strcspn(what, ":"));
  uint16_t port = static_cast<uint16_t>(atoi(strchr(what, ':') + 1));
  if (mode == "echo") {
    // Echo requests with this process's own payload: every answer must be
    // its own.
    linkSpec spec{};
    spec.type = linkTypeCEtherTCPIP;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.port = port;
    Module module(4, 0);
    if (module.connectFromSpec(spec) != cErrNone)
      return 2;
    for (int i = 0; i < 100; i++) {
      uint8_t payload[8] = {'c', 'h', 'i', 'l', 'd', uint8_t(i), uint8_t(getpid()), 1};
      if (module.debug(payload, sizeof payload) != cErrNone)
        return 3;
    }
    return 0;
  }
  if (mode == "hang") {
    // Subscribes to streams, starts a UEI-bytes series and never finishes it.
    qwtest::RawClient client(port);
    client.sendPacket(4, {93, 0x81, 0x20, 4, 3, 22, 0});
    if (!client.receive(3000))
      return 2;
    client.sendPacket(4, qwtest::NameSeries(60, 'h')[0]);
    puts("hanging");
    fflush(stdout);
    sleep(30); // killed before
    return 0;
  }
  return 4;
}

// A client process stays in the namespace of the test that started it.
const bool kIsolated = getenv("QW_SERVER_CHILD") != nullptr || qwtest::IsolateNetwork();

// Runs this program as a client process (see sChildMain).
qwtest::ProcessResult sRunChild(const std::string &mode, uint16_t port, int timeoutMs) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
  return qwtest::RunProcess({self, "--gtest_filter=ServerChildProcess.*"}, timeoutMs,
                            {"QW_SERVER_CHILD=" + mode + ":" + std::to_string(port)});
}

// Collects what the library prints on standard output while it lives.
class StdoutCapture {
public:
  StdoutCapture() {
    fflush(stdout);
    if (pipe(fds_) != 0)
      return;
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    saved_ = dup(1);
    dup2(fds_[1], 1);
  }
  ~StdoutCapture() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
  }
  // Waits up to timeoutMs for text to appear.
  bool waitFor(const std::string &text, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      fflush(stdout);
      char buffer[4096];
      ssize_t n;
      while ((n = read(fds_[0], buffer, sizeof buffer)) > 0)
        seen_.append(buffer, static_cast<size_t>(n));
      if (seen_.find(text) != std::string::npos)
        return true;
      usleep(20000);
    }
    return false;
  }

private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
  std::string seen_;
};

// qw-link-server started with these arguments, and the first line it printed
// on standard output (within 10 s).
struct Program {
  pid_t pid = 0;
  std::string line;
};

Program sStartProgram(const std::vector<std::string> &arguments) {
  Program program;
  std::string path = std::string(QW_BINARY_DIR) + "/tools/link-server/qw-link-server";
  std::vector<std::string> words{path};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0)
    return program;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  if (posix_spawn(&program.pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    program.pid = 0;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  for (int waited = 0; program.pid != 0 && program.line.find('\n') == std::string::npos && waited < 10000;
       waited += 50) {
    pollfd p = {fds[0], POLLIN, 0};
    char buffer[256];
    ssize_t n = poll(&p, 1, 50) == 1 ? read(fds[0], buffer, sizeof buffer) : 0;
    if (n > 0)
      program.line.append(buffer, static_cast<size_t>(n));
    else if (n < 0 || (p.revents & POLLHUP))
      break;
  }
  close(fds[0]);
  return program;
}

// SIGTERM, then the exit status (bounded; -1 when it had to be killed).
int sStopProgram(const Program &program) {
  if (program.pid == 0)
    return -1;
  kill(program.pid, SIGTERM);
  int status = -1;
  for (int waited = 0; waited < 10000 && waitpid(program.pid, &status, WNOHANG) == 0; waited += 20)
    usleep(20000);
  if (!WIFEXITED(status)) {
    kill(program.pid, SIGKILL);
    waitpid(program.pid, &status, 0);
    return -1;
  }
  return WEXITSTATUS(status);
}

// The port of "Serving module ... on tcp://ADDRESS:PORT", 0 without that line.
uint16_t sServedPort(const std::string &line, const std::string &prefix) {
  if (line.compare(0, prefix.size(), prefix) != 0)
    return 0;
  return static_cast<uint16_t>(atoi(line.c_str() + prefix.size()));
}

// Lines a server of this process logs.
std::mutex gLoggedLock;
std::vector<std::string> gLogged;
void sLogged(const char *text) {
  std::lock_guard<std::mutex> g(gLoggedLock);
  gLogged.emplace_back(text);
}
bool sWasLogged(const std::string &part) {
  std::lock_guard<std::mutex> g(gLoggedLock);
  for (const std::string &line : gLogged)
    if (line.find(part) != std::string::npos)
      return true;
  return false;
}

// A ZeroMQ peer that watches its own connection to the server.
class WatchedPeer {
public:
  explicit WatchedPeer(uint16_t port) {
    static int next = 0;
    std::string endpoint = "inproc://test-peer-" + std::to_string(next++);
    socket_ = zsock_new(ZMQ_DEALER);
    zsock_set_linger(socket_, 0);
    zmq_socket_monitor(zsock_resolve(socket_), endpoint.c_str(), ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED);
    events_ = zsock_new(ZMQ_PAIR);
    zsock_connect(events_, "%s", endpoint.c_str());
    zsock_connect(socket_, "tcp://127.0.0.1:%u", port);
  }
  ~WatchedPeer() {
    zmq_socket_monitor(zsock_resolve(socket_), nullptr, 0);
    zsock_destroy(&events_);
    zsock_destroy(&socket_);
  }
  // True when the event comes within timeoutMs.
  bool waitFor(uint16_t kind, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      zmsg_t *event = nullptr;
      zpoller_t *poller = zpoller_new(events_, nullptr);
      if (zpoller_wait(poller, 20) != nullptr)
        event = zmsg_recv(events_);
      zpoller_destroy(&poller);
      if (event == nullptr)
        continue;
      zframe_t *first = zmsg_first(event);
      uint16_t got = 0;
      if (first != nullptr && zframe_size(first) >= 2)
        memcpy(&got, zframe_data(first), sizeof got);
      zmsg_destroy(&event);
      if (got == kind)
        return true;
    }
    return false;
  }
  void send(size_t size) {
    zframe_t *f = zframe_new(nullptr, size);
    memset(zframe_data(f), 4, size);
    zframe_send(&f, socket_, 0);
  }

private:
  zsock_t *socket_ = nullptr, *events_ = nullptr;
};

class LinkServer : public ::testing::Test {
protected:
  void SetUp() override {
    if (!kIsolated)
      GTEST_SKIP() << "no private network namespace";
    ASSERT_NE(shared.sim.module, nullptr) << shared.sims.error();
    ASSERT_EQ(shared.connected, cErrNone);
    ASSERT_NE(shared.port, 0);
  }
  void TearDown() override { cQuillworkDebuggingEnable = false; }

  qwtest::SharedModule shared;
};

} // namespace

// The client side of the two-process tests; it runs only when one of them
// starts it.
TEST(ServerChildProcess, Run) {
  const char *what = getenv("QW_SERVER_CHILD");
  if (what == nullptr)
    GTEST_SKIP() << "started by the two-process tests only";
  EXPECT_EQ(sChildMain(what), 0);
}

TEST(ServerFrames, OnlyWellFormedFramesArePackets) {
  cPacket p;
  const uint8_t full[30] = {4, 28, 1, 2, 3};
  EXPECT_TRUE(cServer_FrameToPacket(full, 30, &p));
  EXPECT_EQ(p.address, 4);
  EXPECT_EQ(p.length, 28);
  EXPECT_EQ(p.data[2], 3);
  const uint8_t empty[2] = {0xAD, 0};
  EXPECT_TRUE(cServer_FrameToPacket(empty, 2, &p));
  EXPECT_EQ(p.length, 0);

  // The length byte may not promise more than the frame holds.
  const uint8_t promising[5] = {4, 4, 1, 2, 3};
  EXPECT_FALSE(cServer_FrameToPacket(promising, 5, &p));
  const uint8_t huge[30] = {4, 29};
  EXPECT_FALSE(cServer_FrameToPacket(huge, 30, &p));
  const uint8_t tooLong[31] = {4, 28};
  EXPECT_FALSE(cServer_FrameToPacket(tooLong, 31, &p));
  EXPECT_FALSE(cServer_FrameToPacket(full, 1, &p));
  EXPECT_FALSE(cServer_FrameToPacket(full, 0, &p));
}

TEST(ServerFrames, DiscoveryReplyLayout) {
  linkSpec spec = cServer_DiscoveryReply(5, 0x40F5849A, 4, 17, htonl(0x7F000001), 41234);
  uint8_t bytes[128];
  memcpy(bytes, &spec, sizeof bytes);
  const uint8_t head[32] = {5, 0, 0, 0, 0x9A, 0x84, 0xF5, 0x40, 4,   0, 0, 0, 0,    0,    0, 0,
                            0, 0, 0, 0, 17,   0,    0,    0,    127, 0, 0, 1, 0x12, 0xA1, 0, 0};
  EXPECT_EQ(0, memcmp(bytes, head, sizeof head));
  for (size_t i = sizeof head; i < sizeof bytes; i++)
    ASSERT_EQ(bytes[i], 0) << "offset " << i;
}

TEST_F(LinkServer, SharingLinkAnswersThroughTheServerAndIsNotSharedTwice) {
  SystemClass system;
  Module module(4, 0);
  // The owner is a client of its own server: a request goes the whole way.
  uint8_t address = 0;
  ASSERT_EQ(shared.owner->getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
  cEtherConfig config;
  shared.owner->getConfig(&config);
  EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));

  // A second direct link to a shared module is refused: it is reached
  // through the server only.
  Link second(shared.sim.spec, "second");
  EXPECT_EQ(second.connect(), cErrConnection);

  // A network client in this process.
  Link client(shared.clientSpec(), "client");
  ASSERT_EQ(client.connect(), cErrNone);
  address = 0;
  ASSERT_EQ(client.getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
  // Resetting a client link gives it a new connection to the server.
  ASSERT_EQ(client.reset(), cErrNone);
  address = 0;
  EXPECT_EQ(client.getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
}

TEST_F(LinkServer, LoopbackOnlyServerIsReachedOnLoopbackWhateverInterfaceWasAsked) {
  qwtest::SimTcpModule other = shared.sims.tcp([] {
    modulesim::ModuleConfig c;
    c.serial = 0x0A0B0C0D;
    return c;
  }());
  Link link(other.spec, "local");
  cEtherConfig config;
  config.localOnly = 1;
  config.networkInterface = htonl(0x0A010203); // 10.1.2.3: not this machine's
  ASSERT_EQ(link.setConfig(config), cErrNone);
  ASSERT_EQ(link.connect(), cErrNone);
  link.getConfig(&config);
  EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), cErrNone);
}

TEST_F(LinkServer, ModuleBehindASharedRouterIsReachedThroughTheServer) {
  modulesim::ModuleConfig c;
  c.serial = 0x11223344;
  c.address = 6;
  shared.sims.member(*shared.sim.module, c);
  Module router(4, 0);
  ASSERT_EQ(router.connectFromSpec(shared.clientSpec()), cErrNone);
  Module member(6, false, 0);
  ASSERT_EQ(member.connectThroughLinkModule(router), cErrNone);
  const uint8_t payload[3] = {'m', 'e', 'm'};
  EXPECT_EQ(member.debug(payload, sizeof payload), cErrNone);
  SystemClass system;
  system.init(&member, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
  EXPECT_EQ(serial, 0x11223344u);
}

TEST_F(LinkServer, TwoProcessesEachGetTheirOwnAnswers) {
  qwtest::ProcessResult child;
  std::thread other([&] { child = sRunChild("echo", shared.port, 30000); });
  Module module(4, 0);
  linkSpec spec = shared.clientSpec();
  cErr connected = module.connectFromSpec(spec);
  int failures = 0;
  for (int i = 0; i < 100 && connected == cErrNone; i++) {
    uint8_t payload[8] = {'p', 'a', 'r', 'e', 'n', 't', uint8_t(i), 2};
    failures += module.debug(payload, sizeof payload) != cErrNone;
  }
  other.join();
  EXPECT_EQ(connected, cErrNone);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(child.status, 0) << child.out << child.err;
}

TEST_F(LinkServer, RouteAddressGetsNoQueueEntryAndRouteSwitchIsNotForwarded) {
  qwtest::RawClient client(shared.port);
  size_t routesBefore = shared.sim.module->routeRequests().size();
  client.sendPacket(cmdFORCEROUTE, {0x00});       // would switch routing off
  client.sendPacket(cmdFORCEROUTE, {0x55, 0x66}); // forwarded, never answered
  client.sendPacket(4, qwtest::SerialRequest());
  auto answer = client.receive();
  ASSERT_TRUE(answer.has_value());
  // The serial number's answer is the next frame: the packets to 175 did not
  // take its place in the queue.
  ASSERT_EQ(answer->size(), 9u);
  EXPECT_EQ((*answer)[0], 4);
  EXPECT_EQ((*answer)[2], 3);
  EXPECT_EQ(Bytes(answer->begin() + 5, answer->end()), (Bytes{0x40, 0xF5, 0x84, 0x9A}));
  EXPECT_EQ(shared.sim.module->routeRequests().size(), routesBefore);
  EXPECT_TRUE(shared.sim.module->waitFor(
      [&] {
        for (const auto &p : shared.sim.module->received())
          if (p.address == cmdFORCEROUTE && p.data == Bytes{0x55, 0x66})
            return true;
        return false;
      },
      std::chrono::seconds(2)));
  EXPECT_FALSE(client.receive(300).has_value());
}

TEST_F(LinkServer, UnansweredRequestDropsOnlyThatClientsEntry) {
  qwtest::RawClient a(shared.port), b(shared.port);
  modulesim::Faults faults;
  faults.replies.push_back({modulesim::FaultRule::Drop, 23, -1, 1, 0}); // the next echo answer is lost
  shared.sim.module->setFaults(faults);
  size_t before = shared.sim.module->received().size();
  a.sendPacket(4, {23, 'a'});
  ASSERT_TRUE(shared.sim.module->waitFor([&] { return shared.sim.module->received().size() > before; },
                                         std::chrono::seconds(2)));
  b.sendPacket(4, {23, 'b'});
  auto toB = b.receive(5000);
  ASSERT_TRUE(toB.has_value());
  EXPECT_EQ(*toB, (Bytes{4, 2, 23, 'b'}));
  EXPECT_FALSE(a.receive(200).has_value());
  a.sendPacket(4, {23, 'c'});
  auto toA = a.receive(3000);
  ASSERT_TRUE(toA.has_value());
  EXPECT_EQ(*toA, (Bytes{4, 2, 23, 'c'}));

  // An answer that comes after its request was given up goes to no one,
  // not to the client that asks next.
  std::atomic<bool> lateAnswerSent{false};
  shared.sim.module->setTrace([&](bool fromHost, const modulesim::Packet &p) {
    if (!fromHost && p.data == Bytes{23, 'd'})
      lateAnswerSent = true;
  });
  faults.replies = {{modulesim::FaultRule::Delay, 23, -1, 1, 2300}};
  shared.sim.module->setFaults(faults);
  a.sendPacket(4, {23, 'd'});
  ASSERT_TRUE(shared.sim.module->waitFor([&] { return lateAnswerSent.load(); }, std::chrono::seconds(5)));
  b.sendPacket(4, {23, 'e'});
  toB = b.receive(3000);
  ASSERT_TRUE(toB.has_value());
  EXPECT_EQ(*toB, (Bytes{4, 2, 23, 'e'}));
  EXPECT_FALSE(a.receive(100).has_value());
  shared.sim.module->setTrace(nullptr);
}

TEST_F(LinkServer, OneDataByteAnswerIsAnAnswerNotAServerCommand) {
  // An echo of no payload comes back as one data byte: a 3-byte frame.
  qwtest::RawClient client(shared.port);
  client.sendPacket(4, {23});
  auto answer = client.receive();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, (Bytes{4, 1, 23}));
  client.sendPacket(4, {23, 'n'}); // and the queue is in step after it
  answer = client.receive();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, (Bytes{4, 2, 23, 'n'}));
}

TEST_F(LinkServer, MalformedFramesAreDroppedAndTheServerGoesOn) {
  qwtest::RawClient client(shared.port);
  size_t before = shared.sim.module->received().size();
  client.send({4});                     // too short
  client.send(Bytes(31, 4));            // too long
  client.send({4, 5, 23, 'x'});         // promises 5 data bytes, holds 2
  client.send({4, 29, 23});             // length beyond any packet
  client.sendPacket(4, {23, 'o', 'k'}); // and a good one
  auto answer = client.receive();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, (Bytes{4, 3, 23, 'o', 'k'}));
  EXPECT_EQ(shared.sim.module->received().size(), before + 1);
}

TEST_F(LinkServer, UEIBytesSeriesOfTwoClientsReachTheModuleWhole) {
  qwtest::RawClient a(shared.port), b(shared.port);
  auto seriesA = qwtest::NameSeries(60, 'A'), seriesB = qwtest::NameSeries(60, 'B');
  ASSERT_EQ(seriesA.size(), 3u);
  size_t before = shared.sim.module->received().size();
  for (size_t i = 0; i < seriesA.size(); i++) {
    a.sendPacket(4, seriesA[i]);
    b.sendPacket(4, seriesB[i]);
  }
  // One answer each (the name is longer than the module keeps: an error
  // answer, which is still the answer to the whole series).
  auto answerA = a.receive(), answerB = b.receive();
  ASSERT_TRUE(answerA.has_value());
  ASSERT_TRUE(answerB.has_value());
  EXPECT_EQ((*answerA)[2], 3);
  EXPECT_EQ((*answerB)[2], 3);
  EXPECT_FALSE(a.receive(200).has_value());
  auto received = shared.sim.module->received();
  ASSERT_EQ(received.size(), before + 6);
  std::vector<uint8_t> order;
  for (size_t i = before; i < received.size(); i++) {
    order.push_back(received[i].data[3]);
    EXPECT_EQ(received[i].data.back() & 0x7F, (i - before) % 3) << "packet " << i;
  }
  EXPECT_TRUE(order == (Bytes{'A', 'A', 'A', 'B', 'B', 'B'}) || order == (Bytes{'B', 'B', 'B', 'A', 'A', 'A'}));
  EXPECT_TRUE(shared.sim.module->violations().empty());
}

TEST_F(LinkServer, StreamSamplesReachEverySubscribedClient) {
  qwtest::RawClient a(shared.port), b(shared.port), quiet(shared.port);
  for (auto *c : {&a, &b}) {
    c->sendPacket(4, {93, 0x81, 0x20, 4, 3, 22, 0});
    auto ack = c->receive();
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ((*ack)[3], 0xC1);
  }
  quiet.sendPacket(4, {23, 'q'});
  ASSERT_TRUE(quiet.receive().has_value());
  // Samples travel in batches, sent on the module's heartbeat or, as this
  // module sends none, a moment after the batch began.
  shared.sim.module->sendStreamSample(3, 22, 0, 3, 0x01020304);
  for (auto *c : {&a, &b}) {
    std::optional<Bytes> batch;
    for (int i = 0; i < 10 && !batch; i++) {
      batch = c->receive(1000);
      // Samples of the module's own stream may come first; look for ours.
      if (batch && std::string(batch->begin(), batch->end()).find(std::string("\x01\x02\x03\x04")) == std::string::npos)
        batch.reset();
    }
    ASSERT_TRUE(batch.has_value());
    EXPECT_EQ((*batch)[0], 4);
    EXPECT_EQ((*batch)[1], 17);
    EXPECT_EQ((*batch)[2], 3);
    EXPECT_EQ((*batch)[3], 22);
  }
  EXPECT_FALSE(quiet.receive(300).has_value());
}

TEST_F(LinkServer, StreamCallbacksOfEveryLinkSharingTheModule) {
  Link client(shared.clientSpec(), "client");
  ASSERT_EQ(client.connect(), cErrNone);
  // The module streams the value itself too; each Link must also see the
  // sample sent now.
  struct Seen {
    std::atomic<bool> mine{false};
  } owner, other;
  auto callback = [](const cPacket *packet, void *context) -> uint8_t {
    uint32_t value = 0;
    if (Link::getStreamSample(packet, nullptr, &value, nullptr) == cErrNone && value == 0xCAFE0001)
      static_cast<Seen *>(context)->mine = true;
    return 0;
  };
  ASSERT_EQ(shared.owner->registerStreamCallback(4, 3, 40, 0, true, callback, &owner), cErrNone);
  ASSERT_EQ(client.registerStreamCallback(4, 3, 40, 0, true, callback, &other), cErrNone);
  shared.sim.module->sendStreamSample(3, 40, 0, 3, 0xCAFE0001);
  EXPECT_TRUE(shared.sim.module->waitFor([&] { return owner.mine && other.mine; }, std::chrono::seconds(3)));
  uint32_t value = 0;
  EXPECT_NE(client.getStreamValue(4, 3, 40, 0, 0, &value), cErrNotFound);
  client.registerStreamCallback(4, 3, 40, 0, false, nullptr, nullptr);
  shared.owner->registerStreamCallback(4, 3, 40, 0, false, nullptr, nullptr);
}

TEST_F(LinkServer, KilledClientLeavesNoSubscriptionOrPoolBehind) {
  cQuillworkDebuggingLevel = cDEBUG_SERVER;
  StdoutCapture out;
  cQuillworkDebuggingEnable = true;
  auto child = sRunChild("hang", shared.port, 1500);
  EXPECT_TRUE(child.timedOut); // killed while hanging
  EXPECT_NE(child.out.find("hanging"), std::string::npos) << child.out << child.err;
  shared.sim.module->setHeartbeatMs(50);
  shared.sim.module->sendStreamSample(3, 22, 0, 3, 7);
  EXPECT_TRUE(out.waitFor("Removed stream entry", 3000));
  EXPECT_TRUE(out.waitFor(", destroying", 5000)); // the series' pool
  cQuillworkDebuggingEnable = false;
  // The others are served as before.
  qwtest::RawClient client(shared.port);
  client.sendPacket(4, {23, 'k'});
  EXPECT_TRUE(client.receive().has_value());
  // The simulator's transport may go while its timer still sends a beat.
  shared.sim.module->setHeartbeatMs(0);
}

TEST_F(LinkServer, LinkServerProgramSharesAModuleUntilTerminated) {
  qwtest::SimTcpModule module = shared.sims.tcp([] {
    modulesim::ModuleConfig c;
    c.serial = 0x00C0FFEE;
    c.model = 9;
    return c;
  }());
  char address[INET_ADDRSTRLEN];
  in_addr a{module.spec.ipAddress};
  inet_ntop(AF_INET, &a, address, sizeof address);
  std::string target = std::string(address) + ":" + std::to_string(module.spec.port);
  Program program = sStartProgram({"--tcp", target, "--local-only"});
  uint16_t port = sServedPort(program.line, "Serving module 00C0FFEE on tcp://127.0.0.1:");
  EXPECT_NE(port, 0) << program.line;

  // Another program (this one) uses the module through it.
  Module client(0, true, 0);
  linkSpec spec = shared.clientSpec();
  spec.port = port;
  EXPECT_EQ(client.connectFromSpec(spec), cErrNone);
  SystemClass system;
  system.init(&client, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), cErrNone);
  EXPECT_EQ(serial, 0x00C0FFEEu);
  EXPECT_EQ(sStopProgram(program), 0);
}

TEST_F(LinkServer, LinkServerProgramServesLoopbackOnlyUnlessToldToServeTheNetwork) {
  qwtest::SimTcpModule module = shared.sims.tcp([] {
    modulesim::ModuleConfig c;
    c.serial = 0x00C0FFEE;
    return c;
  }());
  char address[INET_ADDRSTRLEN];
  in_addr a{module.spec.ipAddress};
  inet_ntop(AF_INET, &a, address, sizeof address);
  std::string target = std::string(address) + ":" + std::to_string(module.spec.port);
  // 127.0.0.2 stands for a network interface: an interface alone does not
  // make the server serve it.
  Program local = sStartProgram({"--tcp", target, "--interface", "127.0.0.2"});
  EXPECT_NE(sServedPort(local.line, "Serving module 00C0FFEE on tcp://127.0.0.1:"), 0) << local.line;
  EXPECT_EQ(sStopProgram(local), 0);

  Program network = sStartProgram({"--tcp", target, "--network", "--interface", "127.0.0.2"});
  uint16_t port = sServedPort(network.line, "Serving module 00C0FFEE on tcp://127.0.0.2:");
  ASSERT_NE(port, 0) << network.line;
  // Its network clients may not restart the module.
  qwtest::RawClient client(port, "127.0.0.2");
  client.sendPacket(4, {3, 0x80 | 11, 0x20}); // the system entity's reset
  client.sendPacket(4, {23, 'n'});
  std::optional<Bytes> answer;
  for (int i = 0; i < 5 && !(answer && *answer == Bytes{4, 2, 23, 'n'}); i++)
    answer = client.receive(3000);
  EXPECT_TRUE(answer && *answer == (Bytes{4, 2, 23, 'n'}));
  EXPECT_EQ(module.module->restarts(), 0u);
  EXPECT_EQ(sStopProgram(network), 0);
}

// How many of the packets the module received are upgrade or reset commands.
size_t sMaintenanceReceived(modulesim::SimModule &module) {
  size_t n = 0;
  for (const auto &p : module.received())
    n += (!p.data.empty() && p.data[0] == cmdUPGRADE) || (p.data.size() >= 2 && p.data[0] == 3 && p.data[1] == 0x8B);
  return n;
}

TEST_F(LinkServer, NetworkServingServerPassesUpgradeAndResetOnlyWhenAllowed) {
  for (bool allow : {false, true}) {
    SCOPED_TRACE(allow ? "allowed" : "not allowed");
    cServer_AllowRemoteMaintenance(allow);
    modulesim::ModuleConfig mc;
    mc.serial = allow ? 0x0BADF00D : 0x0BADF00E;
    qwtest::SimTcpModule m = shared.sims.tcp(mc);
    Link owner(m.spec, "network");
    cEtherConfig c;
    c.localOnly = 0;
    c.networkInterface = htonl(0x7F000002); // 127.0.0.2 stands for a network interface
    owner.setConfig(c);
    ASSERT_EQ(owner.connect(), cErrNone);
    owner.getConfig(&c);
    ASSERT_EQ(c.networkInterface, htonl(0x7F000002));
    qwtest::RawClient client(c.port, "127.0.0.2");
    client.sendPacket(4, {cmdUPGRADE, 7});      // the upgrade command set (status)
    client.sendPacket(4, {3, 0x80 | 11, 0x20}); // the system entity's reset
    client.sendPacket(4, {23, 'm'});
    if (allow) {
      EXPECT_TRUE(m.module->waitFor([&] { return sMaintenanceReceived(*m.module) == 2; }, std::chrono::seconds(5)));
    } else {
      std::optional<Bytes> answer;
      for (int i = 0; i < 5 && !(answer && *answer == Bytes{4, 2, 23, 'm'}); i++)
        answer = client.receive(3000);
      EXPECT_TRUE(answer && *answer == (Bytes{4, 2, 23, 'm'}));
      EXPECT_EQ(sMaintenanceReceived(*m.module), 0u);
    }
  }
  cServer_AllowRemoteMaintenance(false);
  // A loopback-only server's clients are this machine's programs (the
  // updater among them): it passes the commands on.
  qwtest::RawClient local(shared.port);
  local.sendPacket(4, {cmdUPGRADE, 7});
  EXPECT_TRUE(shared.sim.module->waitFor([&] { return sMaintenanceReceived(*shared.sim.module) == 1; },
                                         std::chrono::seconds(3)));
}

TEST_F(LinkServer, AnAddressWhereNobodyAnswersHoldsUpNoOtherAddress) {
  qwtest::RawClient a(shared.port), b(shared.port);
  size_t before = shared.sim.module->received().size();
  for (int i = 0; i < 10; i++)
    a.sendPacket(8, {23, uint8_t('0' + i)}); // no module has address 8
  ASSERT_TRUE(shared.sim.module->waitFor([&] { return shared.sim.module->received().size() > before; },
                                         std::chrono::seconds(2)));
  // Each request to address 8 waits 2 s for its answer; the echo of the
  // module at 4 does not wait behind them.
  b.sendPacket(4, {23, 'b'});
  auto answer = b.receive(1500);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, (Bytes{4, 2, 23, 'b'}));

  // At one address the clients take turns: b's request to 8 goes second,
  // not behind all of a's.
  b.sendPacket(8, {23, 'B'});
  EXPECT_TRUE(shared.sim.module->waitFor(
      [&] {
        for (const auto &p : shared.sim.module->received())
          if (p.address == 8 && p.data == Bytes{23, 'B'})
            return true;
        return false;
      },
      std::chrono::seconds(5)));
}

TEST_F(LinkServer, AFrameLargerThanAnyPacketDisconnectsItsSender) {
  WatchedPeer peer(shared.port);
  ASSERT_TRUE(peer.waitFor(ZMQ_EVENT_CONNECTED, 3000));
  peer.send(1 << 20); // nothing of it is kept: the server drops the connection
  EXPECT_TRUE(peer.waitFor(ZMQ_EVENT_DISCONNECTED, 3000));
  qwtest::RawClient other(shared.port);
  other.sendPacket(4, {23, 'o'});
  auto answer = other.receive();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, (Bytes{4, 2, 23, 'o'}));
}

TEST_F(LinkServer, ALateEchoIsNotTakenForTheNextOnesAnswer) {
  Module module(4, 0);
  ASSERT_EQ(module.connectFromSpec(shared.clientSpec()), cErrNone);
  std::atomic<bool> lateSent{false};
  shared.sim.module->setTrace([&](bool fromHost, const modulesim::Packet &p) {
    if (!fromHost && p.data == Bytes{23, 'a'})
      lateSent = true;
  });
  modulesim::Faults faults;
  faults.replies = {{modulesim::FaultRule::Delay, 23, -1, 1, 1500}}; // the client waits 1 s
  shared.sim.module->setFaults(faults);
  const uint8_t first[1] = {'a'}, second[1] = {'b'};
  EXPECT_EQ(module.debug(first, 1), cErrTimeout);
  ASSERT_TRUE(shared.sim.module->waitFor([&] { return lateSent.load(); }, std::chrono::seconds(3)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the late echo reaches the client's queue
  EXPECT_EQ(module.debug(second, 1), cErrNone);
  shared.sim.module->setTrace(nullptr);
}

TEST_F(LinkServer, ClientsLearnAtOnceThatTheServerHasGone) {
  Module module(4, 0);
  ASSERT_EQ(module.connectFromSpec(shared.clientSpec()), cErrNone);
  const uint8_t payload[2] = {'u', 'p'};
  ASSERT_EQ(module.debug(payload, 2), cErrNone);
  shared.owner.reset(); // the server goes
  bool gone = false;
  for (int waited = 0; waited < 5000 && !gone; waited += 20) {
    gone = !module.isConnected();
    if (!gone)
      usleep(20000);
  }
  EXPECT_TRUE(gone);
  // Requests fail as on a link that is not connected, without waiting for
  // an answer.
  EXPECT_EQ(module.debug(payload, 2), cErrConnection);
}

TEST_F(LinkServer, ServerMakesTheModuleLinkAgainAfterTheModuleRestarts) {
  {
    std::lock_guard<std::mutex> g(gLoggedLock);
    gLogged.clear();
  }
  cServer_SetLog(sLogged);
  qwtest::RawClient client(shared.port);
  client.sendPacket(4, {23, '1'});
  ASSERT_TRUE(client.receive().has_value());
  shared.sim.module->restart(); // its connection is reset
  ASSERT_TRUE(shared.sim.module->waitFor([&] { return shared.sim.module->restarts() > 0; }, std::chrono::seconds(3)));
  bool back = false;
  for (int i = 0; i < 40 && !back; i++) {
    client.sendPacket(4, {23, '2'});
    auto answer = client.receive(500);
    back = answer && *answer == (Bytes{4, 2, 23, '2'});
  }
  EXPECT_TRUE(back);
  EXPECT_TRUE(sWasLogged("Module link lost"));
  EXPECT_TRUE(sWasLogged("Module link reconnected"));
  cServer_SetLog(nullptr);
  // The owner's own requests go through again too.
  uint8_t address = 0;
  EXPECT_EQ(shared.owner->getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
}

TEST_F(LinkServer, DepartedClientsLoseTheirSubscriptionWithoutStreamData) {
  cQuillworkDebuggingLevel = cDEBUG_SERVER;
  StdoutCapture out;
  cQuillworkDebuggingEnable = true;
  {
    qwtest::RawClient client(shared.port);
    client.sendPacket(4, {93, 0x81, 0x20, 4, 7, 50, 0}); // a value the module does not have: no samples
    client.receive(1000);
    ASSERT_TRUE(out.waitFor("Added stream entry", 3000));
  } // the client goes
  EXPECT_TRUE(out.waitFor("Removed stream entry", 3000));
  cQuillworkDebuggingEnable = false;
}
