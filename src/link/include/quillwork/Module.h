// Module: one addressable module reached through a Link it owns. It finds its
// real address after connecting (auto networking) and offers the descriptor
// queries and an echo test.
#pragma once

#include <cstdint>
#include <memory>

#include "quillwork/Link.h"

namespace Corvatek {
namespace Quillwork {

class Module {
public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool autoNetworking, uint8_t model);
  virtual ~Module();
  Module(const Module &) = delete;
  Module &operator=(const Module &) = delete;

  cErr connect(linkType type, uint32_t serialNumber);
  cErr discoverAndConnect(linkType type, uint32_t serialNumber);
  cErr connectFromSpec(const linkSpec &spec);
  cErr reconnect();
  cErr connectThroughLinkModule(Module &other);
  bool isConnected() const;
  int getStatus() const;
  cErr disconnect();

  cErr getLinkSpecifier(linkSpec *out) const;
  cErr getConfig(cEtherConfig *out) const;
  cErr setConfig(const cEtherConfig &config);
  cErr enablePacketLog(const char *path);
  cErr disablePacketLog();

  uint8_t getModuleAddress() const { return address; }
  void setModuleAddress(uint8_t a) { address = a; }
  Link *getLink() const { return link.get(); }
  void setNetworkingMode(bool on) { networking = on; }

  cErr debug(const uint8_t *data, uint8_t length);
  cErr getBuild(uint32_t *out);
  cErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  cErr classQuantity(uint8_t command, uint8_t *count);
  cErr subClassQuantity(uint8_t command, uint8_t index, uint8_t *count);
  cErr entityGroup(uint8_t command, uint8_t index, uint8_t *group);

private:
  cErr _autoNetwork();
  cErr descriptor(const uint8_t *request, uint8_t requestLength, uint8_t matchLength, uint8_t answerLength,
                  uint8_t *answer);

  std::unique_ptr<Link> link;
  uint8_t address;
  bool networking;
  uint8_t model;
};

} // namespace Quillwork
} // namespace Corvatek
