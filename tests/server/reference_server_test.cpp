// The reference update server's own rules: what it refuses, how it reads its
// directory, and how it starts and stops.
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "server_content.h"

namespace qwtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using ::testing::StartsWith;

class ReferenceServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    content_.fill(dir_);
    ASSERT_TRUE(server_.Start({dir_.path()})) << server_.error();
  }
  HTTPResponse get(const std::map<std::string, std::string> &q) { return HTTPRequest::GET(server_.url(), q); }

  TempDir dir_;
  ServerContent content_;
  UpdateServerProcess server_;
};

TEST_F(ReferenceServerTest, MalformedRequestsAreBadRequests) {
  const std::map<std::string, std::string> bad[] = {
      {},
      {{"op", "nope"}},
      {{"op", "qu"}},
      {{"op", "qu"}, {"sn", "XYZ"}},
      {{"op", "qu"}, {"sn", "123456789"}},
      {{"op", "builds"}, {"sn", ""}},
      {{"op", "bird"}, {"sn", "12AB"}, {"fw", "F"}},
      {{"op", "bird"}, {"sn", "12AB"}, {"fw", "F"}, {"bld", "1234"}, {"no_cal", "maybe"}},
      {{"op", "fix"}, {"fp", "00000001%2000000002%2000000003"}},
      {{"op", "fix"}, {"fp", "1%202%203%204%205"}},
      {{"op", "fix"}, {"fp", "1%202%203%20G"}},
      {{"op", "ent_jwt"}},
  };
  for (const auto &q : bad) {
    HTTPResponse r = get(q);
    EXPECT_EQ(r.get_status(), 400) << r.get_request();
    EXPECT_THAT(r.get_response(), StartsWith("error: ")) << r.get_request();
  }
}

TEST_F(ReferenceServerTest, SerialNumbersAreHexadecimalInAnyCase) {
  HTTPResponse r = get({{"op", "qu"}, {"sn", "12ab"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response(), "ok\n1234\nF\n");
}

TEST_F(ReferenceServerTest, DirectoryIsReadForEveryRequest) {
  BuildList list;
  ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x12AB, list, server_.url().c_str()));
  EXPECT_EQ(list.size(), 2u);

  // A new build, a file that is no BIRD file, and names that are not builds.
  dir_.write("devices/000012AB/1400.bird", MakeBird(1400, "2.11.0", 0x12AB));
  dir_.write("devices/000012AB/1500.bird", "not a bird file");
  dir_.write("devices/000012AB/0123.bird", MakeBird(123, "1.0.0", 0x12AB));
  dir_.write("devices/000012AB/12x.bird", MakeBird(12, "1.0.0", 0x12AB));
  dir_.write("devices/000012AB/1600.bird.part", MakeBird(1600, "1.0.0", 0x12AB));
  ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x12AB, list, server_.url().c_str()));
  EXPECT_THAT(list,
              ElementsAre(Pair("1234", "2.10.3"), Pair("1300", "2.9.0"), Pair("1400", "2.11.0"), Pair("1500", "")));

  // Without a named build the newest (highest number) is current.
  dir_.write("devices/000012AB/device.conf", "firmware = F\n");
  std::string build, fw;
  ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x12AB, build, fw, server_.url().c_str()));
  EXPECT_EQ(build, "1500");

  // A new module appears with its directory.
  std::filesystem::create_directories(dir_ / "devices/00000042");
  ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x42, list, server_.url().c_str()));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x42, build, fw, server_.url().c_str()));
}

TEST_F(ReferenceServerTest, SettingsThatWouldMakeABadAnswerAreRefused) {
  dir_.write("devices/000012AB/device.conf", "firmware = has space\n");
  HTTPResponse r = get({{"op", "qu"}, {"sn", "000012AB"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_THAT(r.get_response(), StartsWith("error: bad firmware identifier"));
  dir_.write("devices/000012AB/device.conf", "build = latest\n");
  EXPECT_THAT(get({{"op", "qu"}, {"sn", "000012AB"}}).get_response(), StartsWith("error: no build"));
  dir_.write("recovery.conf", "1 2 3 4 12AB 0x10\n");
  uint32_t serial = 0, build = 0;
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo({1, 2, 3, 4}, serial, build, server_.url().c_str()));
}

TEST_F(ReferenceServerTest, StopsCleanlyOnSigterm) { EXPECT_EQ(server_.Stop(), 0); }

TEST(ReferenceServerStart, ReportsWhyItCannotStart) {
  UpdateServerProcess server;
  EXPECT_FALSE(server.Start({"/nonexistent/qw-update-server-content"}));
  EXPECT_THAT(server.error(), HasSubstr("ended before it was listening"));
  EXPECT_FALSE(server.running());

  // A second server cannot take a port that is in use.
  TempDir dir;
  UpdateServerProcess first;
  ASSERT_TRUE(first.Start({dir.path()})) << first.error();
  ProcessResult r = RunProcess({UpdateServerPath(), "-d", dir.path(), "-p", std::to_string(first.port())}, 15000);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("cannot bind 127.0.0.1 port " + std::to_string(first.port())));
}

} // namespace
} // namespace qwtest
