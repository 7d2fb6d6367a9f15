// Module packets. Everything that travels between the host and a module is a
// packet: a module address, a length (0-28) and that many data bytes. On a
// byte stream a packet is the address, the length and the data, at most 30
// bytes, with no check byte and no delimiter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "quillwork/cErr.h"

#define cPACKET_MAXDATA 28                     // data bytes in one packet
#define cPACKET_MAXBYTES (cPACKET_MAXDATA + 2) // address, length and data
#define cPACKETCHECK 0xBEEF

typedef struct cPacket {
  uint16_t check;  // cPACKETCHECK while the record is valid
  uint8_t count;   // bytes taken in by cPacket_AddByte since the last reset
  uint8_t address; // 1-255; 0 = not yet received
  uint8_t length;  // 0-28
  uint8_t data[cPACKET_MAXDATA];
} cPacket;

// True for a non-null packet whose check word is intact.
static inline bool cVALIDPACKET(const cPacket *packet) { return packet != nullptr && packet->check == cPACKETCHECK; }

// A packet filter: true means "this is the packet wanted" (or, when draining,
// "remove this one"). The reference is the caller's, passed through unchanged.
typedef bool (*cPacketFilterProc)(const cPacket *packet, const void *reference);

// A new empty packet (check word set, everything else 0), or null.
cPacket *cPacket_Create(void);
// A complete packet with the given bytes; null if data is null or length > 28.
cPacket *cPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data);
// A new packet with the same address, length and data; null for an invalid one.
cPacket *cPacket_Copy(const cPacket *packet);

// UEI views of the data: data[0], data[1] & 0x3F, data[2] & 0x1F. A null
// output gives cErrParam; an invalid or too short packet cErrPacket.
cErr cPacket_GetCmd(const cPacket *packet, uint8_t *cmd);
cErr cPacket_GetOption(const cPacket *packet, uint8_t *option);
cErr cPacket_GetIndex(const cPacket *packet, uint8_t *index);

// Clears count, address, length and data.
cErr cPacket_Reset(cPacket *packet);
// One assembly step: address, then length, then the data bytes. The caller
// asks cPacket_IsComplete after every byte and resets the packet after a
// complete packet or an error.
cErr cPacket_AddByte(cPacket *packet, uint8_t byte);
bool cPacket_IsComplete(const cPacket *packet);
// Writes address, length and data (length + 2 bytes) into the buffer;
// cErrOverrun if it is too small. count is optional.
cErr cPacket_GetBytes(const cPacket *packet, uint8_t *buffer, size_t size, size_t *count);
// Frees the packet and nulls the caller's pointer.
cErr cPacket_Destroy(cPacket **packet);

// Owning pointer to a packet, released with cPacket_Destroy.
struct cPacketDeleter {
  void operator()(cPacket *packet) const noexcept { cPacket_Destroy(&packet); }
};
using cPacketPtr = std::unique_ptr<cPacket, cPacketDeleter>;
