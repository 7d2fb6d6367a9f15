// The stream core: reading and writing through a stream's procedures, the
// push-back buffer, records and C strings.
#include "cStreamInternal.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

cStream *cStream_Create(cStreamGetProc get, cStreamPutProc put, cStreamWriteProc write, cStreamDeleteProc del,
                        void *reference) {
  cStream *stream = new (std::nothrow) cStream{};
  if (stream == nullptr)
    return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->del = del;
  stream->reference = reference;
  stream->check = cSTREAMCHECK;
  return stream;
}

bool cVALIDSTREAM(const cStream *stream) { return stream != nullptr && stream->check == cSTREAMCHECK; }

cErr cStream_SetWake(cStream *stream, cStreamWakeProc wake) {
  if (!cVALIDSTREAM(stream))
    return cErrParam;
  stream->wake = wake;
  return cErrNone;
}

void cStream_Wake(cStream *stream) {
  if (cVALIDSTREAM(stream) && stream->wake != nullptr)
    stream->wake(stream->reference);
}

void *cStream_GetReference(const cStream *stream) { return cVALIDSTREAM(stream) ? stream->reference : nullptr; }

namespace {

bool sPopBuffered(cStream *stream, uint8_t *byte) {
  if (stream->bufferCount == 0)
    return false;
  *byte = stream->buffer[stream->readIndex];
  stream->readIndex = (stream->readIndex + 1) % stream->bufferSize;
  stream->bufferCount--;
  return true;
}

// The next byte: pushed-back bytes first, then the get procedure.
cErr sNextByte(cStream *stream, uint8_t *byte) {
  if (sPopBuffered(stream, byte))
    return cErrNone;
  return stream->get(byte, stream->reference);
}

cErr sPushBack(cStream *stream, const uint8_t *bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    cErr err = cStreamBufferChar(stream, bytes[i]);
    if (err != cErrNone)
      return err;
  }
  return cErrNone;
}

} // namespace

cErr cStreamBufferChar(cStream *stream, uint8_t byte) {
  if (!cVALIDSTREAM(stream))
    return cErrParam;
  if (stream->buffer == nullptr || stream->bufferCount >= stream->bufferSize - 1) {
    // Grow by one chunk, moving the held bytes to the front in reading order.
    size_t size = stream->bufferSize + cSTREAMBUFCHUNK;
    uint8_t *grown = static_cast<uint8_t *>(malloc(size));
    if (grown == nullptr)
      return cErrMemory;
    for (size_t i = 0; i < stream->bufferCount; ++i)
      grown[i] = stream->buffer[(stream->readIndex + i) % stream->bufferSize];
    free(stream->buffer);
    stream->buffer = grown;
    stream->bufferSize = size;
    stream->readIndex = 0;
    stream->writeIndex = stream->bufferCount;
  }
  stream->buffer[stream->writeIndex] = byte;
  stream->writeIndex = (stream->writeIndex + 1) % stream->bufferSize;
  stream->bufferCount++;
  return cErrNone;
}

cErr cStream_Read(cStream *stream, void *destination, size_t size) {
  if (!cVALIDSTREAM(stream) || destination == nullptr)
    return cErrParam;
  if (stream->get == nullptr)
    return cErrMode;
  uint8_t *out = static_cast<uint8_t *>(destination);
  for (size_t got = 0; got < size; ++got) {
    cErr err = sNextByte(stream, &out[got]);
    if (err == cErrNone)
      continue;
    if (err == cErrNotReady) {
      // All or nothing: the next read sees these bytes again. The push-back
      // buffer is empty here (get is only asked once it is), so they keep
      // their order.
      cErr pushed = sPushBack(stream, out, got);
      return pushed == cErrNone ? cErrNotReady : pushed;
    }
    return err;
  }
  return cErrNone;
}

cErr cStream_Write(cStream *stream, const void *data, size_t length) {
  if (!cVALIDSTREAM(stream) || data == nullptr)
    return cErrParam;
  if (stream->write == nullptr && stream->put == nullptr)
    return cErrMode;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  if (stream->write != nullptr && (length > 1 || stream->put == nullptr))
    return length == 0 ? cErrNone : stream->write(bytes, length, stream->reference);
  for (size_t i = 0; i < length; ++i) {
    cErr err = stream->put(bytes[i], stream->reference);
    if (err != cErrNone)
      return err;
  }
  return cErrNone;
}

