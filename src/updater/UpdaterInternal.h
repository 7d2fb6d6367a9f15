// Helpers shared by the Updater's operations (not part of its interface).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "quillwork/Module.h"
#include "store/UpdaterStore.h"
#include "updater/Updater.h"

// Reads a decimal build number. Text that is not a valid 32-bit number logs
// "Error: Could not convert %s to int.\n" and gives 0.
uint32_t _build_number(const std::string &text);

// Opens the store below root; on failure reports it for the named operation
// and returns none.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display, const std::string &root,
                                                  const char *operation);

// Whether the server lists the build for the module.
bool _valid_build(uint32_t serial, uint32_t build, const std::string &url);

// Switches a module's networking off (no link server, no transport fallback)
// before it is connected; reports a failure.
cErr _disableEther(Corvatek::Quillwork::Module &module, UpdaterDisplayInterface &display);

// From now on a module on USB that cannot be opened for lack of permission is
// reported: in the debug log (bus and device), and once per run on the
// display's error stream with the remedy (the udev rule, uaccess or a group).
void _report_usb_access_denials(UpdaterDisplayInterface *display);
// The display is going: reports no longer go to it (another one stays).
void _forget_usb_access_display(UpdaterDisplayInterface *display);
// After the i.MX boot ROM's HID device did not open: when a device with these
// IDs is there but this user may not open it, the display says so (the same
// hint, once per run).
// True (and the access hint shown) when the boot ROM's HID device is present
// but this user may not open it.
bool _hint_boot_rom_access(UpdaterDisplayInterface &display, uint16_t vid, uint16_t pid);

// A serial number as 8 hexadecimal digits.
std::string _serial_text(uint32_t serial);

// Identification of a connected module.
uint32_t _get_build_number(Corvatek::Quillwork::Module &module);
cErr _get_version(Corvatek::Quillwork::Module &module, DeviceInfo &info);
cErr _get_device_name(Corvatek::Quillwork::Module &module, DeviceInfo &info);

// The transport on which a module is attached (USB first, then TCP/IP); 0
// when it is not found.
linkType _discover_link_type(uint32_t serial);

// Writes the image's firmware blocks through a connected module's upgrade
// protocol (retrying each block), then has the module reboot. A cErr code.
cErr _transfer_firmware(UpdaterDisplayInterface &display, Corvatek::Quillwork::Module &module, BirdFile &file,
                        bool routed, bool ueiBytes);
