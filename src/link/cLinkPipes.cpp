// The link's two threads. The in-pipe reads the stream a byte at a time (the
// stream's get waits a bounded time when nothing is there), finds packet
// boundaries with the synchronisation handshake and delivers complete packets;
// the out-pipe writes queued packets to the stream.
#include <cstring>

#include "cLinkManagerInternal.h"
#include "quillwork/cDebug.h"
#include "quillwork/cTime.h"
#include "quillwork/cUEI.h"

namespace {

cPacket sPacket(uint8_t address, uint8_t length, const uint8_t *data) {
  cPacket p{};
  p.check = cPACKETCHECK;
  p.address = address;
  p.length = length;
  p.count = (uint8_t)(length + 2);
  if (length > 0)
    memcpy(p.data, data, length);
  return p;
}

// A byte while the handshake runs. The module answers each sync request with
// an empty packet from its own even address; two of them in a row, and the
// link is in step again.
void sSyncByte(cLinkRecord *link, uint8_t byte) {
  switch (link->syncState) {
  case cSYNC_START: sStartSync(link); break;
  case cSYNC_EXPECT_ADDRESS:
    if (byte != 0 && (byte & 1) == 0) {
      link->syncAddress = byte;
      link->syncState = cSYNC_EXPECT_ZERO;
    } else {
      sStartSync(link);
    }
    break;
  case cSYNC_EXPECT_ZERO: link->syncState = byte == 0 ? cSYNC_EXPECT_ADDRESS_AGAIN : cSYNC_START; break;
  case cSYNC_EXPECT_ADDRESS_AGAIN:
    link->syncState = byte == link->syncAddress ? cSYNC_EXPECT_SECOND_ZERO : cSYNC_START;
    break;
  case cSYNC_EXPECT_SECOND_ZERO:
    if (byte == 0) {
      link->syncState = cSYNC_DONE;
      link->status = cLINK_RUNNING;
      cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "cLink %u: synchronised on address %u\n", link->identifier, link->syncAddress);
    } else {
      link->syncState = cSYNC_START;
    }
    break;
  default: sStartSync(link); break;
  }
}

// After every byte of a packet; does its work once the packet is complete.
cErr sHandlePacket(cLinkRecord *link) {
  cPacket *packet = link->assembly;
  if (!cPacket_IsComplete(packet))
    return cErrNone;
  sPacketLogRecord(link, cLINK_LOG_RECEIVED, packet);
  bool taken = false;
  cMutex_Lock(link->userFilterMutex);
  if (link->userFilter != nullptr)
    taken = link->userFilter(packet, link->userFilterReference);
  cMutex_Unlock(link->userFilterMutex);
  cErr err = cErrNone;
  if (!taken) {
    if (packet->length == 2 && packet->data[0] == 0x00) {
      // A heartbeat (beat 0 up, 1 down) is answered at once with beat + 2
      // and goes no further.
      const uint8_t beat[2] = {0x00, (uint8_t)(packet->data[1] + 2)};
      cPacket answer = sPacket(packet->address, 2, beat);
      cPacketFifo_Put(link->outgoing, &answer);
    } else {
      err = cPacketFifo_Put(link->incoming, packet);
    }
  }
  cPacket_Reset(packet);
  return err;
}

cErr sWritePacket(cLinkRecord *link, const cPacket *packet) {
  uint8_t bytes[cPACKET_MAXBYTES];
  size_t count = 0;
  cErr err = cPacket_GetBytes(packet, bytes, sizeof bytes, &count);
  if (err == cErrNone)
    err = cStream_Write(link->stream, bytes, count);
  return err;
}

} // namespace

bool sQueueSyncRequests(cLinkRecord *link) {
  cPacket request = sPacket(ADDRESS_QUERY, 0, nullptr);
  cErr last = cErrNone;
  for (int i = 0; i < cLINK_SYNC_REQUESTS; i++)
    last = cPacketFifo_Put(link->outgoing, &request);
  return last == cErrNone;
}

void sStartSync(cLinkRecord *link) {
  link->syncKick = false; // these requests supersede any cLink_Sync queued
  link->status = cLINK_SYNCING;
  link->syncState = cSYNC_START;
  cPacket_Reset(link->assembly);
  if (sQueueSyncRequests(link))
    link->syncState = cSYNC_EXPECT_ADDRESS;
}

