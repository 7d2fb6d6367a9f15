#include <cerrno>
#include <ctime>
#include <unistd.h>

#include "quillwork/cTime.h"

uint32_t cTime_GetMSTicks(void) {
  // Monotonic, not the wall clock: callers only take differences, and a clock
  // step (NTP, a user setting the date) must not break their time-outs.
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
    return 0;
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

cErr cTime_MSSleep(uint32_t ms) {
  // Slices below one second: the system's microsecond sleep refuses a whole
  // second or more.
  uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
  while (remaining > 0) {
    uint64_t slice = remaining > 999999u ? 999999u : remaining;
    struct timespec req = {0, static_cast<long>(slice * 1000u)};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
      req = rem;
    remaining -= slice;
  }
  return cErrNone;
}
