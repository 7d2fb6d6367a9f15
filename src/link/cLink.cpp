// The link engine's life cycle: creating, initialising, starting, stopping,
// synchronising, resetting and destroying links, and the packet operations.
#include <chrono>
#include <cstdio>
#include <mutex>

#include "cLinkManagerInternal.h"
#include "quillwork/cDebug.h"
#include "quillwork/cServer_ZeroMQ.h"
#include "quillwork/cTime.h"
#include "quillwork/cUEI.h"

namespace {

// The create functions run one at a time, so that two creates for one module
// can't both miss the other's entry. A create for a module by its serial
// number holds that module's lock while it opens and synchronises its link,
// and the shared lock only to look for an existing entry: links to
// different modules open side by side.
std::mutex sCreateLock;
std::mutex &sModuleCreateLock(uint32_t serialNumber) {
  static std::mutex locks[64];
  return locks[serialNumber % 64];
}

// The module's link if one exists (its use added), under the shared lock.
cLinkEntryPtr sUseExisting(uint32_t serialNumber, linkType type, bool refuseServed, bool *served) {
  std::lock_guard<std::mutex> g(sCreateLock);
  return sUseEntryByIdentifier(serialNumber, type, refuseServed, served);
}

bool sAll(const cPacket *, const void *) { return true; }

cLinkEntryPtr sEntry(uint32_t identifier) {
  cLinkEntryPtr entry = sLookupEntryByID(identifier);
  return entry != nullptr && entry->link.check == cLINK_CHECK ? entry : nullptr;
}

cErr sPut(uint32_t identifier, uint8_t address, uint8_t length, const uint8_t *data) {
  cPacket *packet = cPacket_CreateWithData(address, length, data != nullptr ? data : (const uint8_t *)"");
  if (packet == nullptr)
    return cErrMemory;
  cErr err = cLink_PutPacket(identifier, packet);
  cPacket_Destroy(&packet);
  return err;
}

void sDestroyFifos(cLinkRecord *link, cErr *outgoingResult) {
  cPacketFifoId in = link->incoming.exchange(0), out = link->outgoing.exchange(0);
  if (in != 0)
    cPacketFifo_Destroy(&in);
  cErr err = out != 0 ? cPacketFifo_Destroy(&out) : cErrNone;
  if (outgoingResult != nullptr)
    *outgoingResult = err;
}

// Registers a link of the type, makes its stream, initialises and starts it
// (and synchronises it if asked). Any failure destroys it again.
template <typename MakeStream>
uint32_t sCreateLink(uint32_t identity0, uint32_t identity1, uint32_t identity2, linkType type, bool sync,
                     MakeStream makeStream) {
  uint32_t id = sCreate2(identity0, identity1, identity2, type);
  if (id == 0)
    return 0;
  cLinkEntryPtr entry = sLookupEntryByID(id);
  cStream *stream = nullptr;
  cErr err = makeStream(&stream);
  if (err == cErrNone && cLink_Init(id, stream) != id) {
    cStream_Destroy(&stream);
    err = cErrConnection;
  }
  sChangeUseCount(entry, 1);
  if (err == cErrNone)
    err = cLink_Start(id);
  if (err == cErrNone && sync)
    err = cLink_Sync(id);
  if (err != cErrNone) {
    cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "cLink: creating a link of type %u failed: %s\n", type, cError_GetErrorText(err));
    cLink_Destroy(&id);
    return 0;
  }
  return id;
}

// A new stream for a link being reset.
cErr sMakeStream(const cLinkEntry &entry, cStream **stream) {
  switch (entry.type) {
  case linkTypeUSB: return cStream_CreateUSB(entry.identity0, stream);
  case linkTypeTCPIP: return cStream_CreateSocket(entry.identity1, (uint16_t)entry.identity2, stream);
  case linkTypeCEther:
  case linkTypeCEtherUSB:
  case linkTypeCEtherTCPIP:
  case linkTypeCEtherSerial: return sCreateClientStream(entry.identity0, entry.identity1, stream);
  default: return cErrParam;
  }
}

} // namespace

