// Discovery end to end: the real program finds simulated TCP/IP modules and
// the modules behind a simulated router. Runs in a private network namespace
// (the TCP/IP search is a multicast request).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "json_schema.h"
#include "modulesim/DiscoveryResponder.h"
#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "process.h"
#include "tempdir.h"
#include "update_server_fixture.h"

using namespace modulesim;
using qwtest::Lines;
using qwtest::RunProcess;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";

ModuleConfig config(uint32_t serial, uint8_t address, uint8_t model, uint32_t version, uint32_t build,
                    const std::string &name, uint8_t routerAddress = 0) {
  ModuleConfig c;
  c.routerAddress = routerAddress;
  c.serial = serial;
  c.address = address;
  c.model = model;
  c.version = version;
  c.build = build;
  c.name = name;
  return c;
}

// The host sends its discovery request through the machine's non-loopback
// interfaces: give this private namespace one (once per program).
void ensureInterface() {
  static bool done = false;
  if (done)
    return;
  ASSERT_TRUE(inPrivateNetworkNamespace());
  ASSERT_EQ(std::system("ip link add qwupdbr0 type bridge && ip addr add 10.98.7.1/24 brd + dev qwupdbr0 && "
                        "ip link set qwupdbr0 up"),
            0);
  done = true;
}

qwtest::ProcessResult updater(const qwtest::TempDir &store, std::vector<std::string> args) {
  args.insert(args.begin(), {kUpdater, "-i", store.path()});
  return RunProcess(args, 60000);
}

} // namespace

