// Threads: joinable system threads. Destroying a handle joins the thread; it
// does not stop it, so the caller tells the thread's loop to end first.
#pragma once

#include "quillwork/cErr.h"

typedef struct cThreadRecord *cThread;
typedef void *(*cThreadProc)(void *argument);

cThread cThread_Create(cThreadProc procedure, void *argument);
// Returns the system join result (0 on success), not a cErr code.
int cThread_Destroy(cThread *thread);
void cThread_Yield(void);
