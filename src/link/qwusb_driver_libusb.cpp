// USB driver, libusb back end: finds the module among the USB devices of the
// shared context by its serial-number string, claims its vendor-specific
// interface and moves bytes with bulk transfers.
#include <algorithm>
#include <cstring>
#include <libusb.h>
#include <vector>

#include "qwusb_driver_internal.h"

namespace {

cErr sClaimError(int rc) {
  switch (rc) {
  case LIBUSB_ERROR_BUSY:
  case LIBUSB_ERROR_NO_DEVICE: return cErrBusy;
  case LIBUSB_ERROR_ACCESS: return cErrPermission;
  default: return cErrUnknown;
  }
}

// Result of a transfer attempted outside state ready.
cErr sStateError(uint32_t state) {
  switch (state) {
  case QWUSB_STATE_CREATED:
  case QWUSB_STATE_OPENED: return cErrNotReady;
  case QWUSB_STATE_CLOSED: return cErrConnection;
  default: return cErrIO;
  }
}

bool sSerialMatches(libusb_device_handle *device, const libusb_device_descriptor &descriptor, const char *serial) {
  if (descriptor.iSerialNumber == 0)
    return false;
  unsigned char text[QWUSB_SERIAL_SIZE + 1];
  int n = libusb_get_string_descriptor_ascii(device, descriptor.iSerialNumber, text, QWUSB_SERIAL_SIZE);
  if (n < 0)
    return false;
  text[std::min(n, QWUSB_SERIAL_SIZE)] = '\0';
  qwusb_remember_serial(libusb_get_device(device), reinterpret_cast<const char *>(text));
  return strcmp(reinterpret_cast<const char *>(text), serial) == 0;
}

// One bulk IN transfer of up to size bytes, as libusb_bulk_transfer, except
// that qwusb_wake can cancel it (a cancelled transfer counts as a time-out:
// the bytes that had arrived are kept).
int sBulkIn(qwusb_device *handle, int *received) {
  *received = 0;
  libusb_transfer *transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr)
    return LIBUSB_ERROR_NO_MEM;
  int completed = 0;
  libusb_fill_bulk_transfer(
      transfer, handle->usbHandle, handle->inEndpoint, handle->receive, QWUSB_RECEIVE_SIZE,
      // Set by whichever thread handles the event, read here: atomically
      // (libusb's own reads of it happen under its event lock).
      [](libusb_transfer *t) { __atomic_store_n(static_cast<int *>(t->user_data), 1, __ATOMIC_RELEASE); }, &completed,
      QWUSB_READ_TIMEOUT_MS);
  {
    std::lock_guard<std::mutex> g(handle->wakeLock);
    if (handle->wakeRequested) {
      handle->wakeRequested = false;
      libusb_free_transfer(transfer);
      return LIBUSB_ERROR_TIMEOUT;
    }
    int rc = libusb_submit_transfer(transfer);
    if (rc != LIBUSB_SUCCESS) {
      libusb_free_transfer(transfer);
      return rc;
    }
    handle->pendingIn = transfer;
  }
  libusb_context *context = Quillwork_libusb_context();
  while (__atomic_load_n(&completed, __ATOMIC_ACQUIRE) == 0) {
    int rc = libusb_handle_events_completed(context, &completed);
    if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
      libusb_cancel_transfer(transfer);
      while (__atomic_load_n(&completed, __ATOMIC_ACQUIRE) == 0)
        if (libusb_handle_events_completed(context, &completed) < 0)
          break;
      break;
    }
  }
  {
    std::lock_guard<std::mutex> g(handle->wakeLock);
    handle->pendingIn = nullptr;
  }
  *received = transfer->actual_length;
  int result;
  switch (transfer->status) {
  case LIBUSB_TRANSFER_COMPLETED: result = LIBUSB_SUCCESS; break;
  case LIBUSB_TRANSFER_TIMED_OUT:
  case LIBUSB_TRANSFER_CANCELLED: result = LIBUSB_ERROR_TIMEOUT; break;
  case LIBUSB_TRANSFER_STALL: result = LIBUSB_ERROR_PIPE; break;
  case LIBUSB_TRANSFER_NO_DEVICE: result = LIBUSB_ERROR_NO_DEVICE; break;
  case LIBUSB_TRANSFER_OVERFLOW: result = LIBUSB_ERROR_OVERFLOW; break;
  default: result = LIBUSB_ERROR_IO; break;
  }
  libusb_free_transfer(transfer);
  return result;
}

} // namespace

