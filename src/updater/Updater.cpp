#include "updater/Updater.h"

Updater::Updater(const std::string &url, const std::string &directory, UpdaterDisplayInterface &d)
    : server_url(url), storage_directory(directory), display(d) {}

Updater::~Updater() = default;
