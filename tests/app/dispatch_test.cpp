#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/Parameters.h"
#include "app/UpdaterMain.h"
#include "quillwork/cDirectory.h"
#include "recording_display.h"
#include "tempdir.h"

using qwtest::RecordingDisplay;
using ::testing::_;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::SetArgReferee;

namespace {

class MockUpdater : public Updater {
public:
  using Updater::Updater;
  MOCK_METHOD(std::vector<DeviceInfo>, Discover_Devices, (linkType), (override));
  MOCK_METHOD(std::vector<DeviceInfo>, Discover_QWNetwork_Devices, (uint32_t, linkType), (override));
  MOCK_METHOD(bool, Update_Firmware, (uint32_t, uint32_t, const std::string &, uint8_t, uint32_t, bool), (override));
  MOCK_METHOD(uint32_t, Download_Firmware, (uint32_t, const std::string &, bool, bool), (override));
  MOCK_METHOD(BuildList, Get_BuildList, (uint32_t), (override));
  MOCK_METHOD(BuildList, Get_BuildListLocal, (uint32_t), (override));
  MOCK_METHOD(std::string, Get_JWT, (uint32_t), (override));
  MOCK_METHOD(bool, Get_Fingerprint,
              (Fingerprint &, const std::string &, uint32_t, const std::string &, uint32_t, bool), (override));
  MOCK_METHOD(bool, Recover_Firmware, (const std::string &, uint32_t, uint32_t, uint32_t, const std::string &, bool),
              (override));
  MOCK_METHOD(void, Set_UEIBytes_Load, (bool), (override));
};

class Dispatch : public ::testing::Test {
protected:
  // Runs the dispatch with the given words; the mock is set up by `expect`
  // once the Updater is made.
  int run(
      std::initializer_list<const char *> words,
      const std::function<void(MockUpdater &)> &expect = [](MockUpdater &) {}) {
    std::vector<std::string> storage{"updater", "-i", dir.path()};
    for (const char *w : words)
      storage.emplace_back(w);
    std::vector<char *> argv;
    for (std::string &s : storage)
      argv.push_back(s.data());
    argv.push_back(nullptr);
    char *buffer = nullptr;
    size_t length = 0;
    FILE *usageStream = open_memstream(&buffer, &length);
    int status = UpdaterMain(static_cast<int>(storage.size()), argv.data(), display, usageStream,
                             [&](const std::string &url, const std::string &directory, UpdaterDisplayInterface &d) {
                               made = true;
                               madeUrl = url;
                               madeDirectory = directory;
                               auto m = std::make_unique<::testing::StrictMock<MockUpdater>>(url, directory, d);
                               expect(*m);
                               return m;
                             });
    fclose(usageStream);
    usage.assign(buffer, length);
    free(buffer);
    return status;
  }

  std::vector<std::string> infos() const { return display.texts(UpdaterDisplayInterface::Info); }
  std::vector<std::string> errors() const { return display.texts(UpdaterDisplayInterface::Error); }

  qwtest::TempDir dir;
  RecordingDisplay display;
  std::string usage;
  bool made = false;
  std::string madeUrl, madeDirectory;
};

const char *kVersion = "Updater (Version: 2.12.2 Mar 13 2026)";

} // namespace

TEST_F(Dispatch, ParameterFailureShowsShortUsageAndNoUpdater) {
  EXPECT_EQ(run({"-d", "12G4", "-U"}), 1);
  EXPECT_FALSE(made);
  ASSERT_GE(display.messages.size(), 3u);
  EXPECT_EQ(display.messages[0].text, "Invalid serial number obtained from argument [12G4]");
  EXPECT_EQ(display.messages[1].text, kVersion);
  EXPECT_NE(usage.find("Application Usage:"), std::string::npos);
  EXPECT_EQ(usage.find("Parameters to commands"), std::string::npos);
}

TEST_F(Dispatch, NoCommandShowsUsageWithStatusZero) {
  EXPECT_EQ(run({"-d", "40F5849A"}), 0);
  EXPECT_FALSE(made);
  EXPECT_EQ(infos().front(), kVersion);
  EXPECT_NE(usage.find("Application Usage:"), std::string::npos);
}

