// The COBS framing stream: whole packets over a byte transport that has no
// packet boundaries of its own (a serial line). A packet goes out as
// COBS(address, length, data, CRC-8) followed by a 0x00 delimiter; the
// receiver hands out only the bytes of frames whose length and CRC agree.
#include <new>

#include "quillwork/cPacket.h"
#include "quillwork/cStream.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
// Largest encoded frame: 30 packet bytes, the CRC and one code byte.
constexpr size_t kRxSize = cPACKET_MAXBYTES + 2;
// ... and its delimiter.
constexpr size_t kTxSize = kRxSize + 1;
// Lower bytes taken in one get before it returns, so that one call never
// runs on however long a stream of garbage without a delimiter is.
constexpr int kMaxBytesPerGet = 64;

struct CobsRecord {
  cStreamGetProc get;
  cStreamPutProc put;
  cStreamWriteProc write;
  cStreamDeleteProc del;
  void *reference;
  uint16_t check;
  // Receive side (reader thread only).
  uint8_t rx[kRxSize];
  size_t rxCount;
  bool ready; // rx holds a decoded frame being handed out
  size_t readPosition;
  size_t decodedLength;
  // Transmit side (writer thread only).
  cPacket *assembly;
  uint8_t tx[kTxSize];
  size_t txLength;
};

CobsRecord *sRecord(void *reference) {
  CobsRecord *record = static_cast<CobsRecord *>(reference);
  return record != nullptr && record->check == kCobsCheck ? record : nullptr;
}

// A delimiter arrived: decode what was collected. A good frame becomes ready
// (cErrNotReady still, its bytes come with the next calls); a bad one is
// dropped with cErrPacket.
cErr sFrameEnd(CobsRecord *r) {
  size_t length = cobs_decode_inplace(r->rx, r->rxCount);
  r->rxCount = 0;
  // Address 0 is never a packet: with a CRC that starts at 0, a run of code
  // bytes 01 01 01 (line noise, a stuck line) decodes to 00 00 00 and
  // passes both other checks.
  if (length <= 2 || length != static_cast<size_t>(r->rx[1]) + 3 || r->rx[0] == 0 ||
      !crc8_check(r->rx, length - 1, r->rx[length - 1]))
    return cErrPacket;
  r->ready = true;
  r->readPosition = 0;
  r->decodedLength = length - 1;
  return cErrNotReady;
}

cErr sCobsGet(uint8_t *byte, void *reference) {
  CobsRecord *r = sRecord(reference);
  if (r == nullptr || byte == nullptr)
    return cErrParam;
  if (r->ready) {
    *byte = r->rx[r->readPosition++];
    if (r->readPosition == r->decodedLength)
      r->ready = false;
    return cErrNone;
  }
  if (r->get == nullptr)
    return cErrMode;
  for (int taken = 0; taken < kMaxBytesPerGet; ++taken) {
    uint8_t in;
    cErr err = r->get(&in, r->reference);
    if (err != cErrNone)
      // A transport that has failed is reported as such, not as "no byte
      // yet": a caller that polls on cErrNotReady without pause would
      // otherwise spin on a dead port, and never learn that it is dead.
      return err;
    if (in != 0) {
      if (r->rxCount < kRxSize) // the rest of an over-long frame is dropped
        r->rx[r->rxCount++] = in;
      continue;
    }
    if (r->rxCount == 0)
      return cErrNotReady;
    return sFrameEnd(r);
  }
  return cErrNotReady;
}

cErr sCobsWrite(const uint8_t *data, size_t length, void *reference) {
  CobsRecord *r = sRecord(reference);
  if (r == nullptr || (data == nullptr && length > 0))
    return cErrParam;
  if (r->write == nullptr)
    return cErrMode;
  cErr result = cErrNone;
  for (size_t i = 0; i < length; ++i) {
    if (cPacket_AddByte(r->assembly, data[i]) != cErrNone) {
      // A refused byte leaves the packet's count ahead of its bytes; start
      // afresh so that one bad byte does not spoil every later packet.
      cPacket_Reset(r->assembly);
      continue;
    }
    if (!cPacket_IsComplete(r->assembly))
      continue;
    size_t count = 0;
    cPacket_GetBytes(r->assembly, r->tx, sizeof r->tx, &count);
    cPacket_Reset(r->assembly);
    r->tx[count] = crc8_create(r->tx, count);
    count = cobs_encode_inplace(r->tx, count + 1);
    r->tx[count++] = 0;
    r->txLength = count;
    cErr err = r->write(r->tx, r->txLength, r->reference);
    if (err != cErrNone)
      result = err;
  }
  return result;
}

cErr sCobsPut(uint8_t byte, void *reference) {
  CobsRecord *r = sRecord(reference);
  if (r == nullptr)
    return cErrParam;
  if (r->put == nullptr)
    return cErrMode;
  return r->put(byte, r->reference);
}

cErr sCobsDelete(void *reference) {
  CobsRecord *r = sRecord(reference);
  if (r == nullptr)
    return cErrParam;
  cErr err = r->del != nullptr ? r->del(r->reference) : cErrNone;
  cPacket_Destroy(&r->assembly);
  r->check = 0;
  delete r;
  return err;
}

// A whole stream as the lower transport of a framing stream.
cErr sStreamGet(uint8_t *byte, void *reference) { return cStream_Read(static_cast<cStream *>(reference), byte, 1); }
cErr sStreamPut(uint8_t byte, void *reference) { return cStream_Write(static_cast<cStream *>(reference), &byte, 1); }
cErr sStreamWrite(const uint8_t *data, size_t length, void *reference) {
  return cStream_Write(static_cast<cStream *>(reference), data, length);
}
cErr sStreamDelete(void *reference) {
  cStream *stream = static_cast<cStream *>(reference);
  return cStream_Destroy(&stream);
}

} // namespace

cErr cStream_CreateCobsEncoding(cStreamGetProc get, cStreamPutProc put, cStreamWriteProc write, cStreamDeleteProc del,
                                void *reference, cStream **stream) {
  if (stream == nullptr)
    return cErrParam;
  *stream = nullptr;
  CobsRecord *r = new (std::nothrow) CobsRecord{};
  if (r == nullptr)
    return cErrMemory;
  r->assembly = cPacket_Create();
  if (r->assembly == nullptr) {
    delete r;
    return cErrMemory;
  }
  r->get = get;
  r->put = put;
  r->write = write;
  r->del = del;
  r->reference = reference;
  r->check = kCobsCheck;
  *stream = cStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, r);
  if (*stream == nullptr) {
    // The caller still owns its transport: release only what was made here.
    cPacket_Destroy(&r->assembly);
    delete r;
    return cErrResource;
  }
  return cErrNone;
}

cErr cStream_CreateSerial_Packetized(const char *path, unsigned baudIndex, bool parity, unsigned dataBitsMode,
                                     unsigned stopBits, cStream **stream) {
  if (stream == nullptr)
    return cErrParam;
  *stream = nullptr;
  cStream *serial = nullptr;
  cErr err = cStream_CreateSerial(path, baudIndex, parity, dataBitsMode, stopBits, &serial);
  if (err != cErrNone)
    return err;
  err = cStream_CreateCobsEncoding(sStreamGet, sStreamPut, sStreamWrite, sStreamDelete, serial, stream);
  if (err != cErrNone)
    cStream_Destroy(&serial);
  return err;
}
