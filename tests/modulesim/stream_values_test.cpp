// Streamed values of the simulated module: at a set rate and on change, only
// while a host's stream key covers them, as literal sample bytes; and the
// same from the modulesim program's stream= setting.
#include <gtest/gtest.h>

#include "harness.h"
#include "process.h"
#include "tempdir.h"

using namespace simtest;
using namespace std::chrono_literals;
using modulesim::ModuleConfig;
using modulesim::StreamValue;

namespace {

const std::string kSim = std::string(QW_BINARY_DIR) + "/tools/modulesim/modulesim";

TEST(SimStreams, RateAndChangeValuesStreamOnlyWhileEnabled) {
  ModuleConfig c;
  c.streamValues = {{50, 5, 2, 0, 2, 40, 0x0102, 1}, {50, 6, 0, 3, 5, 0, 7, 0}};
  Harness h(c);
  h.module.setStreamValue(50, 6, 0, 3, 9);
  EXPECT_TRUE(h.drain(80ms).empty()) << "nothing streams before an enable";
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 50, 5, 2}, 5), (Bytes{0x04, 0x03, 0x5D, 0xC1, 0x00}));
  // 16-bit sample: address, length 15, command, option, stream bit | index,
  // type 2, timestamp, value, sequence byte 0; then one each period
  Bytes a = h.take(17), b = h.take(17);
  ASSERT_EQ(b.size(), 17u);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 6), (Bytes{0x04, 15, 50, 5, 0x42, 0x02}));
  EXPECT_EQ(Bytes(a.begin() + 14, a.end()), (Bytes{0x01, 0x02, 0x00}));
  EXPECT_EQ(Bytes(b.begin() + 14, b.end()), (Bytes{0x01, 0x03, 0x00}));
  auto ms = [](const Bytes &x) {
    uint64_t t = 0;
    for (int i = 6; i < 14; ++i)
      t = t << 8 | x[i];
    return t;
  };
  EXPECT_GE(ms(b), ms(a) + 30);
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 50, 0xFF, 0xFF}, 5).size(), 5u);
  h.drain(50ms);
  EXPECT_TRUE(h.drain(120ms).empty()) << "no samples after the disable";

  // On change, enabled by option wildcard: 8-bit with subindex (type 5).
  EXPECT_EQ(h.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 50, 0xFF, 0}, 5).size(), 5u);
  Bytes s = h.take(17);
  ASSERT_EQ(s.size(), 17u);
  EXPECT_EQ(Bytes(s.begin(), s.begin() + 7), (Bytes{0x04, 15, 50, 6, 0x40, 0x05, 0x03}));
  EXPECT_EQ(Bytes(s.begin() + 15, s.end()), (Bytes{9, 0x00}));
  h.module.setStreamValue(50, 6, 0, 3, 9);
  EXPECT_TRUE(h.drain(60ms).empty()) << "an unchanged value is not sent again";
  h.module.setStreamValue(50, 6, 0, 3, 10);
  EXPECT_EQ(h.take(17).at(15), 10);
}

TEST(SimStreams, ProgramStreamsAConfiguredValue) {
  qwtest::TempDir dir;
  std::string ready = dir / "ready";
  // Enable 02 32 05 02 over bash's /dev/tcp and read the acknowledgement and
  // the first sample.
  std::string script =
      "port=$(sed -n 's/.*tcp 127.0.0.2:\\([0-9]*\\)$/\\1/p' " + ready +
      "); exec 3<>/dev/tcp/127.0.0.2/$port; printf '\\002\\007\\135\\201\\040\\002\\062\\005\\002' >&3; "
      "head -c 22 <&3 | od -An -tx1";
  auto r = qwtest::RunProcess({kSim, "--tcp", "40F5849A,address=2,stream=50:5:2:2:20:258:1+50:6:0:1", "--ready-file",
                               ready, "--", "bash", "-c", script},
                              20000);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" 02 03 5d c1 00 02 0f 32 05 42 02"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" 01 02 00\n"), std::string::npos) << r.out;

  r = qwtest::RunProcess({kSim, "--tcp", "40F5849A,stream=50:5", "--", "true"}, 20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad stream \"50:5\""), std::string::npos) << r.err;
}

} // namespace
