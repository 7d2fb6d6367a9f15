// Helpers shared by the Updater's operations (not part of its interface).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "store/UpdaterStore.h"

// Reads a decimal build number. Text that is not a valid 32-bit number logs
// "Error: Could not convert %s to int.\n" and gives 0.
uint32_t _build_number(const std::string &text);

// Opens the store below root; on failure reports it for the named operation
// and returns none.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display, const std::string &root,
                                                  const char *operation);

// Whether the server lists the build for the module.
bool _valid_build(uint32_t serial, uint32_t build, const std::string &url);
