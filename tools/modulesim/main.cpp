// modulesim: starts simulated modules on TCP/IP, serial (pseudo-terminal)
// and emulated USB, optionally with routers and their I2C module networks,
// and keeps them up until interrupted or, with "-- command args", while the
// command runs (the command's exit status becomes modulesim's).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "modulesim/Simulation.h"
#ifdef MODULESIM_HAVE_USB
#include "modulesim/UsbTransport.h"
#endif

extern char **environ;

using namespace modulesim;

namespace {

int verbosity = 0;
std::mutex printLock;

void say(int level, const std::string &text) {
  if (verbosity < level)
    return;
  std::lock_guard<std::mutex> g(printLock);
  std::fprintf(stderr, "modulesim: %s\n", text.c_str());
}

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

std::string packetText(const Packet &p) {
  std::string s;
  char b[8];
  for (uint8_t x : p.bytes()) {
    std::snprintf(b, sizeof b, "%02X ", x);
    s += b;
  }
  if (!s.empty())
    s.pop_back();
  return s;
}

// One module as the user described it: transport, serial number and
// key=value settings ("40F5849A,model=17,name=Hub,members=11111111:22222222").
struct ModuleSpec {
  std::string transport; // tcp, serial, usb, or empty for a bus member
  std::map<std::string, std::string> settings;
  std::vector<ModuleSpec> members;
};

bool parseNumber(const std::string &text, uint32_t &out, int base = 0) {
  if (text.empty())
    return false;
  char *end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, base);
  if (errno || *end != '\0' || v > 0xFFFFFFFFul)
    return false;
  out = uint32_t(v);
  return true;
}

// Streamed values: COMMAND:OPTION:INDEX:TYPE[:RATE_MS[:VALUE[:STEP[:SUBINDEX]]]],
// several joined by '+'. Rate 0 streams on change only.
bool parseStreams(const std::string &text, std::vector<modulesim::StreamValue> &out) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t plus = text.find('+', start);
    std::string one = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
    std::vector<uint32_t> n;
    size_t s = 0;
    while (s <= one.size()) {
      size_t colon = one.find(':', s);
      uint32_t v = 0;
      if (!parseNumber(one.substr(s, colon == std::string::npos ? std::string::npos : colon - s), v))
        return false;
      n.push_back(v);
      if (colon == std::string::npos)
        break;
      s = colon + 1;
    }
    if (n.size() < 4 || n.size() > 8 || n[0] > 255 || n[1] > 63 || n[2] > 31 || n[3] < 1 || n[3] > 7 || n[3] == 4 ||
        (n.size() > 7 && n[7] > 255))
      return false;
    modulesim::StreamValue v;
    v.command = uint8_t(n[0]);
    v.option = uint8_t(n[1]);
    v.index = uint8_t(n[2]);
    v.type = uint8_t(n[3]);
    v.rateMs = n.size() > 4 ? n[4] : 0;
    v.value = n.size() > 5 ? n[5] : 0;
    v.step = n.size() > 6 ? n[6] : 0;
    v.subindex = n.size() > 7 ? uint8_t(n[7]) : 0;
    out.push_back(v);
    if (plus == std::string::npos)
      break;
    start = plus + 1;
  }
  return true;
}

ModuleSpec parseSpec(const std::string &transport, const std::string &text) {
  ModuleSpec spec;
  spec.transport = transport;
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (first) {
      spec.settings["serial"] = item;
      first = false;
    } else if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string::npos)
        throw CLI::ValidationError("module", "expected key=value, got \"" + item + "\"");
      spec.settings[item.substr(0, eq)] = item.substr(eq + 1);
    }
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  auto m = spec.settings.find("members");
  if (m != spec.settings.end()) {
    std::string list = m->second;
    size_t s = 0;
    while (s <= list.size()) {
      size_t colon = list.find(':', s);
      ModuleSpec member;
      member.settings["serial"] = list.substr(s, colon == std::string::npos ? std::string::npos : colon - s);
      spec.members.push_back(member);
      if (colon == std::string::npos)
        break;
      s = colon + 1;
    }
    spec.settings.erase(m);
  }
  return spec;
}

ModuleSpec specFromJson(const nlohmann::json &j, const std::string &transport) {
  ModuleSpec spec;
  spec.transport = j.value("transport", transport);
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() == "transport")
      continue;
    if (it.key() == "members") {
      for (const auto &m : it.value())
        spec.members.push_back(specFromJson(m, ""));
      continue;
    }
    spec.settings[it.key()] = it.value().is_string() ? it.value().get<std::string>() : it.value().dump();
  }
  return spec;
}

