#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"

Updater::Updater(const std::string &url, const std::string &directory, UpdaterDisplayInterface &d)
    : server_url(url), storage_directory(directory), display(d) {
  _log_usb_access_denials();
}

Updater::~Updater() = default;
