#include "quillwork/cPacket.h"

#include <cstring>
#include <new>

cPacket *cPacket_Create(void) {
  cPacket *packet = new (std::nothrow) cPacket{};
  if (packet != nullptr)
    packet->check = cPACKETCHECK;
  return packet;
}

cPacket *cPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data) {
  if (data == nullptr || length > cPACKET_MAXDATA)
    return nullptr;
  cPacket *packet = cPacket_Create();
  if (packet == nullptr)
    return nullptr;
  packet->address = address;
  packet->length = length;
  packet->count = static_cast<uint8_t>(length + 2);
  memcpy(packet->data, data, length);
  return packet;
}

cPacket *cPacket_Copy(const cPacket *packet) {
  if (!cVALIDPACKET(packet))
    return nullptr;
  // A packet in assembly may have a length byte above 28 (it was refused);
  // never copy more than the record holds.
  uint8_t length = packet->length > cPACKET_MAXDATA ? cPACKET_MAXDATA : packet->length;
  cPacket *copy = cPacket_CreateWithData(packet->address, length, packet->data);
  return copy;
}

namespace {
cErr getDataByte(const cPacket *packet, uint8_t *out, unsigned index, uint8_t mask) {
  if (out == nullptr)
    return cErrParam;
  if (!cVALIDPACKET(packet) || packet->length <= index)
    return cErrPacket;
  *out = packet->data[index] & mask;
  return cErrNone;
}
} // namespace

cErr cPacket_GetCmd(const cPacket *packet, uint8_t *cmd) { return getDataByte(packet, cmd, 0, 0xFF); }
cErr cPacket_GetOption(const cPacket *packet, uint8_t *option) { return getDataByte(packet, option, 1, 0x3F); }
cErr cPacket_GetIndex(const cPacket *packet, uint8_t *index) { return getDataByte(packet, index, 2, 0x1F); }

cErr cPacket_Reset(cPacket *packet) {
  if (!cVALIDPACKET(packet))
    return cErrParam;
  packet->count = 0;
  packet->address = 0;
  packet->length = 0;
  memset(packet->data, 0, sizeof packet->data);
  return cErrNone;
}

cErr cPacket_AddByte(cPacket *packet, uint8_t byte) {
  if (!cVALIDPACKET(packet))
    return cErrParam;
  // The count advances even for a refused byte: the caller resets after an
  // error. It stops at 31 instead of wrapping, so a packet that is never reset
  // keeps refusing bytes rather than starting over after 256 of them.
  if (packet->count > cPACKET_MAXBYTES)
    return cErrOverrun;
  packet->count = static_cast<uint8_t>(packet->count + 1);
  if (packet->count > cPACKET_MAXBYTES)
    return cErrOverrun;
  if (packet->address == 0) {
    if (byte == 0)
      return cErrPacket;
    packet->address = byte;
    return cErrNone;
  }
  if (packet->length == 0) {
    packet->length = byte;
    return byte > cPACKET_MAXDATA ? cErrPacket : cErrNone;
  }
  if (packet->length > cPACKET_MAXDATA || packet->count > packet->length + 2)
    return cErrPacket;
  packet->data[packet->count - 3] = byte;
  return cErrNone;
}

bool cPacket_IsComplete(const cPacket *packet) {
  return cVALIDPACKET(packet) && packet->length <= cPACKET_MAXDATA && packet->count == packet->length + 2;
}

cErr cPacket_GetBytes(const cPacket *packet, uint8_t *buffer, size_t size, size_t *count) {
  if (!cVALIDPACKET(packet) || buffer == nullptr || packet->length > cPACKET_MAXDATA)
    return cErrParam;
  size_t total = static_cast<size_t>(packet->length) + 2;
  if (size < total)
    return cErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->length;
  memcpy(buffer + 2, packet->data, packet->length);
  if (count != nullptr)
    *count = total;
  return cErrNone;
}

cErr cPacket_Destroy(cPacket **packet) {
  if (packet == nullptr || *packet == nullptr)
    return cErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return cErrNone;
}
