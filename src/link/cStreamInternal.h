// The stream record behind quillwork/cStream.h (tests look inside it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cStream.h"

struct cStream {
  cStreamGetProc get;
  cStreamPutProc put;
  cStreamWriteProc write;
  cStreamDeleteProc del;
  void *reference;
  // Push-back ring: absent until first used.
  uint8_t *buffer;
  size_t bufferSize;
  size_t bufferCount;
  size_t readIndex;
  size_t writeIndex;
  uint16_t check;
  cStreamWakeProc wake; // optional: cuts short a get that is waiting
};