// ---------------------------------------------------------------- network clients

cErr sCreateClientStream(uint32_t ipAddress, uint32_t port, cStream **stream) {
  return cStream_CreateClient(ipAddress, (uint16_t)port, stream);
}

// ---------------------------------------------------------------- life cycle

uint32_t cLink_Init(uint32_t identifier, cStream *stream) {
  cLinkEntryPtr entry = sLookupEntryByID(identifier);
  if (entry == nullptr)
    return 0;
  cLinkRecord *link = &entry->link;
  std::lock_guard<std::recursive_mutex> control(link->control);
  if (link->running)
    return 0;
  // Leftovers of an earlier initialisation.
  sDestroyFifos(link, nullptr);
  if (link->assembly != nullptr)
    cPacket_Destroy(&link->assembly);
  if (link->stream != nullptr && link->stream != stream)
    cStream_Destroy(&link->stream);
  link->stream = nullptr;

  char name[cMUTEX_MAXNAME + 1];
  if (link->userFilterMutex == nullptr) {
    snprintf(name, sizeof name, "cLink(%p)->userFilterSema", (void *)link);
    link->userFilterMutex = cMutex_Create(name);
  }
  // The log mutex exists from the start: the pipes take it to see whether
  // there is a log.
  if (link->logMutex == nullptr) {
    snprintf(name, sizeof name, "LOG_SEMA_%p", (void *)link);
    link->logMutex = cMutex_Create(name);
  }
  cPacketFifoId in = cPacketFifo_Create(), out = cPacketFifo_Create();
  cPacket *assembly = cPacket_Create();
  if (link->userFilterMutex == nullptr || link->logMutex == nullptr || in == 0 || out == 0 || assembly == nullptr) {
    if (in != 0)
      cPacketFifo_Destroy(&in);
    if (out != 0)
      cPacketFifo_Destroy(&out);
    cPacket_Destroy(&assembly);
    link->status = cLINK_NO_STREAM;
    return 0;
  }
  link->identifier = identifier;
  link->running = false;
  link->status = stream != nullptr ? cLINK_STOPPED : cLINK_NO_STREAM;
  link->incoming = in;
  link->outgoing = out;
  link->assembly = assembly;
  link->inPipe = link->outPipe = nullptr;
  link->inPipeProc = sInPipeProcess;
  link->outPipeProc = sOutPipeProcess;
  link->inPipeStarted = link->outPipeStarted = false;
  link->stream = stream;
  link->syncState = cSYNC_DONE;
  link->syncAddress = 0;
  cMutex_Lock(link->logMutex);
  sPacketLogFree(&link->log);
  link->logSize = 0;
  cMutex_Unlock(link->logMutex);
  cMutex_Lock(link->userFilterMutex);
  link->userFilter = nullptr;
  link->userFilterReference = nullptr;
  cMutex_Unlock(link->userFilterMutex);
  link->pooled = false;
  link->syncKick = false;
  link->writerBusy = false;
  link->check = cLINK_CHECK;
  return identifier;
}

cErr cLink_Start(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  {
    std::lock_guard<std::recursive_mutex> control(link->control);
    if (link->running)
      return cErrNone;
    if (link->stream == nullptr)
      return cErrConnection; // nothing to run on
    link->running = true;
    link->status = cLINK_STARTING;
    link->inPipeStarted = link->outPipeStarted = false;
    link->inPipe = cThread_Create(link->inPipeProc, link);
    link->outPipe = cThread_Create(link->outPipeProc, link);
    if (link->inPipe == nullptr || link->outPipe == nullptr) {
      cLink_Stop(link);
      return cErrResource;
    }
  }
  bool up = false;
  for (int i = 0; i < cLINK_START_POLLS && !up; i++) {
    up = link->inPipeStarted && link->outPipeStarted && link->status == cLINK_RUNNING;
    if (!up)
      cTime_MSSleep(10);
  }
  if (!up)
    return cErrIndexRange;
  return cLink_ForceRoute(identifier, 1);
}

