// A module on USB that this user may not open is skipped by discovery like a
// missing one; the debug log says why and names the udev rule that grants
// access. The console messages stay as they are.
#include "app/Log.h"
#include "quillwork/qwusb_driver.h"
#include "updater/UpdaterInternal.h"

namespace {

void _usb_access_denied(uint8_t bus, uint8_t address, void *) {
  Log::log(DEBUG_Updater,
           "USB: permission denied opening the module on bus %03u device %03u. Install the udev rule "
           "70-quillwork.rules (package updater, or copy it to /etc/udev/rules.d), run "
           "\"udevadm control --reload\" and plug the module in again.\n",
           bus, address);
}

} // namespace

void _log_usb_access_denials() { qwusb_set_access_denied_proc(_usb_access_denied, nullptr); }
