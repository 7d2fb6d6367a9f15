// The i.MX boot ROM's HID device that this user may not open (no udev rule
// grants access): the loader reports failure as for a missing device, and the
// debug log says why and names the udev rule to install.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <glob.h>
#include <string>

#include "imxsim/Simulator.h"
#include "log_capture.h"
#include "quillwork/qwusb_driver.h"
#include "recovery/HID_SDPLoader.h"
#include "usb_module.h"
#include "without_file_override.h"

namespace {

// The file behind the emulated hidraw node (a link to the simulator's terminal).
std::string hidrawTarget(const qwemu::UsbTestbed &bed) {
  std::string pattern = bed.rootDir() + "/dev/hidraw*";
  glob_t found{};
  std::string target;
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc == 1) {
    char resolved[PATH_MAX];
    if (realpath(found.gl_pathv[0], resolved) != nullptr)
      target = resolved;
  }
  globfree(&found);
  return target;
}

bool openBootRom() {
  qwtest::WithoutFileOverride noOverride;
  HID_SDPLoader loader(IMX1050::VID, IMX1050::PID);
  return loader.init();
}

} // namespace

TEST(HidAccess, DeviceWithoutPermissionIsNamedInTheDebugLogWithTheUdevRule) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    imxsim::Simulator sim(bed);
    ASSERT_TRUE(sim.ok());
    const std::string node = hidrawTarget(bed);
    ASSERT_FALSE(node.empty());
    struct stat before {};
    ASSERT_EQ(stat(node.c_str(), &before), 0);

    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    bool opened;
    std::string log;
    {
      qwtest::LogCapture capture(DEBUG_iMXSerial);
      opened = openBootRom();
      log = capture.text();
    }
    ASSERT_EQ(chmod(node.c_str(), before.st_mode & 07777), 0);
    EXPECT_FALSE(opened);
    EXPECT_NE(log.find("Permission denied"), std::string::npos) << log;
    EXPECT_NE(log.find("Install the udev rule 70-quillwork.rules"), std::string::npos) << log;

    // With access the same device opens and the rule is not mentioned.
    qwtest::LogCapture capture(DEBUG_iMXSerial);
    EXPECT_TRUE(openBootRom());
    EXPECT_EQ(capture.text().find("70-quillwork.rules"), std::string::npos) << capture.text();
  }
  Quillwork_libusb_exit();
}
