#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "birdtool/BirdWriter.h"
#include "store/BirdFile.h"
#include "store_test_util.h"
#include "tempdir.h"

using birdwriter::Bytes;
using birdwriter::Image;
using birdwriter::Info;
using birdwriter::PackOptions;
using qwtest::Seq;
using qwtest::StoreLog;
using qwtest::TempDir;
using qwtest::WriteBird;

namespace {

const uint32_t KEY[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};

Bytes PayloadOf(const BirdBlock &b) { return Bytes(b.payload(), b.payload() + b.payload_length()); }

// A raw info block from four exact 16-byte fields.
Bytes InfoFields(const std::string &a, const std::string &b, const std::string &c, const std::string &d) {
  std::string text = a + b + c + d;
  EXPECT_EQ(text.size(), 64u);
  return Bytes(text.begin(), text.end());
}

} // namespace

TEST(store_BirdFile, LoadsEveryBlockAsWritten) {
  TempDir dir;
  Image image;
  image.AddInfo({"1234", "2.10.3", "0012ABCD", "QW-HUB4"})
      .Loader(0x10000000, Seq(300, 7), 2)
      .Firmware(0x12345678, Seq(1000, 1), 5)
      .SerialOffsets(0x12345700, 0x12345800)
      .LoaderEntry(0x00910000)
      .Raw(7, 3, Bytes{0xAA});
  std::string path = WriteBird(dir / "a.bird", image);

  BirdFile file(path);
  EXPECT_EQ(file.Path(), path);
  EXPECT_EQ(file.Signature(), BIRD_FILE_SIGNATURE);
  EXPECT_EQ(file.FormatVersion(), 0x0101u);
  ASSERT_EQ(file.BlockCount(), 6u);
  const auto &blocks = file.Blocks();
  ASSERT_EQ(blocks.size(), 6u);
  const uint8_t types[6] = {BirdFile::BLOCK_INFO,           BirdFile::BLOCK_LOADER,       BirdFile::BLOCK_FIRMWARE,
                            BirdFile::BLOCK_SERIAL_OFFSETS, BirdFile::BLOCK_LOADER_ENTRY, 7};
  const uint8_t flags[6] = {0, 2, 5, 0, 0, 3};
  const uint32_t lengths[6] = {64, 304, 1004, 8, 4, 1};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(blocks[i].type, types[i]) << i;
    EXPECT_EQ(blocks[i].flags, flags[i]) << i;
    EXPECT_EQ(blocks[i].length, lengths[i]) << i;
  }
  EXPECT_EQ(blocks[1].address, 0x10000000u);
  EXPECT_EQ(blocks[2].address, 0x12345678u);
  EXPECT_EQ(blocks[3].address, 0u); // only images carry an address
  EXPECT_EQ(PayloadOf(blocks[1]), Seq(300, 7));
  EXPECT_EQ(PayloadOf(blocks[2]), Seq(1000, 1));
  EXPECT_EQ(blocks[5].data[0], 0xAA);

  auto loaders = file.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loaders.size(), 1u);
  EXPECT_EQ(loaders[0].data, blocks[1].data);
  EXPECT_TRUE(file.FindBlocks(3).empty());

  EXPECT_TRUE(file.HasSerialOffsets());
  EXPECT_EQ(file.SerialNumberAddress(), 0x12345700u);
  EXPECT_EQ(file.DescriptorAddress(), 0x12345800u);

  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "2.10.3");
  EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);
  EXPECT_TRUE(file.ValidateSerialNumber(0x12ABCD));
  EXPECT_FALSE(file.ValidateSerialNumber(0x12ABCE));
  EXPECT_EQ(file.GetModel(), "QW-HUB4");

  // The checksum word is the one the writer stored (the byte sum of the body).
  Bytes body = image.Body();
  EXPECT_EQ(file.Checksum(), birdwriter::Checksum(body.data(), body.size() - 4));
  EXPECT_EQ(file.DataSize(), body.size());
}

