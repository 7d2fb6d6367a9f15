// The modulesim program: modules from options and from a JSON file, a
// command run while they are up, its exit status, and refused input.
#include <gtest/gtest.h>

#include <fstream>

#include "process.h"
#include "tempdir.h"

namespace {
const std::string kSim = std::string(QW_BINARY_DIR) + "/tools/modulesim/modulesim";
}

TEST(SimProgram, RunsACommandWhileTcpAndSerialModulesAreUp) {
  qwtest::TempDir dir;
  std::string ready = dir / "ready";
  // The command talks to the TCP module with bash's /dev/tcp: a sync request
  // and a get of the serial number; od prints what came back.
  std::string script = "port=$(sed -n 's/.*tcp 127.0.0.2:\\([0-9]*\\)$/\\1/p' " + ready +
                       "); exec 3<>/dev/tcp/127.0.0.2/$port; printf '\\255\\000\\002\\003\\003\\111\\040' >&3; "
                       "head -c 11 <&3 | od -An -tx1; test -L " +
                       dir.path() + "/ttySIM.0000BEEF; exit 7";
  auto r =
      qwtest::RunProcess({kSim, "--tcp", "40F5849A,address=2,name=Hub,members=11111111", "--serial", "0000BEEF,model=5",
                          "--serial-dir", dir.path(), "--ready-file", ready, "--", "bash", "-c", script},
                         20000);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_NE(r.out.find("module 40F5849A address 2 model 17: tcp 127.0.0.2:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("module 11111111 address 4 model 17: on the I2C network of 40F5849A"), std::string::npos);
  EXPECT_NE(r.out.find("module 0000BEEF address 2 model 5: serial " + dir.path() + "/ttySIM.0000BEEF"),
            std::string::npos);
  EXPECT_NE(r.out.find(" 02 00 02 07 03 09 00 40 f5 84 9a"), std::string::npos) << r.out;
}

TEST(SimProgram, ModulesFromAJsonFile) {
  qwtest::TempDir dir;
  std::string config = dir.write("sim.json", R"({"modules": [
      {"transport": "tcp", "serial": "00ABCDEF", "model": 9, "version": "2.16.1", "build": 77,
       "members": [{"serial": "00000042", "address": 10}]}]})");
  auto r = qwtest::RunProcess({kSim, "-c", config, "--", "true"}, 20000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("module 00ABCDEF address 2 model 9: tcp 127.0.0.2:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("module 00000042 address 10 model 17: on the I2C network of 00ABCDEF"), std::string::npos)
      << r.out;
}

TEST(SimProgram, RefusesBadModuleDescriptions) {
  auto r = qwtest::RunProcess({kSim, "--tcp", "40F5849A,address=3", "--", "true"}, 20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad address \"3\""), std::string::npos) << r.err;
  r = qwtest::RunProcess({kSim, "--tcp", "XYZ", "--", "true"}, 20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad serial \"XYZ\""), std::string::npos) << r.err;
  r = qwtest::RunProcess({kSim, "--", "true"}, 20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no modules given"), std::string::npos);
}

// Faults from the command line, and -v telling the protocol violations: a
// WRITE outside a block is refused (and reported), then the module freezes
// after the host's second packet and answers nothing more.
TEST(SimProgram, FaultOptionsAndViolationsOnTheCommandLine) {
  qwtest::TempDir dir;
  std::string ready = dir / "ready";
  std::string script = "port=$(sed -n 's/.*tcp 127.0.0.2:\\([0-9]*\\)$/\\1/p' " + ready +
                       "); exec 3<>/dev/tcp/127.0.0.2/$port; printf '\\002\\004\\137\\005\\000\\001' >&3; "
                       "head -c 5 <&3 | od -An -tx1; printf '\\255\\000\\002\\003\\003\\111\\040' >&3; "
                       "timeout 1 dd bs=1 count=11 status=none <&3 | od -An -tx1; exit 0";
  auto r = qwtest::RunProcess({kSim, "-v", "--tcp", "40F5849A,address=2", "--freeze-after", "2", "--ready-file", ready,
                               "--", "bash", "-c", script},
                              20000);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" 02 03 5f 07 01\n"), std::string::npos) << r.out; // WRITE refused
  EXPECT_NE(r.out.find(" 02 00\n"), std::string::npos) << r.out;          // the sync answer, then nothing
  EXPECT_EQ(r.out.find("40 f5 84 9a"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("40F5849A: protocol violation: WRITE outside a prepared firmware block"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("40F5849A: frozen"), std::string::npos) << r.err;

  auto bad = qwtest::RunProcess({kSim, "--tcp", "40F5849A", "--late", "3", "--", "true"}, 20000);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("bad --late \"3\""), std::string::npos) << bad.err;
}
