// The link server and the network-client byte stream.
//
// A link server shares one module link (USB, TCP/IP or serial) with many
// users, in this process, in others or on other machines. Its front end is a
// ZeroMQ ROUTER socket: every client frame is one packet (address, length,
// data), and the server hands the module's answer back to the client that
// asked: one request at a time to each module address, oldest first, the
// clients taking turns. Stream samples from the module
// are gathered into batch frames and sent to every client that enabled a
// stream. The server answers discovery: by CZMQ beacon on the network, or by
// multicast on this machine when it listens on loopback only.
//
// A network client is a byte stream (cStream_CreateClient) whose bytes are
// the frames exchanged with a server; the link engine runs a network-client
// link over it like over any other stream.
#pragma once

#include <cstdint>

#include "quillwork/cErr.h"
#include "quillwork/cStream.h"

typedef struct cServer cServer;

// Internal sync channel commands (first frame of every answer message).
#define SERVER_CMD_DROPPED_PACKET 0
#define SERVER_CMD_INCOMING_PACKETS 1

#define cSERVER_ANSWER_WAIT_MS 2000 // per awaited answer packet
#define cSERVER_POOL_TTL 2000       // client packets (and ms) a UEI-bytes pool may wait
#define cSERVER_BATCH_SIZE 4096     // bytes of one stream batch frame
#define cSERVER_BEACON_HOLD_MS 2000 // a published discovery reply is silenced after this

// A server for the link (not started); null for an unknown link or one that
// can't be shared (only USB, TCP/IP and serial links can). interfaceAddress
// in network order; 0 means 127.0.0.1.
cServer *cServer_Create(uint32_t linkIdentifier, uint32_t interfaceAddress, bool localOnly);
// Binds the sockets, starts the actors and takes the link's stream packets.
// cErrResource when it can't.
cErr cServer_Start(cServer *server);
// Stops everything (bounded, also with clients attached), frees the server
// and nulls the pointer.
cErr cServer_Destroy(cServer **server);
cErr cServer_GetPort(const cServer *server, uint16_t *port);
cErr cServer_GetInterface(const cServer *server, uint32_t *interfaceAddress);
// Values of the discovery reply; a server with model 0 does not answer
// discovery.
cErr cServer_SetModuleAddress(cServer *server, uint8_t moduleAddress);
cErr cServer_SetModel(cServer *server, uint8_t model);
// Forgets every client waiting for an answer.
cErr cServer_FlushFIFO(cServer *server);

// Upgrade and reset commands (the upgrade command set, the system entity's
// reset) from clients of a server that serves the network (not loopback
// only) are refused unless this is on: it applies to servers started
// afterwards in this process. Off by default.
void cServer_AllowRemoteMaintenance(bool allow);

// Receives one line of text (without newline) for each thing a server of this
// process has to tell its program: the module link lost, each reconnection
// attempt, the link restored, a refused command. Called from a server's
// thread; null (the default) tells nobody.
typedef void (*cServerLogProc)(const char *text);
void cServer_SetLog(cServerLogProc log);

// A byte stream to the link server at ipAddress (network order) and port.
// cErrParam for a null output, cErrConnection when it can't connect,
// cErrMemory or cErrResource when short of sockets or memory.
cErr cStream_CreateClient(uint32_t ipAddress, uint16_t port, cStream **stream);
