// The USB byte stream: a cStream over the USB driver. The kernel driver's node
// is used when it exists for the module, libusb otherwise.
#include <cstdio>
#include <new>

#include "quillwork/cStream.h"
#include "quillwork/qwusb_driver.h"

namespace {

constexpr uint16_t kUsbStreamCheck = 0x5553;

struct UsbStreamRecord {
  uint32_t serialNumber;
  qwusb_device *handle;
  uint16_t check;
};

qwusb_device *sHandle(void *reference) {
  UsbStreamRecord *r = static_cast<UsbStreamRecord *>(reference);
  return r != nullptr && r->check == kUsbStreamCheck ? r->handle : nullptr;
}

cErr sUsbGet(uint8_t *byte, void *reference) {
  qwusb_device *h = sHandle(reference);
  return h == nullptr ? cErrParam : qwusb_get_from_device(h, byte);
}

cErr sUsbPut(uint8_t byte, void *reference) {
  qwusb_device *h = sHandle(reference);
  return h == nullptr ? cErrParam : qwusb_write_to_device(h, &byte, 1);
}

cErr sUsbWrite(const uint8_t *data, size_t length, void *reference) {
  qwusb_device *h = sHandle(reference);
  return h == nullptr ? cErrParam : qwusb_write_to_device(h, data, length);
}

void sUsbWake(void *reference) {
  qwusb_device *h = sHandle(reference);
  if (h != nullptr)
    qwusb_wake(h);
}

// A close error is reported, but the handle and the record are released all
// the same: the stream that owned them is gone, so keeping them would only
// leak the device (and keep its interface claimed).
cErr sUsbDelete(void *reference) {
  UsbStreamRecord *r = static_cast<UsbStreamRecord *>(reference);
  if (r == nullptr || r->check != kUsbStreamCheck)
    return cErrParam;
  cErr err = qwusb_close_quillwork_device(r->handle);
  qwusb_destroy(&r->handle);
  r->check = 0;
  delete r;
  return err;
}

} // namespace

cErr cStream_CreateUSB(uint32_t serialNumber, cStream **stream) {
  if (stream == nullptr)
    return cErrParam;
  *stream = nullptr;
  bool kernel = qwusb_is_kernel_driver_installed(serialNumber);
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", serialNumber);
  qwusb_device *handle = qwusb_create_usb(kernel ? QWUSB_KIND_KERNEL : QWUSB_KIND_LIBUSB);
  if (handle == nullptr)
    return cErrResource;
  cErr err = qwusb_open_quillwork_device(handle, serial);
  if (err != cErrNone) {
    qwusb_destroy(&handle);
    return err;
  }
  UsbStreamRecord *record = new (std::nothrow) UsbStreamRecord{serialNumber, handle, kUsbStreamCheck};
  cStream *s = record != nullptr ? cStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, record) : nullptr;
  if (s == nullptr) {
    qwusb_close_quillwork_device(handle);
    qwusb_destroy(&handle);
    delete record;
    return cErrMemory;
  }
  cStream_SetWake(s, sUsbWake);
  *stream = s;
  return cErrNone;
}