TEST(store_BirdFile, InfoFieldsAreReadFromTheirExactBytes) {
  TempDir dir;
  // Each field's neighbouring byte holds a character that would change the
  // result if a field were read one byte too far or too early.
  Image image;
  image.Raw(BirdFile::BLOCK_INFO, 0,
            InfoFields("000000000001234"
                       "5",
                       "123456789012345"
                       "X",
                       "0012ABCD"
                       "EF012345",
                       "QW-HUB  Z2      "));
  BirdFile file(WriteBird(dir / "f.bird", image));
  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "123456789012345");
  EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);
  EXPECT_EQ(file.GetModel(), "QW-HUB  Z2");

  Image padded;
  padded.Raw(BirdFile::BLOCK_INFO, 0,
             InfoFields("  1234          ", " 2.10.3         ", "0012ABCD        ", "QW-HUB          "));
  BirdFile second(WriteBird(dir / "g.bird", padded));
  EXPECT_EQ(second.GetBuild(), 1234u);
  EXPECT_EQ(second.GetVersion(), ""); // the version text is cut at its first blank

  Image plain;
  plain.AddInfo({"  1234", "2.10.3", "0012ABCD", "QW-HUB"});
  BirdFile third(WriteBird(dir / "h.bird", plain));
  EXPECT_EQ(third.GetBuild(), 1234u);
  EXPECT_EQ(third.GetVersion(), "2.10.3");
}

TEST(store_BirdFile, QueriesWithoutOrWithAShortInfoBlock) {
  TempDir dir;
  Image none;
  none.Firmware(0, Seq(16));
  BirdFile file(WriteBird(dir / "n.bird", none));
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.HasSerialOffsets());

  // A 20-byte info block: the missing bytes read as blanks, nothing beyond it.
  Image shortInfo;
  std::string text = "42";
  text.resize(16, ' ');
  text += "1.2";
  shortInfo.Raw(BirdFile::BLOCK_INFO, 0, Bytes(text.begin(), text.end())).Raw(9, 0, Bytes(64, '7'));
  BirdFile s(WriteBird(dir / "s.bird", shortInfo));
  EXPECT_EQ(s.GetBuild(), 42u);
  EXPECT_EQ(s.GetVersion(), "1.2");
  EXPECT_EQ(s.GetSerialNumber(), 0u);
  EXPECT_EQ(s.GetModel(), "");
}

TEST(store_BirdFile, ValidateModelIsAPrefixTest) {
  TempDir dir;
  Image image;
  image.AddInfo({"1", "1.0", "00000001", "QW-HUB4"});
  BirdFile file(WriteBird(dir / "m.bird", image));
  StoreLog log(DEBUG_BirdFile);
  EXPECT_TRUE(file.ValidateModel("QW-HUB4"));
  EXPECT_TRUE(log.contains("Model matches model number ([QW-HUB4] == [QW-HUB4])\n"));
  EXPECT_TRUE(file.ValidateModel("QW-HUB"));
  EXPECT_TRUE(file.ValidateModel(""));
  EXPECT_FALSE(file.ValidateModel("QW-HUB45"));
  EXPECT_FALSE(file.ValidateModel("QW-HUB5"));
}

TEST(store_BirdFile, ReplaceSerialNumberPatchesWordAndDescriptor) {
  TempDir dir;
  Bytes payload(64, 0xEE);
  Image image;
  image.AddInfo({"1", "1.0", "DEADDEAD", "M"})
      .Loader(0x1000, Bytes(64, 0x11)) // same addresses, but a loader is never patched
      .Firmware(0x1000, payload)
      .SerialOffsets(0x1010, 0x1020);
  BirdFile file(WriteBird(dir / "g.bird", image));
  StoreLog log(DEBUG_BirdFile);
  ASSERT_TRUE(file.ReplaceSerialNumber(0x40F5849A));
  EXPECT_TRUE(log.contains("BIRDFILE: updating serial number from EEEEEEEE ==> 40F5849A\n"));

  Bytes expected = payload;
  const uint8_t word[4] = {0x9A, 0x84, 0xF5, 0x40}; // little-endian
  memcpy(&expected[16], word, 4);
  const char *digits = "40F5849A";
  for (int i = 0; i < 8; ++i)
    expected[32 + 2 * i] = uint8_t(digits[i]); // high bytes stay 0xEE
  EXPECT_EQ(PayloadOf(file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), expected);
  EXPECT_EQ(PayloadOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]), Bytes(64, 0x11));
}

