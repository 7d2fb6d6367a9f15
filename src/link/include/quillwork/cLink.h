// The link engine: the live connection to one module (or one module network
// behind a routing module) over one byte stream. A link has a small integer
// identifier (0 = none), an incoming and an outgoing packet FIFO, a reader
// thread (the in-pipe) that turns stream bytes into packets and a writer
// thread (the out-pipe) that turns queued packets into stream bytes. The
// reader finds packet boundaries with the synchronisation handshake, answers
// the module's heartbeats itself and hands every other packet to a user
// filter or to the incoming FIFO.
//
// Links are shared: a create that finds a link to the same module adds a use,
// and cLink_Destroy takes one; the link stops when its last use is gone. All
// functions may be called from any thread. Every wait is bounded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cErr.h"
#include "quillwork/cFile.h"
#include "quillwork/cPacket.h"
#include "quillwork/cStream.h"
#include "quillwork/linkSpec.h"

// Link status (cLink_GetStatus).
#define cLINK_STOPPED 0u        // initialised, threads not running
#define cLINK_STARTING 1u       // cLink_Start
#define cLINK_RUNNING 2u        // synchronised
#define cLINK_STOPPING 3u       // cLink_Stop
#define cLINK_SYNCING 4u        // synchronisation handshake under way
#define cLINK_NO_STREAM 5u      // no stream; also the status of an unknown link
#define cLINK_IO_ERROR 6u       // the last stream read failed
#define cLINK_DELIVERY_ERROR 8u // a complete packet could not be queued

// Control packets.
#define cLINK_SYNC_REQUESTS 6 // sync requests sent per handshake
#define cLINK_START_POLLS 200 // 10 ms steps waited by start and sync
#define cLINK_POOL_SIZE 4096  // bytes of one pooled stream write
#define cLINK_RESET_ATTEMPTS 20
#define cLINK_RESET_DELAY_MS 100

// Packet log.
#define cLINK_LOG_SENT 1u     // direction: sent to the module
#define cLINK_LOG_RECEIVED 2u // received from the module
#define cLINK_LOG_MARKER 3u   // a text marker
#define cLINK_LOG_DEFAULT_SIZE 0x10000
#define cLINK_LOG_MAX_SIZE 0x4000000

// ---- creating and destroying ------------------------------------------------
// The create functions return the link identifier, or 0; a failure leaves
// nothing behind.

// A USB link to the module with that serial number, synchronised. An existing
// USB link to it gets one more use (0 if a link server owns it).
uint32_t cLink_CreateUSB(uint32_t serialNumber);
// A TCP/IP link (address in network order, port in host order); no
// synchronisation after the start.
uint32_t cLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint32_t port);
// A serial link through COBS frames at 8N1; baudRate must be one of 2400,
// 4800, 9600, 19200, 38400, 57600, 115200, 230400.
uint32_t cLink_CreateSerial(uint32_t serialNumber, const char *portName, uint32_t baudRate);
// A network-client link to a link server (reference 0), or one more use of
// the link with identifier reference.
uint32_t cLink_CreateClient(uint32_t ipAddress, uint32_t port, uint32_t reference);
// Shares a link through a new link server; returns a client link to that
// server and stores the server's port and interface through the pointers.
uint32_t cLink_CreateServer(uint32_t linkIdentifier, uint32_t *port, uint32_t *interfaceAddress, bool localOnly);
// A link over the caller's stream, started. The link owns the stream from
// this call on, also when the call fails.
uint32_t cLink_Create(cStream *stream);
// Takes one use; the last destroys the link. *identifier becomes 0 in every
// case; cErrParam for an unknown link.
cErr cLink_Destroy(uint32_t *identifier);

// ---- running ----------------------------------------------------------------

