// The program's dispatch: parse, print the version line, resolve the storage
// directory, construct the Updater, run the requested commands in their fixed
// order, and return the process status (0 or 1).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "updater/Updater.h"

using UpdaterFactory = std::function<std::unique_ptr<Updater>(
    const std::string &server_url, const std::string &storage_directory, UpdaterDisplayInterface &display)>;

// usage is where the usage text goes (the standard error stream in main);
// json is where the --json document goes (standard output in main).
int UpdaterMain(int argc, char *argv[], UpdaterDisplayInterface &display, FILE *usage, const UpdaterFactory &factory,
                FILE *json = stdout);