TEST(store_BirdFile, ReplaceSerialNumberStaysInsideThePayload) {
  TempDir dir;
  struct Case {
    uint32_t serial, descriptor;
    int word_at;       // payload offset of the serial word, -1 when not written
    int descriptor_at; // payload offset of the descriptor, -1 when not written
    bool result;
  };
  // Payload of 64 bytes at 0x2000: [0x2000, 0x2040).
  const Case cases[] = {
      {0x203C, 0, 60, -1, true},     // last word that fits
      {0x203D, 0, -1, -1, true},     // one byte over: untouched, still true
      {0x1FFF, 0, -1, -1, true},     // one byte before the payload
      {0, 0x2030, -1, 48, true},     // last descriptor that fits
      {0, 0x2031, -1, -1, false},    // descriptor one byte over, no serial address
      {0, 0, -1, -1, false},         // neither address
      {0x9000, 0x2000, -1, 0, true}, // serial elsewhere, descriptor at the start
  };
  for (const Case &c : cases) {
    Image image;
    image.Firmware(0x2000, Bytes(64, 0xEE)).SerialOffsets(c.serial, c.descriptor);
    BirdFile file(WriteBird(dir / "c.bird", image));
    Bytes before(file.Data(), file.Data() + file.DataSize());
    EXPECT_EQ(file.ReplaceSerialNumber(0x01234567), c.result) << std::hex << c.serial << " " << c.descriptor;
    Bytes expected = before;
    size_t payload_at = 4 + 5 + 4; // count, block header, address word
    if (c.word_at >= 0) {
      const uint8_t le[4] = {0x67, 0x45, 0x23, 0x01};
      memcpy(&expected[payload_at + c.word_at], le, 4);
    }
    if (c.descriptor_at >= 0)
      for (int i = 0; i < 8; ++i)
        expected[payload_at + c.descriptor_at + 2 * i] = uint8_t("01234567"[i]);
    EXPECT_EQ(Bytes(file.Data(), file.Data() + file.DataSize()), expected) << std::hex << c.serial;
  }
}

TEST(store_BirdFile, ReplaceSerialNumberNearTheTopOfTheAddressSpace) {
  TempDir dir;
  // A payload of 8 bytes at 0xFFFFFFF0 ends at 2^32 - 8: a serial address of
  // 0xFFFFFFFE would wrap to 2 with 32-bit arithmetic and seem to fit.
  Image image;
  image.Firmware(0xFFFFFFF0, Bytes(8, 0xEE)).SerialOffsets(0xFFFFFFFE, 0xFFFFFFF8).Firmware(0x0, Bytes(8, 0xCC));
  BirdFile file(WriteBird(dir / "top.bird", image));
  Bytes before(file.Data(), file.Data() + file.DataSize());
  EXPECT_TRUE(file.ReplaceSerialNumber(0x11223344));
  EXPECT_EQ(Bytes(file.Data(), file.Data() + file.DataSize()), before);

  // A firmware file without an offsets block cannot be patched.
  Image plain;
  plain.Firmware(0, Bytes(64, 0));
  BirdFile p(WriteBird(dir / "p.bird", plain));
  EXPECT_FALSE(p.ReplaceSerialNumber(1));
}

TEST(store_BirdFile, ReplaceSerialNumberFindsTheBlockHoldingTheAddress) {
  TempDir dir;
  Image image;
  image.Firmware(0x0, Bytes(16, 0)).Firmware(0x8000, Bytes(16, 0)).SerialOffsets(0x8004, 0);
  BirdFile file(WriteBird(dir / "two.bird", image));
  ASSERT_TRUE(file.ReplaceSerialNumber(0xA1B2C3D4));
  auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(PayloadOf(fw[0]), Bytes(16, 0));
  Bytes expected(16, 0);
  expected[4] = 0xD4;
  expected[5] = 0xC3;
  expected[6] = 0xB2;
  expected[7] = 0xA1;
  EXPECT_EQ(PayloadOf(fw[1]), expected);
}

