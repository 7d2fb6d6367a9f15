// Link: the application's handle on one physical connection to a module (or
// to a routing module and the modules behind it). It owns one link-engine
// handle and offers request/response operations on the engine's packet
// queue: UEI messages, raw command packets, store slots, factory data and the
// packet log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "quillwork/cErr.h"
#include "quillwork/cPacket.h"
#include "quillwork/cUEI.h"
#include "quillwork/linkSpec.h"

// A Link's network configuration, copied in and out whole.
typedef struct cEtherConfig {
  uint8_t enabled = 1;                    // share the link through a link server created on connect
  uint8_t fallback = 1;                   // discoverAndConnect may retry with another transport
  uint8_t localOnly = 1;                  // the link server listens on loopback only
  uint16_t port = 0;                      // link-server port; 0 = any (filled in with the bound port)
  uint32_t networkInterface = 0x0100007F; // 127.0.0.1 as stored in a socket address
} cEtherConfig;

namespace Corvatek {
namespace Quillwork {

class Link {
public:
  explicit Link(const char *name);
  Link(const linkSpec &spec, const char *name);
  ~Link();
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  const char *getName() const;
  cErr getLinkSpecifier(linkSpec *out) const;
  cErr setLinkSpecifier(const linkSpec &spec);
  cErr getConfig(cEtherConfig *out) const;
  cErr setConfig(const cEtherConfig &config);

  cErr connect();
  cErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  cErr connectThroughLinkModule(Link &other);
  bool isConnected() const;
  int getStatus() const;
  cErr disconnect();
  cErr reset();
  cErr enablePooledPackets(bool on);

  cErr getModuleAddress(uint8_t *out);
  cErr sendUEI(const uei &request);
  cErr sendUEI(const uei &request, uint8_t subindex);
  // Waits for the answer that the filter picks out, with the record as the
  // filter's reference; the answer lands in the record.
  cErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei *record,
                  cPacketFilterProc filter = nullptr);
  cErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  cErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t *data);
  // Waits up to 1000 ms for the first packet whose first *length data bytes
  // equal match; then *length is the packet's length and out (28 bytes) holds
  // its data.
  cErr receivePacket(uint8_t module, const uint8_t *match, uint8_t *length, uint8_t *out);
  // Throws away the packets already received whose first length data bytes
  // equal match (late answers to earlier requests of that kind).
  cErr dropMatchingPackets(uint8_t module, const uint8_t *match, uint8_t length);
  // As receivePacket, for any filter and time-out; the caller owns the packet.
  cPacket *awaitPacket(cPacketFilterProc filter, const void *reference, uint32_t timeoutMs);

  cErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t *data, uint32_t length);
  cErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t *buffer, uint32_t bufferLength,
                       uint32_t *count);
  cErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint32_t *out);
  cErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint32_t *out);
  cErr getFactoryData(uint8_t module, uint8_t item, uint8_t *buffer, uint32_t bufferLength, uint32_t *count);
  cErr setFactoryData(uint8_t module, uint8_t item, const uint8_t *data, uint32_t length);

  cErr enablePacketLog(const char *path);
  cErr disablePacketLog();

  // The value a registered stream last delivered for this UEI: cErrNone when
  // fresh, cErrStreamStale when it was read before, cErrNotFound when no
  // stream delivers it (then the module is asked).
  cErr readStreamCache(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       uint32_t *value);

  // The engine handle (0 when not connected); for the library's own use.
  uint32_t handle() const;

  struct impl;

private:
  std::unique_ptr<impl> pImpl;
};

// The UEI answer filter: the packet comes from record->module and carries
// record's command, option and index (data[2] & 0x1F); the answer is copied
// into the record.
bool sUEIFilter(const cPacket *packet, const void *record);

} // namespace Quillwork
} // namespace Corvatek