cErr cLink_Stop(cLinkRecord *link) {
  if (link == nullptr || link->check != cLINK_CHECK)
    return cErrParam;
  std::lock_guard<std::recursive_mutex> control(link->control);
  uint32_t status = link->status;
  if ((status == cLINK_STOPPED || status == cLINK_STOPPING) && link->inPipe == nullptr && link->outPipe == nullptr)
    return cErrNone;
  link->status = cLINK_STOPPING;
  cErr result = cErrNone;
  if (link->inPipe != nullptr || link->outPipe != nullptr) {
    bool both = link->inPipe != nullptr && link->outPipe != nullptr;
    // The writer is told first, so that it leaves its wait as soon as the
    // route-off packet wakes it instead of waiting on for more; it still
    // sends everything queued.
    link->running = false;
    if (both) {
      const uint8_t off = 0;
      cPacket route{};
      route.check = cPACKETCHECK;
      route.address = cmdFORCEROUTE;
      route.length = 1;
      route.count = 3;
      route.data[0] = off;
      cPacketFifo_Put(link->outgoing, &route);
    }
    cStream_Wake(link->stream); // the reader need not wait out a pending read
    if (link->inPipe != nullptr && cThread_Destroy(&link->inPipe) != 0)
      result = cErrUnknown;
    if (link->outPipe != nullptr && cThread_Destroy(&link->outPipe) != 0)
      result = cErrUnknown;
    // A writer that had already emptied the queue before the route-off
    // packet arrived has left it behind: send it (and anything after it)
    // from here, in order; the writer is gone, so nobody else writes.
    std::lock_guard<std::mutex> writing(link->writeLock); // and no caller is still writing
    if (both && link->stream != nullptr) {
      for (cPacket *p = cPacketFifo_Get(link->outgoing); p != nullptr; p = cPacketFifo_Get(link->outgoing)) {
        sSendPacket(link, p);
        cPacket_Destroy(&p);
      }
    }
    link->inPipe = link->outPipe = nullptr;
    link->inPipeStarted = link->outPipeStarted = false;
    cPacket_Reset(link->assembly);
  }
  link->running = false;
  link->status = cLINK_STOPPED;
  sSignalSent(link); // a caller waiting for its writes hears that the link stopped
  return result;
}

cErr cLink_Sync(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  // The handshake starts here, not when the reader's pending read next comes
  // back empty (a USB read waits up to a second): the sync requests are
  // queued now and the in-pipe takes the handshake up with the next byte.
  if (link->running) {
    link->syncKick = true;
    link->status = cLINK_SYNCING;
    if (!sQueueSyncRequests(link))
      link->syncKick = false; // the in-pipe starts it on its next empty read
  } else {
    link->status = cLINK_SYNCING; // the in-pipe starts the handshake on its next read
  }
  bool done = false;
  for (int i = 0; i < cLINK_START_POLLS && !done; i++) {
    done = link->status == cLINK_RUNNING;
    if (!done)
      cTime_MSSleep(10);
  }
  // The surplus sync requests and their answers are of no use.
  cPacketFifo_DrainPackets(link->outgoing, sAll, nullptr);
  cTime_MSSleep(100);
  cPacketFifo_DrainPackets(link->incoming, sAll, nullptr);
  return done ? cErrNone : cErrNotReady;
}

