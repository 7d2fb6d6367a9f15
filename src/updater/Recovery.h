// The steps of recovery through a chip's boot ROM (the Updater's
// Get_Fingerprint and Recover_Firmware run them in order). Kept apart so that
// tests can drive one step at a time.
#pragma once

#include <cstdint>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "quillwork/cErr.h"
#include "store/BirdFile.h"
#include "updater/Updater.h"

// Reads the unique serial number of an LPC chip through its boot ROM. With
// sent, the number of bytes it put on the line is stored there, whatever
// the result.
bool _get_fingerprint_lpc(const std::string &port, uint32_t baud_rate, Fingerprint &fingerprint,
                          size_t *sent = nullptr);

// Starts the recovery loader through the i.MX boot ROM, finds the loader's
// module on USB and reads the chip identifier from it; resets the module
// afterwards when asked to.
bool _get_fingerprint_imx(UpdaterDisplayInterface &display, Updater &updater, const std::string &port, uint32_t serial,
                          const std::string &bird_file, Fingerprint &fingerprint, bool reset_after,
                          size_t strayBytes = 0);

// Writes the loader blocks of the image into the i.MX chip's RAM through its
// boot ROM ("USB" for the HID boot device, else a serial device path) and
// starts the loader. strayBytes: bytes of another protocol already sent on
// that serial line (the LPC probe), which the boot ROM holds as the start of
// a command. A cErr code.
cErr _transfer_recovery_loader(UpdaterDisplayInterface &display, BirdFile &image, const std::string &port,
                               size_t strayBytes = 0);

// Programs the (already de-scrambled) firmware blocks into an LPC chip's flash
// through its boot ROM and starts them.
bool _recover_firmware_lpc(UpdaterDisplayInterface &display, BirdFile &image, const std::string &port,
                           uint32_t baud_rate);

// Writes the firmware blocks through the recovery loader running on an i.MX
// module, which speaks the module's own upgrade protocol.
bool _recover_firmware_imx(UpdaterDisplayInterface &display, BirdFile &image, uint32_t serial, bool uei_bytes);