TEST(store_BirdFile, DecodeFirmwareBlocksKnownAnswer) {
  TempDir dir;
  // Stored bytes 11 22 33 with the key stream 01 02 03 ...: each byte is
  // XORed with its key byte and the previous decoded byte.
  Image image;
  image.Firmware(0xA0B0C0D0, Bytes{0x11, 0x22, 0x33})
      .Firmware(0, Bytes(18, 0x00))
      .Loader(0, Bytes{0x11, 0x22})
      .Firmware(4, Bytes{0x80});
  BirdFile file(WriteBird(dir / "k.bird", image));
  ASSERT_TRUE(file.DecodeFirmwareBlocks(KEY));
  auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(PayloadOf(fw[0]), (Bytes{0x10, 0x30, 0x00}));
  EXPECT_EQ(fw[0].address, 0xA0B0C0D0u);
  EXPECT_EQ(fw[0].data[0], 0xA0); // the address word is not decoded
  // Each block starts again at key byte 0 with no previous byte; the key
  // stream wraps after 16 bytes.
  EXPECT_EQ(PayloadOf(fw[1]), (Bytes{0x01, 0x03, 0x00, 0x04, 0x01, 0x07, 0x00, 0x08, 0x01, 0x0B, 0x00, 0x0C, 0x01, 0x0F,
                                     0x00, 0x10, 0x11, 0x13}));
  EXPECT_EQ(PayloadOf(fw[2]), Bytes{0x81}); // 1-byte payload: b ^ key[0]
  EXPECT_EQ(PayloadOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]), (Bytes{0x11, 0x22}));
}

TEST(store_BirdFile, DecodeReversesTheWritersScrambler) {
  TempDir dir;
  Bytes plain = birdwriter::SyntheticPayload(5000, 3);
  Image image;
  image.Firmware(0x100, plain).Firmware(0x200, Seq(33));
  const uint32_t key[4] = {0xDEADBEEF, 0x00000000, 0xFFFFFFFF, 0x12345678};
  image.Scramble(key);
  EXPECT_NE(Bytes(image.blocks[0].data.begin() + 4, image.blocks[0].data.end()), plain);
  BirdFile file(WriteBird(dir / "s.bird", image));
  file.DecodeFirmwareBlocks(key);
  auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(PayloadOf(fw[0]), plain);
  EXPECT_EQ(PayloadOf(fw[1]), Seq(33));

  // The wrong key gives something else.
  BirdFile wrong(dir / "s.bird");
  wrong.DecodeFirmwareBlocks(KEY);
  EXPECT_NE(PayloadOf(wrong.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), plain);
}

TEST(store_BirdFile, LoadFailuresAreReportedAndLogged) {
  TempDir dir;
  {
    StoreLog log(DEBUG_BirdFile);
    EXPECT_THROW(
        {
          try {
            BirdFile missing(dir / "missing.bird");
          } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data");
            throw;
          }
        },
        std::runtime_error);
    EXPECT_TRUE(log.contains("BIRDFILE: Loading File [" + (dir / "missing.bird") + "]\n"));
    EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + (dir / "missing.bird") + "]\n"));
    EXPECT_THROW(BirdFile(dir.path()), std::runtime_error); // a directory is no file
  }
  {
    // Header only: passes the header check, fails to inflate.
    std::string path = dir.write("header.bird", std::string("bird\x01\x01", 6));
    EXPECT_TRUE(BirdFile::VerifyFile(path));
    StoreLog log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile{path}, std::runtime_error);
    EXPECT_TRUE(log.contains("decompressing bird file.\n"));
  }
  {
    // A truncated zlib stream.
    Image image;
    image.Firmware(0, birdwriter::SyntheticPayload(4000, 1));
    Bytes whole = image.Pack();
    std::string cut(whole.begin(), whole.end() - 10);
    std::string path = dir.write("cut.bird", cut);
    StoreLog log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile{path}, std::runtime_error);
    EXPECT_TRUE(log.contains("decompressing bird file.\n"));
  }
}