// Applies settings to a module configuration; throws on bad values.
ModuleConfig configure(const ModuleSpec &spec, const ModuleConfig &base, uint8_t defaultAddress) {
  ModuleConfig c = base;
  c.address = defaultAddress;
  auto bad = [&](const std::string &key, const std::string &value) {
    return CLI::ValidationError("module", "bad " + key + " \"" + value + "\"");
  };
  for (const auto &[key, value] : spec.settings) {
    uint32_t n = 0;
    if (key == "serial") {
      if (!parseNumber(value, n, 16) || value.size() > 8 || n == 0)
        throw bad(key, value);
      c.serial = n;
    } else if (key == "version") {
      uint32_t v = packVersionText(value);
      if (!v)
        throw bad(key, value);
      c.version = v;
    } else if (key == "name") {
      if (value.size() > 32)
        throw bad(key, value);
      c.name = value;
    } else if (key == "stream") {
      if (!parseStreams(value, c.streamValues))
        throw bad(key, value);
    } else if (key == "port" || key == "ip" || key == "link") {
      // transport settings, read by the caller
    } else {
      if (!parseNumber(value, n))
        throw bad(key, value);
      if (key == "model" && n < 256)
        c.model = uint8_t(n);
      else if (key == "address" && n >= 2 && n <= 254 && n % 2 == 0)
        c.address = uint8_t(n);
      else if (key == "router" && n < 256)
        c.routerAddress = uint8_t(n);
      else if (key == "build")
        c.build = n;
      else if (key == "heartbeat")
        c.heartbeatMs = n;
      else if (key == "features")
        c.protocolFeatures = n;
      else if (key == "block-size" && n > 0 && n < 65536)
        c.upgradeBlockSize = uint16_t(n);
      else if (key == "down-ms")
        c.restartDownMs = n;
      else if (key == "loader-serial-ms")
        c.loaderSerialMs = n;
      else if (key == "uei-data")
        c.ueiDataUpgrade = n != 0;
      else
        throw bad(key, value);
    }
  }
  return c;
}

