// The link server's wire records: front-end packet frames and the discovery
// reply. Kept apart from the server so that the fuzz target can build them
// with its instrumentation.
#include <cstring>

#include "cServerInternal.h"

bool cServer_FrameToPacket(const uint8_t *frame, size_t size, cPacket *packet) {
  if (frame == nullptr || packet == nullptr || size < 2 || size > cPACKET_MAXBYTES)
    return false;
  if ((size_t)frame[1] > size - 2)
    return false;
  memset(packet, 0, sizeof *packet);
  packet->check = cPACKETCHECK;
  packet->address = frame[0];
  packet->length = frame[1];
  packet->count = (uint8_t)(packet->length + 2);
  memcpy(packet->data, frame + 2, packet->length);
  return true;
}

linkSpec cServer_DiscoveryReply(uint32_t networkType, uint32_t serialNumber, uint8_t moduleAddress, uint8_t model,
                                uint32_t ipAddress, uint16_t port) {
  linkSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.type = networkType;
  spec.serialNumber = serialNumber;
  spec.moduleAddress = moduleAddress;
  spec.model = model;
  spec.ipAddress = ipAddress;
  spec.port = port;
  return spec;
}
