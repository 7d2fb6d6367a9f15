// A module on USB (or the i.MX boot ROM's HID device) that this user may not
// open is skipped like a missing one. The debug log says which device it was;
// the console says once per run, on standard error, what grants access,
// besides its usual messages ("No devices found." stays).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <hidapi.h>
#include <unistd.h>

#include "app/Log.h"
#include "app/UpdaterResults.h"
#include "quillwork/qwusb_driver.h"
#include "updater/UpdaterInternal.h"

namespace {

constexpr const char *kAccessHint =
    "A USB device is present but this user may not open it (permission denied): install the udev rule "
    "70-quillwork.rules, which gives the user at the seat access (uaccess), or add this user to a group that "
    "owns the device; then reload udev and plug the device in again.";

std::atomic<UpdaterDisplayInterface *> sDisplay{nullptr};
std::atomic<bool> sHinted{false};

void _hint_access(UpdaterDisplayInterface &display) {
  if (sHinted.exchange(true))
    return;
  if (display.results)
    display.results->hint(kAccessHint);
  display.message(UpdaterDisplayInterface::Error, "%s", kAccessHint);
}

void _usb_access_denied(uint8_t bus, uint8_t address, void *) {
  Log::log(DEBUG_Updater,
           "USB: permission denied opening the module on bus %03u device %03u. Install the udev rule "
           "70-quillwork.rules (package updater, or copy it to /etc/udev/rules.d), run "
           "\"udevadm control --reload\" and plug the module in again.\n",
           bus, address);
  if (UpdaterDisplayInterface *display = sDisplay.load())
    _hint_access(*display);
}

} // namespace

std::string _serial_text(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

void _report_usb_access_denials(UpdaterDisplayInterface *display) {
  sDisplay.store(display);
  qwusb_set_access_denied_proc(_usb_access_denied, nullptr);
}

void _forget_usb_access_display(UpdaterDisplayInterface *display) {
  UpdaterDisplayInterface *expected = display;
  sDisplay.compare_exchange_strong(expected, nullptr);
}

bool _hint_boot_rom_access(UpdaterDisplayInterface &display, uint16_t vid, uint16_t pid) {
  // hid_open says only that it failed: try the device nodes themselves. The
  // caller's HID loader has initialised hidapi and releases it.
  if (hid_init() != 0)
    return false;
  bool denied = false;
  hid_device_info *devices = hid_enumerate(vid, pid);
  for (hid_device_info *d = devices; d != nullptr && !denied; d = d->next) {
    if (d->path == nullptr)
      continue;
    int fd = open(d->path, O_RDWR | O_CLOEXEC);
    if (fd >= 0)
      close(fd);
    else if (errno == EACCES || errno == EPERM)
      denied = true;
  }
  hid_free_enumeration(devices);
  if (denied)
    _hint_access(display);
  return denied;
}
