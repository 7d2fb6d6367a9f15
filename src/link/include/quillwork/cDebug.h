// The library's own debug switches. Debug text goes to standard output only
// when cQuillworkDebuggingEnable is set, filtered by the bits of
// cQuillworkDebuggingLevel. Nothing in the application sets them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

extern std::atomic<bool> cQuillworkDebuggingEnable;
extern std::atomic<uint32_t> cQuillworkDebuggingLevel;

#define cDEBUG_LIFECYCLE 0x001u // link life cycle and handshake
#define cDEBUG_PACKETS 0x002u   // packet traffic
#define cDEBUG_SERVER 0x004u    // server failures
#define cDEBUG_MULTICAST 0x008u // multicast sockets
#define cDEBUG_USB 0x400u       // the USB driver

static inline bool cDebugOn(uint32_t bits) {
  return cQuillworkDebuggingEnable && (cQuillworkDebuggingLevel & bits) != 0;
}

#define cDEBUG_PRINTF(bits, ...)                                                                                       \
  do {                                                                                                                 \
    if (cDebugOn(bits))                                                                                                \
      printf(__VA_ARGS__);                                                                                             \
  } while (0)
