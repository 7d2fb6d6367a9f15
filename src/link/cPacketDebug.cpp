// The packet log of a link (a ring of entries: direction, length, bytes, the
// oldest giving way to the newest) and the logger thread that drains it.
#include <cstdlib>
#include <cstring>
#include <new>

#include "cLinkManagerInternal.h"

namespace {

cLinkEntryPtr sEntry(uint32_t identifier) {
  cLinkEntryPtr entry = sLookupEntryByID(identifier);
  return entry != nullptr && entry->link.check == cLINK_CHECK ? entry : nullptr;
}

uint32_t sUsed(const cPacketLog *log) { return (log->writeIndex + log->size - log->readIndex) % log->size; }

void sDropOldest(cPacketLog *log) {
  uint32_t lengthAt = (log->readIndex + 1) % log->size;
  log->readIndex = (lengthAt + 1 + log->buffer[lengthAt]) % log->size;
}

void sPutByte(cPacketLog *log, uint8_t byte) {
  log->buffer[log->writeIndex] = byte;
  log->writeIndex = (log->writeIndex + 1) % log->size;
}

} // namespace

cErr sPacketLogAdd(cPacketLog *log, uint8_t direction, uint32_t length, const uint8_t *bytes) {
  if (length > 255 || (length > 0 && bytes == nullptr))
    return cErrParam; // one length byte
  if (length + 2 >= log->size)
    return cErrOverrun; // can never fit
  // Read and write index are equal only when the ring is empty, so at least
  // one byte always stays free.
  while (log->size - sUsed(log) <= length + 2)
    sDropOldest(log);
  sPutByte(log, direction);
  sPutByte(log, (uint8_t)length);
  for (uint32_t i = 0; i < length; i++)
    sPutByte(log, bytes[i]);
  return cErrNone;
}

void sPacketLogFree(cPacketLog **log) {
  if (*log == nullptr)
    return;
  free((*log)->buffer);
  delete *log;
  *log = nullptr;
}

void sPacketLogRecord(cLinkRecord *link, uint8_t direction, const cPacket *packet) {
  uint8_t bytes[cPACKET_MAXBYTES];
  size_t count = 0;
  cMutex_Lock(link->logMutex);
  if (link->log != nullptr && cPacket_GetBytes(packet, bytes, sizeof bytes, &count) == cErrNone)
    sPacketLogAdd(link->log, direction, (uint32_t)count, bytes);
  cMutex_Unlock(link->logMutex);
}

cErr cLink_PacketDebug_SetLogSize(uint32_t identifier, int32_t size) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr || size > cLINK_LOG_MAX_SIZE)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  cMutex_Lock(link->logMutex);
  cErr err = cErrNone;
  if (link->log != nullptr)
    err = cErrBusy;
  else
    link->logSize = size < 0 ? 0 : (uint32_t)size;
  cMutex_Unlock(link->logMutex);
  return err;
}

cErr cLink_PacketDebug_Enable(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  cMutex_Lock(link->logMutex);
  cErr err = cErrNone;
  if (link->logSize == 0)
    link->logSize = cLINK_LOG_DEFAULT_SIZE;
  if (link->log == nullptr) {
    cPacketLog *log = new (std::nothrow) cPacketLog{};
    if (log != nullptr)
      log->buffer = static_cast<uint8_t *>(malloc(link->logSize));
    if (log == nullptr || log->buffer == nullptr) {
      delete log;
      err = cErrResource;
    } else {
      log->size = link->logSize;
      link->log = log;
    }
  }
  if (link->log != nullptr)
    link->log->enabled = true;
  cMutex_Unlock(link->logMutex);
  return err;
}

cErr cLink_PacketDebug_Disable(uint32_t identifier) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  cMutex_Lock(link->logMutex);
  cErr err = cErrNotReady;
  if (link->log != nullptr) {
    // The flag is kept for callers that look at it; the pipes record
    // whenever a log exists.
    link->log->enabled = false;
    err = cErrNone;
  }
  cMutex_Unlock(link->logMutex);
  return err;
}