cErr cLink_Destroy(uint32_t *identifier) {
  if (identifier == nullptr)
    return cErrParam;
  uint32_t id = *identifier;
  *identifier = 0;
  bool known = false;
  cLinkEntryPtr entry = sReleaseUse(id, &known);
  if (!known)
    return cErrParam;
  if (entry == nullptr)
    return cErrNone;        // still in use
  entry->destroying = true; // a reset in progress stops trying and lets go of the control lock
  cLinkRecord *link = &entry->link;
  std::lock_guard<std::recursive_mutex> control(link->control);
  if (link->userFilterMutex != nullptr) {
    cMutex_Lock(link->userFilterMutex);
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
    cMutex_Unlock(link->userFilterMutex);
  }
  cLink_Stop(link);
  if (entry->server != nullptr) {
    cServer *server = static_cast<cServer *>(entry->server);
    entry->server = nullptr;
    cServer_Destroy(&server);
  }
  if (entry->servedLink != 0) {
    uint32_t served = entry->servedLink;
    cLink_Destroy(&served);
  }
  cErr result = cErrNone;
  sDestroyFifos(link, &result);
  if (link->assembly != nullptr)
    cPacket_Destroy(&link->assembly);
  if (link->logMutex != nullptr) {
    cMutex_Lock(link->logMutex);
    sPacketLogFree(&link->log);
    cMutex_Unlock(link->logMutex);
  }
  if (link->stream != nullptr)
    cStream_Destroy(&link->stream);
  link->check = 0;
  cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "cLink %u: destroyed\n", id);
  return result;
}

cErr cLink_Reset(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  // A link whose stream can't be made again (the caller's own, a serial
  // port) is left as it is rather than stopped for good.
  if (entry->type == linkTypeNone || entry->type == linkTypeSerial || entry->type > linkTypeMax)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  std::lock_guard<std::recursive_mutex> control(link->control);
  cLink_Stop(link);
  sDestroyFifos(link, nullptr);
  if (link->stream != nullptr)
    cStream_Destroy(&link->stream);
  cStream *stream = nullptr;
  cErr err = cErrNotReady;
  // Bounded in attempts and in time (an unreachable peer makes each attempt
  // wait for its connect time-out), and given up when the link is destroyed.
  uint32_t start = cTime_GetMSTicks();
  for (int attempt = 0; attempt < cLINK_RESET_ATTEMPTS && stream == nullptr; attempt++) {
    if (attempt > 0 && (cTime_MSSince(start) >= cLINK_RESET_DEADLINE_MS || entry->destroying))
      break;
    if (attempt > 0)
      cTime_MSSleep(cLINK_RESET_DELAY_MS);
    err = sMakeStream(*entry, &stream);
    if (err == cErrUnimplemented)
      break;
  }
  if (stream == nullptr) {
    // No stream: the link stays stopped and says so.
    link->status = cLINK_NO_STREAM;
    return err != cErrNone ? err : cErrConnection;
  }
  if (cLink_Init(identifier, stream) != identifier) {
    cStream_Destroy(&stream);
    link->status = cLINK_NO_STREAM;
    return cErrResource;
  }
  return cLink_Start(identifier);
}

uint32_t cLink_GetStatus(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  return entry != nullptr ? entry->link.status.load() : cLINK_NO_STREAM;
}

// ---------------------------------------------------------------- creation

uint32_t cLink_CreateUSB(uint32_t serialNumber) {
  std::lock_guard<std::mutex> one(sModuleCreateLock(serialNumber));
  bool served = false;
  cLinkEntryPtr existing = sUseExisting(serialNumber, linkTypeUSB, true, &served);
  if (existing != nullptr)
    return served ? 0 : existing->identifier; // shared through a link server: reached only through a client link
  return sCreateLink(serialNumber, 0, 0, linkTypeUSB, true,
                     [&](cStream **stream) { return cStream_CreateUSB(serialNumber, stream); });
}

uint32_t cLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint32_t port) {
  std::lock_guard<std::mutex> one(sModuleCreateLock(serialNumber));
  bool served = false;
  cLinkEntryPtr existing = sUseExisting(serialNumber, linkTypeTCPIP, true, &served);
  if (existing != nullptr)
    return served ? 0 : existing->identifier;
  return sCreateLink(serialNumber, ipAddress, port, linkTypeTCPIP, false,
                     [&](cStream **stream) { return cStream_CreateSocket(ipAddress, (uint16_t)port, stream); });
}