TEST(DiscoveryEndToEnd, TcpModulesAreListedWithTheirAddresses) {
  ensureInterface();
  SimModule hub(config(0x40F5849A, 4, 1, packVersion(2, 15, 0), 1234, "Lab-Hub"));
  SimModule old(config(0x0A0B0C0D, 6, 2, packVersion(2, 10, 3), 99, "Hidden"));
  TcpTransport th(hub, {"127.0.0.2", 0}), to(old, {"127.0.0.3", 0});
  ASSERT_TRUE(th.ok() && to.ok());
  DiscoveryResponder responder;
  responder.add(th);
  responder.add(to);
  ASSERT_TRUE(responder.start()) << responder.error();

  qwtest::TempDir store;
  auto r = updater(store, {"-D", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 6u) << r.out << r.err;
  EXPECT_EQ(lines[1], "Searching for Quillwork devices");
  EXPECT_EQ(lines[2], "Discovered Devices: (TCPIP)");
  EXPECT_EQ(lines[3], "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                      "Device Name");
  std::vector<std::string> rows(lines.begin() + 4, lines.end());
  std::sort(rows.begin(), rows.end());
  // A module older than 2.10.4 is not asked for its name.
  EXPECT_EQ(rows[0], "    0A0B0C0D  06       00      QW-Hub8        2.10.3 (        99)        [127.0.0.3]        ");
  EXPECT_EQ(rows[1], "    40F5849A  04       00      QW-Hub4        2.15.0 (      1234)        [127.0.0.2]        "
                     "Lab-Hub");
}

TEST(DiscoveryEndToEnd, RouterNetworkIsScanned) {
  ensureInterface();
  SimModule router(config(0xD272031D, 2, 3, packVersion(2, 15, 1), 500, "Router"));
  // Modules on a router's network report the router's address (2) as theirs.
  SimModule a(config(0x2181F0EE, 8, 1, packVersion(2, 15, 2), 700, "A", 2));
  SimModule b(config(0x2181F0F0, 12, 13, packVersion(2, 12, 0), 701, "B", 2));
  router.attachToBus(a);
  router.attachToBus(b);
  TcpTransport tr(router, {"127.0.0.4", 0});
  ASSERT_TRUE(tr.ok());
  DiscoveryResponder responder;
  responder.add(tr);
  ASSERT_TRUE(responder.start()) << responder.error();

  qwtest::TempDir store;
  auto r = updater(store, {"-D", "-r", "D272031D", "-t", "TCPIP", "-X", "0x1"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out << r.err;
  EXPECT_EQ(lines[1], "Searching for Quillwork Network devices connected to D272031D");
  EXPECT_EQ(lines[2], "Discovered Devices: (TCPIP)");
  EXPECT_EQ(lines[4], "    2181F0EE  08       02      QW-Hub4        2.15.2 (       700)        [127.0.0.4]        ");
  EXPECT_EQ(lines[5], "    2181F0F0  0C       02      QW-Temp4       2.12.0 (       701)        [127.0.0.4]        ");

  // Never odd addresses, 0, 254 or the router's own address; routing is
  // given back at the end.
  for (unsigned address = 0; address <= 255; ++address) {
    char probe[64];
    snprintf(probe, sizeof probe, "Searching Address 0x%02x\n", address);
    bool probed = r.err.find(probe) != std::string::npos;
    bool expected = address >= 4 && address <= 252 && address % 2 == 0;
    EXPECT_EQ(probed, expected) << address;
  }
  EXPECT_FALSE(router.routing());

  // Without -t the router's transport is found first; the title says Unknown.
  auto u = updater(store, {"-D", "-r", "D272031D"});
  EXPECT_EQ(u.status, 0) << u.err;
  std::vector<std::string> ul = Lines(u.out);
  ASSERT_EQ(ul.size(), 6u) << u.out;
  EXPECT_EQ(ul[2], "Discovered Devices: (Unknown)");
  EXPECT_EQ(ul[4], lines[4]);
}

TEST(DiscoveryEndToEnd, NoRouterMeansAnEmptyList) {
  ensureInterface();
  qwtest::TempDir store;
  auto r = updater(store, {"-D", "-r", "12345678", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[3], "    No devices found.");
}

TEST(UpdateOverTcp, ByteArrayDataPathWithoutARestart) {
  ensureInterface();
  ModuleConfig c = config(0x40F5849A, 4, 1, packVersion(2, 15, 0), 1000, "Net");
  c.restartOnLoad = false; // the loader takes over in place: the TCP link stays
  SimModule m(c);
  TcpTransport t(m, {"127.0.0.5", 0});
  ASSERT_TRUE(t.ok());
  DiscoveryResponder responder;
  responder.add(t);
  ASSERT_TRUE(responder.start()) << responder.error();

  qwtest::TempDir store, files;
  birdwriter::Bytes payload(1500);
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<uint8_t>(i * 13);
  birdwriter::Image img;
  img.Firmware(0x00010000, payload);
  img.AddInfo({"5000", "2.16.0", "40F5849A", "QW-Hub4"});
  std::string path = files / "net.bird";
  ASSERT_TRUE(img.Write(path));
  auto r = updater(store, {"-U", "-d", "40F5849A", "-f", path, "-X", "0x500"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("val_UPGRADE_DATA_UEI"), std::string::npos);
  EXPECT_EQ(m.image(0x00010000, payload.size()), payload);
}

TEST(UpdateOverTcp, GetThenUpdateAModuleBehindARouter) {
  ensureInterface();
  SimModule router(config(0xD272031D, 2, 3, packVersion(2, 15, 1), 500, "Router"));
  ModuleConfig mc = config(0x2181F0EE, 8, 1, packVersion(2, 15, 2), 700, "Behind", 2);
  SimModule member(mc);
  router.attachToBus(member);
  TcpTransport tr(router, {"127.0.0.6", 0});
  ASSERT_TRUE(tr.ok());
  DiscoveryResponder responder;
  responder.add(tr);
  ASSERT_TRUE(responder.start()) << responder.error();

  // The update server offers build 4100 for the member.
  qwtest::TempDir content, store;
  std::string deviceDir = content / "devices/2181F0EE";
  std::filesystem::create_directories(deviceDir);
  birdwriter::Bytes loader(100, 0x11), payload(900);
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<uint8_t>(255 - i);
  birdwriter::Bytes withMarker = payload;
  birdwriter::Bytes marker = birdwriter::MarkerBytes(4100, "2.16.0");
  withMarker.insert(withMarker.end(), marker.begin(), marker.end());
  birdwriter::Image img;
  img.Loader(0x20000000, loader);
  img.Firmware(0x00010000, withMarker);
  img.AddInfo({"4100", "2.16.0", "2181F0EE", "QW-Hub4"});
  ASSERT_TRUE(img.Write(deviceDir + "/4100.bird"));
  qwtest::UpdateServerProcess server;
  ASSERT_TRUE(server.Start({content.path()})) << server.error();

  auto r = updater(store, {"-G", "-U", "-d", "2181F0EE", "-r", "D272031D", "-u", server.url()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Retrieving build 4100\n"), std::string::npos);
  EXPECT_NE(r.out.find("Updating firmware with build: 4100\n"), std::string::npos);
  EXPECT_EQ(member.image(0x00010000, payload.size()), payload);
  EXPECT_EQ(member.loaderImage(0x20000000, loader.size()), loader);
  EXPECT_TRUE(member.waitFor([&] { return member.build() == 4100; }, std::chrono::milliseconds(5000)));
  EXPECT_FALSE(router.routing()); // routing given back after the scan
  std::string settings = qwtest::ReadFile(store / "updater/2181F0EE/.settings");
  EXPECT_NE(settings.find("LATEST_TRANSFER=4100.bird"), std::string::npos) << settings;
  EXPECT_NE(settings.find("LATEST_DOWNLOAD=4100.bird"), std::string::npos) << settings;
}

// An update over TCP/IP cut short by Ctrl-C (while the loader goes in, after
// it has started, half-way through the firmware) is finished by running the
// same update again. The 4 KiB loader is larger than the module's block size.
TEST(UpdateOverTcp, AnInterruptedUpdateIsFinishedByRunningItAgain) {
  ensureInterface();
  qwtest::TempDir store, files;
  birdwriter::Bytes loader(4096), payload(1500);
  for (size_t i = 0; i < loader.size(); ++i)
    loader[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<uint8_t>(i * 13);
  birdwriter::Bytes withMarker = payload, marker = birdwriter::MarkerBytes(5100, "2.16.4");
  withMarker.insert(withMarker.end(), marker.begin(), marker.end());
  birdwriter::Image img;
  img.Loader(0x20000000, loader);
  img.Firmware(0x00010000, withMarker);
  img.AddInfo({"5100", "2.16.4", "40F5849A", "QW-Hub4"});
  std::string path = files / "rerun.bird";
  ASSERT_TRUE(img.Write(path));

  for (int cut = 0; cut < 3; ++cut) {
    ModuleConfig c = config(0x40F5849A, 4, 1, packVersion(2, 15, 0), 1000, "Net");
    c.restartDownMs = 100;
    SimModule m(c);
    TcpTransport t(m, {"127.0.0.7", 0});
    ASSERT_TRUE(t.ok());
    DiscoveryResponder responder;
    responder.add(t);
    ASSERT_TRUE(responder.start()) << responder.error();
    auto ops = [&](uint8_t op) {
      size_t n = 0;
      for (const Packet &p : m.received())
        n += p.data.size() >= 2 && p.data[0] == kCmdUpgrade && p.data[1] == op;
      return n;
    };
    // The module takes the LOAD into its loader phase at once but resets a
    // moment later: the loader has started once it is back from that reset.
    std::function<bool()> when[] = {[&] { return ops(1) >= 40; },
                                    [&] { return m.phase() == Phase::Loader && m.restarts() > 0 && m.online(); },
                                    [&] {
                                      // the module freezes at its first WRITE, so the host
                                      // cannot finish before the signal lands
                                      if (ops(5) == 0)
                                        return false;
                                      Faults frozen;
                                      frozen.frozen = true;
                                      m.setFaults(frozen);
                                      return true;
                                    }};
    if (cut == 0) { // the 41st loader data answer comes late: the signal lands while the loader goes in
      Faults hold;
      hold.replies.push_back({FaultRule::Delay, kCmdUpgrade, 1, 41, 700});
      m.setFaults(hold);
    }
    if (cut == 2) { // the first WRITE's answer (the 5th status) comes late: time to see it and act
      Faults hold;
      hold.replies.push_back({FaultRule::Delay, kCmdUpgrade, 7, 5, 700});
      m.setFaults(hold);
    }
    auto r = qwtest::RunProcessInterrupted(
        {kUpdater, "-i", store.path(), "-U", "-d", "40F5849A", "-f", path, "-m", "0"}, when[cut], 60000);
    ASSERT_TRUE(r.interrupted) << cut << "\n" << r.out << r.err;
    EXPECT_NE(r.status, 0) << cut;
    EXPECT_EQ(m.phase(), cut == 0 ? Phase::LoaderUpload : Phase::Loader) << cut;
    if (cut == 2) { // power-cycled out of its freeze: it comes back in its loader
      unsigned restarts = m.restarts();
      m.restart();
      ASSERT_TRUE(m.waitFor([&] { return m.restarts() > restarts && m.online(); }, std::chrono::milliseconds(3000)));
    }

    auto again = updater(store, {"-U", "-d", "40F5849A", "-f", path, "-m", "0"});
    ASSERT_EQ(again.status, 0) << cut << "\n" << again.out << again.err;
    EXPECT_NE(again.out.find("Transferred 1 blocks, 4100 total bytes\n"), std::string::npos) << cut;
    EXPECT_TRUE(m.waitFor([&] { return m.build() == 5100; }, std::chrono::milliseconds(5000))) << cut;
    EXPECT_EQ(m.loaderImage(0x20000000, loader.size()), loader) << cut;
    EXPECT_EQ(m.image(0x00010000, payload.size()), payload) << cut;
  }
}

// --json: TCP/IP modules with their IP addresses, and the modules behind a
// router with their network addresses, valid against the schema.
TEST(DiscoveryEndToEnd, JsonResults) {
  ensureInterface();
  SimModule hub(config(0x40F5849A, 4, 1, packVersion(2, 15, 0), 1234, "Lab-Hub"));
  SimModule router(config(0xD272031D, 2, 3, packVersion(2, 15, 1), 500, "Router"));
  SimModule member(config(0x2181F0EE, 8, 1, packVersion(2, 15, 2), 700, "A", 2));
  router.attachToBus(member);
  TcpTransport th(hub, {"127.0.0.8", 0}), tr(router, {"127.0.0.9", 0});
  ASSERT_TRUE(th.ok() && tr.ok());
  DiscoveryResponder responder;
  responder.add(th);
  responder.add(tr);
  ASSERT_TRUE(responder.start()) << responder.error();

  qwtest::TempDir store;
  auto r = updater(store, {"--json", "-D", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0) << r.err;
  nlohmann::ordered_json doc = qwtest::ExpectJsonResult(r);
  EXPECT_EQ(doc["discover"]["transport"], "TCPIP");
  nlohmann::ordered_json lab;
  for (const auto &d : doc["discover"]["devices"])
    if (d["serial"] == "40F5849A")
      lab = d;
  EXPECT_EQ(lab, nlohmann::ordered_json::parse(R"({"serial": "40F5849A", "transport": "TCPIP", "address": 4,
      "router": 0, "model": 1, "model_name": "QW-Hub4", "version": "2.15.0", "build": 1234,
      "ip_address": "127.0.0.8", "name": "Lab-Hub", "in_loader": false})"))
      << doc.dump(2);

  auto n = updater(store, {"--json", "-D", "-r", "D272031D", "-t", "TCPIP"});
  EXPECT_EQ(n.status, 0) << n.err;
  nlohmann::ordered_json net = qwtest::ExpectJsonResult(n)["discover"];
  EXPECT_EQ(net["router_serial"], "D272031D");
  ASSERT_EQ(net["devices"].size(), 1u) << net.dump(2);
  EXPECT_EQ(net["devices"][0]["serial"], "2181F0EE");
  EXPECT_EQ(net["devices"][0]["network_address"], 8);
  EXPECT_EQ(net["devices"][0]["router"], 2);
  EXPECT_EQ(net["devices"][0]["ip_address"], "127.0.0.9");
}

// Two programs update two modules on TCP/IP at the same moment, round after
// round: each must find its own module (every module answers every search at
// the same reply port of this machine). Afterwards each module is listed
// with the build it now runs.
TEST(UpdateOverTcp, TwoProgramsUpdateTwoModulesAtOnce) {
  ensureInterface();
  const uint32_t serials[2] = {0x40F58A01, 0x40F58A02};
  qwtest::TempDir store, files;
  std::string paths[2];
  for (int i = 0; i < 2; ++i) {
    char serial[9];
    snprintf(serial, sizeof serial, "%08X", serials[i]);
    birdwriter::Bytes payload(1200, static_cast<uint8_t>(0x30 + i));
    birdwriter::Bytes marker = birdwriter::MarkerBytes(6100 + i, "2.17.1");
    payload.insert(payload.end(), marker.begin(), marker.end());
    birdwriter::Image img;
    img.Loader(0x20000000, birdwriter::Bytes(64, 0x11));
    img.Firmware(0x00010000, payload);
    img.AddInfo({std::to_string(6100 + i), "2.17.1", serial, "QW-Hub4"});
    paths[i] = files / (std::string(serial) + ".bird");
    ASSERT_TRUE(img.Write(paths[i]));
  }
  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<SimModule> modules[2];
    std::unique_ptr<TcpTransport> transports[2];
    DiscoveryResponder responder;
    for (int i = 0; i < 2; ++i) {
      ModuleConfig c = config(serials[i], 4, 1, packVersion(2, 15, 0), 1000 + i, "Rack");
      c.restartDownMs = 100;
      modules[i] = std::make_unique<SimModule>(c);
      transports[i] = std::make_unique<TcpTransport>(*modules[i], TcpOptions{"127.0.0." + std::to_string(20 + i), 0});
      ASSERT_TRUE(transports[i]->ok());
      responder.add(*transports[i]);
    }
    ASSERT_TRUE(responder.start()) << responder.error();
    qwtest::ProcessResult results[2];
    std::thread runs[2];
    for (int i = 0; i < 2; ++i) {
      char serial[9];
      snprintf(serial, sizeof serial, "%08X", serials[i]);
      std::vector<std::string> args = {"-U", "-d", serial, "-f", paths[i], "-m", "0"};
      runs[i] = std::thread([&, i, args] { results[i] = updater(store, args); });
    }
    for (auto &t : runs)
      t.join();
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(results[i].status, 0) << round << " " << i << "\n" << results[i].out << results[i].err;
      EXPECT_EQ(modules[i]->build(), 6100u + i) << round << " " << i;
    }
    if (round == 0) {
      auto d = updater(store, {"-D", "-t", "TCPIP"});
      std::vector<std::string> rows = Lines(d.out);
      ASSERT_EQ(rows.size(), 6u) << d.out << d.err;
      std::sort(rows.begin() + 4, rows.end());
      EXPECT_EQ(rows[4],
                "    40F58A01  04       00      QW-Hub4        2.17.1 (      6100)        [127.0.0.20]       Rack");
      EXPECT_EQ(rows[5],
                "    40F58A02  04       00      QW-Hub4        2.17.1 (      6101)        [127.0.0.21]       Rack");
    }
  }
}
