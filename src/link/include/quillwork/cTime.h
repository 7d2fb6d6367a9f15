// Millisecond time. Ticks come from a monotonic clock (a wall-clock step must
// not break time-outs) and wrap at 32 bits: compare only differences.
#pragma once

#include <cstdint>

#include "quillwork/cErr.h"

uint32_t cTime_GetMSTicks(void);
cErr cTime_MSSleep(uint32_t ms);
// Milliseconds elapsed since an earlier reading, correct across the wrap.
static inline uint32_t cTime_MSSince(uint32_t start) { return cTime_GetMSTicks() - start; }
