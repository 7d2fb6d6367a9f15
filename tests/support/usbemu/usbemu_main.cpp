// main() of the test programs that talk to USB modules emulated with
// umockdev: the preload must be in place from the start of the process, so a
// program started without it executes itself again under it (plain ctest
// works that way).
#include <cstdio>
#include <cstdlib>
#include <gmock/gmock.h>
#include <string>
#include <unistd.h>

#include "usb_module.h"

int main(int argc, char **argv) {
  if (!qwemu::UsbTestbed::preloaded()) {
    const char *preload = getenv("LD_PRELOAD");
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && *preload != '\0')
      value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    // AddressSanitizer insists on coming first among the preloaded libraries.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("re-executing under libumockdev-preload.so.0");
    return 1;
  }
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
