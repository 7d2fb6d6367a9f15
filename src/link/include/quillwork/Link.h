// Link: the application's handle on one physical connection to a module (or
// to a routing module and the modules behind it). It owns one link-engine
// handle and offers request/response operations on the engine's packet
// queue: UEI messages, raw command packets, store slots, factory data and the
// packet log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

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

  // ---- value streams ----
  // A stream key names one UEI instance: module (bits 24-31), command
  // (16-23), option code (8-15), entity index (0-7) and subindex (32-39). In
  // a registration, 255 in an element matches every value of it (never the
  // module).
  enum STREAM_KEY : uint8_t {
    STREAM_KEY_MODULE = 0,
    STREAM_KEY_COMMAND = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4,
  };
  // Sample types (data[3] of a stream packet).
  enum STREAM_PACKET : uint8_t {
    STREAM_PACKET_NONE = 0,
    STREAM_PACKET_8BIT = 1,
    STREAM_PACKET_16BIT = 2,
    STREAM_PACKET_32BIT = 3,
    STREAM_PACKET_UEI_BYTES = 4, // a UEI-bytes stream series, not a sample
    STREAM_PACKET_8BIT_SUBINDEX = 5,
    STREAM_PACKET_16BIT_SUBINDEX = 6,
    STREAM_PACKET_32BIT_SUBINDEX = 7,
  };
  // Called on the Link's callback worker (never on the engine's reader
  // thread) with the stream packet and the registration's context; the packet
  // is released when the callback returns.
  using StreamCallback = std::function<uint8_t(const cPacket *packet, void *context)>;
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };

  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);
  static bool isStreamPacket(const cPacket *packet);
  static bool getStreamPacketType(const cPacket *packet, uint8_t *type);
  static bool isSubindexType(uint8_t type);
  static bool isStreamSample(const cPacket *packet);
  static cErr getStreamSample(const cPacket *packet, uint64_t *timestamp, uint32_t *value, uint8_t *subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t *high, uint32_t *low);

  // Registers (enable) or removes (disable) the callback for a UEI or, with
  // 255 for command, option or index, for every UEI that matches, and tells
  // the module to start or stop streaming it. Module address odd or 255:
  // cErrParam, nothing sent. Registrations survive reset and reconnect.
  cErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void *context);
  cErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // Asks the module whether it streams anything.
  cErr isLinkStreaming(uint8_t module, uint8_t *out);
  // The cached value of the exact key: cErrNone when fresh (the flag is
  // cleared), cErrStreamStale when read before, cErrNotFound when absent.
  cErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t *value);
  // The table keys matching the arguments (255 in an argument matches all).
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock);
  // Concrete (wildcard-free) matching keys with their cached values;
  // cErrSize when they do not all fit.
  cErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry *entries, uint32_t entryCount, uint32_t *count);

  // The value a registered stream last delivered for this UEI: cErrNone when
  // fresh, cErrStreamStale when it was read before, cErrNotFound when no
  // stream delivers it (then the module is asked).
  cErr readStreamCache(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       uint32_t *value);

  // The engine handle (0 when not connected); for the library's own use.
  uint32_t handle() const;

  struct impl;
  // Value streams (LinkStream.cpp): the table, its lock, the callback queue
  // and its worker.
  struct Streams;

private:
  std::unique_ptr<impl> pImpl;

  std::shared_ptr<Streams> pStreams;
  Streams &streams();
  cErr installStreamFilter(bool on);
  cErr tellModuleStream(uint8_t module, uint64_t key, bool enable);
  // After (re)connecting or a reset: the engine's filter is back and the
  // module is told the registrations again.
  void restoreStreams();
  // Before the engine link goes (disconnect): the filter comes off it.
  void detachStreams();
  // The destructor's part: filter off, worker joined.
  void shutdownStreams();
};

// The UEI answer filter: the packet comes from record->module and carries
// record's command, option and index (data[2] & 0x1F); the answer is copied
// into the record.
bool sUEIFilter(const cPacket *packet, const void *record);

} // namespace Quillwork
} // namespace Corvatek