uint32_t cLink_CreateSerial(uint32_t serialNumber, const char *portName, uint32_t baudRate) {
  std::lock_guard<std::mutex> one(sModuleCreateLock(serialNumber));
  bool served = false;
  cLinkEntryPtr existing = sUseExisting(serialNumber, linkTypeSerial, false, &served);
  if (existing != nullptr)
    return existing->identifier;
  unsigned baudIndex = 0;
  if (portName == nullptr || cStream_SerialBaudIndex(baudRate, &baudIndex) != cErrNone)
    return 0;
  return sCreateLink(serialNumber, 0, 0, linkTypeSerial, false, [&](cStream **stream) {
    return cStream_CreateSerial_Packetized(portName, baudIndex, false, 0, 0, stream);
  });
}

uint32_t cLink_CreateClient(uint32_t ipAddress, uint32_t port, uint32_t reference) {
  std::lock_guard<std::mutex> g(sCreateLock);
  if (reference != 0) {
    return sUseEntryByID(reference) != nullptr ? reference : 0;
  }
  return sCreateLink(ipAddress, port, sNextClientNumber(), linkTypeCEther, false,
                     [&](cStream **stream) { return sCreateClientStream(ipAddress, port, stream); });
}

namespace {

// Tells the server the module's address and model, for its discovery
// replies, asking through the server's own client link.
cErr sConfigureServerDetails(uint32_t client, cServer *server) {
  uint8_t address = 0, model = 0;
  cErr err = _cLink_GetModuleAddress(client, &address);
  cServer_SetModuleAddress(server, address);
  if (err == cErrNone)
    err = _cLink_GetModel(client, address, &model);
  if (err == cErrNone)
    cServer_SetModel(server, model);
  return err;
}

} // namespace

uint32_t cLink_CreateServer(uint32_t linkIdentifier, uint32_t *port, uint32_t *interfaceAddress, bool localOnly) {
  if (port == nullptr || interfaceAddress == nullptr)
    return 0;
  cLinkEntryPtr entry = sEntry(linkIdentifier);
  if (entry == nullptr)
    return 0;
  cServer *server = nullptr;
  {
    std::lock_guard<std::mutex> g(sCreateLock);
    if (entry->server != nullptr)
      return 0; // already shared
    server = cServer_Create(linkIdentifier, *interfaceAddress, localOnly);
    if (server == nullptr)
      return 0;
    entry->server = server;
  }
  auto giveUp = [&](uint32_t client) {
    if (client != 0)
      cLink_Destroy(&client);
    std::lock_guard<std::mutex> g(sCreateLock);
    entry->server = nullptr;
    cServer_Destroy(&server);
    return 0u;
  };
  uint16_t serverPort = 0;
  uint32_t serverInterface = 0;
  if (cServer_Start(server) != cErrNone || cServer_GetPort(server, &serverPort) != cErrNone ||
      cServer_GetInterface(server, &serverInterface) != cErrNone)
    return giveUp(0);
  *port = serverPort;
  uint32_t client = cLink_CreateClient(serverInterface, serverPort, 0);
  cLinkEntryPtr clientEntry = sEntry(client);
  if (clientEntry == nullptr)
    return giveUp(client);
  // A module that does not tell its address or model is still served; it is
  // only not announced to discovery.
  for (int attempt = 0; attempt < 5; attempt++) {
    if (sConfigureServerDetails(client, server) == cErrNone)
      break;
    cServer_FlushFIFO(server);
    cTime_MSSleep(10);
  }
  clientEntry->servedLink = linkIdentifier;
  *interfaceAddress = serverInterface;
  return client;
}

uint32_t cLink_Create(cStream *stream) {
  std::lock_guard<std::mutex> g(sCreateLock);
  return sCreateLink(0xFFFFFFFFu, 0, 0, linkTypeNone, false, [&](cStream **s) {
    *s = stream;
    return stream != nullptr ? cErrNone : cErrParam;
  });
}

// ---------------------------------------------------------------- packets

