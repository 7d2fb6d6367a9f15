#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"

Updater::Updater(const std::string &url, const std::string &directory, UpdaterDisplayInterface &d)
    : server_url(url), storage_directory(directory), display(d) {
  _report_usb_access_denials(&display);
}

// The display goes with the Updater: no more reports to it.
Updater::~Updater() { _forget_usb_access_display(&display); }
