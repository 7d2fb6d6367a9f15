// USB driver, kernel back end: the maker's kernel driver presents the module as
// a character device that is simply read and written. A read of one byte
// returns 0 bytes (or fails with EFAULT) when nothing is queued.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "quillwork/cFile.h"
#include "quillwork/cTime.h"
#include "qwusb_driver_internal.h"

namespace {

// An idle node answers at once, so an empty read waits this long before it
// reports that nothing is there: the link's reader would otherwise spin.
constexpr uint32_t kIdleWaitMs = 5;
// A node whose driver can poll is waited on for at most this long.
constexpr int kPollWaitMs = 100;

} // namespace

cErr qwusb_kernel_open(qwusb_device *handle, const char *serial) {
  if (handle->kind != QWUSB_KIND_KERNEL)
    return cErrMode;
  if (handle->state == QWUSB_STATE_UNINITIALISED)
    return cErrResource;
  char path[cFILE_MAXPATH];
  if (strnlen(serial, QWUSB_SERIAL_SIZE) >= QWUSB_SERIAL_SIZE || !qwusb_kernel_node_path(serial, path, sizeof path))
    return cErrParam;
  if (handle->descriptor >= 0)
    qwusb_kernel_close(handle);
  strcpy(handle->serial, serial);
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return errno == EBUSY ? cErrBusy : cErrIO;
  handle->descriptor = fd;
  handle->errorCount = 0;
  handle->state = QWUSB_STATE_READY;
  return cErrNone;
}

cErr qwusb_kernel_get(qwusb_device *handle, uint8_t *byte) {
  if (handle->kind != QWUSB_KIND_KERNEL || handle->descriptor < 0)
    return cErrMode;
  struct pollfd p = {handle->descriptor, POLLIN, 0};
  if (poll(&p, 1, kPollWaitMs) == 0)
    return cErrNotReady;
  ssize_t n = read(handle->descriptor, byte, 1);
  if (n == 1)
    return cErrNone;
  if (n < 0 && errno != EFAULT && errno != EAGAIN && errno != EINTR)
    return cErrIO;
  cTime_MSSleep(kIdleWaitMs);
  return cErrNotReady;
}

cErr qwusb_kernel_write(qwusb_device *handle, const uint8_t *data, size_t length) {
  if (handle->kind != QWUSB_KIND_KERNEL || handle->descriptor < 0)
    return cErrMode;
  for (int calls = 0; length > 0 && calls < QWUSB_KERNEL_WRITE_CALLS; calls++) {
    ssize_t n = write(handle->descriptor, data, length);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return cErrIO;
    }
    data += n;
    length -= (size_t)n;
  }
  return length == 0 ? cErrNone : cErrIO;
}

cErr qwusb_kernel_close(qwusb_device *handle) {
  if (handle->kind != QWUSB_KIND_KERNEL)
    return cErrMode;
  if (handle->descriptor < 0)
    return cErrNone;
  // The descriptor is gone even when close reports an error: never close it
  // twice (the number may already belong to another file).
  int rc = close(handle->descriptor);
  handle->descriptor = -1;
  handle->state = QWUSB_STATE_CLOSED;
  return rc == 0 ? cErrNone : cErrCancel;
}