cErr cStream_ReadRecord(cStream *stream, void *buffer, size_t *length, size_t size, const void *terminator,
                        size_t terminatorLength) {
  if (!cVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr || terminatorLength == 0 || size == 0)
    return cErrParam;
  if (stream->get == nullptr)
    return cErrMode;
  const uint8_t *term = static_cast<const uint8_t *>(terminator);
  // Every byte taken, in order, so that a record cut short by cErrNotReady is
  // pushed back whole, its terminator bytes included: otherwise a line whose
  // CR came before the pause would lose its end and run into the next line.
  std::vector<uint8_t> taken;
  std::vector<uint8_t> stored;
  try {
    taken.reserve(size + terminatorLength);
    stored.reserve(size);
  } catch (...) {
    return cErrResource;
  }
  size_t matched = 0;
  for (;;) {
    uint8_t byte;
    cErr err = sNextByte(stream, &byte);
    if (err == cErrNotReady) {
      cErr pushed = sPushBack(stream, taken.data(), taken.size());
      return pushed == cErrNone ? cErrNotReady : pushed;
    }
    if (err == cErrEOF) {
      if (stored.empty())
        return cErrEOF;
      break;
    }
    if (err != cErrNone)
      return err;
    taken.push_back(byte);
    // A matched terminator byte stays matched even when the next byte does
    // not continue the terminator.
    if (byte == term[matched]) {
      if (++matched == terminatorLength)
        break;
      continue;
    }
    stored.push_back(byte);
    if (stored.size() == size)
      break;
  }
  memcpy(buffer, stored.data(), stored.size());
  if (length != nullptr)
    *length = stored.size();
  return cErrNone;
}

cErr cStream_WriteRecord(cStream *stream, const void *data, size_t length, const void *terminator,
                         size_t terminatorLength) {
  if (!cVALIDSTREAM(stream) || (data == nullptr && length > 0) || terminator == nullptr || terminatorLength == 0)
    return cErrParam;
  if (length > 0) {
    cErr err = cStream_Write(stream, data, length);
    if (err != cErrNone)
      return err;
  }
  return cStream_Write(stream, terminator, terminatorLength);
}

cErr cStream_ReadCString(cStream *stream, char *buffer, size_t size) {
  return cStream_ReadCStringRecord(stream, buffer, size, "");
}

cErr cStream_WriteCString(cStream *stream, const char *string) {
  if (string == nullptr)
    return cErrParam;
  return cStream_Write(stream, string, strlen(string) + 1);
}

cErr cStream_ReadCStringRecord(cStream *stream, char *buffer, size_t size, const char *terminator) {
  if (buffer == nullptr || size < 2 || terminator == nullptr)
    return cErrParam;
  // An empty terminator string means the NUL byte itself.
  size_t terminatorLength = terminator[0] == '\0' ? 1 : strlen(terminator);
  size_t length = 0;
  cErr err = cStream_ReadRecord(stream, buffer, &length, size - 1, terminator, terminatorLength);
  if (err == cErrNone)
    buffer[length] = '\0';
  return err;
}

cErr cStream_WriteCStringRecord(cStream *stream, const char *string, const char *terminator) {
  if (string == nullptr || terminator == nullptr)
    return cErrParam;
  return cStream_WriteRecord(stream, string, strlen(string), terminator, strlen(terminator) + 1);
}

cErr cStream_Flush(cStream *from, cStream *to) {
  if (!cVALIDSTREAM(from) || !cVALIDSTREAM(to))
    return cErrParam;
  if (from->get == nullptr || to->put == nullptr)
    return cErrMode;
  for (;;) {
    uint8_t byte;
    cErr err = from->get(&byte, from->reference);
    if (err == cErrEOF)
      return cErrNone;
    if (err != cErrNone)
      return err;
    err = to->put(byte, to->reference);
    if (err != cErrNone)
      return err;
  }
}

cErr cStream_Destroy(cStream **stream) {
  if (stream == nullptr)
    return cErrParam;
  cStream *s = *stream;
  *stream = nullptr;
  if (!cVALIDSTREAM(s))
    return cErrParam;
  cErr err = s->del != nullptr ? s->del(s->reference) : cErrNone;
  free(s->buffer);
  s->check = 0;
  delete s;
  return err;
}
