// Downloads, build lists and tokens: the real program against the reference
// update server on a free loopback port.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "json_schema.h"
#include "process.h"
#include "recording_display.h"
#include "store/KeyValueStore.h"
#include "tempdir.h"
#include "update_server_fixture.h"
#include "updater/Updater.h"

namespace fs = std::filesystem;
using qwtest::Lines;
using qwtest::RunProcess;
using qwtest::TempDir;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
constexpr uint32_t kSerial = 0x40F5849A;
const std::string kSerialText = "40F5849A";

// A small firmware image with the given build and version in its info block.
birdwriter::Bytes firmwareFile(const std::string &build, const std::string &version) {
  birdwriter::Image image;
  image.Firmware(0x00010000, birdwriter::Bytes(300, 0x5A));
  image.AddInfo({build, version, kSerialText, "QW-Hub4"});
  return image.Pack();
}

class Retrieval : public ::testing::Test {
protected:
  void SetUp() override {
    deviceDir = content / ("devices/" + kSerialText);
    fs::create_directories(deviceDir);
    addBuild("1000", "2.9.0");
    addBuild("1100", "2.10.1");
    addBuild("1050", "2.10.0");
    std::ofstream(deviceDir + "/device.conf") << "build=1100\n";
    std::ofstream(deviceDir + "/token.jwt") << "eyJhbGciOi.eyJmZWF0dXJlcyI6.c2lnbmF0dXJl\n";
    ASSERT_TRUE(server.Start({content.path()})) << server.error();
  }

  void addBuild(const std::string &build, const std::string &version) {
    ASSERT_TRUE(birdwriter::WriteFileAtomically(deviceDir + "/" + build + ".bird", firmwareFile(build, version)));
  }

  qwtest::ProcessResult updater(std::vector<std::string> args) {
    args.insert(args.begin(), {kUpdater, "-i", store.path(), "-u", server.url()});
    return RunProcess(args, 30000);
  }

  std::string storedDevice() const { return store / ("updater/" + kSerialText); }

  TempDir content, store;
  std::string deviceDir;
  qwtest::UpdateServerProcess server;
};

} // namespace

TEST_F(Retrieval, ServerBuildListNewestFirst) {
  auto r = updater({"-B", "-d", kSerialText});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 7u) << r.out;
  EXPECT_EQ(lines[1], "Build List for device [40F5849A]:");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "Build          \tVersion        ");
  EXPECT_EQ(lines[4], "1100           \t2.10.1         ");
  EXPECT_EQ(lines[5], "1050           \t2.10.0         ");
  EXPECT_EQ(lines[6], "1000           \t2.9.0          ");
}

TEST_F(Retrieval, GetStoresTheServersBuildAndRecordsIt) {
  auto r = updater({"-G", "-d", kSerialText});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  std::vector<std::string> expected = {"Retrieving firmware for device with serial number 40F5849A",
                                       "No build specified",
                                       "Using Latest build",
                                       "Retrieving build 1100",
                                       "Validating build 1100 with server",
                                       "Build 1100 is valid"};
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 7), expected);
  EXPECT_EQ(qwtest::ReadFile(storedDevice() + "/1100.bird"), qwtest::ReadFile(deviceDir + "/1100.bird"));
  KeyValueStore settings(storedDevice() + "/.settings");
  EXPECT_EQ(settings.GetString("LATEST_DOWNLOAD"), "1100.bird");
  EXPECT_FALSE(settings.GetString("LAST_DOWNLOAD_DATE").empty());

  // The local list then shows the stored build with the version from the file.
  auto local = updater({"-L", "-d", kSerialText});
  EXPECT_EQ(local.status, 0);
  std::vector<std::string> l = Lines(local.out);
  ASSERT_EQ(l.size(), 5u) << local.out;
  EXPECT_EQ(l[4], "1100           \t2.10.1         ");
}

