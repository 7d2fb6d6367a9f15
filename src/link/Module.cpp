// Module: a Link plus the module's address, auto networking, descriptor
// queries and the echo test.
#include "quillwork/Module.h"

#include <cstring>

#include "quillwork/cDebug.h"
#include "quillwork/cTime.h"
#include "quillwork/cUEI.h"

namespace Corvatek {
namespace Quillwork {

namespace {
constexpr int kAddressQueries = 4;
constexpr uint32_t kDebugNetworking = 0x40; // library debug category of auto networking
constexpr uint8_t kDescBuild = 0xFF;
constexpr uint8_t kDescHasUEI = 1;
constexpr uint8_t kDescClassQuantity = 4;
constexpr uint8_t kDescSubClassQuantity = 5;
constexpr uint8_t kDescEntityGroup = 6;
} // namespace

Module::Module(uint8_t a, uint8_t m) : Module(a, true, m) {}

Module::Module(uint8_t a, bool autoNetworking, uint8_t m)
    : link(std::make_unique<Link>("Link")), address(a), networking(autoNetworking), model(m) {}

Module::~Module() = default;

cErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0)
    return cErrParam;
  return discoverAndConnect(type, serialNumber);
}

cErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!link)
    return cErrInitialization;
  cErr err = link->discoverAndConnect(type, serialNumber, model);
  if (err != cErrNone)
    return err;
  return _autoNetwork();
}

cErr Module::connectFromSpec(const linkSpec &spec) {
  if (!link)
    return cErrInitialization;
  if (link->isConnected())
    return cErrBusy;
  cErr err = link->setLinkSpecifier(spec);
  if (err != cErrNone)
    return err;
  err = link->connect();
  if (err != cErrNone)
    return err;
  err = _autoNetwork();
  cDEBUG_PRINTF(kDebugNetworking, "Post autoNetwork err: %d\n", err);
  return err;
}

cErr Module::reconnect() {
  if (!link)
    return cErrInitialization;
  cErr err = link->connect();
  if (err != cErrNone)
    return err;
  return _autoNetwork();
}

cErr Module::connectThroughLinkModule(Module &other) {
  if (!link)
    return cErrInitialization;
  if (link->isConnected())
    return cErrNone;
  linkSpec spec;
  cErr err = other.getLinkSpecifier(&spec);
  if (err != cErrNone)
    return err;
  Link *otherLink = other.getLink();
  if (otherLink == nullptr)
    return cErrInitialization;
  cEtherConfig config;
  otherLink->getConfig(&config);
  err = link->setConfig(config);
  if (err != cErrNone)
    return err;
  if (config.enabled) {
    // Reach the module through the other link's server.
    spec.type = linkTypeCEther;
    spec.ipAddress = config.networkInterface;
    spec.port = config.port;
  }
  err = link->setLinkSpecifier(spec);
  if (err != cErrNone)
    return err;
  err = link->connectThroughLinkModule(*otherLink);
  if (err == cErrNone)
    networking = false; // keep the address on the routing module's network
  return err;
}

bool Module::isConnected() const { return link && link->isConnected(); }
int Module::getStatus() const { return link ? link->getStatus() : 8; }
cErr Module::disconnect() { return link ? link->disconnect() : cErrInitialization; }

cErr Module::getLinkSpecifier(linkSpec *out) const { return link ? link->getLinkSpecifier(out) : cErrNotReady; }

cErr Module::getConfig(cEtherConfig *out) const {
  if (!link)
    return cErrNotReady;
  if (out == nullptr)
    return cErrParam;
  return link->getConfig(out);
}

cErr Module::setConfig(const cEtherConfig &config) { return link ? link->setConfig(config) : cErrNotReady; }

cErr Module::enablePacketLog(const char *path) { return link ? link->enablePacketLog(path) : cErrConfiguration; }
cErr Module::disablePacketLog() { return link ? link->disablePacketLog() : cErrConfiguration; }

cErr Module::_autoNetwork() {
  if (!networking || !link)
    return cErrNone;
  uint8_t found = 0;
  cErr err = cErrNotReady;
  for (int i = 0; i < kAddressQueries && err == cErrNotReady; ++i) {
    err = link->getModuleAddress(&found);
    if (err == cErrNotReady)
      cTime_MSSleep(5);
  }
  if (err == cErrNotReady)
    cDEBUG_PRINTF(kDebugNetworking, "BOO! Failed to autoNetwork\n");
  if (found != 0 && found != address)
    address = found;
  return err;
}