bool enterPrivateNetworkNamespace(std::string &error) {
  if (unshare(CLONE_NEWNET) != 0) {
    error = std::string("cannot make a private network namespace: ") + std::strerror(errno);
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  if (fd >= 0)
    close(fd);
  if (!ok)
    error = std::string("cannot bring up lo: ") + std::strerror(errno);
  return ok;
}

#ifdef MODULESIM_HAVE_USB
bool underUmockdev() { return qwemu::UsbTestbed::preloaded(); }
void reexecUnderUmockdev(char **argv) {
  qwemu::UsbTestbed::reexecUnderPreload(argv);
  std::exit(1);
}
#endif

int runCommand(const std::vector<std::string> &command, const sigset_t &original) {
  std::vector<char *> args;
  for (const std::string &a : command)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &original);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "modulesim: cannot run %s: %s\n", args[0], std::strerror(rc));
    return 127;
  }
  say(1, "running " + command[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"Simulated Quillwork modules on TCP/IP, serial and emulated USB, for trying the updater and "
               "testing against it without hardware."};
  std::vector<std::string> tcpSpecs, serialSpecs, usbSpecs, command;
  std::string configFile, serialDir = ".", readyFile;
  bool netns = false, noDiscovery = false;
  unsigned heartbeat = 0;
  app.add_option("--tcp", tcpSpecs, "a module on TCP/IP: SERIAL[,key=value...]");
  app.add_option("--serial", serialSpecs, "a module on a pseudo-terminal: SERIAL[,key=value...]");
  app.add_option("--usb", usbSpecs, "a module on the emulated USB bus: SERIAL[,key=value...]");
  app.add_option("-c,--config", configFile, "JSON file describing the modules")->check(CLI::ExistingFile);
  app.add_option("--serial-dir", serialDir, "directory for the links ttySIM.SERIAL to the serial ports");
  app.add_flag("--netns", netns, "run in a private network namespace (with the UDP discovery responder)");
  app.add_flag("--no-discovery", noDiscovery, "no UDP discovery responder, even with --netns");
  app.add_option("--heartbeat", heartbeat, "heartbeat interval of every module in ms (0: none)");
  app.add_option("--ready-file", readyFile, "write one line per module here once all are up");
  app.add_flag("-v,--verbose", verbosity,
               "say more: -v restarts, connections and protocol violations, -vv every packet");
  // Fault injection, for every module: rehearse a failed update from the shell.
  unsigned dropAfter = 0, freezeAfter = 0, refuseBlock = 0;
  std::string late;
  app.add_option("--drop-after", dropAfter, "the link drops (the module restarts) after N packets from the host");
  app.add_option("--freeze-after", freezeAfter, "the module freezes after N packets from the host (until it restarts)");
  app.add_option("--late", late, "N:MS - the N-th upgrade status answer (PREPARE, SUM, WRITE) comes MS late");
  app.add_option("--refuse-block", refuseBlock, "the N-th upgrade PREPARE (loader blocks counted) is refused");
  app.footer("Settings (key=value after the serial number, or keys of a module object in the JSON file):\n"
             "  model, address, router, version (x.y.z), build, name, heartbeat, features, block-size,\n"
             "  down-ms, loader-serial-ms, uei-data, port and ip (tcp), link (serial),\n"
             "  members=SERIAL:SERIAL... (modules on this router's I2C network),\n"
             "  stream=CMD:OPT:INDEX:TYPE[:RATE_MS[:VALUE[:STEP[:SUBINDEX]]]][+...] (values streamed while enabled).\n"
             "JSON: {\"modules\": [{\"transport\": \"tcp\", \"serial\": \"40F5849A\", \"members\": [...]}]}\n"
             "After \"--\", a command to run while the modules are up; its exit status is returned.");
  app.add_option("command", command, "command to run")->allow_extra_args();
  app.positionals_at_end(true);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e);
  }

  std::vector<ModuleSpec> specs;
  try {
    for (const auto &s : tcpSpecs)
      specs.push_back(parseSpec("tcp", s));
    for (const auto &s : serialSpecs)
      specs.push_back(parseSpec("serial", s));
    for (const auto &s : usbSpecs)
      specs.push_back(parseSpec("usb", s));
    if (!configFile.empty()) {
      std::ifstream in(configFile);
      nlohmann::json j = nlohmann::json::parse(in);
      for (const auto &m : j.at("modules"))
        specs.push_back(specFromJson(m, "tcp"));
      if (j.contains("heartbeat_ms"))
        heartbeat = j["heartbeat_ms"].get<unsigned>();
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "modulesim: %s\n", e.what());
    return 1;
  }
  if (specs.empty()) {
    std::fprintf(stderr, "modulesim: no modules given (see --help)\n");
    return 1;
  }
  bool wantUsb = false;
  for (const auto &s : specs) {
    if (s.transport != "tcp" && s.transport != "serial" && s.transport != "usb") {
      std::fprintf(stderr, "modulesim: unknown transport \"%s\"\n", s.transport.c_str());
      return 1;
    }
    wantUsb = wantUsb || s.transport == "usb";
  }
#ifdef MODULESIM_HAVE_USB
  if (wantUsb && !underUmockdev())
    reexecUnderUmockdev(argv);
#else
  if (wantUsb) {
    std::fprintf(stderr, "modulesim: built without USB emulation (umockdev)\n");
    return 1;
  }
