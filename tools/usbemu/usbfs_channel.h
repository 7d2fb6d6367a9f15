/* The usbfs channel: how a host process's ioctls on an emulated USB device
 * node reach the emulated device.
 *
 * umockdev forwards an ioctl over a socket and then fetches and stores every
 * piece of the caller's memory it touches with a message of its own (a URB
 * and its buffer: four exchanges per transfer), all on the testbed's single
 * worker thread. The preloaded shim (host_preload.c) lives in the caller's
 * process, so it sends what the device needs with the request and stores
 * the answer itself: one exchange per ioctl, and the device (usb_module.cpp)
 * serves each open file of the node on a thread of its own.
 *
 * The device listens on "$UMOCKDEV_DIR/usbfs/BBB-DDD" (a Unix stream socket,
 * gone when the device is unplugged). The shim connects once per open file,
 * at its first usbfs ioctl, and closes the connection with the file: the
 * device sees the file closed, or its process ended however it ended, as the
 * kernel does, and lets the file's claims and transfers go.
 *
 * Every exchange is a request, then a reply, in host byte order (both ends
 * are on one machine):
 *   request: qwusbfs_request, then `length` bytes
 *   reply:   qwusbfs_reply, then `length` bytes
 * Payloads by ioctl:
 *   SUBMITURB         request: qwusbfs_urb, then the buffer for OUT and
 *                     control transfers (a control buffer starts with its
 *                     setup packet); reply: nothing
 *   REAPURB(NDELAY)   reply: qwusbfs_urb of the finished URB, then the bytes
 *                     to store at the start of its buffer
 *   DISCARDURB        request: the URB's id (uint64_t)
 *   CLAIMINTERFACE, RELEASEINTERFACE, DISCONNECT_CLAIM, CLEAR_HALT
 *                     request: the interface or endpoint (uint32_t)
 *   GET_CAPABILITIES  reply: the capabilities (uint32_t)
 *   others            nothing either way
 * A result of -1 comes with the errno in `error`. */
#ifndef QWUSBFS_CHANNEL_H
#define QWUSBFS_CHANNEL_H

#include <stdint.h>

#define QWUSBFS_CHANNEL_DIR "usbfs"
/* No buffer of a transfer is longer (the device refuses longer ones). */
#define QWUSBFS_MAX_PAYLOAD (1u << 20)

struct qwusbfs_request {
  uint32_t request; /* the ioctl's request number */
  uint32_t length;
};

struct qwusbfs_reply {
  int32_t result;
  int32_t error;
  uint32_t length;
  uint32_t reserved;
};

struct qwusbfs_urb {
  uint64_t id; /* the URB's address in the host process */
  uint8_t type;
  uint8_t endpoint;
  uint16_t reserved;
  int32_t buffer_length;
  int32_t status;
  int32_t actual_length;
};

#endif
