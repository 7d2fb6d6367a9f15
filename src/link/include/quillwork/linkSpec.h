// Where a module is and how to reach it. linkSpec is also a wire format (a
// link server's beacon payload and multicast answer), so its 128-byte layout
// is fixed; words are in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t linkType;

#define linkTypeNone 0u
#define linkTypeUSB 1u
#define linkTypeTCPIP 2u
#define linkTypeSerial 3u
#define linkTypeCEther 4u
#define linkTypeCEtherUSB 5u
#define linkTypeCEtherTCPIP 6u
#define linkTypeCEtherSerial 7u
#define linkTypeMax 7u

#define linkSpecPortNameSize 100

typedef struct linkSpec {
  uint32_t type;
  uint32_t serialNumber;
  uint32_t moduleAddress;
  uint32_t routerAddress;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    uint32_t ipAddress; // network byte order, first octet in the lowest byte
    uint32_t baudRate;
  };
  union {
    uint32_t port;
    char portName[linkSpecPortNameSize]; // serial kind: device path
  };
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, moduleAddress) == 8);
static_assert(offsetof(linkSpec, routerAddress) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, ipAddress) == 24);
static_assert(offsetof(linkSpec, port) == 28);
static_assert(offsetof(linkSpec, portName) == 28);