cErr cLink_PutPacket(uint32_t identifier, const cPacket *packet) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  // With nothing queued and no write under way, the caller writes its packet
  // itself: that spares a thread hand-off on every request, and the order is
  // kept because a packet goes out directly only when all before it have.
  // On a pooled link too: with nothing queued there is nothing to gather, and
  // packets put while a write is under way queue and are gathered.
  if (cVALIDPACKET(packet) && packet->length <= cPACKET_MAXDATA && link->running && link->outPipeStarted) {
    std::unique_lock<std::mutex> writing(link->writeLock, std::try_to_lock);
    // The queue is looked at before the out-pipe's flag: the flag is raised
    // under the queue's lock as a packet leaves it, so an empty queue seen
    // here means that any packet taken from it is flagged.
    if (writing.owns_lock() && link->running && cPacketFifo_GetLength(link->outgoing) == 0 && !link->writerBusy) {
      sSendPacket(link, packet); // a write error is not acted on, as in the out-pipe
      writing.unlock();
      sSignalSent(link);
      return cErrNone;
    }
  }
  return cPacketFifo_Put(link->outgoing, packet);
}

cErr cLink_PutPackets(uint32_t identifier, const cPacket *packets, size_t count) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr || (packets == nullptr && count != 0))
    return cErrParam;
  for (size_t i = 0; i < count; i++)
    if (!cVALIDPACKET(&packets[i]) || packets[i].length > cPACKET_MAXDATA)
      return cErrParam;
  cLinkRecord *link = &entry->link;
  // As in cLink_PutPacket: with nothing queued and no write under way the
  // caller writes the packets itself, under the write lock, so nothing else
  // gets in between; a pooled link gets them in as few writes as fit.
  if (count > 0 && link->running && link->outPipeStarted) {
    std::unique_lock<std::mutex> writing(link->writeLock, std::try_to_lock);
    if (writing.owns_lock() && link->running && cPacketFifo_GetLength(link->outgoing) == 0 && !link->writerBusy) {
      if (!link->pooled) {
        for (size_t i = 0; i < count; i++)
          sSendPacket(link, &packets[i]); // a write error is not acted on, as in the out-pipe
      } else {
        uint8_t pool[cLINK_POOL_SIZE];
        size_t used = 0;
        for (size_t i = 0; i < count; i++) {
          if (used > cLINK_POOL_SIZE - cPACKET_MAXBYTES) {
            cStream_Write(link->stream, pool, used);
            used = 0;
          }
          size_t n = 0;
          cPacket_GetBytes(&packets[i], pool + used, sizeof pool - used, &n);
          used += n;
          sPacketLogRecord(link, cLINK_LOG_SENT, &packets[i]);
        }
        cStream_Write(link->stream, pool, used);
      }
      writing.unlock();
      sSignalSent(link);
      return cErrNone;
    }
  }
  // Queued: the out-pipe takes them in order.
  for (size_t i = 0; i < count; i++) {
    cErr err = cPacketFifo_Put(link->outgoing, &packets[i]);
    if (err != cErrNone)
      return err;
  }
  return cErrNone;
}

cErr cLink_AwaitSent(uint32_t identifier, uint32_t timeoutMs) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  // The out-pipe raises its flag under the queue's lock as it takes a
  // packet, so an empty queue seen first means any packet taken is flagged;
  // a caller writing its own packet holds the write lock meanwhile.
  auto sent = [link] {
    if (cPacketFifo_GetLength(link->outgoing) != 0 || link->writerBusy)
      return false;
    std::unique_lock<std::mutex> writing(link->writeLock, std::try_to_lock);
    return writing.owns_lock();
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> waiting(link->sentMutex);
  cErr result = cErrNone;
  for (;;) {
    if (sent())
      break;
    if (!link->running) {
      result = cErrConnection;
      break;
    }
    // Woken by every finished write (and by a stop); the deadline bounds it.
    if (link->sentCond.wait_until(waiting, deadline) == std::cv_status::timeout) {
      result = sent() ? cErrNone : cErrTimeout;
      break;
    }
  }
  return result;
}

