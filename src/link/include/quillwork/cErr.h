// The library's error codes. Every library operation returns one of them
// (cErrNone on success), and a module's error reply carries one in its value
// byte, so the numbering is part of the wire protocol and must never change.
#pragma once

typedef enum cErr {
  cErrNone = 0,
  cErrMemory = 1,
  cErrParam = 2,
  cErrNotFound = 3,
  cErrFileNameLength = 4,
  cErrBusy = 5,
  cErrIO = 6,
  cErrMode = 7,
  cErrWrite = 8,
  cErrRead = 9,
  cErrEOF = 10,
  cErrNotReady = 11,
  cErrPermission = 12,
  cErrRange = 13,
  cErrSize = 14,
  cErrOverrun = 15,
  cErrParse = 16,
  cErrConfiguration = 17,
  cErrTimeout = 18,
  cErrInitialization = 19,
  cErrVersion = 20,
  cErrUnimplemented = 21,
  cErrDuplicate = 22,
  cErrCancel = 23,
  cErrPacket = 24,
  cErrConnection = 25,
  cErrIndexRange = 26,
  cErrShortCommand = 27,
  cErrInvalidEntity = 28,
  cErrInvalidOption = 29,
  cErrResource = 30,
  cErrMedia = 31,
  cErrAsyncReturn = 32,
  cErrStreamStale = 33,
  cErrUnknown = 34,
} cErr;

// Number of defined codes.
#define cErrCount 35

// The enumerator's name ("cErrNone" ...); codes above 34 give "cErrUnknown".
const char *cError_GetErrorText(unsigned code);
// The description ("Success, no error" ...); codes above 34 give "Unknown error".
const char *cError_GetErrorDescription(unsigned code);
