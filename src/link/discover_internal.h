// Pieces of module discovery shared by its source files (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cDiscovery.h"

// True when both specs name the same module: type, serial number, IP address
// word and port word are equal.
bool _isSameSpec(const linkSpec *a, const linkSpec *b);
// Reads a TCP/IP module's reply datagram (sender in network order) into a
// spec. False for a reply too short to carry a serial number (8 bytes); a
// reply shorter than 13 bytes reports model 0xFF.
bool _parseModuleReply(const uint8_t *reply, size_t length, uint32_t sender, linkSpec *spec);

int _enumerateUSB(cDiscoveryCallback callback, void *reference);
int _enumerateTCPIP(cDiscoveryCallback callback, void *reference, uint32_t interfaceAddress);
// Link servers on this machine, by multicast; local: accept only specs whose
// IP address is 127.0.0.1.
int _findLinkSpecs_multicast(cDiscoveryCallback callback, void *reference, bool local);
// Link servers by CZMQ beacon on the current beacon interface; local: accept
// only specs of 127.0.0.1 or of the beacon's own host address.
int _findLinkSpecs_beacon(cDiscoveryCallback callback, void *reference, bool local);

// The machine's IPv4 addresses from the system's interface list (network
// order); -1 if the list can't be read.
int _systemIPv4Addresses(uint32_t *addresses, int capacity);
