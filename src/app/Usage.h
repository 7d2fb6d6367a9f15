// The usage texts, the version and copyright lines, and the small console
// formatters of the command line.
#pragma once

#include <cstdio>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "server/UpdateServerRequest.h"

struct Fingerprint;

#define UPDATER_APP_NAME "Updater"
#define UPDATER_VERSION_TEXT "Version: 2.12.2 Mar 13 2026"

// Writes the short usage text; when full, the parameters text, then (when also
// extended) the extended text, then the samples text.
void _display_usage(bool extended, bool full, FILE *stream = stderr);

void _display_app_version(UpdaterDisplayInterface &display);
void _display_copyright(UpdaterDisplayInterface &display);
void _display_builds(UpdaterDisplayInterface &display, const BuildList &builds, uint32_t serial);
void _display_fingerprint(UpdaterDisplayInterface &display, const Fingerprint &fingerprint);
void _display_jwt(UpdaterDisplayInterface &display, const std::string &token);
