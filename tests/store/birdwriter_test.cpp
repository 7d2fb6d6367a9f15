// The BIRD file writer behind birdtool, and the tool itself.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "birdtool/BirdWriter.h"
#include "process.h"
#include "store/BirdFile.h"
#include "store_test_util.h"
#include "tempdir.h"

using namespace birdwriter;
using qwtest::TempDir;

TEST(store_BirdWriter, ScramblerKnownAnswerAndRoundTrip) {
  const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  Bytes plain = {0x10, 0x30, 0x00};
  ScrambleBytes(plain.data(), plain.size(), key);
  EXPECT_EQ(plain, (Bytes{0x11, 0x22, 0x33}));

  Bytes data = SyntheticPayload(1000, 9);
  Bytes copy = data;
  ScrambleBytes(copy.data(), copy.size(), key);
  EXPECT_NE(copy, data);
  UnscrambleBytes(copy.data(), copy.size(), key);
  EXPECT_EQ(copy, data);
}

TEST(store_BirdWriter, BodyLayout) {
  Image image;
  image.Loader(0x01020304, Bytes{0xAA}, 6).AddInfo({"7", "1.0", "0000000A", "M"});
  Bytes body = image.Body();
  Bytes expected = {0, 0, 0, 2, 0xC0, 0, 0, 0, 5, 1, 2, 3, 4, 0xAA, 0x04, 0, 0, 0, 64};
  ASSERT_GE(body.size(), expected.size() + 64 + 4);
  EXPECT_EQ(Bytes(body.begin(), body.begin() + long(expected.size())), expected);
  std::string info(body.begin() + long(expected.size()), body.begin() + long(expected.size()) + 64);
  EXPECT_EQ(info, "7               1.0             0000000A        M               ");
  uint32_t sum = Checksum(body.data(), body.size() - 4);
  EXPECT_EQ(Bytes(body.end() - 4, body.end()),
            (Bytes{uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)}));

  Bytes file = image.Pack();
  EXPECT_EQ(std::string(file.begin(), file.begin() + 6), std::string("bird\x01\x01", 6));
}

TEST(store_BirdWriter, UnpackReportsProblems) {
  Image image;
  image.Firmware(0, Bytes(100000, 0));
  PackOptions o;
  o.fit_ratio = false;
  o.reported_count = 4;
  o.omit_checksum = true;
  Parsed parsed;
  ASSERT_TRUE(Unpack(image.Pack(o), parsed));
  EXPECT_EQ(parsed.blocks.size(), 1u);
  EXPECT_EQ(parsed.reported_count, 4u);
  ASSERT_EQ(parsed.problems.size(), 3u);
  std::string text = Describe(parsed);
  EXPECT_NE(text.find("loaders refuse it"), std::string::npos);
  EXPECT_NE(text.find("no room for the checksum word"), std::string::npos);
  EXPECT_NE(text.find("1 blocks found, 4 reported"), std::string::npos);

  std::string error;
  EXPECT_FALSE(Unpack(Bytes{'b', 'i', 'r', 'd', 1, 1, 0x78}, parsed, &error));
  EXPECT_FALSE(error.empty());
}

TEST(store_BirdWriter, MarkerIsFoundOnlyWhenIntact) {
  Bytes image = SyntheticPayload(300, 1);
  Bytes marker = MarkerBytes(4321, "3.1.4");
  ASSERT_EQ(marker.size(), MARKER_SIZE);
  image.insert(image.begin() + 100, marker.begin(), marker.end());
  auto found = FindMarker(image.data(), image.size());
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->build, 4321u);
  EXPECT_EQ(found->version, "3.1.4");
  image[100 + 13] ^= 1;
  EXPECT_FALSE(FindMarker(image.data(), image.size()).has_value());
  EXPECT_FALSE(FindMarker(marker.data(), MARKER_SIZE - 1).has_value());
}

