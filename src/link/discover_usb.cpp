// USB discovery: the modules on the bus, through the shared libusb context.
#include <cctype>
#include <cstdlib>
#include <libusb.h>

#include "discover_internal.h"
#include "quillwork/qwusb_driver.h"
#include "qwusb_driver_internal.h"

namespace {

// Serial-number strings are exactly eight hexadecimal digits.
bool sParseSerial(const unsigned char *text, int length, uint32_t *serial) {
  if (length != 8)
    return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; i++) {
    if (!isxdigit(text[i]))
      return false;
    value = value << 4 | (uint32_t)(isdigit(text[i]) ? text[i] - '0' : (tolower(text[i]) - 'a' + 10));
  }
  *serial = value;
  return true;
}

} // namespace

int _enumerateUSB(cDiscoveryCallback callback, void *reference) {
  libusb_context *context = Quillwork_libusb_context();
  if (context == nullptr)
    return 0;
  libusb_device **list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0)
    return 0;
  int counted = 0;
  bool goOn = true;
  for (ssize_t i = 0; i < count && goOn; i++) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS || !is_quillwork_device(&descriptor) ||
        descriptor.iSerialNumber == 0)
      continue;
    libusb_device_handle *device = nullptr;
    int rc = libusb_open(list[i], &device);
    if (rc != LIBUSB_SUCCESS) {
      qwusb_note_open_failure(list[i], rc);
      continue;
    }
    unsigned char text[33];
    int length = libusb_get_string_descriptor_ascii(device, descriptor.iSerialNumber, text, 32);
    libusb_close(device);
    if (length >= 0) {
      text[length] = '\0';
      qwusb_remember_serial(list[i], reinterpret_cast<const char *>(text));
    }
    uint32_t serial;
    if (!sParseSerial(text, length, &serial))
      continue;
    linkSpec *spec = cLinkSpec_Create(linkTypeUSB);
    if (spec == nullptr)
      break;
    spec->serialNumber = serial;
    spec->model = descriptor.idProduct & 0xFF;
    spec->ipAddress = serial; // USB specs carry the serial number in this word
    bool wasCounted = false;
    goOn = callback(spec, &wasCounted, reference) != 0;
    if (wasCounted)
      counted++;
    cLinkSpec_Destroy(&spec);
  }
  libusb_free_device_list(list, 1);
  return counted;
}
