// USB transport driver: opens one module by its serial number and moves bytes
// to and from it. Two back ends sit behind one set of functions: libusb (the
// module's vendor-specific interface with bulk endpoints) and the maker's
// kernel driver, which presents each module as the character device
// "/dev/quillwork.%08X".
//
// A handle has no lock: one thread may read while another writes (the two
// directions use separate endpoints and fields; the state and the error count
// are atomic).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cErr.h"

struct libusb_context;
struct libusb_device_descriptor;

// The maker's USB vendor ID: one build setting (QW_USB_VENDOR_ID).
#ifndef QW_USB_VENDOR_ID
#error "QW_USB_VENDOR_ID must be defined by the build"
#endif
#define QUILLWORK_VENDOR_ID ((uint16_t)(QW_USB_VENDOR_ID))

// The link interface of a module: vendor specific, subclass 0x88, protocol 0x10.
#define QUILLWORK_INTERFACE_CLASS 0xFFu
#define QUILLWORK_INTERFACE_SUBCLASS 0x88u
#define QUILLWORK_INTERFACE_PROTOCOL 0x10u

// Back-end kinds.
#define QWUSB_KIND_KERNEL 0u
#define QWUSB_KIND_LIBUSB 1u

// Handle states.
#define QWUSB_STATE_UNINITIALISED 0u
#define QWUSB_STATE_CREATED 1u
#define QWUSB_STATE_CLOSED 2u
#define QWUSB_STATE_OPENED 3u
#define QWUSB_STATE_READY 4u
#define QWUSB_STATE_FAILED 5u

// Sizes and time-outs of the libusb back end.
#define QWUSB_RECEIVE_SIZE 1024
#define QWUSB_READ_TIMEOUT_MS 1000u
#define QWUSB_WRITE_TIMEOUT_MS 50u
#define QWUSB_MAX_WRITE_FAILURES 10
// Consecutive I/O errors that are hidden before the handle fails.
#define QWUSB_TOLERATED_ERRORS 4

// Kernel back end: the node name within the node directory ("/dev").
#define QWUSB_KERNEL_NODE_FORMAT "quillwork.%s"
#define QWUSB_KERNEL_WRITE_CALLS 1000

typedef struct qwusb_device qwusb_device;

// The process-wide libusb context, made on first use (or after an exit).
libusb_context *Quillwork_libusb_context(void);
libusb_context *Quillwork_libusb_init(void);
// Shuts the shared context down; the next use makes a new one. No reference
// counting: call it only when no USB handle is open.
void Quillwork_libusb_exit(void);

// True for the maker's vendor ID with a product ID below 0x8000.
bool is_quillwork_device(const libusb_device_descriptor *descriptor);

// True if the kernel driver's node for that serial number exists.
bool qwusb_is_kernel_driver_installed(uint32_t serialNumber);
// Directory that holds the kernel driver's nodes; null restores "/dev". The
// text is copied. cErrParam for an empty or over-long text.
cErr qwusb_set_kernel_node_directory(const char *directory);

qwusb_device *qwusb_create_usb(uint32_t kind);
cErr qwusb_open_quillwork_device(qwusb_device *handle, const char *serial);
cErr qwusb_write_to_device(qwusb_device *handle, const uint8_t *data, size_t length);
cErr qwusb_get_from_device(qwusb_device *handle, uint8_t *byte);
cErr qwusb_close_quillwork_device(qwusb_device *handle);
cErr qwusb_destroy(qwusb_device **handle);
// Makes a get that waits for IN data (or the next get) return cErrNotReady at
// once, keeping any bytes that had arrived; for a stopping link's reader.
void qwusb_wake(qwusb_device *handle);

// The handle's state (QWUSB_STATE_...); QWUSB_STATE_UNINITIALISED for null.
uint32_t qwusb_get_state(const qwusb_device *handle);
