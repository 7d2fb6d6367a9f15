// The real program, run as a user would: output streams, texts and status.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/Parameters.h"
#include "process.h"
#include "quillwork/cDirectory.h"
#include "tempdir.h"

using qwtest::RunProcess;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
const std::string kVersionLine = "Updater (Version: 2.12.2 Mar 13 2026)\n";

// A usage text as typed from the documentation (tests/app/data), with the
// server URLs filled in.
std::string expectedUsage(const std::string &name) {
  std::string text = qwtest::ReadFile(std::string(QW_SOURCE_DIR) + "/tests/app/data/usage_" + name + ".txt");
  auto replace = [&](const std::string &from, const std::string &to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
      text.replace(at, from.size(), to);
  };
  replace("%s", "Updater");
  replace("@HTTP_URL@", DefaultServerURL(false));
  replace("@HTTPS_URL@", DefaultServerURL(true));
  std::string host = DefaultServerURL(false).substr(7);
  replace("@HOST@", host.substr(0, host.find('/')));
  return text;
}

qwtest::ProcessResult run(std::vector<std::string> args) {
  args.insert(args.begin(), kUpdater);
  return RunProcess(args, 20000);
}

} // namespace

TEST(CommandLine, NoArgumentsShowsShortUsage) {
  auto r = run({});
  EXPECT_EQ(r.status, 0);
  ASSERT_GE(r.out.size(), kVersionLine.size());
  EXPECT_EQ(r.out.substr(0, kVersionLine.size()), kVersionLine);
  EXPECT_EQ(qwtest::Lines(r.out).size(), 2u); // version and copyright
  EXPECT_EQ(r.err, expectedUsage("short"));
}

TEST(CommandLine, HelpTextsByteForByte) {
  auto extended = run({"-X", "1", "-h"});
  EXPECT_EQ(extended.status, 0);
  EXPECT_EQ(extended.err, expectedUsage("short") + expectedUsage("parameters") + expectedUsage("extended") +
                              expectedUsage("samples"));
  auto plain = run({"-h", "-X", "1"});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, expectedUsage("short") + expectedUsage("parameters") + expectedUsage("samples"));
  EXPECT_EQ(run({"--help"}).err, plain.err);
}

TEST(CommandLine, ParameterFailures) {
  auto serial = run({"-d", "12G4", "-U"});
  EXPECT_EQ(serial.status, 1);
  EXPECT_EQ(serial.err, "Invalid serial number obtained from argument [12G4]\n" + expectedUsage("short"));
  EXPECT_EQ(serial.out.substr(0, kVersionLine.size()), kVersionLine);

  auto servers = run({"--http", "--https", "-D"});
  EXPECT_EQ(servers.status, 1);
  EXPECT_EQ(servers.err, "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n" +
                             expectedUsage("short"));

  auto transport = run({"-t", "usb", "-D"});
  EXPECT_EQ(transport.status, 1);
  EXPECT_EQ(transport.err, "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n" +
                               expectedUsage("short"));
}

TEST(CommandLine, CheckOnlyPrintsTheVersionAndMakesTheStore) {
  qwtest::TempDir dir;
  std::string root = dir / "x";
  auto r = run({"-i", root, "-C"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kVersionLine);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(cDirectory_Exists((root + "/updater").c_str()));
}

TEST(CommandLine, DebugLinesGoToStandardError) {
  qwtest::TempDir dir;
  auto r = run({"-X", "0x10000", "-i", dir.path(), "-C", "stray"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("\nApplication parameters:[updater]\n"), std::string::npos);
  // Words that are not options are listed behind the options.
  EXPECT_NE(r.err.find("\t[-C]\n\t[stray]\n"), std::string::npos);
  EXPECT_EQ(r.out, kVersionLine);
}