TEST(store_BirdWriter, DescriptionFiles) {
  TempDir dir;
  dir.write("loader.bin", "LOAD");
  std::string text = "# a test image\n"
                     "info build=1234 version=2.10.3 serial=0012ABCD model=\"QW Hub\"  # trailing comment\n"
                     "loader 0x10000000 loader.bin flags=2\n"
                     "firmware 0 @random:64:5 flags=1 marker\n"
                     "serial-offsets 0x100 512\n"
                     "loader-entry 0x00910000\n"
                     "block 9 loader.bin\n";
  Image image;
  std::string error;
  ASSERT_TRUE(ParseDescription(text, dir.path(), image, &error)) << error;
  ASSERT_EQ(image.blocks.size(), 6u);
  BirdFile file(qwtest::WriteBird(dir / "d.bird", image));
  EXPECT_EQ(file.GetModel(), "QW Hub");
  EXPECT_EQ(file.GetBuild(), 1234u);
  auto loader = file.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loader.size(), 1u);
  EXPECT_EQ(loader[0].flags, 2);
  EXPECT_EQ(loader[0].address, 0x10000000u);
  EXPECT_EQ(std::string(loader[0].payload(), loader[0].payload() + 4), "LOAD");
  auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  EXPECT_EQ(fw.payload_length(), 64 + MARKER_SIZE);
  auto marker = FindMarker(fw.payload(), fw.payload_length());
  ASSERT_TRUE(marker.has_value());
  EXPECT_EQ(marker->build, 1234u);
  EXPECT_EQ(file.DescriptorAddress(), 512u);
  EXPECT_EQ(file.FindBlocks(9).size(), 1u);

  Image bad;
  EXPECT_FALSE(ParseDescription("info build=1\nloader 0x10\n", dir.path(), bad, &error));
  EXPECT_EQ(error, "line 2: loader needs ADDRESS FILE");
  EXPECT_FALSE(ParseDescription("firmware 0 nothere.bin\n", dir.path(), bad, &error));
  EXPECT_NE(error.find("nothere.bin"), std::string::npos);
  EXPECT_FALSE(ParseDescription("firmware 0 @random:8 flags=8\n", dir.path(), bad, &error));
  EXPECT_FALSE(ParseDescription("firmware 0 @random:8 marker\n", dir.path(), bad, &error));
  EXPECT_FALSE(ParseDescription("rocket 1\n", dir.path(), bad, &error));
}

TEST(store_BirdTool, PackInfoScrambleAndExtract) {
  std::string tool = std::string(QW_BINARY_DIR) + "/tools/birdtool/birdtool";
  struct stat st;
  if (stat(tool.c_str(), &st) != 0)
    GTEST_SKIP() << "birdtool is not built: " << tool;
  TempDir dir;
  dir.write("fw.bin", std::string(200, 'F'));
  dir.write("d.txt", "info build=77 version=1.2.3 serial=0000ABCD model=QW\nfirmware 0x8000 fw.bin\n");
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), tool);
    return qwtest::RunProcess(args, 30000);
  };
  auto packed = run({"pack", dir / "d.txt", "-o", dir / "a.bird", "-k", "1,2,3,0x4"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  auto info = run({"info", dir / "a.bird"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("build   [77              ]"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("0x00008000"), std::string::npos) << info.out;

  // Packed scrambled: the loader's decoding with the same key restores it.
  BirdFile file(dir / "a.bird");
  const uint32_t key[4] = {1, 2, 3, 4};
  file.DecodeFirmwareBlocks(key);
  auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  EXPECT_EQ(std::string(fw.payload(), fw.payload() + fw.payload_length()), std::string(200, 'F'));

  ASSERT_EQ(run({"unscramble", dir / "a.bird", "-o", dir / "u.bird", "-k", "1,2,3,4"}).status, 0);
  ASSERT_EQ(run({"extract", dir / "u.bird", "-b", "1", "-p", "-o", dir / "out.bin"}).status, 0);
  EXPECT_EQ(qwtest::ReadFile(dir / "out.bin"), std::string(200, 'F'));

  auto badKey = run({"scramble", dir / "a.bird", "-o", dir / "x.bird", "-k", "1,2,3"});
  EXPECT_EQ(badKey.status, 1);
  EXPECT_NE(badKey.err.find("four hexadecimal words"), std::string::npos);
  auto missing = run({"info", dir / "none.bird"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.bird"), std::string::npos);
}
