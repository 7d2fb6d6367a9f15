// Packet FIFOs. A FIFO is never handed out as an object: it lives in a
// process-wide registry under a 64-bit identifier, and every operation looks
// it up, so a FIFO can be destroyed while other threads wait in it (they
// return null) without anyone touching freed memory. Identifiers start at 1
// and are never reused within a run; 0 means no FIFO.
//
// Any number of threads may call any operation at once. Filters run with the
// FIFO's lock held and must not call operations on the same FIFO.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cErr.h"
#include "quillwork/cPacket.h"

// A FIFO that would hold more than this many packets is emptied.
#define cPACKETFIFO_MAXPACKETS 1000

typedef uint64_t cPacketFifoId;

// A new FIFO's identifier, or 0.
cPacketFifoId cPacketFifo_Create(void);
// Removes the FIFO, discards its packets, wakes every waiter (they get null)
// and sets *fifo to 0. cErrNotFound for an unknown identifier.
cErr cPacketFifo_Destroy(cPacketFifoId *fifo);
// Number of queued packets; 0 for an unknown identifier.
size_t cPacketFifo_GetLength(cPacketFifoId fifo);
// Queues a copy of the packet (the caller keeps its own). cErrParam for an
// unknown FIFO or an invalid packet.
cErr cPacketFifo_Put(cPacketFifoId fifo, const cPacket *packet);

// The getters return a new packet owned by the caller (cPacket_Destroy), or
// null: nothing there, time-out, unknown identifier, or FIFO destroyed.
cPacket *cPacketFifo_Get(cPacketFifoId fifo);
cPacket *cPacketFifo_Await(cPacketFifoId fifo, uint32_t timeoutMs);
// The oldest packet the filter accepts. AwaitFirst calls the filter at most
// once per packet, however often it wakes up.
cPacket *cPacketFifo_GetFirst(cPacketFifoId fifo, cPacketFilterProc filter, const void *reference);
cPacket *cPacketFifo_AwaitFirst(cPacketFifoId fifo, cPacketFilterProc filter, const void *reference,
                                uint32_t timeoutMs);
// Removes and destroys every packet the filter accepts, keeping the order of
// the rest; returns how many were removed.
size_t cPacketFifo_DrainPackets(cPacketFifoId fifo, cPacketFilterProc filter, const void *reference);
