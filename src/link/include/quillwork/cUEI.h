// UEI messages: a module's values, addressed by command (entity class),
// option (value within the class) and entity index, read, written or called
// with one short packet and answered with one. Multi-byte values travel most
// significant byte first.
//
// Packet data layout:
//   [0] command
//   [1] option: bits 0-5 option code, bits 6-7 operation
//   [2] specifier: bits 0-4 entity index, bit 5 request, bit 6 stream, bit 7 error
//   [3..] value (0, 1, 2 or 4 bytes), or the subindex then the value, or for an
//         error reply one cErr byte
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cPacket.h"

// Data byte positions.
#define ueiDATA_COMMAND 0
#define ueiDATA_OPTION 1
#define ueiDATA_SPECIFIER 2
#define ueiDATA_VALUE 3

// Packet lengths of an answer without subindex, by value type; a request that
// carries a subindex is one byte longer.
#define ueiLENGTH_VOID 3
#define ueiLENGTH_BYTE 4
#define ueiLENGTH_SHORT 5
#define ueiLENGTH_INT 7

// Option byte.
#define ueiOPTION_CODE_MASK 0x3F
#define ueiOPTION_OPERATION_MASK 0xC0
#define ueiOPTION_VAL 0x00 // a value: answer to a get, or pushed by a stream
#define ueiOPTION_GET 0x40 // host asks for the value
#define ueiOPTION_SET 0x80 // host sets the value, or calls the option
#define ueiOPTION_ACK 0xC0 // module's answer to a set or call

// Specifier byte.
#define ueiSPECIFIER_INDEX_MASK 0x1F
#define ueiSPECIFIER_REQUEST 0x20
#define ueiSPECIFIER_STREAM 0x40
#define ueiSPECIFIER_ERROR 0x80

// UEI-bytes transfers: command, option, specifier, 0-24 payload bytes and a
// trailing sequence byte (bits 0-6 sequence number modulo 128, bit 7 "more
// packets follow").
#define ueiBYTES_MAX_PAYLOAD 24
#define ueiBYTES_OVERHEAD 4
#define ueiBYTES_SEQUENCE_MASK 0x7F
#define ueiBYTES_CONTINUE 0x80

// Command codes.
#define cmdSYSTEM 3
#define cmdSLOT 4
#define cmdI2C 8
#define cmdDEBUG 23
#define cmdDESCRIPTOR 73
#define cmdSTORE 92
#define cmdSTREAM 93
#define cmdFACTORY 94
#define cmdUPGRADE 95

// Packets told by their address: an empty packet to ADDRESS_QUERY asks the
// module for its address (it answers with an empty packet from it); a packet
// of length 1 to cmdFORCEROUTE switches routing and is never answered.
#define ADDRESS_QUERY 173
#define cmdFORCEROUTE 175

typedef enum ueiType {
  ueiTYPE_VOID = 0, // no value: a call
  ueiTYPE_BYTE = 1,
  ueiTYPE_SHORT = 2,
  ueiTYPE_INT = 4,
  ueiTYPE_BYTES = 5, // bytesLength bytes at bytesPtr
} ueiType;

typedef struct uei {
  uint8_t module;
  uint8_t command;
  uint8_t option;    // including the operation bits
  uint8_t specifier; // including the flag bits
  union {
    uint8_t byteVal;
    uint16_t shortVal;
    uint32_t intVal;
    uint8_t *bytesPtr; // the caller's buffer
  } value;
  uint32_t bytesLength;
  ueiType type;
} uei;

// Big-endian byte order.
uint8_t *cUEI_StoreShort(uint8_t *buffer, uint32_t value); // low 16 bits
uint8_t *cUEI_StoreInt(uint8_t *buffer, uint32_t value);
uint16_t cUEI_RetrieveShort(const uint8_t *buffer);
uint32_t cUEI_RetrieveInt(const uint8_t *buffer);
// Rewrites count words in place, each from its four stored bytes read as a
// big-endian value.
void cUEI_ModifyIntBuffer(uint32_t *words, size_t count);

// Packet classification; a missing or invalid packet yields false / 0.
uint8_t cUEI_getBytesSequence(const cPacket *packet); // bits 0-6 of the last data byte
bool cUEI_getBytesContinue(const cPacket *packet);    // bit 7 of the last data byte
bool cUEI_getBytesFullPacket(const cPacket *packet);  // length 27 or 28
// Commands 0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173 and 175 carry no UEI.
bool cUEI_isNotUEIPayload(const cPacket *packet);
bool cUEI_isUEIPayload(const cPacket *packet); // !cUEI_isNotUEIPayload
// A value pushed by an active stream: length > 4, UEI payload, operation
// ueiOPTION_VAL and the stream bit set.
bool cUEI_isStreamPacket(const cPacket *packet);
