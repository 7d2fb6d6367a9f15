// Inside the link engine: the link record, the registry of links and the
// pieces the engine's files share (the link server and the tests use them
// too).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "quillwork/cLink.h"
#include "quillwork/cMutex.h"
#include "quillwork/cPacketFifo.h"
#include "quillwork/cThread.h"

#define cLINK_CHECK 0xCEEDu
#define cLOGGER_CHECK 0xDEEDu

// Handshake states.
#define cSYNC_DONE 0u
#define cSYNC_START 1u
#define cSYNC_EXPECT_ADDRESS 2u
#define cSYNC_EXPECT_ZERO 3u
#define cSYNC_EXPECT_ADDRESS_AGAIN 4u
#define cSYNC_EXPECT_SECOND_ZERO 5u

// The packet log ring. Guarded by the link's log mutex.
struct cPacketLog {
  bool enabled;
  uint8_t *buffer;
  uint32_t size;
  uint32_t readIndex;
  uint32_t writeIndex;
};

struct cLinkRecord {
  std::atomic<uint32_t> check;
  uint32_t identifier;
  std::atomic<bool> running;
  std::atomic<uint32_t> status;
  std::atomic<cPacketFifoId> incoming;
  cPacket *assembly; // in-pipe only (and while stopped)
  std::atomic<cPacketFifoId> outgoing;
  cThread inPipe, outPipe;
  cThreadProc inPipeProc, outPipeProc;
  std::atomic<bool> inPipeStarted, outPipeStarted;
  cStream *stream;
  uint8_t syncState;   // in-pipe only
  uint8_t syncAddress; // in-pipe only
  cPacketLog *log;     // under logMutex
  uint32_t logSize;
  cMutex logMutex;
  cPacketFilterProc userFilter; // both under userFilterMutex
  const void *userFilterReference;
  cMutex userFilterMutex;
  std::atomic<bool> pooled;
  // Serialises start, stop, reset and destroy of this link.
  std::recursive_mutex control;
  // Set by cLink_Sync once it has queued the sync requests itself; the
  // in-pipe then takes up the handshake without queuing its own.
  std::atomic<bool> syncKick;
  // Held by whoever writes the stream outside pooled gathering: the out-pipe
  // for the packets it has taken, or a caller of cLink_PutPacket writing its
  // own packet while nothing is queued. writerBusy is set (under the
  // outgoing FIFO's lock) the moment the out-pipe takes a packet, until it
  // has written it.
  std::mutex writeLock;
  std::atomic<bool> writerBusy;
  // cLink_AwaitSent sleeps on sentCond (under sentMutex) while a write is
  // queued or under way; whoever finishes a write and lets go of the write
  // lock wakes it.
  std::mutex sentMutex;
  std::condition_variable sentCond;
};

// One registered link. Entries are shared: an operation that found one keeps
// it alive until it returns, even if the link is destroyed meanwhile.
struct cLinkEntry {
  uint32_t identifier;
  uint32_t servedLink; // for a client made by cLink_CreateServer: the link it serves
  void *server;        // the link server attached to this link, or null
  uint32_t identity0, identity1, identity2;
  linkType type;
  int16_t useCount; // under the registry mutex
  cLinkRecord link;
  std::atomic<bool> destroying{false}; // the last destroy has begun: a reset gives up
  std::shared_ptr<cLinkEntry> next;

  // The record's mutexes go with the last holder of the entry, so that an
  // operation still holding it never locks a destroyed mutex.
  ~cLinkEntry() {
    if (link.userFilterMutex != nullptr)
      cMutex_Destroy(&link.userFilterMutex);
    if (link.logMutex != nullptr)
      cMutex_Destroy(&link.logMutex);
  }
};
using cLinkEntryPtr = std::shared_ptr<cLinkEntry>;

// Bounds of a teardown: a stopping link writes what is still queued for at
// most this long (a module that stopped reading would hold the stop, and the
// control lock, for minutes); a reset tries to make a new stream for at most
// this long.
#define cLINK_FINAL_DRAIN_MS 2000
#define cLINK_RESET_DEADLINE_MS 5000

// Registry (each under the registry mutex).
uint32_t sCreate2(uint32_t identity0, uint32_t identity1, uint32_t identity2, linkType type);
uint32_t sCreate(uint32_t identity0, uint32_t identity1, linkType type);
cLinkEntryPtr sLookupEntryByID(uint32_t identifier);
cLinkEntryPtr sLookupEntryByIdentifier(uint32_t identity0, linkType type);
cLinkEntryPtr sLookupEntryByTrident(uint32_t identity0, uint32_t identity1, uint32_t identity2);
cLinkEntryPtr sExtractEntry(uint32_t identifier);
// A create that reuses a registered link: finds the entry and adds a use in
// one step, so that a concurrent last destroy cannot take the entry away in
// between; entries without uses left (being destroyed) are passed over. An
// entry shared through a link server gets no use when refuseServed (*served
// tells).
cLinkEntryPtr sUseEntryByIdentifier(uint32_t identity0, linkType type, bool refuseServed, bool *served);
cLinkEntryPtr sUseEntryByID(uint32_t identifier);
// Adds delta to the use count; the new count.
int sChangeUseCount(const cLinkEntryPtr &entry, int delta);
// Takes one use; at 0 (or below) the entry is taken out of the registry and
// returned, else null. One step, so two last destroys can't both tear down.
cLinkEntryPtr sReleaseUse(uint32_t identifier, bool *known);
// The link record of an entry, or null. Valid while the entry is held.
cLinkRecord *sGetLink(const cLinkEntryPtr &entry);
// The next client number (network-client identities).
uint32_t sNextClientNumber();

// Stops the link: route off, threads joined, status 0.
cErr cLink_Stop(cLinkRecord *link);

// The reader and writer threads.
void *sInPipeProcess(void *link);
void *sOutPipeProcess(void *link);
// Starts the synchronisation handshake (in-pipe).
void sStartSync(cLinkRecord *link);
// Queues the six sync requests; false if a put failed.
bool sQueueSyncRequests(cLinkRecord *link);
// Writes one packet to the link's stream (and the packet log).
cErr sSendPacket(cLinkRecord *link, const cPacket *packet);
// Wakes the callers of cLink_AwaitSent; after a write, once the write lock
// has been let go of, or when the link stops.
void sSignalSent(cLinkRecord *link);

// Packet log: adds an entry (log mutex held by the caller); cErrOverrun if it
// can never fit.
cErr sPacketLogAdd(cPacketLog *log, uint8_t direction, uint32_t length, const uint8_t *bytes);
// Records a packet if the link has a log.
void sPacketLogRecord(cLinkRecord *link, uint8_t direction, const cPacket *packet);
// Frees the ring (log mutex held by the caller).
void sPacketLogFree(cPacketLog **log);

// The module-address and model queries of cLink_CreateServer.
cErr _cLink_GetModuleAddress(uint32_t identifier, uint8_t *address);
cErr _cLink_GetModel(uint32_t identifier, uint8_t address, uint8_t *model);

// The byte stream of a network-client link (to a link server).
cErr sCreateClientStream(uint32_t ipAddress, uint32_t port, cStream **stream);
