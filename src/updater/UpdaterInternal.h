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

// From now on the debug log reports modules on USB that cannot be opened for
// lack of permission, naming the udev rule to install.
void _log_usb_access_denials();

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
