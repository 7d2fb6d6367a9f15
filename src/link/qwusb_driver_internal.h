// The USB driver's handle and the functions its two back ends share. Only the
// driver's own files (and its tests) include this.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "quillwork/qwusb_driver.h"

struct libusb_device_handle;
struct libusb_transfer;
struct libusb_device;

#define QWUSB_SERIAL_SIZE 256

struct qwusb_device {
  uint32_t kind;                       // QWUSB_KIND_LIBUSB or QWUSB_KIND_KERNEL
  char serial[QWUSB_SERIAL_SIZE];      // the serial text the device was opened with
  int descriptor;                      // kernel back end: open node, -1 when closed
  libusb_device_handle *usbHandle;     // libusb back end: open device, null when closed
  std::atomic<uint32_t> state;         // QWUSB_STATE_...; both directions may change it
  uint8_t interfaceNumber;             // the claimed interface
  uint8_t outEndpoint;                 // bulk (or interrupt) OUT endpoint address
  uint8_t inEndpoint;                  // bulk (or interrupt) IN endpoint address
  uint8_t receive[QWUSB_RECEIVE_SIZE]; // last IN transfer
  int available;                       // bytes of receive not yet handed out
  uint8_t *readPosition;               // next byte to hand out
  std::atomic<uint8_t> errorCount;     // consecutive I/O errors (saturates)
  uint16_t inMaxPacket;                // from the endpoint descriptors
  uint16_t outMaxPacket;
  // qwusb_wake: the IN transfer a get waits on (cancelled by a wake), and a
  // wake that came while no get was waiting (the next get returns at once).
  std::mutex wakeLock;
  libusb_transfer *pendingIn = nullptr;
  bool wakeRequested = false;
};

// Direction of a transfer, for the error tolerance.
enum qwusb_direction { qwusbRead, qwusbWrite };

// Fills the interface number, endpoints and packet sizes of an opened libusb
// handle. A libusb result code; LIBUSB_ERROR_NO_DEVICE if an IN or an OUT
// endpoint is missing.
int find_usb_endpoints(qwusb_device *handle);

// The I/O error tolerance: anything but cErrIO clears the error count; the
// first QWUSB_TOLERATED_ERRORS cErrIO results in a row are hidden (a write
// reports cErrNone, a read cErrNotReady), later ones fail the handle.
cErr _handleErrorTolerance(qwusb_device *handle, cErr status, qwusb_direction direction);

// Back ends.
cErr qwusb_libusb_open(qwusb_device *handle, const char *serial);
cErr qwusb_libusb_write(qwusb_device *handle, const uint8_t *data, size_t length);
cErr qwusb_libusb_get(qwusb_device *handle, uint8_t *byte);
cErr qwusb_libusb_close(qwusb_device *handle);
void qwusb_libusb_wake(qwusb_device *handle);

cErr qwusb_kernel_open(qwusb_device *handle, const char *serial);
cErr qwusb_kernel_write(qwusb_device *handle, const uint8_t *data, size_t length);
cErr qwusb_kernel_get(qwusb_device *handle, uint8_t *byte);
cErr qwusb_kernel_close(qwusb_device *handle);

// A libusb_open of a module failed with rc: tells the access-denied procedure
// when the reason is a lack of permission.
void qwusb_note_open_failure(libusb_device *device, int rc);

// Serial-number strings read from devices, kept by bus number and device
// address, so that an open tries the device last seen with its serial number
// first instead of opening every module on the bus before its own. Only the
// order of the search depends on them: the open still reads and checks the
// serial number (a re-plugged device gets a new address).
void qwusb_remember_serial(libusb_device *device, const char *serial);
bool qwusb_recalls_serial(libusb_device *device, const char *serial);

// Path of the kernel node for a serial text; false if it does not fit.
bool qwusb_kernel_node_path(const char *serial, char *path, size_t size);