void sSignalSent(cLinkRecord *link) {
  // Taken and let go of, so that a waiter between its check and its sleep
  // cannot miss the wake (uncontended, and a wake without waiters is cheap).
  { std::lock_guard<std::mutex> g(link->sentMutex); }
  link->sentCond.notify_all();
}

cErr sSendPacket(cLinkRecord *link, const cPacket *packet) {
  cErr err = sWritePacket(link, packet);
  sPacketLogRecord(link, cLINK_LOG_SENT, packet);
  return err;
}

namespace {

// cLink_Sync has queued the sync requests: expect their answers from a
// packet boundary on.
void sTakeSyncKick(cLinkRecord *link) {
  cPacket_Reset(link->assembly);
  link->syncState = cSYNC_EXPECT_ADDRESS;
}

} // namespace

void *sInPipeProcess(void *argument) {
  cLinkRecord *link = static_cast<cLinkRecord *>(argument);
  link->syncState = cSYNC_DONE;
  link->status = cLINK_RUNNING;
  link->inPipeStarted = true;
  while (link->running) {
    uint8_t byte;
    cErr err = cStream_Read(link->stream, &byte, 1);
    if (err == cErrNotReady) {
      uint32_t status = link->status;
      if (status == cLINK_SYNCING && link->syncKick.exchange(false))
        sTakeSyncKick(link);
      else if (status == cLINK_SYNCING || status == cLINK_IO_ERROR)
        sStartSync(link);
      continue;
    }
    if (err != cErrNone) {
      link->status = cLINK_IO_ERROR;
      cTime_MSSleep(100);
      continue;
    }
    if (link->status == cLINK_SYNCING) {
      if (link->syncKick.exchange(false))
        sTakeSyncKick(link);
      sSyncByte(link, byte);
      continue;
    }
    // A refused byte or an odd address: the stream is out of step.
    if (cPacket_AddByte(link->assembly, byte) != cErrNone || (link->assembly->address & 1) != 0) {
      sStartSync(link);
      continue;
    }
    if (sHandlePacket(link) != cErrNone)
      link->status = cLINK_DELIVERY_ERROR;
  }
  return nullptr;
}

namespace {

// Runs under the outgoing FIFO's lock as the out-pipe takes a packet, so a
// caller that finds the FIFO empty also sees that a write is pending.
bool sClaimForWriting(const cPacket *, const void *reference) {
  static_cast<cLinkRecord *>(const_cast<void *>(reference))->writerBusy = true;
  return true;
}

} // namespace

void *sOutPipeProcess(void *argument) {
  cLinkRecord *link = static_cast<cLinkRecord *>(argument);
  link->outPipeStarted = true;
  uint8_t pool[cLINK_POOL_SIZE];
  while (link->running) {
    cPacket *packet = cPacketFifo_AwaitFirst(link->outgoing, sClaimForWriting, link, 1000);
    if (packet == nullptr)
      continue;
    {
      std::lock_guard<std::mutex> writing(link->writeLock);
      struct Idle {
        cLinkRecord *link;
        ~Idle() { link->writerBusy = false; }
      } idle{link};
      if (!link->pooled) {
        sSendPacket(link, packet); // a write error is not acted on: the reader notices a dead stream
        cPacket_Destroy(&packet);
      } else {
        // Pooled: one stream write for as many queued packets as fit.
        size_t used = 0;
        while (packet != nullptr) {
          size_t count = 0;
          cPacket_GetBytes(packet, pool + used, sizeof pool - used, &count);
          used += count;
          sPacketLogRecord(link, cLINK_LOG_SENT, packet);
          cPacket_Destroy(&packet);
          if (used <= cLINK_POOL_SIZE - cPACKET_MAXBYTES)
            packet = cPacketFifo_Get(link->outgoing);
        }
        cStream_Write(link->stream, pool, used);
      }
    }
    sSignalSent(link); // the write lock is free again
  }
  // Whatever is still queued (the route-off packet of a stopping link) goes
  // out, for a bounded time: what a module that stopped reading leaves queued
  // after that is dropped.
  std::lock_guard<std::mutex> writing(link->writeLock);
  uint32_t drainStart = cTime_GetMSTicks();
  for (cPacket *packet = cPacketFifo_Get(link->outgoing); packet != nullptr; packet = cPacketFifo_Get(link->outgoing)) {
    if (cTime_MSSince(drainStart) < cLINK_FINAL_DRAIN_MS)
      sSendPacket(link, packet);
    cPacket_Destroy(&packet);
  }
  return nullptr;
}
