// The answer parsers and the version order, fed with bodies directly.
#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "server/UpdateServerRequest.h"

namespace {

namespace A = UpdateServerRequest::Answer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

TEST(Answers, FirstLineMustBeginWithLowerCaseOk) {
  qwtest::LogCapture log(DEBUG_ServerComm);
  for (const char *body : {"ok", "ok\n", "okay\n", "ok whatever\r\n"}) {
    std::string b = body;
    EXPECT_TRUE(A::Ping(b, "U")) << body;
  }
  for (const char *body : {"", "\n", "OK\n", "Ok\n", "o\n", "error: unknown device\nok\n", " ok\n"}) {
    std::string b = body;
    EXPECT_FALSE(A::Ping(b, "U")) << body;
  }
  std::string b = "OK\n1234\nF\n";
  std::string build = "keep", fw = "keep";
  EXPECT_FALSE(A::QueryBuild(b, "http://s/cgi/u?op=qu&sn=000012AB&", build, fw));
  EXPECT_EQ(build, "keep");
  EXPECT_THAT(log.text(), HasSubstr("ServerCommClass: QueryBuild failed [http://s/cgi/u?op=qu&sn=000012AB&]\n"));
}

TEST(Answers, QueryBuildSetsOnlyWhatTheAnswerCarries) {
  std::string build = "keep", fw = "keep";
  std::string b = "ok\n";
  ASSERT_TRUE(A::QueryBuild(b, "U", build, fw));
  EXPECT_EQ(build, "keep");
  EXPECT_EQ(fw, "keep");
  b = "ok\n1300\n";
  ASSERT_TRUE(A::QueryBuild(b, "U", build, fw));
  EXPECT_EQ(build, "1300");
  EXPECT_EQ(fw, "keep");
  b = "ok\r\n1234\r\nQWF-2\r\n";
  ASSERT_TRUE(A::QueryBuild(b, "U", build, fw));
  EXPECT_EQ(build, "1234");
  EXPECT_EQ(fw, "QWF-2");
}

TEST(Answers, GetBuildTakesLineTwo) {
  std::string file = "old";
  std::string b = "ok\nZm9vYmFy\n";
  ASSERT_TRUE(A::GetBuild(b, "U", file));
  EXPECT_EQ(file, "Zm9vYmFy");
  b = "ok\r\nZm9v\r\n";
  ASSERT_TRUE(A::GetBuild(b, "U", file));
  EXPECT_EQ(file, "Zm9v");
}

TEST(Answers, BuildListEntries) {
  qwtest::LogCapture log(DEBUG_ServerComm);
  BuildList list;
  std::string b = "ok\n1234;2.10.3\n1300\n";
  ASSERT_TRUE(A::GetBuildList(b, "U", list));
  EXPECT_THAT(list, ElementsAre(Pair("1234", "2.10.3"), Pair("1300", "")));
  EXPECT_THAT(log.text(), HasSubstr("GetBuildList processing entry: [1234;2.10.3]\n"));
  EXPECT_THAT(log.text(), HasSubstr("GetBuildList [1234][2.10.3]\n"));

  // Short lines are skipped, CR and ";" end fields, the first entry wins.
  list.clear();
  b = "ok\r\n12\n99;1.0.0\r\n99;9.9.9\r\n100;2.0.0;extra\r\n77;\r\n";
  ASSERT_TRUE(A::GetBuildList(b, "U", list));
  EXPECT_THAT(list, ElementsAre(Pair("100", "2.0.0"), Pair("77", ""), Pair("99", "1.0.0")));

  list.clear();
  b = "ok\n";
  EXPECT_TRUE(A::GetBuildList(b, "U", list));
  EXPECT_TRUE(list.empty());
}

TEST(Answers, RecoveryInfoReadsHexSerialAndPrefixedBuild) {
  qwtest::LogCapture log(DEBUG_ServerComm);
  uint32_t serial = 0, build = 0;
  std::string b = "ok\n000012AB\n1300\n";
  ASSERT_TRUE(A::GetRecoveryInfo(b, "U", serial, build));
  EXPECT_EQ(serial, 0x12ABu);
  EXPECT_EQ(build, 1300u);
  EXPECT_THAT(log.text(), HasSubstr("GetRecoveryInfo [ok][000012AB][1300]\n"));
  b = "ok\nDEADDEAD\n0x20\n";
  ASSERT_TRUE(A::GetRecoveryInfo(b, "U", serial, build));
  EXPECT_EQ(serial, 0xDEADDEADu);
  EXPECT_EQ(build, 32u);
  b = "ok\n1\n010\n";
  ASSERT_TRUE(A::GetRecoveryInfo(b, "U", serial, build));
  EXPECT_EQ(build, 8u);
  // Absent lines leave the outputs alone.
  serial = 5, build = 6;
  b = "ok\n";
  ASSERT_TRUE(A::GetRecoveryInfo(b, "U", serial, build));
  EXPECT_EQ(serial, 5u);
  EXPECT_EQ(build, 6u);
}

TEST(Answers, TokenNeedsThreePartsOfTwoOrMoreCharacters) {
  std::string token = "keep";
  std::string b = "ok\naa.bb.cc\r\n";
  ASSERT_TRUE(A::GetDeviceJWT(b, "U", token));
  EXPECT_EQ(token, "aa.bb.cc");
  for (const char *body : {"ok\naa.bb.c\n", "ok\naa.bb\n", "ok\naa\n", "ok\na.bb.cc\n", "ok\naa.b.cc\n", "ok\naa..cc\n",
                           "ok\naa\r.bb.cc\n", "ok\n", "ok\nab\n", "okay\n.x.\n", "OK\naa.bb.cc\n"}) {
    token = "keep";
    std::string body_text = body;
    EXPECT_FALSE(A::GetDeviceJWT(body_text, "U", token)) << body;
    EXPECT_EQ(token, "keep") << body;
  }
  // Everything after the second "." up to the line end is the signature.
  b = "ok\nhh.pp.ss.tt\n";
  ASSERT_TRUE(A::GetDeviceJWT(b, "U", token));
  EXPECT_EQ(token, "hh.pp.ss.tt");
}

TEST(Versions, SplitNeedsExactlyThreeParts) {
  EXPECT_THAT(UpdateServerRequest::SplitQuillworkVersion("2.10.3"), ElementsAre("2", "10", "3"));
  EXPECT_TRUE(UpdateServerRequest::SplitQuillworkVersion("2.10").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitQuillworkVersion("2.10.3.1").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitQuillworkVersion("").empty());
  EXPECT_THAT(UpdateServerRequest::SplitQuillworkVersion(".."), ElementsAre("", "", ""));
}

TEST(Versions, SortsNewestFirstNumerically) {
  BuildList builds = {{"10", "2.9.0"}, {"11", "2.10.1"}, {"12", "2.10.0"}, {"9", "10.0.0"}, {"13", "2.10.10"}};
  EXPECT_THAT(UpdateServerRequest::SortBuildsByVersion(builds),
              ElementsAre(Pair("9", "10.0.0"), Pair("13", "2.10.10"), Pair("11", "2.10.1"), Pair("12", "2.10.0"),
                          Pair("10", "2.9.0")));
}

TEST(Versions, MalformedVersionsNeitherCrashNorLoseEntries) {
  qwtest::LogCapture log(DEBUG_ServerComm);
  BuildList builds = {{"1", "2.x.0"}, {"2", ""}, {"3", "1.0.0"}, {"4", "2.0.0"}, {"5", "99999999999.0.0"}};
  auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  ASSERT_EQ(sorted.size(), builds.size());
  for (const auto &[build, version] : builds)
    EXPECT_NE(std::find(sorted.begin(), sorted.end(), std::make_pair(build, version)), sorted.end()) << build;
  EXPECT_THAT(log.text(), HasSubstr("_sortVersion: Exception converting version: stoi\n"));
}

} // namespace
