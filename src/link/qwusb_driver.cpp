// USB driver: the shared libusb context, handles, the dispatch to the two back
// ends and the I/O error tolerance.
#include <cstring>
#include <libusb.h>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "quillwork/cFile.h"
#include "qwusb_driver_internal.h"

namespace {

std::mutex sContextLock;
libusb_context *sContext = nullptr;

std::mutex sNodeDirectoryLock;
char sNodeDirectory[cFILE_MAXPATH] = "/dev";

std::mutex sAccessDeniedLock;
qwusb_access_denied_proc sAccessDenied = nullptr;
void *sAccessDeniedReference = nullptr;

} // namespace

libusb_context *Quillwork_libusb_context(void) {
  std::lock_guard<std::mutex> guard(sContextLock);
  if (sContext == nullptr) {
    libusb_context *context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS)
      sContext = context;
  }
  return sContext;
}

libusb_context *Quillwork_libusb_init(void) { return Quillwork_libusb_context(); }

void Quillwork_libusb_exit(void) {
  std::lock_guard<std::mutex> guard(sContextLock);
  if (sContext != nullptr) {
    libusb_exit(sContext);
    sContext = nullptr;
  }
}

bool is_quillwork_device(const libusb_device_descriptor *descriptor) {
  return descriptor != nullptr && descriptor->idVendor == QUILLWORK_VENDOR_ID && descriptor->idProduct < 0x8000;
}

void qwusb_set_access_denied_proc(qwusb_access_denied_proc proc, void *reference) {
  std::lock_guard<std::mutex> guard(sAccessDeniedLock);
  sAccessDenied = proc;
  sAccessDeniedReference = reference;
}

namespace {
std::mutex sSerialsLock;
std::unordered_map<uint32_t, std::string> sSerials; // at most 256 buses x 128 addresses

uint32_t sDeviceKey(libusb_device *device) {
  return uint32_t(libusb_get_bus_number(device)) << 8 | libusb_get_device_address(device);
}
} // namespace

void qwusb_remember_serial(libusb_device *device, const char *serial) {
  if (device == nullptr || serial == nullptr)
    return;
  std::lock_guard<std::mutex> guard(sSerialsLock);
  sSerials[sDeviceKey(device)] = serial;
}

bool qwusb_recalls_serial(libusb_device *device, const char *serial) {
  if (device == nullptr || serial == nullptr)
    return false;
  std::lock_guard<std::mutex> guard(sSerialsLock);
  auto it = sSerials.find(sDeviceKey(device));
  return it != sSerials.end() && it->second == serial;
}

void qwusb_note_open_failure(libusb_device *device, int rc) {
  if (rc != LIBUSB_ERROR_ACCESS || device == nullptr)
    return;
  qwusb_access_denied_proc proc;
  void *reference;
  {
    std::lock_guard<std::mutex> guard(sAccessDeniedLock);
    proc = sAccessDenied;
    reference = sAccessDeniedReference;
  }
  if (proc != nullptr) // called without the lock: it may log, or set another procedure
    proc(libusb_get_bus_number(device), libusb_get_device_address(device), reference);
}

cErr qwusb_set_kernel_node_directory(const char *directory) {
  if (directory == nullptr)
    directory = "/dev";
  size_t length = strnlen(directory, sizeof sNodeDirectory);
  if (length == 0 || length >= sizeof sNodeDirectory)
    return cErrParam;
  std::lock_guard<std::mutex> guard(sNodeDirectoryLock);
  memcpy(sNodeDirectory, directory, length + 1);
  return cErrNone;
}

bool qwusb_kernel_node_path(const char *serial, char *path, size_t size) {
  char name[64 + QWUSB_SERIAL_SIZE];
  int n = snprintf(name, sizeof name, QWUSB_KERNEL_NODE_FORMAT, serial);
  if (n < 0 || (size_t)n >= sizeof name)
    return false;
  std::lock_guard<std::mutex> guard(sNodeDirectoryLock);
  n = snprintf(path, size, "%s/%s", sNodeDirectory, name);
  return n > 0 && (size_t)n < size;
}

