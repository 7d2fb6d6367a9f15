// Byte streams. A stream is four procedures (get one byte, put one byte,
// write a block, delete) and a reference handed to each of them, plus a
// push-back buffer. A new kind of stream is a create function that makes its
// own record and passes it with its procedures to cStream_Create.
//
// A stream is not locked: one reader thread may call get while one writer
// thread calls write. The push-back buffer belongs to the reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cErr.h"

#define cSTREAMCHECK 0x4321
#define cSTREAMBUFCHUNK 512

// Reads one byte. cErrNotReady: no byte now (after a short bounded wait).
typedef cErr (*cStreamGetProc)(uint8_t *byte, void *reference);
typedef cErr (*cStreamPutProc)(uint8_t byte, void *reference);
typedef cErr (*cStreamWriteProc)(const uint8_t *data, size_t length, void *reference);
// Releases the reference (the concrete stream's record).
typedef cErr (*cStreamDeleteProc)(void *reference);

typedef struct cStream cStream;

// ---- core -----------------------------------------------------------------

// A new stream over the procedures (any may be null) and reference, which the
// stream then owns (the delete procedure releases it); null without memory.
cStream *cStream_Create(cStreamGetProc get, cStreamPutProc put, cStreamWriteProc write, cStreamDeleteProc del,
                        void *reference);
// True for a non-null stream whose check word is intact.
bool cVALIDSTREAM(const cStream *stream);
// The reference given to cStream_Create (null for an invalid stream).
void *cStream_GetReference(const cStream *stream);

// Reads exactly size bytes, pushed-back bytes first. All or nothing on
// cErrNotReady (the bytes read are pushed back); on cErrEOF the bytes read so
// far are in destination.
cErr cStream_Read(cStream *stream, void *destination, size_t size);
// One write-procedure call for more than one byte, else put byte by byte.
cErr cStream_Write(cStream *stream, const void *data, size_t length);
// Pushes one byte back; it is read before anything from the get procedure.
cErr cStreamBufferChar(cStream *stream, uint8_t byte);

// Reads a record ended by the terminator bytes (not stored), at most size
// bytes; *length receives the stored count.
cErr cStream_ReadRecord(cStream *stream, void *buffer, size_t *length, size_t size, const void *terminator,
                        size_t terminatorLength);
cErr cStream_WriteRecord(cStream *stream, const void *data, size_t length, const void *terminator,
                         size_t terminatorLength);
// A NUL-ended record, at most size - 1 characters, NUL-terminated.
cErr cStream_ReadCString(cStream *stream, char *buffer, size_t size);
// The string and its NUL.
cErr cStream_WriteCString(cStream *stream, const char *string);
// A record ended by the terminator's characters (not its NUL).
cErr cStream_ReadCStringRecord(cStream *stream, char *buffer, size_t size, const char *terminator);
// The string, the terminator's characters and one NUL.
cErr cStream_WriteCStringRecord(cStream *stream, const char *string, const char *terminator);
// Copies bytes from get of from to put of to until get fails; cErrEOF ends
// the copy with cErrNone.
cErr cStream_Flush(cStream *from, cStream *to);
// Calls the delete procedure (its result is returned), frees the stream and
// nulls the caller's pointer.
cErr cStream_Destroy(cStream **stream);

// A stream whose get waits long for data (the USB get waits up to a second)
// can name a procedure that makes a waiting get, or the next one, return
// cErrNotReady at once; any thread may call it while another is in get.
typedef void (*cStreamWakeProc)(void *reference);
cErr cStream_SetWake(cStream *stream, cStreamWakeProc wake);
// Cuts short a waiting get (nothing for streams without a wake procedure).
void cStream_Wake(cStream *stream);

// ---- concrete streams -------------------------------------------------------
// Every constructor sets *stream to null first and leaves nothing behind when
// it fails.

// Read-only over a file; get gives cErrEOF at the end. cErrResource on failure.
cErr cStream_CreateFileInput(const char *path, cStream **stream);
// Write-only over a new or truncated file. cErrResource on failure.
cErr cStream_CreateFileOutput(const char *path, cStream **stream);

#define cSOCKET_RETRY_DELAY_MS 60
#define cSOCKET_MAX_SEND_RETRY 10
// How long a socket or serial get waits for a byte before cErrNotReady.
#define cSTREAM_GET_WAIT_MS 50

// A TCP client stream, connected before it is returned. address is IPv4 in
// network byte order, port in host order. It reconnects by itself when the
// connection is reset or the peer closes it. cErrResource on failure.
cErr cStream_CreateSocket(uint32_t address, uint16_t port, cStream **stream);

// A stream over the module with that serial number through the USB driver
// (implemented with the driver, in qwusb_driver's stream half).
cErr cStream_CreateUSB(uint32_t serialNumber, cStream **stream);

// Serial ports. baudIndex 0-7 = 2400, 4800, 9600, 19200, 38400, 57600, 115200,
// 230400 (another index opens at speed 0, which hangs up); dataBitsMode 0 = 8
// bits, 1 = 7 bits; stopBits 0 = one, 1 = two; parity true = even.
cErr cStream_CreateSerial(const char *path, unsigned baudIndex, bool parity, unsigned dataBitsMode, unsigned stopBits,
                          cStream **stream);
// The same port wrapped in the COBS framing stream.
cErr cStream_CreateSerial_Packetized(const char *path, unsigned baudIndex, bool parity, unsigned dataBitsMode,
                                     unsigned stopBits, cStream **stream);
// The baud index of a rate; cErrParam for a rate not in the table.
cErr cStream_SerialBaudIndex(uint32_t baudRate, unsigned *baudIndex);

// COBS framing over any lower byte transport (its four procedures and its
// reference, which the new stream owns). A written packet goes out as one
// frame: COBS(address, length, data, CRC-8) and a 0x00 delimiter; get hands
// out the bytes of good frames only.
cErr cStream_CreateCobsEncoding(cStreamGetProc get, cStreamPutProc put, cStreamWriteProc write, cStreamDeleteProc del,
                                void *reference, cStream **stream);

// ---- COBS and CRC-8 --------------------------------------------------------

// Encodes length bytes into output (room for length + length / 254 + 1);
// returns the encoded length. No delimiter is added.
size_t cobs_encode(const uint8_t *input, size_t length, uint8_t *output);
// The same in place; the buffer must have room for the extra bytes.
size_t cobs_encode_inplace(uint8_t *buffer, size_t length);
// Decodes into output (room for length bytes); returns the decoded length, or
// 0 when a code byte points past the end or the input holds a zero byte.
size_t cobs_decode(const uint8_t *input, size_t length, uint8_t *output);
size_t cobs_decode_inplace(uint8_t *buffer, size_t length);

// CRC-8/MAXIM (reflected 0x31, initial 0, no final xor).
uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t *data, size_t length);
bool crc8_check(const uint8_t *data, size_t length, uint8_t expected);
