#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"

Updater::Updater(const std::string &url, const std::string &directory, UpdaterDisplayInterface &d)
    : server_url(url), storage_directory(directory), display(d) {
  _log_usb_access_denials();
}

Updater::~Updater() = default;

void Updater::notAvailable(const char *command) {
  display.message(UpdaterDisplayInterface::Error, "The %s command is not available yet", command);
}

bool Updater::Get_Fingerprint(Fingerprint &, const std::string &, uint32_t, const std::string &, uint32_t, bool) {
  notAvailable("fingerprint (-N)");
  return false;
}

bool Updater::Recover_Firmware(const std::string &, uint32_t, uint32_t, uint32_t, const std::string &, bool) {
  notAvailable("recovery (-U -t RECOVER)");
  return false;
}