void qwusb_libusb_wake(qwusb_device *handle) {
  std::lock_guard<std::mutex> g(handle->wakeLock);
  // Also for the next get: a wake that meets a transfer just completing is
  // not lost.
  handle->wakeRequested = true;
  if (handle->pendingIn != nullptr)
    libusb_cancel_transfer(handle->pendingIn);
}

int find_usb_endpoints(qwusb_device *handle) {
  libusb_config_descriptor *config = nullptr;
  int rc = libusb_get_config_descriptor(libusb_get_device(handle->usbHandle), 0, &config);
  if (rc != LIBUSB_SUCCESS)
    return rc;
  bool haveIn = false, haveOut = false;
  for (int i = 0; i < config->bNumInterfaces; i++) {
    const libusb_interface &interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; a++) {
      const libusb_interface_descriptor &setting = interface.altsetting[a];
      if (setting.bInterfaceClass != QUILLWORK_INTERFACE_CLASS ||
          setting.bInterfaceSubClass != QUILLWORK_INTERFACE_SUBCLASS ||
          setting.bInterfaceProtocol != QUILLWORK_INTERFACE_PROTOCOL)
        continue;
      // The last matching setting wins, as a whole.
      handle->interfaceNumber = setting.bInterfaceNumber;
      haveIn = haveOut = false;
      for (int e = 0; e < setting.bNumEndpoints; e++) {
        const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & 0x02) == 0) // bulk or interrupt only
          continue;
        uint16_t size = endpoint.wMaxPacketSize & 0x07FF;
        if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          handle->inEndpoint = endpoint.bEndpointAddress;
          handle->inMaxPacket = size;
          haveIn = true;
        } else {
          handle->outEndpoint = endpoint.bEndpointAddress;
          handle->outMaxPacket = size;
          haveOut = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return haveIn && haveOut ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

cErr qwusb_libusb_open(qwusb_device *handle, const char *serial) {
  if (handle->kind != QWUSB_KIND_LIBUSB)
    return cErrMode;
  if (handle->state == QWUSB_STATE_UNINITIALISED)
    return cErrResource;
  if (strnlen(serial, QWUSB_SERIAL_SIZE) >= QWUSB_SERIAL_SIZE)
    return cErrParam;
  if (handle->usbHandle != nullptr) // reopening: let go of the old device first
    qwusb_libusb_close(handle);
  libusb_context *context = Quillwork_libusb_context();
  if (context == nullptr)
    return cErrResource;
  libusb_device **list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0)
    return cErrNotFound;

  // The device last seen with this serial number first, then the others.
  std::vector<libusb_device *> order(list, list + count);
  std::stable_partition(order.begin(), order.end(), [&](libusb_device *d) { return qwusb_recalls_serial(d, serial); });
  cErr result = cErrNotFound;
  for (libusb_device *candidate : order) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(candidate, &descriptor) != LIBUSB_SUCCESS || !is_quillwork_device(&descriptor))
      continue;
    libusb_device_handle *device = nullptr;
    int rc = libusb_open(candidate, &device);
    if (rc != LIBUSB_SUCCESS) {
      qwusb_note_open_failure(candidate, rc);
      continue;
    }
    if (!sSerialMatches(device, descriptor, serial)) {
      libusb_close(device);
      continue;
    }
    strcpy(handle->serial, serial);
    handle->usbHandle = device;
    handle->state = QWUSB_STATE_OPENED;
    if (find_usb_endpoints(handle) != LIBUSB_SUCCESS) {
      result = cErrConfiguration;
    } else {
      int rc = libusb_claim_interface(device, handle->interfaceNumber);
      result = rc == LIBUSB_SUCCESS ? cErrNone : sClaimError(rc);
    }
    if (result == cErrNone) {
      handle->available = 0;
      handle->readPosition = handle->receive;
      handle->errorCount = 0;
      handle->state = QWUSB_STATE_READY;
    } else {
      libusb_close(device);
      handle->usbHandle = nullptr;
      handle->state = QWUSB_STATE_CLOSED;
    }
    break;
  }
  libusb_free_device_list(list, 1);
  return result;
}