// (Re)initialises a registered link with a stream; the identifier or 0.
uint32_t cLink_Init(uint32_t identifier, cStream *stream);
// Starts the threads and waits (at most 2 s) until the link runs; then asks
// the module to route. cErrIndexRange if the link did not come up.
cErr cLink_Start(uint32_t identifier);
// Runs the handshake and waits (at most 2 s) for it; cErrNotReady if the
// module did not answer. The surplus answers are thrown away.
cErr cLink_Sync(uint32_t identifier);
// Stops and restarts the link over a new stream of the same kind (up to 20
// attempts, 100 ms apart). A link that gets no stream fails with the last
// stream error and is left stopped; a link whose stream cannot be made again
// (its own stream, serial) gives cErrParam and is left as it was.
cErr cLink_Reset(uint32_t identifier);
// Status (cLINK_...); cLINK_NO_STREAM for an unknown identifier.
uint32_t cLink_GetStatus(uint32_t identifier);

// ---- packets ----------------------------------------------------------------

// Queues a copy of the packet for the module; cErrParam for an unknown link.
cErr cLink_PutPacket(uint32_t identifier, const cPacket *packet);
// Queues copies of count packets that belong together (a byte series), in
// order; a pooled link writes them with as few stream writes as fit. cErrParam for an unknown link
// or a packet that is not valid (then nothing is queued).
cErr cLink_PutPackets(uint32_t identifier, const cPacket *packets, size_t count);
// Waits until every packet put so far has been written to the stream (none
// queued, no write under way), up to the time-out: cErrNone, cErrTimeout,
// cErrConnection when the link stops running, cErrParam for an unknown link.
cErr cLink_AwaitSent(uint32_t identifier, uint32_t timeoutMs);
// The incoming FIFO; packets returned belong to the caller. Null (or 0) for
// an unknown link.
cPacket *cLink_GetPacket(uint32_t identifier);
cPacket *cLink_AwaitPacket(uint32_t identifier, uint32_t timeoutMs);
cPacket *cLink_GetFirst(uint32_t identifier, cPacketFilterProc filter, const void *reference);
size_t cLink_DrainPackets(uint32_t identifier, cPacketFilterProc filter, const void *reference);
// The first incoming packet the filter accepts, waiting up to the time-out
// while the link is running; null at once for a link that is not running.
cPacket *cLink_AwaitFirst(uint32_t identifier, cPacketFilterProc filter, const void *reference, uint32_t timeoutMs);
// Installs (or, with a null filter, removes) the filter that sees every
// received packet first, on the reader thread; true takes the packet. It must
// not block or use the FIFOs of its own link.
cErr cLink_InstallUserPacketFilter(uint32_t identifier, cPacketFilterProc filter, const void *reference);
// Pooled: the writer gathers queued packets into stream writes of up to
// 4096 bytes.
cErr cLink_EnablePooledPackets(uint32_t identifier, bool pooled);
// Queues a route packet (0xAF, length 1, value).
cErr cLink_ForceRoute(uint32_t identifier, uint8_t value);

// ---- packet log ---------------------------------------------------------------
// A ring of entries (direction, length, bytes); the oldest entries give way.

// Size in bytes before the log is made (0: 64 KiB); cErrParam above 64 MiB,
// cErrBusy once the log exists.
cErr cLink_PacketDebug_SetLogSize(uint32_t identifier, int32_t size);
cErr cLink_PacketDebug_Enable(uint32_t identifier);
cErr cLink_PacketDebug_Disable(uint32_t identifier);
// Takes the oldest entry: *length is the buffer size in and the entry's length
// out. cErrNotFound when empty, cErrOverrun (entry kept) if it does not fit.
cErr cLink_PacketDebug_Read(uint32_t identifier, uint8_t *direction, uint32_t *length, uint8_t *buffer);
cErr cLink_PacketDebug_Write(uint32_t identifier, uint8_t direction, uint32_t length, const uint8_t *bytes);

// ---- logger -------------------------------------------------------------------
// A thread that calls callback(file, parameter) over and over while enabled
// (the callback paces itself), to drain a packet log into a file.

typedef void (*cLoggerCallback)(cFile file, void *parameter);
typedef struct cLogger cLogger;

// Opens path for appending, unbuffered; null if it can't be opened.
cLogger *cLogger_Create(void *parameter, cLoggerCallback callback, const char *path);
cErr cLogger_Enable(cLogger *logger);
// Stops and joins the thread; does nothing when called from the logger's own
// thread.
cErr cLogger_Disable(cLogger *logger);
cErr cLogger_Destroy(cLogger **logger);
