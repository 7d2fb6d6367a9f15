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
    qwemu::UsbTestbed::reexecUnderPreload(argv);
    return 1;
  }
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