#endif
  if (netns) {
    std::string error;
    if (!enterPrivateNetworkNamespace(error)) {
      std::fprintf(stderr, "modulesim: %s\n", error.c_str());
      return 1;
    }
  }

  // Signals are taken by sigwait on the main thread only.
  sigset_t stopSignals, original;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &original);

  int status = 0;
  {
#ifdef MODULESIM_HAVE_USB
    std::unique_ptr<qwemu::UsbTestbed> testbed;
    if (wantUsb) {
      testbed = std::make_unique<qwemu::UsbTestbed>();
      if (!testbed->ok()) {
        std::fprintf(stderr, "modulesim: cannot create the emulated USB bus\n");
        return 1;
      }
    }
#endif
    Simulation sim; // after the bus, before the USB transports: they go first
#ifdef MODULESIM_HAVE_USB
    std::vector<std::unique_ptr<UsbTransport>> usb;
#endif
    std::vector<std::string> lines;
    try {
      ModuleConfig base;
      base.heartbeatMs = heartbeat;
      for (const ModuleSpec &spec : specs) {
        ModuleConfig c = configure(spec, base, 2);
        SimModule &m = sim.add(c);
        std::string where;
        auto get = [&](const char *k, const std::string &def) {
          auto it = spec.settings.find(k);
          return it == spec.settings.end() ? def : it->second;
        };
        if (spec.transport == "tcp") {
          uint32_t port = 0;
          if (!parseNumber(get("port", "0"), port) || port > 65535)
            throw CLI::ValidationError("module", "bad port");
          TcpTransport *t = sim.serveTcp(m, {get("ip", sim.nextLoopbackAddress()), uint16_t(port)});
          if (!t)
            throw std::runtime_error(sim.error());
          where = "tcp " + t->ip() + ":" + std::to_string(t->port());
        } else if (spec.transport == "serial") {
          SerialTransport *s = sim.serveSerial(m, get("link", serialDir + "/ttySIM." + hex8(c.serial)));
          if (!s)
            throw std::runtime_error(sim.error());
          where = "serial " + s->path();
        } else {
#ifdef MODULESIM_HAVE_USB
          usb.push_back(std::make_unique<UsbTransport>(m, *testbed));
          char ids[32];
          std::snprintf(ids, sizeof ids, "%04X:%04X", UsbOptions{}.vendorId, UsbOptions{}.productBase | c.model);
          where = std::string("usb ") + ids;
#endif
        }
        lines.push_back("module " + hex8(c.serial) + " address " + std::to_string(c.address) + " model " +
                        std::to_string(c.model) + ": " + where);
        uint8_t memberAddress = uint8_t(c.address + 2);
        for (const ModuleSpec &ms : spec.members) {
          ModuleConfig mc =
              configure(ms, base, memberAddress == c.address ? uint8_t(memberAddress + 2) : memberAddress);
          mc.routerAddress = c.address;
          SimModule &member = sim.add(mc);
          sim.network(m, member);
          memberAddress = uint8_t(mc.address + 2);
          lines.push_back("module " + hex8(mc.serial) + " address " + std::to_string(mc.address) + " model " +
                          std::to_string(mc.model) + ": on the I2C network of " + hex8(c.serial));
        }
      }
    } catch (const std::exception &e) {
      std::fprintf(stderr, "modulesim: %s\n", e.what());
      return 1;
    }
    modulesim::Faults faults;
    faults.dropLinkAfterPackets = dropAfter;
    faults.freezeAfterPackets = freezeAfter;
    faults.refuseBlock = refuseBlock;
    if (!late.empty()) {
      unsigned nth = 0, ms = 0;
      char end = 0;
      if (std::sscanf(late.c_str(), "%u:%u%c", &nth, &ms, &end) != 2 || nth == 0) {
        std::fprintf(stderr, "modulesim: bad --late \"%s\" (N:MS)\n", late.c_str());
        return 1;
      }
      faults.replies.push_back({modulesim::FaultRule::Delay, modulesim::kCmdUpgrade, 7, nth, ms});
    }
    if (dropAfter || freezeAfter || refuseBlock || !late.empty())
      for (const auto &m : sim.modules())
        m->setFaults(faults);
    // Log events and packets at the chosen verbosity.
    if (verbosity >= 1)
      for (const auto &m : sim.modules()) {
        std::string who = hex8(m->config().serial);
        m->setEventLog([who](const std::string &text) { say(1, who + ": " + text); });
      }
    if (verbosity >= 2)
      for (const auto &m : sim.modules()) {
        std::string who = hex8(m->config().serial);
        m->setTrace(
            [who](bool fromHost, const Packet &p) { say(2, who + (fromHost ? " <- " : " -> ") + packetText(p)); });
      }
    if (netns && !noDiscovery) {
      if (!sim.startDiscovery()) {
        std::fprintf(stderr, "modulesim: %s\n", sim.error().c_str());
        return 1;
      }
      say(1, "answering UDP discovery");
    }
    for (const std::string &l : lines)
      std::printf("%s\n", l.c_str());
    std::fflush(stdout);
    if (!readyFile.empty()) {
      std::string temp = readyFile + ".tmp";
      std::ofstream out(temp);
      for (const std::string &l : lines)
        out << l << "\n";
      out.close();
      std::rename(temp.c_str(), readyFile.c_str());
    }

    if (!command.empty()) {
      status = runCommand(command, original);
    } else {
      int sig = 0;
      sigwait(&stopSignals, &sig);
      say(1, std::string("stopping on ") + strsignal(sig));
    }
    for (const auto &m : sim.modules()) {
      m->setTrace(nullptr);
      m->setEventLog(nullptr);
    }
  }
  return status;
}