TEST(store_BirdFile, InflateRatioLimit) {
  TempDir dir;
  Image zeros;
  zeros.Firmware(0, Bytes(200000, 0));
  PackOptions tight;
  tight.fit_ratio = false;
  std::string over = WriteBird(dir / "over.bird", zeros, tight);
  StoreLog log(DEBUG_BirdFile);
  EXPECT_THROW(BirdFile{over}, std::runtime_error);
  EXPECT_TRUE(log.contains("BIRDFILE: Error (-5) decompressing bird file.\n"));

  // The writer lowers its compression so that the same image loads.
  BirdFile fits(WriteBird(dir / "fits.bird", zeros));
  EXPECT_EQ(fits.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].payload_length(), 200000u);
}

TEST(store_BirdFile, ScanMismatchesAreLoggedAndTheLoadSucceeds) {
  TempDir dir;
  Image two;
  two.Firmware(0, Seq(8)).Loader(4, Seq(4));
  {
    PackOptions o;
    o.reported_count = 3;
    StoreLog log(DEBUG_BirdFile);
    BirdFile f(WriteBird(dir / "count.bird", two, o));
    EXPECT_EQ(f.BlockCount(), 2u);
    EXPECT_TRUE(log.contains("BIRDFILE:\t\t File reports 3 blocks\n"));
    EXPECT_TRUE(log.contains("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"));
  }
  {
    // Blocks are read while more than 4 bytes remain, so what is left after
    // the last block is the checksum word or less: a body without one falls
    // short by 4 bytes.
    PackOptions o;
    o.omit_checksum = true;
    StoreLog log(DEBUG_BirdFile);
    BirdFile f(WriteBird(dir / "nosum.bird", two, o));
    EXPECT_EQ(f.BlockCount(), 2u);
    EXPECT_EQ(f.Checksum(), 0u);
    EXPECT_TRUE(log.contains("BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"));
  }
  // The last block claims more bytes than the body holds, grossly or by
  // exactly one (its 20 bytes, the checksum word and one more): the blocks
  // before it are kept.
  for (uint8_t claimed : {200, 25}) {
    Image bad = two;
    bad.blocks.push_back({BirdFile::BLOCK_FIRMWARE, 0, Seq(20)});
    Bytes body = bad.Body();
    size_t len_at = body.size() - 4 - 20 - 4; // length field of the last block
    body[len_at + 3] = claimed;
    std::string path = dir / "long.bird";
    Bytes file = birdwriter::PackBody(body);
    ASSERT_TRUE(birdwriter::WriteFileAtomically(path, file));
    StoreLog log(DEBUG_BirdFile);
    BirdFile f(path);
    EXPECT_EQ(f.BlockCount(), 2u) << int(claimed);
    // Counted from the start of the bad block: header, data and checksum.
    EXPECT_TRUE(log.contains("BIRDFILE: Block parsing mismatch in data size. (29 bytes remaining)\n")) << int(claimed);
  }
  {
    // An image block too short for its address word is not kept.
    Image tiny;
    tiny.Firmware(0, Seq(4)).Raw(BirdFile::BLOCK_FIRMWARE, 0, Bytes{1, 2});
    BirdFile f(WriteBird(dir / "tiny.bird", tiny));
    ASSERT_EQ(f.BlockCount(), 1u);
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].length, 8u);
  }
  {
    // An offsets block too short for both words gives no offsets.
    Image shortOffsets;
    shortOffsets.Firmware(0, Bytes(64, 0)).Raw(BirdFile::BLOCK_SERIAL_OFFSETS, 0, Bytes{0, 0, 0, 8});
    BirdFile f(WriteBird(dir / "so.bird", shortOffsets));
    EXPECT_TRUE(f.HasSerialOffsets());
    EXPECT_EQ(f.SerialNumberAddress(), 0u);
    EXPECT_FALSE(f.ReplaceSerialNumber(5));
  }
}

TEST(store_BirdFile, VerifyFileChecksSignatureAndVersionBytes) {
  TempDir dir;
  auto header = [&](const std::string &name, const std::string &bytes) { return dir.write(name, bytes); };
  EXPECT_TRUE(BirdFile::VerifyFile(header("a", std::string("bird\x01\x01", 6))));
  EXPECT_TRUE(BirdFile::VerifyFile(header("b", std::string("bird\x02\x07rest", 10))));
  EXPECT_FALSE(BirdFile::VerifyFile(header("c", std::string("bird\x01\x00", 6))));
  EXPECT_FALSE(BirdFile::VerifyFile(header("d", std::string("bird\x00\x01", 6))));
  EXPECT_FALSE(BirdFile::VerifyFile(header("e", std::string("birx\x01\x01", 6))));
  EXPECT_FALSE(BirdFile::VerifyFile(header("f", std::string("bird\x01", 5))));
  StoreLog log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile(dir / "none"));
  EXPECT_TRUE(log.contains("BIRDFILE: Error - cannot open bird file: '" + (dir / "none") + "'\n"));
}

