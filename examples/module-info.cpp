// module-info: finds one Quillwork module by its serial number and prints its
// serial number, model, firmware version, build and name. It uses only the
// installed device link library, the way any other program would.
//
//   module-info SERIAL               the module on USB
//   module-info SERIAL HOST:PORT     the module on TCP/IP at that address
//
// Exit status 0 when the module answered, 1 otherwise.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <quillwork/Entity.h>
#include <quillwork/Module.h>
#include <quillwork/cDefs.h>
#include <quillwork/cDiscovery.h>
#include <quillwork/cErr.h>
#include <quillwork/cVersion.h>

using Corvatek::Quillwork::Module;
using Corvatek::Quillwork::SystemClass;

namespace {

bool parseSerial(const char *text, uint32_t *serial) {
  if (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0)
    text += 2;
  char *end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 16);
  if (*text == '\0' || *end != '\0' || errno != 0 || value == 0 || value > 0xFFFFFFFFul)
    return false;
  *serial = static_cast<uint32_t>(value);
  return true;
}

// A TCP/IP link specifier for "A.B.C.D:PORT".
bool parseAddress(const char *text, uint32_t serial, linkSpec *spec) {
  std::string s(text);
  size_t colon = s.rfind(':');
  if (colon == std::string::npos)
    return false;
  in_addr address{};
  if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &address) != 1)
    return false;
  char *end = nullptr;
  unsigned long port = strtoul(s.c_str() + colon + 1, &end, 10);
  if (colon + 1 == s.size() || *end != '\0' || port == 0 || port > 65535)
    return false;
  memset(spec, 0, sizeof *spec);
  spec->type = linkTypeTCPIP;
  spec->serialNumber = serial;
  spec->ipAddress = address.s_addr; // network byte order
  spec->port = static_cast<uint32_t>(port);
  return true;
}

int fail(const char *what, cErr err) {
  fprintf(stderr, "module-info: %s: %s (%d)\n", what, cError_GetErrorDescription(static_cast<unsigned>(err)),
          static_cast<int>(err));
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  uint32_t serial = 0;
  if (argc < 2 || argc > 3 || !parseSerial(argv[1], &serial)) {
    fprintf(stderr, "usage: module-info SERIAL [HOST:PORT]\n");
    return 2;
  }

  linkSpec spec;
  if (argc == 3) {
    if (!parseAddress(argv[2], serial, &spec)) {
      fprintf(stderr, "module-info: not an IPv4 address and port: %s\n", argv[2]);
      return 2;
    }
  } else {
    linkSpec *found = cDiscovery_FindModule(linkTypeUSB, serial, cDISCOVERY_LOCALHOST);
    if (found == nullptr) {
      fprintf(stderr, "module-info: no module %08X on USB\n", serial);
      return 1;
    }
    spec = *found;
    cLinkSpec_Destroy(&found);
  }

  Module module(2, 0);
  // This program talks to the module alone: no link server for others.
  cEtherConfig config;
  config.enabled = 0;
  config.fallback = 0;
  cErr err = module.setConfig(config);
  if (err == cErrNone)
    err = module.connectFromSpec(spec);
  if (err != cErrNone)
    return fail("connect", err);

  SystemClass system;
  system.init(&module, 0);
  uint32_t answeredSerial = 0, version = 0, build = 0;
  uint8_t model = 0;
  uint8_t name[33] = {0};
  uint32_t nameLength = 0;
  if ((err = system.getSerialNumber(&answeredSerial)) != cErrNone)
    return fail("serial number", err);
  if (answeredSerial != serial) {
    fprintf(stderr, "module-info: the module at that address is %08X, not %08X\n", answeredSerial, serial);
    return 1;
  }
  if ((err = system.getModel(&model)) != cErrNone)
    return fail("model", err);
  if ((err = system.getVersion(&version)) != cErrNone)
    return fail("version", err);
  if (system.getBuild(&build) != cErrNone)
    build = 0; // older firmware has no build number
  if (system.getName(name, sizeof name - 1, &nameLength) != cErrNone)
    nameLength = 0; // older firmware has no name
  name[nameLength < sizeof name ? nameLength : sizeof name - 1] = '\0';
  module.disconnect();

  char versionText[32];
  cVersion_ParseString(version, versionText, sizeof versionText);
  printf("Serial number: %08X\n", answeredSerial);
  printf("Model:         %u (%s)\n", model, cDefs_GetModelName(model));
  printf("Version:       %s\n", versionText);
  printf("Build:         %u\n", build);
  printf("Name:          %s\n", reinterpret_cast<const char *>(name));
  return 0;
}