TEST_F(Dispatch, StorageDirectoryIsCreatedBelowTheGivenOne) {
  // -C, -I and -Z are commands without an action of their own.
  EXPECT_EQ(run({"-C", "-Z", "1"}), 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(run({"-I", "-d", "40F5849A"}), 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(madeDirectory, dir.path() + "/updater");
  EXPECT_TRUE(cDirectory_Exists(madeDirectory.c_str()));
  EXPECT_EQ(infos(), (std::vector<std::string>{kVersion, kVersion}));
}

TEST_F(Dispatch, StorageDirectoryThatCannotBeMadeFails) {
  std::string file = dir.write("plain", "x");
  std::vector<std::string> storage{"updater", "-i", file, "-D"};
  std::vector<char *> argv;
  for (std::string &s : storage)
    argv.push_back(s.data());
  FILE *sink = fopen("/dev/null", "w");
  int status = UpdaterMain(4, argv.data(), display, sink,
                           [&](const std::string &u, const std::string &d, UpdaterDisplayInterface &disp) {
                             made = true;
                             return std::make_unique<MockUpdater>(u, d, disp);
                           });
  fclose(sink);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(made);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Could not find updater directory at " + file + "/updater"}));
}

TEST_F(Dispatch, DiscoverWinsOverUpdate) {
  EXPECT_EQ(run({"-D", "-U", "-d", "40F5849A"},
                [](MockUpdater &m) {
                  EXPECT_CALL(m, Discover_Devices(linkTypeUSB)).WillOnce(Return(std::vector<DeviceInfo>{}));
                }),
            0);
  EXPECT_EQ(infos(), (std::vector<std::string>{kVersion, "Searching for Quillwork devices", "Discovered Devices: (USB)",
                                               "    No devices found."}));
}

TEST_F(Dispatch, DiscoverTransports) {
  EXPECT_EQ(run({"-D", "-t", "RECOVER"},
                [](MockUpdater &m) {
                  EXPECT_CALL(m, Discover_Devices(linkTypeUSB)).WillOnce(Return(std::vector<DeviceInfo>{}));
                }),
            0);
  EXPECT_EQ(run({"-D", "-t", "TCPIP"},
                [](MockUpdater &m) {
                  EXPECT_CALL(m, Discover_Devices(linkTypeTCPIP)).WillOnce(Return(std::vector<DeviceInfo>{}));
                }),
            0);
  display.messages.clear();
  EXPECT_EQ(
      run({"-D", "-r", "D272031D"},
          [](MockUpdater &m) {
            EXPECT_CALL(m, Discover_QWNetwork_Devices(0xD272031Du, 0u)).WillOnce(Return(std::vector<DeviceInfo>{}));
          }),
      0);
  EXPECT_EQ(infos()[1], "Searching for Quillwork Network devices connected to D272031D");
  EXPECT_EQ(infos()[2], "Discovered Devices: (Unknown)");
}

TEST_F(Dispatch, UpdateNeedsASerialOutsideRecovery) {
  EXPECT_EQ(run({"-d40F5849A", "-U"}, [](MockUpdater &m) { EXPECT_CALL(m, Set_UEIBytes_Load(true)); }), 1);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Must specify the specific device to be updated"}));
}

TEST_F(Dispatch, UpdatePassesItsArguments) {
  EXPECT_EQ(
      run({"-U", "-d", "40F5849A", "-b", "1234", "-f", "x.bird", "-r", "D272031D", "-OVERRIDE", "-m", "0"},
          [](MockUpdater &m) {
            InSequence s;
            EXPECT_CALL(m, Set_UEIBytes_Load(false));
            EXPECT_CALL(m, Update_Firmware(0x40F5849Au, 1234u, "x.bird", 0, 0xD272031Du, true)).WillOnce(Return(false));
          }),
      1);
  EXPECT_EQ(run({"-U", "-d", "40F5849A"},
                [](MockUpdater &m) {
                  EXPECT_CALL(m, Set_UEIBytes_Load(true));
                  EXPECT_CALL(m, Update_Firmware(0x40F5849Au, 0u, "", 0, 0u, false)).WillOnce(Return(true));
                }),
            0);
}

TEST_F(Dispatch, RecoveryTakesTheRecoverPath) {
  EXPECT_EQ(run({"-U", "-t", "RECOVER", "-s", "/dev/ttyX", "-o", "9600"},
                [](MockUpdater &m) {
                  EXPECT_CALL(m, Set_UEIBytes_Load(true));
                  EXPECT_CALL(m, Recover_Firmware("/dev/ttyX", 0u, 9600u, 0u, "", false)).WillOnce(Return(true));
                }),
            0);
}

TEST_F(Dispatch, GetThenUpdateUsesTheDownloadedBuild) {
  EXPECT_EQ(run({"-G", "-U", "-d", "40F5849A"},
                [](MockUpdater &m) {
                  InSequence s;
                  EXPECT_CALL(m, Download_Firmware(0x40F5849Au, "", false, false)).WillOnce(Return(4321u));
                  EXPECT_CALL(m, Set_UEIBytes_Load(true));
                  EXPECT_CALL(m, Update_Firmware(0x40F5849Au, 4321u, "", 0, 0u, false)).WillOnce(Return(true));
                }),
            0);
  EXPECT_EQ(infos(), (std::vector<std::string>{kVersion, "Retrieving firmware for device with serial number 40F5849A",
                                               "No build specified", "Using Latest build"}));
}

TEST_F(Dispatch, GetAloneReportsItsResult) {
  EXPECT_EQ(run({"-G", "-d", "40F5849A", "-b", "77"},
                [](MockUpdater &m) {
                  EXPECT_CALL(m, Download_Firmware(0x40F5849Au, "77", false, false)).WillOnce(Return(0u));
                }),
            1);
  EXPECT_EQ(infos().back(), "Retrieving firmware build 77");
  EXPECT_EQ(run({"-G"}), 1);
  EXPECT_EQ(errors(),
            (std::vector<std::string>{"-G must specify a specific device via -d", "--help for usage information"}));
}

TEST_F(Dispatch, FingerprintRunsFirstAndItsFailureIsRemembered) {
  EXPECT_EQ(run({"-N"}), 1);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Must specify the serial port used for connecting"}));
  display.messages.clear();
  Fingerprint fp;
  fp.words[0] = 1;
  fp.words[3] = 0xDEADBEEF;
  EXPECT_EQ(run({"-N", "-s", "/dev/ttyS1", "-o", "57600", "-f", "r.bird"},
                [&](MockUpdater &m) {
                  EXPECT_CALL(m, Get_Fingerprint(_, "/dev/ttyS1", 0xDEADDEADu, "r.bird", 57600u, true))
                      .WillOnce(DoAll(SetArgReferee<0>(fp), Return(true)));
                }),
            0);
  EXPECT_EQ(infos().back(), "[ 00000001 00000000 00000000 DEADBEEF ]");
  display.messages.clear();
  EXPECT_EQ(run({"-N", "-s", "/dev/ttyS1", "-G", "-d", "1"},
                [&](MockUpdater &m) {
                  InSequence s;
                  EXPECT_CALL(m, Get_Fingerprint(_, _, _, _, _, _)).WillOnce(Return(false));
                  EXPECT_CALL(m, Download_Firmware(1u, "", false, false)).WillOnce(Return(5u));
                }),
            0); // the later of -N and -G decides
  EXPECT_EQ(errors(), (std::vector<std::string>{"Got no response from chip"}));
}

TEST_F(Dispatch, ListCommandsNeedASerial) {
  struct Case {
    const char *option;
    const char *message;
  };
  for (Case c : {Case{"-B", "Error must supply a serial number for the List Builds command"},
                 Case{"-L", "Error must supply a serial number for the List Local Builds command"},
                 Case{"-J", "Error must supply a serial number for the Get JWT command"}}) {
    display.messages.clear();
    EXPECT_EQ(run({c.option}), 1) << c.option;
    EXPECT_EQ(errors(), (std::vector<std::string>{c.message}));
    EXPECT_NE(usage.find("Application Usage:"), std::string::npos);
  }
}

TEST_F(Dispatch, BuildListIsSortedNewestFirst) {
  BuildList builds{{"100", "2.9.0"}, {"200", "2.10.1"}, {"150", "2.10.0"}};
  EXPECT_EQ(run({"-B", "-d", "12AB"},
                [&](MockUpdater &m) { EXPECT_CALL(m, Get_BuildList(0x12ABu)).WillOnce(Return(builds)); }),
            0);
  EXPECT_EQ(infos(),
            (std::vector<std::string>{kVersion, "Build List for device [000012AB]:\n",
                                      "Build          \tVersion        ", "200            \t2.10.1         ",
                                      "150            \t2.10.0         ", "100            \t2.9.0          "}));
  display.messages.clear();
  EXPECT_EQ(run({"-L", "-d", "12AB"},
                [&](MockUpdater &m) { EXPECT_CALL(m, Get_BuildListLocal(0x12ABu)).WillOnce(Return(BuildList{})); }),
            0);
  EXPECT_EQ(infos().back(), "No builds found for device [000012AB]");
}

TEST_F(Dispatch, TokenIsPrintedEvenWhenEmpty) {
  EXPECT_EQ(run({"-J", "-d", "12AB"}, [](MockUpdater &m) { EXPECT_CALL(m, Get_JWT(0x12ABu)).WillOnce(Return("")); }),
            0);
  EXPECT_EQ(infos().back(), "");
}

TEST_F(Dispatch, ServerUrlReachesTheUpdater) {
  run({"-I", "--https"});
  EXPECT_EQ(madeUrl, DefaultServerURL(true));
}
