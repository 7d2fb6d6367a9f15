// Mutexes: a named, non-recursive system mutex. A thread that locks a mutex it
// already holds blocks.
#pragma once

#include "quillwork/cErr.h"

#define cMUTEX_MAXNAME 255

typedef struct cMutexRecord *cMutex;

cMutex cMutex_Create(const char *name);
const char *cMutex_Identifier(cMutex mutex);
cErr cMutex_Destroy(cMutex *mutex);
cErr cMutex_Lock(cMutex mutex);
cErr cMutex_TryLock(cMutex mutex);
cErr cMutex_Unlock(cMutex mutex);