cErr qwusb_libusb_write(qwusb_device *handle, const uint8_t *data, size_t length) {
  if (handle->kind != QWUSB_KIND_LIBUSB)
    return cErrMode;
  uint32_t state = handle->state;
  if (state != QWUSB_STATE_READY)
    return _handleErrorTolerance(handle, sStateError(state), qwusbWrite);

  cErr result = cErrNone;
  size_t packet = handle->outMaxPacket != 0 ? handle->outMaxPacket : 64;
  int failures = 0;
  while (length > 0 && failures < QWUSB_MAX_WRITE_FAILURES) {
    // Never a whole 512-byte packet in one transfer.
    size_t chunk = std::min(length, packet);
    if (chunk == 512)
      chunk = 511;
    int sent = 0;
    int rc = libusb_bulk_transfer(handle->usbHandle, handle->outEndpoint, const_cast<uint8_t *>(data), (int)chunk,
                                  &sent, QWUSB_WRITE_TIMEOUT_MS);
    // Bytes a failed (timed-out) transfer did move are gone to the device:
    // sending them again would duplicate them in the stream.
    if (sent > 0) {
      data += sent;
      length -= (size_t)sent;
    }
    if (rc != LIBUSB_SUCCESS) {
      failures++;
      if (rc == LIBUSB_ERROR_PIPE && libusb_clear_halt(handle->usbHandle, handle->outEndpoint) != LIBUSB_SUCCESS)
        result = cErrIO;
    }
  }
  if (length > 0)
    result = cErrWrite;
  return _handleErrorTolerance(handle, result, qwusbWrite);
}

cErr qwusb_libusb_get(qwusb_device *handle, uint8_t *byte) {
  if (handle->kind != QWUSB_KIND_LIBUSB)
    return cErrMode;
  if (handle->available > 0) {
    *byte = *handle->readPosition++;
    handle->available--;
    return cErrNone;
  }
  uint32_t state = handle->state;
  if (state != QWUSB_STATE_READY)
    return _handleErrorTolerance(handle, sStateError(state), qwusbRead);

  int received = 0;
  int rc = sBulkIn(handle, &received);
  cErr result;
  if (rc == LIBUSB_ERROR_PIPE) {
    libusb_clear_halt(handle->usbHandle, handle->inEndpoint);
    result = cErrNotReady;
  } else if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) {
    if (received > 0) {
      handle->available = received - 1;
      handle->readPosition = handle->receive + 1;
      *byte = handle->receive[0];
      result = cErrNone;
    } else {
      result = cErrNotReady;
    }
  } else {
    result = cErrIO;
  }
  return _handleErrorTolerance(handle, result, qwusbRead);
}

cErr qwusb_libusb_close(qwusb_device *handle) {
  if (handle->kind != QWUSB_KIND_LIBUSB || handle->usbHandle == nullptr)
    return cErrMode;
  libusb_release_interface(handle->usbHandle, handle->interfaceNumber);
  libusb_close(handle->usbHandle);
  handle->usbHandle = nullptr;
  handle->state = QWUSB_STATE_CLOSED;
  handle->interfaceNumber = 0;
  handle->inEndpoint = 0;
  handle->outEndpoint = 0;
  handle->available = 0;
  handle->readPosition = handle->receive;
  return cErrNone;
}
