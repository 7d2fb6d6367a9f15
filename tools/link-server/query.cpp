// qw-link-query: a network client of a link server. Finds the server that
// shares module SERIAL (on this machine by multicast, or with --interface by
// beacon on that network), asks the module for its model and name, then
// runs COUNT echo requests with a payload of its own and counts the answers
// that came back to it unchanged. Several at once show one module shared.
#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "quillwork/Entity.h"
#include "quillwork/Module.h"

using namespace Corvatek::Quillwork;

int main(int argc, char **argv) {
  CLI::App app{"Uses a module shared by a link server, as one of its network clients"};
  std::string serialText, interfaceText;
  int count = 100;
  app.add_option("-d", serialText, "serial number of the shared module (8 hex digits)")->required();
  app.add_option("-n", count, "echo requests to send")->check(CLI::Range(0, 1000000));
  app.add_option("--interface", interfaceText, "search by beacon on this interface (A.B.C.D)");
  CLI11_PARSE(app, argc, argv);
  char *end = nullptr;
  unsigned long serial = strtoul(serialText.c_str(), &end, 16);
  if (end == serialText.c_str() || *end != '\0' || serial == 0 || serial > 0xFFFFFFFFul) {
    fprintf(stderr, "-d: not a serial number: %s\n", serialText.c_str());
    return 1;
  }
  Module module(0, true, 0);
  cEtherConfig config;
  config.fallback = 0;
  if (!interfaceText.empty()) {
    in_addr a{};
    if (inet_pton(AF_INET, interfaceText.c_str(), &a) != 1) {
      fprintf(stderr, "--interface: not an IPv4 address: %s\n", interfaceText.c_str());
      return 1;
    }
    config.networkInterface = a.s_addr;
  }
  module.setConfig(config);
  cErr err = module.discoverAndConnect(linkTypeCEther, static_cast<uint32_t>(serial));
  if (err != cErrNone) {
    fprintf(stderr, "No link server shares module %08lX: %s\n", serial, cError_GetErrorText(err));
    return 1;
  }
  SystemClass system;
  system.init(&module, 0);
  uint8_t model = 0;
  uint8_t name[64] = {0};
  uint32_t length = 0;
  system.getModel(&model);
  system.getName(name, sizeof name - 1, &length);
  name[length < sizeof name ? length : sizeof name - 1] = '\0';
  int own = 0;
  for (int i = 0; i < count; i++) {
    uint8_t payload[8] = {'q', 'w', uint8_t(getpid() >> 8), uint8_t(getpid()), uint8_t(i >> 8), uint8_t(i), 0, 0};
    own += module.debug(payload, sizeof payload) == cErrNone;
  }
  printf("pid %d: module %08lX model %u \"%s\": %d of %d echo answers were our own\n", (int)getpid(), serial, model,
         reinterpret_cast<char *>(name), own, count);
  module.disconnect();
  return own == count ? 0 : 1;
}
