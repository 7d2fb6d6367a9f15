// qw-link-server: opens one module and shares it through a link server, so
// that other programs on this machine (and, with --network, on other
// machines) can use it at the same time as network clients. Runs until
// SIGINT or SIGTERM.
#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "quillwork/Entity.h"
#include "quillwork/Link.h"
#include "quillwork/Module.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cServer_ZeroMQ.h"

using namespace Corvatek::Quillwork;

namespace {

bool parseAddressPort(const std::string &text, linkSpec *spec) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos)
    return false;
  in_addr a{};
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1)
    return false;
  char *end = nullptr;
  unsigned long port = strtoul(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || port == 0 || port > 65535)
    return false;
  spec->type = linkTypeTCPIP;
  spec->ipAddress = a.s_addr;
  spec->port = static_cast<uint32_t>(port);
  return true;
}

// The module's serial number, asked over a direct link of its own.
cErr askSerial(const linkSpec &spec, uint32_t *serial) {
  Module module(0, true, 0);
  cEtherConfig config;
  config.enabled = 0;
  module.setConfig(config);
  cErr err = module.connectFromSpec(spec);
  if (err == cErrNone) {
    SystemClass system;
    system.init(&module, 0);
    err = system.getSerialNumber(serial);
  }
  module.disconnect();
  return err;
}

// What the server has to say (the module link lost and made again, a
// refused command), one line each on standard error.
void logLine(const char *text) {
  fprintf(stderr, "qw-link-server: %s\n", text);
  fflush(stderr);
}

} // namespace

int main(int argc, char **argv) {
  // Every thread the library starts inherits this mask: the signals are
  // taken by sigwait below, never by a library thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  CLI::App app{"Shares one Quillwork module through a link server"};
  std::string serialText, tcpText, interfaceText;
  bool localOnly = false, network = false, maintenance = false;
  auto *serialOption =
      app.add_option("-d", serialText, "serial number of the module (8 hex digits), found by discovery");
  auto *tcpOption = app.add_option("--tcp", tcpText, "the module's TCP/IP address and port (ADDRESS:PORT)");
  serialOption->excludes(tcpOption);
  auto *localOption = app.add_flag("--local-only", localOnly,
                                   "listen on loopback only, discovery by multicast on this machine (the default)");
  auto *networkOption = app.add_flag(
      "--network", network,
      "serve the network: listen on the interface (--interface, else the first found) and answer beacons there. "
      "RISK: any host that reaches it can use the module, with no authentication");
  networkOption->excludes(localOption);
  app.add_flag("--allow-maintenance", maintenance,
               "with --network, pass on upgrade and reset commands from network clients (refused otherwise)")
      ->needs(networkOption);
  app.add_option("--interface", interfaceText,
                 "IPv4 address of the interface to serve on with --network, and to look for the module on (A.B.C.D)");
  app.footer("By default the server serves this machine only. A network-serving server has no authentication: "
             "any host that reaches it can use the module; upgrade and reset commands are refused there "
             "unless --allow-maintenance.");
  CLI11_PARSE(app, argc, argv);
  localOnly = !network;
  if (serialText.empty() == tcpText.empty()) {
    fprintf(stderr, "%s\nRun with --help for more information.\n",
            "one of -d SERIAL or --tcp ADDRESS:PORT is required");
    return 1;
  }

  linkSpec spec{};
  uint32_t interfaceAddress = cDISCOVERY_LOCALHOST;
  if (!interfaceText.empty()) {
    in_addr a{};
    if (inet_pton(AF_INET, interfaceText.c_str(), &a) != 1) {
      fprintf(stderr, "--interface: not an IPv4 address: %s\n", interfaceText.c_str());
      return 1;
    }
    interfaceAddress = a.s_addr;
  }
  if (!serialText.empty()) {
    char *end = nullptr;
    unsigned long serial = strtoul(serialText.c_str(), &end, 16);
    if (end == serialText.c_str() || *end != '\0' || serial == 0 || serial > 0xFFFFFFFFul) {
      fprintf(stderr, "-d: not a serial number: %s\n", serialText.c_str());
      return 1;
    }
    linkSpec *found = cDiscovery_FindModule(linkTypeUSB, static_cast<uint32_t>(serial), interfaceAddress);
    if (found == nullptr)
      found = cDiscovery_FindModule(linkTypeTCPIP, static_cast<uint32_t>(serial), interfaceAddress);
    if (found == nullptr) {
      fprintf(stderr, "Module %08lX not found\n", serial);
      return 1;
    }
    spec = *found;
    cLinkSpec_Destroy(&found);
  } else {
    if (!parseAddressPort(tcpText, &spec)) {
      fprintf(stderr, "--tcp: expected ADDRESS:PORT, got %s\n", tcpText.c_str());
      return 1;
    }
    cErr err = askSerial(spec, &spec.serialNumber);
    if (err != cErrNone) {
      fprintf(stderr, "No module answers at %s: %s\n", tcpText.c_str(), cError_GetErrorText(err));
      return 1;
    }
  }

  cServer_SetLog(logLine);
  cServer_AllowRemoteMaintenance(maintenance);
  Module module(0, true, 0);
  cEtherConfig config;
  config.enabled = 1;
  config.fallback = 0;
  config.localOnly = localOnly ? 1 : 0;
  config.networkInterface = interfaceAddress;
  module.setConfig(config);
  cErr err = module.connectFromSpec(spec);
  // The server answers discovery once it knows the module's model, which it
  // learnt through the same path this request takes.
  uint8_t model = 0;
  if (err == cErrNone) {
    SystemClass system;
    system.init(&module, 0);
    err = system.getModel(&model);
  }
  if (err != cErrNone) {
    fprintf(stderr, "Could not share module %08X: %s\n", spec.serialNumber, cError_GetErrorText(err));
    return 1;
  }
  module.getConfig(&config);
  char address[INET_ADDRSTRLEN] = "?";
  cDiscovery_ConvertIPv4Interface(config.networkInterface, address, sizeof address);
  if (!localOnly)
    fprintf(stderr,
            "qw-link-server: serving the network at %s: any host that reaches it can use the module "
            "(upgrade and reset commands %s)\n",
            address, maintenance ? "allowed" : "refused");
  printf("Serving module %08X on tcp://%s:%u\n", spec.serialNumber, address, config.port);
  fflush(stdout);

  int signal = 0;
  sigwait(&stop, &signal);
  module.disconnect();
  return 0;
}
