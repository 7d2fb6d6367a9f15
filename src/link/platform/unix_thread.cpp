#include <cstdlib>
#include <ctime>
#include <new>
#include <pthread.h>

#include "quillwork/cThread.h"

struct cThreadRecord {
  pthread_t thread;
};

cThread cThread_Create(cThreadProc procedure, void *argument) {
  if (procedure == nullptr)
    return nullptr;
  cThread t = new (std::nothrow) cThreadRecord;
  if (t == nullptr)
    return nullptr;
  if (pthread_create(&t->thread, nullptr, procedure, argument) != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

int cThread_Destroy(cThread *thread) {
  if (thread == nullptr || *thread == nullptr)
    return -1;
  int rc = pthread_join((*thread)->thread, nullptr);
  delete *thread;
  *thread = nullptr;
  return rc;
}

void cThread_Yield(void) {
  struct timespec ts = {0, 5000};
  nanosleep(&ts, nullptr);
}