// Sends a descriptor request and takes the first answer with the same command
// and sub-operation. cErrSize when its length is not answerLength, cErrUnknown
// when it does not repeat the first echoLength bytes of the request.
cErr Module::descriptor(const uint8_t *request, uint8_t requestLength, uint8_t echoLength, uint8_t answerLength,
                        uint8_t *answer) {
  if (!link || !link->isConnected())
    return cErrConnection;
  uint8_t match[2] = {cmdDESCRIPTOR, request[0]};
  link->dropMatchingPackets(address, match, sizeof match); // late answers to an earlier request
  cErr err = link->sendPacket(address, cmdDESCRIPTOR, requestLength, request);
  if (err != cErrNone)
    return err;
  uint8_t length = sizeof match;
  err = link->receivePacket(address, match, &length, answer);
  if (err != cErrNone)
    return err;
  if (length != answerLength)
    return cErrSize;
  if (memcmp(answer + 1, request, echoLength) != 0)
    return cErrUnknown;
  return cErrNone;
}

cErr Module::getBuild(uint32_t *out) {
  if (out == nullptr)
    return cErrParam;
  if (!link)
    return cErrInitialization;
  uint8_t request[1] = {kDescBuild};
  uint8_t answer[cPACKET_MAXDATA];
  cErr err = descriptor(request, 1, 1, 6, answer);
  if (err != cErrNone)
    return err;
  *out = cUEI_RetrieveInt(answer + 2);
  return cErrNone;
}

// The quantity queries refuse any answer of an unexpected shape alike.
static cErr shapeError(cErr err) { return err == cErrSize ? cErrUnknown : err; }

cErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  // flags are the operation bits of an option byte.
  if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0)
    return cErrParam;
  uint8_t request[5] = {kDescHasUEI, command, option, index, flags};
  uint8_t answer[cPACKET_MAXDATA];
  cErr err = shapeError(descriptor(request, 5, 4, 6, answer));
  if (err != cErrNone)
    return err;
  return static_cast<cErr>(answer[5]);
}

cErr Module::classQuantity(uint8_t command, uint8_t *count) {
  if (count == nullptr)
    return cErrParam;
  *count = 0;
  uint8_t request[2] = {kDescClassQuantity, command};
  uint8_t answer[cPACKET_MAXDATA];
  cErr err = shapeError(descriptor(request, 2, 2, 4, answer));
  if (err == cErrNone)
    *count = answer[3];
  return err;
}

cErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t *count) {
  if (count == nullptr)
    return cErrParam;
  *count = 0;
  uint8_t request[3] = {kDescSubClassQuantity, command, index};
  uint8_t answer[cPACKET_MAXDATA];
  cErr err = shapeError(descriptor(request, 3, 3, 5, answer));
  if (err == cErrNone)
    *count = answer[4];
  return err;
}

cErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t *group) {
  if (group == nullptr)
    return cErrParam;
  *group = 0;
  uint8_t request[3] = {kDescEntityGroup, command, index};
  uint8_t answer[cPACKET_MAXDATA];
  cErr err = shapeError(descriptor(request, 3, 3, 5, answer));
  if (err == cErrNone)
    *group = answer[4];
  return err;
}

namespace {
bool sEchoFilter(const cPacket *packet, const void *) {
  return cVALIDPACKET(packet) && packet->length >= 1 && packet->data[0] == cmdDEBUG;
}
} // namespace

cErr Module::debug(const uint8_t *data, uint8_t length) {
  if (!link || !link->isConnected())
    return cErrConnection;
  if (data == nullptr && length != 0)
    return cErrParam;
  // A late echo of an earlier request, given up, is not this one's answer.
  const uint8_t stale[1] = {cmdDEBUG};
  link->dropMatchingPackets(address, stale, sizeof stale);
  cErr err = link->sendPacket(address, cmdDEBUG, length, data);
  if (err != cErrNone)
    return err;
  cPacket *answer = link->awaitPacket(sEchoFilter, nullptr, 1000);
  if (answer == nullptr)
    return cErrTimeout;
  bool same = answer->length == length + 1 && (length == 0 || memcmp(answer->data + 1, data, length) == 0);
  cPacket_Destroy(&answer);
  return same ? cErrNone : cErrIO;
}

} // namespace Quillwork
} // namespace Corvatek
