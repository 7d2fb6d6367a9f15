#include <cstdio>

#include "app/CLI_Display.h"
#include "app/Log.h"
#include "app/UpdaterMain.h"

int main(int argc, char *argv[]) {
  CLI_Display display;
  Log::SetOutput(stderr);
  return UpdaterMain(argc, argv, display, stderr,
                     [](const std::string &url, const std::string &directory, UpdaterDisplayInterface &d) {
                       return std::make_unique<Updater>(url, directory, d);
                     });
}