cPacket *cLink_GetPacket(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  return entry != nullptr ? cPacketFifo_Get(entry->link.incoming) : nullptr;
}

cPacket *cLink_AwaitPacket(uint32_t identifier, uint32_t timeoutMs) {
  cLinkEntryPtr entry = sEntry(identifier);
  return entry != nullptr ? cPacketFifo_Await(entry->link.incoming, timeoutMs) : nullptr;
}

cPacket *cLink_GetFirst(uint32_t identifier, cPacketFilterProc filter, const void *reference) {
  cLinkEntryPtr entry = sEntry(identifier);
  return entry != nullptr ? cPacketFifo_GetFirst(entry->link.incoming, filter, reference) : nullptr;
}

size_t cLink_DrainPackets(uint32_t identifier, cPacketFilterProc filter, const void *reference) {
  cLinkEntryPtr entry = sEntry(identifier);
  return entry != nullptr ? cPacketFifo_DrainPackets(entry->link.incoming, filter, reference) : 0;
}

cPacket *cLink_AwaitFirst(uint32_t identifier, cPacketFilterProc filter, const void *reference, uint32_t timeoutMs) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return nullptr;
  cLinkRecord *link = &entry->link;
  uint32_t start = cTime_GetMSTicks();
  cPacket *found = nullptr;
  while (found == nullptr && link->running && link->status == cLINK_RUNNING) {
    uint32_t elapsed = cTime_MSSince(start);
    if (elapsed >= timeoutMs)
      break;
    cPacketFifoId fifo = link->incoming;
    found = cPacketFifo_AwaitFirst(fifo, filter, reference, timeoutMs - elapsed);
    // Back early without a packet: the FIFO went away. Only a reset (a new
    // FIFO) is worth waiting on.
    if (found == nullptr && link->incoming == fifo)
      break;
  }
  return found;
}

cErr cLink_InstallUserPacketFilter(uint32_t identifier, cPacketFilterProc filter, const void *reference) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  cMutex_Lock(link->userFilterMutex);
  link->userFilter = filter;
  link->userFilterReference = filter != nullptr ? reference : nullptr;
  cMutex_Unlock(link->userFilterMutex);
  return cErrNone;
}

cErr cLink_EnablePooledPackets(uint32_t identifier, bool pooled) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  entry->link.pooled = pooled;
  return cErrNone;
}

cErr cLink_ForceRoute(uint32_t identifier, uint8_t value) { return sPut(identifier, cmdFORCEROUTE, 1, &value); }

// ---------------------------------------------------------------- link server queries

cErr _cLink_GetModuleAddress(uint32_t identifier, uint8_t *address) {
  if (address == nullptr)
    return cErrParam;
  *address = 0;
  cErr err = sPut(identifier, ADDRESS_QUERY, 0, nullptr);
  if (err != cErrNone)
    return err;
  cPacket *answer = cLink_AwaitPacket(identifier, 1000);
  if (answer == nullptr)
    return cErrTimeout;
  if (answer->length == 0 && answer->address != 0)
    *address = answer->address;
  else
    err = cErrIO;
  cPacket_Destroy(&answer);
  return err;
}

cErr _cLink_GetModel(uint32_t identifier, uint8_t address, uint8_t *model) {
  if (model == nullptr)
    return cErrParam;
  // A UEI get of option 8 of the system entity, index 0.
  const uint8_t query[3] = {cmdSYSTEM, 0x48, 0x20};
  cErr err = sPut(identifier, address, sizeof query, query);
  if (err != cErrNone)
    return err;
  cPacket *answer = cLink_AwaitPacket(identifier, 1000);
  if (answer == nullptr)
    return cErrTimeout;
  if (answer->length == 4 && answer->address == address && answer->data[0] == cmdSYSTEM)
    *model = answer->data[3];
  else
    err = cErrIO;
  cPacket_Destroy(&answer);
  return err;
}
