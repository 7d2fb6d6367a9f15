#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>

#include "quillwork/cMutex.h"

struct cMutexRecord {
  pthread_mutex_t mutex;
  char name[cMUTEX_MAXNAME + 1];
};

cMutex cMutex_Create(const char *name) {
  if (name == nullptr)
    name = "";
  size_t len = strnlen(name, cMUTEX_MAXNAME + 1);
  if (len > cMUTEX_MAXNAME)
    return nullptr;
  cMutex m = new (std::nothrow) cMutexRecord;
  if (m == nullptr)
    return nullptr;
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
    delete m;
    return nullptr;
  }
  memcpy(m->name, name, len);
  m->name[len] = '\0';
  return m;
}

const char *cMutex_Identifier(cMutex mutex) { return mutex ? mutex->name : nullptr; }

cErr cMutex_Destroy(cMutex *mutex) {
  if (mutex == nullptr || *mutex == nullptr)
    return cErrParam;
  int rc = pthread_mutex_destroy(&(*mutex)->mutex);
  delete *mutex; // freed even when the system refused to destroy it
  *mutex = nullptr;
  switch (rc) {
  case 0: return cErrNone;
  case EBUSY: return cErrBusy;
  case EAGAIN: return cErrResource;
  case EINVAL: return cErrParam;
  default: return cErrUnknown;
  }
}

cErr cMutex_Lock(cMutex mutex) {
  if (mutex == nullptr)
    return cErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
  case 0: return cErrNone;
  case EINVAL: return cErrParam;
  case EDEADLK: return cErrDuplicate;
  default: return cErrUnknown;
  }
}

cErr cMutex_TryLock(cMutex mutex) {
  if (mutex == nullptr)
    return cErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
  case 0: return cErrNone;
  case EBUSY: return cErrBusy;
  case EINVAL: return cErrParam;
  default: return cErrUnknown;
  }
}

cErr cMutex_Unlock(cMutex mutex) {
  if (mutex == nullptr)
    return cErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
  case 0: return cErrNone;
  case EPERM: return cErrPermission;
  case EINVAL: return cErrParam;
  default: return cErrUnknown;
  }
}