bool qwusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", serialNumber);
  char path[cFILE_MAXPATH];
  if (!qwusb_kernel_node_path(serial, path, sizeof path))
    return false;
  return cFile_Exists(path);
}

qwusb_device *qwusb_create_usb(uint32_t kind) {
  if (kind != QWUSB_KIND_LIBUSB && kind != QWUSB_KIND_KERNEL)
    return nullptr;
  if (kind == QWUSB_KIND_LIBUSB && Quillwork_libusb_context() == nullptr)
    return nullptr;
  qwusb_device *handle = new (std::nothrow) qwusb_device;
  if (handle == nullptr)
    return nullptr;
  handle->kind = kind;
  memset(handle->serial, 0, sizeof handle->serial);
  handle->descriptor = -1;
  handle->usbHandle = nullptr;
  handle->state = QWUSB_STATE_CREATED;
  handle->interfaceNumber = 0;
  handle->outEndpoint = 0;
  handle->inEndpoint = 0;
  memset(handle->receive, 0, sizeof handle->receive);
  handle->available = 0;
  handle->readPosition = handle->receive;
  handle->errorCount = 0;
  handle->inMaxPacket = 0;
  handle->outMaxPacket = 0;
  return handle;
}

uint32_t qwusb_get_state(const qwusb_device *handle) {
  return handle == nullptr ? QWUSB_STATE_UNINITIALISED : handle->state.load();
}

cErr qwusb_open_quillwork_device(qwusb_device *handle, const char *serial) {
  if (handle == nullptr || serial == nullptr)
    return cErrParam;
  return handle->kind == QWUSB_KIND_LIBUSB ? qwusb_libusb_open(handle, serial) : qwusb_kernel_open(handle, serial);
}

cErr qwusb_write_to_device(qwusb_device *handle, const uint8_t *data, size_t length) {
  if (handle == nullptr || (data == nullptr && length > 0))
    return cErrParam;
  return handle->kind == QWUSB_KIND_LIBUSB ? qwusb_libusb_write(handle, data, length)
                                           : qwusb_kernel_write(handle, data, length);
}

cErr qwusb_get_from_device(qwusb_device *handle, uint8_t *byte) {
  if (handle == nullptr || byte == nullptr)
    return cErrParam;
  return handle->kind == QWUSB_KIND_LIBUSB ? qwusb_libusb_get(handle, byte) : qwusb_kernel_get(handle, byte);
}

cErr qwusb_close_quillwork_device(qwusb_device *handle) {
  if (handle == nullptr)
    return cErrParam;
  return handle->kind == QWUSB_KIND_LIBUSB ? qwusb_libusb_close(handle) : qwusb_kernel_close(handle);
}

void qwusb_wake(qwusb_device *handle) {
  if (handle != nullptr && handle->kind == QWUSB_KIND_LIBUSB)
    qwusb_libusb_wake(handle); // the kernel node's get never waits
}

cErr qwusb_destroy(qwusb_device **handle) {
  if (handle == nullptr || *handle == nullptr)
    return cErrParam;
  qwusb_device *h = *handle;
  if (h->kind == QWUSB_KIND_LIBUSB && h->usbHandle != nullptr)
    qwusb_libusb_close(h);
  if (h->kind == QWUSB_KIND_KERNEL && h->descriptor >= 0)
    qwusb_kernel_close(h);
  h->state = QWUSB_STATE_UNINITIALISED;
  delete h;
  *handle = nullptr;
  return cErrNone;
}

cErr _handleErrorTolerance(qwusb_device *handle, cErr status, qwusb_direction direction) {
  if (status != cErrIO) {
    handle->errorCount = 0;
    return status;
  }
  // Saturating increment: a failed handle must keep failing, however many
  // calls follow.
  uint8_t count = handle->errorCount.load();
  while (!handle->errorCount.compare_exchange_weak(count, count == UINT8_MAX ? count : (uint8_t)(count + 1))) {
  }
  if (count < QWUSB_TOLERATED_ERRORS)
    return direction == qwusbRead ? cErrNotReady : cErrNone;
  handle->state = QWUSB_STATE_FAILED;
  return cErrIO;
}