cErr cLink_PacketDebug_Read(uint32_t identifier, uint8_t *direction, uint32_t *length, uint8_t *buffer) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr || direction == nullptr || length == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  cMutex_Lock(link->logMutex);
  cErr err = cErrNone;
  cPacketLog *log = link->log;
  if (log == nullptr) {
    err = cErrNotReady;
  } else if (sUsed(log) == 0) {
    err = cErrNotFound;
  } else {
    uint32_t at = log->readIndex;
    uint32_t entryLength = log->buffer[(at + 1) % log->size];
    uint32_t room = *length;
    *direction = log->buffer[at];
    *length = entryLength;
    if (room < entryLength || (entryLength > 0 && buffer == nullptr)) {
      err = cErrOverrun; // the entry stays for a larger buffer
    } else {
      for (uint32_t i = 0; i < entryLength; i++)
        buffer[i] = log->buffer[(at + 2 + i) % log->size];
      log->readIndex = (at + 2 + entryLength) % log->size;
    }
  }
  cMutex_Unlock(link->logMutex);
  return err;
}

cErr cLink_PacketDebug_Write(uint32_t identifier, uint8_t direction, uint32_t length, const uint8_t *bytes) {
  cLinkEntryPtr entry = sEntry(identifier);
  if (entry == nullptr)
    return cErrParam;
  cLinkRecord *link = &entry->link;
  cMutex_Lock(link->logMutex);
  cErr err = link->log != nullptr ? sPacketLogAdd(link->log, direction, length, bytes) : cErrNotReady;
  cMutex_Unlock(link->logMutex);
  return err;
}

// ---------------------------------------------------------------- logger

struct cLogger {
  uint32_t check;
  std::atomic<bool> running;
  cThread thread;
  cFile file;
  cLoggerCallback callback;
  void *parameter;
};

namespace {

thread_local cLogger *tCurrentLogger = nullptr;

void *sLoggerProcess(void *argument) {
  cLogger *logger = static_cast<cLogger *>(argument);
  tCurrentLogger = logger;
  while (logger->running)
    logger->callback(logger->file, logger->parameter);
  tCurrentLogger = nullptr;
  return nullptr;
}

bool sValid(const cLogger *logger) { return logger != nullptr && logger->check == cLOGGER_CHECK; }

} // namespace

cLogger *cLogger_Create(void *parameter, cLoggerCallback callback, const char *path) {
  if (callback == nullptr)
    return nullptr;
  cFile file = cFile_Open(path, cFILE_APPEND);
  if (file == nullptr)
    return nullptr;
  cFile_SetUnbuffered(file);
  cLogger *logger = new (std::nothrow) cLogger;
  if (logger == nullptr) {
    cFile_Close(&file);
    return nullptr;
  }
  logger->check = cLOGGER_CHECK;
  logger->running = false;
  logger->thread = nullptr;
  logger->file = file;
  logger->callback = callback;
  logger->parameter = parameter;
  return logger;
}

cErr cLogger_Enable(cLogger *logger) {
  if (!sValid(logger))
    return cErrParam;
  if (logger->thread != nullptr)
    return cErrNone;
  logger->running = true;
  logger->thread = cThread_Create(sLoggerProcess, logger);
  if (logger->thread == nullptr) {
    logger->running = false;
    return cErrResource;
  }
  return cErrNone;
}

cErr cLogger_Disable(cLogger *logger) {
  if (!sValid(logger))
    return cErrParam;
  if (tCurrentLogger == logger)
    return cErrNone; // the thread can't join itself
  logger->running = false;
  if (logger->thread == nullptr)
    return cErrNone;
  int rc = cThread_Destroy(&logger->thread);
  logger->thread = nullptr;
  return rc == 0 ? cErrNone : cErrUnknown;
}

cErr cLogger_Destroy(cLogger **logger) {
  if (logger == nullptr || !sValid(*logger))
    return cErrParam;
  cLogger_Disable(*logger);
  cFile_Close(&(*logger)->file);
  (*logger)->check = 0;
  delete *logger;
  *logger = nullptr;
  return cErrNone;
}
