// Module discovery: which modules can be reached and how. Each module found is
// reported as a linkSpec to a callback. Discovery never reports errors: what
// can't be opened, read or understood is skipped, and the result is the number
// of modules the callback counted. Every search is bounded in time.
//
// Also here: the multicast socket object cMulticast and the process-wide
// beacon-interface setting that the beacon search and the link server share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quillwork/cErr.h"
#include "quillwork/linkSpec.h"

// 127.0.0.1 as stored in a socket address (network byte order): "this machine".
#define cDISCOVERY_LOCALHOST 0x0100007Fu

// TCP/IP modules: a 16-byte request (first byte 0x01) to 232.2.2.2:9888; the
// modules answer to port 9889 of the sender.
#define cDISCOVERY_MODULE_GROUP "232.2.2.2"
#define cDISCOVERY_MODULE_REQUEST_PORT 9888
#define cDISCOVERY_MODULE_REPLY_PORT 9889
#define cDISCOVERY_MODULE_DATAGRAM 16
#define cDISCOVERY_MODULE_SILENCE_MS 2000
// Link servers on this machine: a server holds a receiver on 224.0.0.7 at
// 9850 + i (i < 50), is asked with the word 0xABCDDCBA and answers with its
// linkSpec on 9950 + i.
#define cDISCOVERY_SERVER_GROUP 0xE0000007u // 224.0.0.7, host order
#define cDISCOVERY_SERVER_REQUEST_PORT 9850
#define cDISCOVERY_SERVER_REPLY_PORT 9950
#define cDISCOVERY_SERVER_PORTS 50
#define cDISCOVERY_SERVER_QUERY 0xABCDDCBAu
// Link servers on the network: CZMQ beacons on UDP port 8585.
#define cDISCOVERY_BEACON_PORT 8585
#define cDISCOVERY_BEACON_TEXT "Quillwork2-Discovery"
#define cDISCOVERY_BEACON_INTERVAL_MS 100
#define cDISCOVERY_BEACON_ATTEMPTS 22

// Called once per module found. Set *counted to have it counted; return 0 to
// stop the enumeration, non-zero to go on. The linkSpec is valid only during the
// call.
typedef int (*cDiscoveryCallback)(const linkSpec *spec, bool *counted, void *reference);

// ---- link specifiers ------------------------------------------------------

// A new zeroed spec of that type, or null.
linkSpec *cLinkSpec_Create(linkType type);
// A new copy of all 128 bytes, or null (also for a null spec).
linkSpec *cLinkSpec_Copy(const linkSpec *spec);
// Frees the linkSpec and nulls the caller's pointer; cErrParam if already null.
cErr cLinkSpec_Destroy(linkSpec **spec);

// ---- discovery -------------------------------------------------------------

// interfaceAddress: IPv4 in network order; 0 or cDISCOVERY_LOCALHOST mean this
// machine (or all interfaces). Types 0 and 3 and types above 7 search nothing.
int cDiscovery_EnumerateModules(linkType type, cDiscoveryCallback callback, void *reference, uint32_t interfaceAddress);
// A new spec of the first module found with that serial number, or null.
linkSpec *cDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress);
// A new spec of the first module found with a non-zero serial number, or null.
linkSpec *cDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress);
// Link servers (types 4 to 7): on this machine by multicast, on the network
// by beacon.
int cDiscovery_Enumerate_cEtherModules(cDiscoveryCallback callback, void *reference, uint32_t interfaceAddress);
// The machine's IPv4 interface addresses (CZMQ's interface list, in its
// order, network order); returns how many were written.
int cDiscovery_GetIPv4Interfaces(uint32_t *addresses, int capacity);
// Dotted text of an address; its length, or 0 if the buffer is shorter than
// 16 bytes or the conversion fails.
size_t cDiscovery_ConvertIPv4Interface(uint32_t address, char *buffer, size_t length);

// ---- multicast sockets ---------------------------------------------------------

#define cMULTICAST_RECEIVER 0
#define cMULTICAST_SENDER 1

typedef struct cMulticast cMulticast;

// interfaceAddress and groupAddress in network order; 0 or 127.0.0.1 mean
// 127.0.0.1. A receiver binds the port without address reuse, so a second
// receiver on a port fails: that is how a port held by a server is found.
// Null on any failure.
cMulticast *cMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, int mode);
// Bytes sent; -2 for a null object, -3 if not a sender, -1 on error.
int cMulticast_Send(cMulticast *multicast, const void *data, size_t length);
// Bytes received (one datagram, waits up to 1 s); -1 on error or time-out,
// -2 for a null object, -3 if not a receiver.
int cMulticast_Receive(cMulticast *multicast, void *buffer, size_t size);
// Closes the socket, frees the object and nulls the pointer; -2 for null.
int cMulticast_Destroy(cMulticast **multicast);

// ---- beacon interface ---------------------------------------------------------
// The CZMQ interface setting used by beacons, under one process-wide lock
// (not recursive; released only by the thread that holds it). Acceptable
// texts: a dotted IPv4 address, "" or "*". Taking the lock waits at most 10 s:
// the set functions then return 0, the get functions return without it.

#define _BACKUP_CAPACITY 100

// 1 with the lock held and the setting changed; 0 (lock not taken) for an
// unacceptable text.
int zBeaconInterface_setAndLock(const char *interfaceText);
// Releases the lock (only if held).
void zBeaconInterface_unlock(void);
// As setAndLock, but saves the current setting in the backup first.
int zBeaconInterface_backupSetAndLock(const char *interfaceText);
// Puts the backup back and releases the lock.
void zBeaconInterface_restoreAndUnlock(void);
std::string zBeaconInterface_get(void);
std::string zBeaconInterface_getAndLock(void);
std::string zBeaconInterface_getBackup(void);
std::string zBeaconInterface_getBackupAndLock(void);
