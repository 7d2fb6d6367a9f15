#include "quillwork/cUEI.h"

#include <cstring>

uint8_t *cUEI_StoreShort(uint8_t *buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
  return buffer;
}

uint8_t *cUEI_StoreInt(uint8_t *buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
  return buffer;
}

uint16_t cUEI_RetrieveShort(const uint8_t *buffer) { return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]); }

uint32_t cUEI_RetrieveInt(const uint8_t *buffer) {
  return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
         (static_cast<uint32_t>(buffer[2]) << 8) | buffer[3];
}

void cUEI_ModifyIntBuffer(uint32_t *words, size_t count) {
  if (words == nullptr)
    return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    memcpy(bytes, &words[i], sizeof bytes);
    words[i] = cUEI_RetrieveInt(bytes);
  }
}

namespace {
// A packet with at least one data byte; the classifiers read nothing else.
bool hasData(const cPacket *packet) {
  return cVALIDPACKET(packet) && packet->length >= 1 && packet->length <= cPACKET_MAXDATA;
}
} // namespace

uint8_t cUEI_getBytesSequence(const cPacket *packet) {
  return hasData(packet) ? packet->data[packet->length - 1] & ueiBYTES_SEQUENCE_MASK : 0;
}

bool cUEI_getBytesContinue(const cPacket *packet) {
  return hasData(packet) && (packet->data[packet->length - 1] & ueiBYTES_CONTINUE) != 0;
}

bool cUEI_getBytesFullPacket(const cPacket *packet) {
  return cVALIDPACKET(packet) && (packet->length == 27 || packet->length == 28);
}

bool cUEI_isNotUEIPayload(const cPacket *packet) {
  // An empty packet has no command byte; it is the address query or its
  // answer, never a UEI.
  if (!cVALIDPACKET(packet))
    return false;
  if (packet->length == 0)
    return true;
  switch (packet->data[ueiDATA_COMMAND]) {
  case 0:
  case 1:
  case 2:
  case cmdSLOT:
  case cmdI2C:
  case 9:
  case cmdDEBUG:
  case 24:
  case cmdDESCRIPTOR:
  case cmdFACTORY:
  case cmdUPGRADE:
  case ADDRESS_QUERY:
  case cmdFORCEROUTE: return true;
  default: return false;
  }
}

bool cUEI_isUEIPayload(const cPacket *packet) { return !cUEI_isNotUEIPayload(packet); }

bool cUEI_isStreamPacket(const cPacket *packet) {
  return cVALIDPACKET(packet) && packet->length > 4 && packet->length <= cPACKET_MAXDATA && cUEI_isUEIPayload(packet) &&
         packet->data[ueiDATA_OPTION] < 64 && (packet->data[ueiDATA_SPECIFIER] & ueiSPECIFIER_STREAM) != 0;
}
