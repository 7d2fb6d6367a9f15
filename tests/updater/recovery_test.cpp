// Recovery through a chip's boot ROM, end to end: the real program against
// the reference update server and, where a boot ROM answers, the simulated
// LPC boot ROM on a pseudo-terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "process.h"
#include "store/KeyValueStore.h"
#include "tempdir.h"
#include "update_server_fixture.h"

namespace fs = std::filesystem;
using birdwriter::Bytes;
using qwtest::Lines;
using qwtest::RunProcess;
using qwtest::TempDir;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
const std::string kNoPort = "/dev/qw-recovery-test-no-such-port";

bool hasLine(const std::string &text, const std::string &line) {
  for (const std::string &l : Lines(text))
    if (l == line)
      return true;
  return false;
}

// The default recovery loader image the server offers for device DEADDEAD.
Bytes loaderImage(uint32_t build) {
  birdwriter::Image image;
  image.Loader(0x20000000, birdwriter::SyntheticPayload(1500, 5));
  image.LoaderEntry(0x20000400);
  image.AddInfo({std::to_string(build), "1.0.0", "DEADDEAD", "QW-Loader"});
  return image.Pack();
}

class RecoveryServer : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(content / "devices/DEADDEAD");
    ASSERT_TRUE(birdwriter::WriteFileAtomically(content / "devices/DEADDEAD/77.bird", loaderImage(77)));
    ASSERT_TRUE(server.Start({content.path()})) << server.error();
  }

  qwtest::ProcessResult updater(std::vector<std::string> args, int timeoutMs = 60000) {
    args.insert(args.begin(), {kUpdater, "-i", store.path(), "-u", server.url()});
    return RunProcess(args, timeoutMs);
  }

  TempDir content, store;
  qwtest::UpdateServerProcess server;
};

} // namespace

// No LPC boot ROM answers on a port that does not open, so the i.MX path is
// taken: it fetches the default loader image without a word on the console
// (also over a directory left behind by a download that never completed)
// and then finds no boot ROM either.
TEST_F(RecoveryServer, MissingPortFetchesTheDefaultLoaderQuietlyAndFails) {
  fs::create_directories(store / "updater/DEADDEAD");
  auto n = updater({"-N", "-s", kNoPort});
  EXPECT_EQ(n.status, 1);
  EXPECT_EQ(Lines(n.out).size(), 1u) << n.out; // the version line only
  EXPECT_EQ(n.err, "Got no response from chip\n");
  EXPECT_EQ(qwtest::ReadFile(store / "updater/DEADDEAD/77.bird"),
            qwtest::ReadFile(content / "devices/DEADDEAD/77.bird"));
  EXPECT_EQ(KeyValueStore(store / "updater/DEADDEAD/.settings").GetString("LATEST_DOWNLOAD"), "77.bird");

  auto u = updater({"-U", "-t", "RECOVER", "-s", kNoPort});
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, "Could not get Device Identifier\n");
  EXPECT_EQ(u.out.find("Update time"), std::string::npos);

  // Without -s the fingerprint is not even tried.
  auto none = updater({"-N"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Must specify the serial port used for connecting\n");
}

// A loader file given with the default serial number cannot tell which
// module it is for; the boot ROM is not touched.
TEST_F(RecoveryServer, BirdFileWithTheDefaultSerialNumberIsRefused) {
  std::string file = store.write("loader.bird", std::string());
  ASSERT_TRUE(birdwriter::WriteFileAtomically(file, loaderImage(5)));
  const std::string refusal = "Add serial number or remove the bird filename to use a default recovery image.\n";
  auto n = updater({"-N", "-s", "USB", "-f", file});
  EXPECT_EQ(n.status, 1);
  EXPECT_EQ(n.err, refusal + "Got no response from chip\n");
  auto u = updater({"-U", "-t", "RECOVER", "-s", "USB", "-f", file});
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, refusal + "Could not get Device Identifier\n");
  EXPECT_FALSE(fs::exists(store / "updater/DEADDEAD/77.bird"));
}