TEST_F(Retrieval, GetRefusesAnUnlistedBuildUnlessOverridden) {
  auto r = updater({"-G", "-d", kSerialText, "-b", "999"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No valid build 999\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(storedDevice() + "/999.bird"));

  // -OVERRIDE skips the check; the server has no such file, so nothing lands.
  auto o = updater({"-G", "-d", kSerialText, "-b", "999", "-OVERRIDE"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("Override specified, skipping validation of build 999\n"), std::string::npos);
  EXPECT_NE(o.err.find("Download failed\n"), std::string::npos);
  EXPECT_NE(o.err.find("Failed to retrieve a valid BIRD file\n"), std::string::npos);

  auto b = updater({"-G", "-d", kSerialText, "-b", "1050"});
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_TRUE(fs::exists(storedDevice() + "/1050.bird"));
}

// A body that is not a loadable BIRD file (cut short, or something else
// entirely) is a failed download: the stored build and the settings stay.
TEST_F(Retrieval, ABrokenDownloadKeepsTheStoredBuild) {
  ASSERT_EQ(updater({"-G", "-d", kSerialText, "-b", "1100"}).status, 0);
  std::string stored = qwtest::ReadFile(storedDevice() + "/1100.bird");
  std::string settings = qwtest::ReadFile(storedDevice() + "/.settings");
  ASSERT_FALSE(stored.empty());
  std::string good = qwtest::ReadFile(deviceDir + "/1100.bird");
  for (const std::string &body : {good.substr(0, good.size() - 9), std::string("<html>not found</html>\n")}) {
    std::ofstream(deviceDir + "/1100.bird", std::ios::binary | std::ios::trunc) << body;
    auto r = updater({"-G", "-d", kSerialText, "-b", "1100", "-OVERRIDE"});
    EXPECT_EQ(r.status, 1) << body.size();
    EXPECT_NE(r.err.find("Failed to retrieve a valid BIRD file\n"), std::string::npos) << r.err;
    EXPECT_EQ(qwtest::ReadFile(storedDevice() + "/1100.bird"), stored);
    EXPECT_EQ(qwtest::ReadFile(storedDevice() + "/.settings"), settings);
  }
}

TEST_F(Retrieval, TokenIsPrinted) {
  auto r = updater({"-J", "-d", kSerialText});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Lines(r.out).back(), "eyJhbGciOi.eyJmZWF0dXJlcyI6.c2lnbmF0dXJl");
}

TEST_F(Retrieval, UnknownDeviceAndDeadServer) {
  auto unknown = updater({"-B", "-d", "12AB"});
  EXPECT_EQ(unknown.status, 0);
  EXPECT_NE(unknown.err.find("Failed to retrieve builds for 000012AB\n"), std::string::npos);
  EXPECT_NE(unknown.out.find("No builds found for device [000012AB]\n"), std::string::npos);

  std::string url = server.url();
  server.Stop();
  auto dead = RunProcess({kUpdater, "-i", store.path(), "-u", url, "-G", "-d", kSerialText}, 30000);
  EXPECT_EQ(dead.status, 1);
  EXPECT_NE(dead.err.find("Server request failed for " + url + "\n"), std::string::npos);
  auto token = RunProcess({kUpdater, "-i", store.path(), "-u", url, "-J", "-d", kSerialText}, 30000);
  EXPECT_EQ(token.status, 0);
  EXPECT_NE(token.err.find("Server request failed for " + url + "\n"), std::string::npos);
}

TEST(RetrievalLocal, EntriesWithoutVersionsAndADamagedFile) {
  TempDir store;
  std::string dir = store / ("updater/" + kSerialText);
  fs::create_directories(dir);
  ASSERT_TRUE(birdwriter::WriteFileAtomically(dir + "/12345.bird", firmwareFile("12345", "2.10.3")));
  std::ofstream(dir + "/notes.txt") << "hello";
  // A file with a sound header whose body does not inflate.
  std::ofstream(dir + "/777.bird", std::ios::binary) << std::string("bird\x01\x01garbage-body", 17);
  qwtest::RecordingDisplay display;
  Updater u("http://127.0.0.1:9/cgi/u", store / "updater", display);
  BuildList builds = u.Get_BuildListLocal(kSerial);
  EXPECT_EQ(builds, (BuildList{{"12345", "2.10.3"}, {"777", ""}, {"notes.txt", ""}}));
}

// --json: the lists, the token and the download as members of the document,
// valid against the schema, for success and failure.
TEST_F(Retrieval, JsonResults) {
  using nlohmann::ordered_json;
  auto b = updater({"--json", "-B", "-d", kSerialText});
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.err, "");
  ordered_json builds = qwtest::ExpectJsonResult(b);
  EXPECT_EQ(builds["server_builds"], ordered_json::parse(R"({"ok": true, "serial": "40F5849A", "builds": [
      {"build": "1100", "version": "2.10.1"}, {"build": "1050", "version": "2.10.0"},
      {"build": "1000", "version": "2.9.0"}]})"));

  auto j = updater({"--json", "-J", "-d", kSerialText});
  EXPECT_EQ(qwtest::ExpectJsonResult(j)["token"],
            ordered_json::parse(
                R"({"ok": true, "serial": "40F5849A", "token": "eyJhbGciOi.eyJmZWF0dXJlcyI6.c2lnbmF0dXJl"})"));

  auto g = updater({"--json", "-G", "-d", kSerialText});
  EXPECT_EQ(g.status, 0) << g.err;
  ordered_json got = qwtest::ExpectJsonResult(g)["get"];
  EXPECT_EQ(got["ok"], true);
  EXPECT_EQ(got["build"], 1100);
  EXPECT_EQ(got["path"], storedDevice() + "/1100.bird");
  EXPECT_TRUE(fs::exists(got["path"].get<std::string>()));

  auto l = updater({"--json", "-L", "-d", kSerialText});
  EXPECT_EQ(qwtest::ExpectJsonResult(l)["local_builds"]["builds"],
            ordered_json::parse(R"([{"build": "1100", "version": "2.10.1"}])"));

  // Failures: a build the server does not list, a module it does not know.
  auto missing = updater({"--json", "-G", "-d", kSerialText, "-b", "999"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "No valid build 999\n");
  ordered_json failed = qwtest::ExpectJsonResult(missing);
  EXPECT_EQ(failed["get"], ordered_json::parse(R"({"ok": false, "message": "No valid build 999"})"));
  auto unknown = updater({"--json", "-B", "-d", "11111111"});
  EXPECT_EQ(unknown.status, 0);
  ordered_json none = qwtest::ExpectJsonResult(unknown)["server_builds"];
  EXPECT_EQ(none["ok"], false);
  EXPECT_EQ(none["message"], "Failed to retrieve builds for 11111111");
  auto noToken = updater({"--json", "-J", "-d", "11111111"});
  EXPECT_EQ(qwtest::ExpectJsonResult(noToken)["token"]["message"], "Failed to retrieve jwt for 11111111");
}
