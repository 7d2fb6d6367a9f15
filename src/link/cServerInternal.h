// Pieces of the link server shared with its tests and fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cPacket.h"
#include "quillwork/linkSpec.h"

#define cSERVER_CHECK 0x5E4Bu
#define cSERVER_FLUSH_SIGNAL 5     // pipe signal that empties the reply queue
#define cSERVER_POOL_MAX 4096      // packets one UEI-bytes pool may hold
#define cSERVER_ANSWER_MAX 1024    // answer packets collected for one request
#define cSERVER_BATCH_FLUSH 4065   // a batch holding more bytes is sent at once
#define cSERVER_BATCH_HOLD_MS 20   // a begun batch is sent after this at the latest
#define cSERVER_CLIENT_RETRIES 100 // 1 ms apart, for a full internal socket

// Reads a front-end frame (address, length, data) as a packet. False, having
// read nothing beyond size, for a frame shorter than 2 or longer than 30
// bytes or whose length byte promises more data than the frame holds.
bool cServer_FrameToPacket(const uint8_t *frame, size_t size, cPacket *packet);

// The discovery reply of a server: a linkSpec with type, serial number,
// module address, model, IPv4 address (network order) and front-end port.
linkSpec cServer_DiscoveryReply(uint32_t networkType, uint32_t serialNumber, uint8_t moduleAddress, uint8_t model,
                                uint32_t ipAddress, uint16_t port);