TEST(store_BirdFile, CopiesAndMovesKeepTheirOwnBuffers) {
  TempDir dir;
  Image image;
  image.Firmware(0, Bytes(16, 0)).SerialOffsets(4, 0);
  BirdFile original(WriteBird(dir / "c.bird", image));
  BirdFile copy = original;
  ASSERT_TRUE(copy.ReplaceSerialNumber(0xFFFFFFFF));
  EXPECT_EQ(PayloadOf(original.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), Bytes(16, 0));
  EXPECT_EQ(copy.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data, copy.Data() + 4 + 5);

  BirdFile moved = std::move(copy);
  EXPECT_EQ(moved.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].payload()[4], 0xFF);
  EXPECT_EQ(copy.BlockCount(), 0u); // NOLINT: the moved-from file is empty
  EXPECT_TRUE(copy.Blocks().empty());

  BirdFile empty;
  EXPECT_EQ(empty.BlockCount(), 0u);
  EXPECT_FALSE(empty.HasSerialOffsets());
  EXPECT_FALSE(empty.ReplaceSerialNumber(1));
}

TEST(store_BirdFile, ValidateDataSearchesFirmwareBlocksOnly) {
  TempDir dir;
  Image image;
  image.Loader(0, Bytes{'Q', 'W', 'Q', 'W'}).Firmware(0x11223344, Bytes{0, 'Q', 'W', 'Q', 'W', 0});
  BirdFile file(WriteBird(dir / "v.bird", image));
  StoreLog log(DEBUG_BirdFile);
  const uint8_t qw[2] = {'Q', 'W'};
  EXPECT_TRUE(file.ValidateData(qw, 2));
  // Offsets count from the start of the block data, address word included.
  EXPECT_TRUE(log.contains("BIRDFILE: looking for data pattern in [" + file.Path() +
                           "]\nFound data at 5\nFound data "
                           "at 7\n\n"));
  const uint8_t address[2] = {0x33, 0x44};
  EXPECT_TRUE(file.ValidateData(address, 2));
  const uint8_t absent[3] = {'W', 'Q', 0x99};
  EXPECT_FALSE(file.ValidateData(absent, 3));
  EXPECT_FALSE(file.ValidateData(qw, 0));
}

TEST(store_BirdFile, DumpBlocksFormat) {
  TempDir dir;
  Image image;
  Bytes data(52);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = uint8_t('A' + i % 26);
  data[1] = 0x01;
  image.Raw(9, 0, data).Raw(8, 0, Bytes{0x41});
  BirdFile file(WriteBird(dir / "d.bird", image));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(file.DumpBlocks(9));
  std::string out = testing::internal::GetCapturedStdout();
  std::string expected = "BIRDFILE: BLOCK DUMP [" + file.Path() + "]\n \r\n000000: ";
  std::string text;
  for (size_t i = 0; i < 50; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%02X ", data[i]);
    expected += hex;
    text += i == 1 ? ' ' : char(data[i]);
  }
  expected += " " + text + "\r\n000050: 59 5A  YZ\n\n";
  EXPECT_EQ(out, expected);
}

TEST(store_BirdFile, VectorChecksumMakesWordsZeroToSevenSumToZero) {
  TempDir dir;
  Bytes vectors = Seq(64, 0x10);
  Image image;
  image.Firmware(0, vectors).Firmware(0x4000, vectors);
  BirdFile file(WriteBird(dir / "vc.bird", image));
  EXPECT_TRUE(file.UpdateVectorChecksum());
  auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  uint32_t sum = 0;
  for (int w = 0; w < 8; ++w) {
    const uint8_t *p = fw[0].payload() + 4 * w;
    sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(PayloadOf(fw[1]), vectors); // only the image at address 0
}
