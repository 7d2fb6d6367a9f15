// A third-party SDP client against the simulated boot ROM: Debian's imx_uart
// (imx-usb-loader) loads an image over the pseudo-terminal. It speaks the
// older i.MX6 order (HAB right after WRITE_FILE), so the boot ROM is switched
// to it for this check; the command layout, the data path and the completion
// word are the same.
#include <gtest/gtest.h>

#include <filesystem>

#include "imxsim/BootRom.h"
#include "imxsim/PtyTransport.h"
#include "process.h"
#include "tempdir.h"

using namespace imxsim;
using Bytes = std::vector<uint8_t>;

TEST(ImxSimImxUart, ThirdPartyClientLoadsAnImage) {
  const char *tool = "/usr/bin/imx_uart";
  if (!std::filesystem::exists(tool))
    GTEST_SKIP() << "imx_uart (imx-usb-loader) is not installed; scripts/setup installs it";
  qwtest::TempDir dir;
  std::string image(3000, '\0');
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = char(i * 37 + (i >> 7));
  dir.write("image.bin", image);
  dir.write("sim.conf",
            "sim\nhid,1024,0x910000,0x10000000,1G,0x00900000,0x40000\n" + (dir / "image.bin") + ":load 0x20000000\n");

  BootRomConfig c;
  c.order = Order::IMX6;
  BootRom rom(c);
  PtyTransport pty(rom, 0, dir / "tty");
  ASSERT_TRUE(pty.ok()) << pty.error();

  auto r = qwtest::RunProcess({tool, "-n", dir / "tty", dir / "sim.conf"}, 20000);
  ASSERT_FALSE(r.timedOut);
  // imx_uart exits 0 whatever the status: its words tell (on either stream).
  std::string said = r.out + r.err;
  EXPECT_NE(said.find("association phase succeeded, response was 0x23454523"), std::string::npos) << said;
  EXPECT_NE(said.find("succeeded (security 0x56787856, status 0x88888888)"), std::string::npos) << said;
  EXPECT_EQ(rom.ram(0x20000000, image.size()), Bytes(image.begin(), image.end()));
  EXPECT_EQ(rom.associations(), 1u);

  // Its WRITE_FILE: 04 04, the address and the byte count big-endian.
  bool seen = false;
  for (const Bytes &cmd : rom.commands())
    if (cmd[0] == 0x04) {
      seen = true;
      EXPECT_EQ(Bytes(cmd.begin(), cmd.begin() + 7), (Bytes{0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x00}));
      EXPECT_EQ(Bytes(cmd.begin() + 7, cmd.begin() + 11), (Bytes{0x00, 0x00, 0x0B, 0xB8}));
    }
  EXPECT_TRUE(seen);
}

TEST(ImxSimImxUart, ProgramRunsACommandAgainstItsBootRom) {
  const char *tool = "/usr/bin/imx_uart";
  std::string program = std::string(QW_BINARY_DIR) + "/tools/imxsim/imxsim";
  if (!std::filesystem::exists(tool) || !std::filesystem::exists(program))
    GTEST_SKIP() << "imx_uart or the imxsim program is missing";
  qwtest::TempDir dir;
  dir.write("image.bin", std::string(1500, 'x'));
  dir.write("sim.conf",
            "sim\nhid,1024,0x910000,0x10000000,1G,0x00900000,0x40000\n" + (dir / "image.bin") + ":load 0x20001000\n");
  auto r = qwtest::RunProcess({program, "--pty", "--imx6-order", "--id", "DEADBEEF", "--link", dir / "tty",
                               "--ready-file", dir / "ready", "--", tool, "-n", dir / "tty", dir / "sim.conf"},
                              20000);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("boot rom 00000000DEADBEEF: serial " + (dir / "tty") + "\n", 0), 0u) << r.out;
  EXPECT_NE((r.out + r.err).find("status 0x88888888"), std::string::npos) << r.out << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "ready"));
}
