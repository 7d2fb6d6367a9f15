#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(Bytes in) {
  Bytes out(in.size() + in.size() / 254 + 2);
  out.resize(cobs_encode(in.data(), in.size(), out.data()));
  return out;
}
Bytes encodeInPlace(Bytes in) {
  size_t n = in.size();
  in.resize(n + n / 254 + 2);
  in.resize(cobs_encode_inplace(in.data(), n));
  return in;
}
Bytes decode(Bytes in) {
  Bytes out(in.size());
  out.resize(cobs_decode(in.data(), in.size(), out.data()));
  return out;
}

TEST(Cobs, KnownEncodings) {
  EXPECT_EQ(encode({0x11, 0x22, 0x00, 0x33}), (Bytes{0x03, 0x11, 0x22, 0x02, 0x33}));
  EXPECT_EQ(encode({0x00}), (Bytes{0x01, 0x01}));
  EXPECT_EQ(encode({0x00, 0x00}), (Bytes{0x01, 0x01, 0x01}));
  EXPECT_EQ(encode({}), (Bytes{0x01}));
  EXPECT_EQ(encode({0x11, 0x00}), (Bytes{0x02, 0x11, 0x01}));
  EXPECT_EQ(decode({0x03, 0x11, 0x22, 0x02, 0x33}), (Bytes{0x11, 0x22, 0x00, 0x33}));
  EXPECT_EQ(decode({0x01, 0x01}), (Bytes{0x00}));
}

TEST(Cobs, LongBlocks) {
  // 254 non-zero bytes make one full block (code 0xFF) with no implied zero.
  Bytes run(254);
  for (size_t i = 0; i < run.size(); ++i)
    run[i] = static_cast<uint8_t>(i + 1);
  Bytes e = encode(run);
  ASSERT_EQ(e.size(), 255u);
  EXPECT_EQ(e[0], 0xFF);
  EXPECT_EQ(decode(e), run);
  // One more byte starts a new block.
  Bytes longer = run;
  longer.push_back(0x77);
  e = encode(longer);
  ASSERT_EQ(e.size(), 257u);
  EXPECT_EQ(e[255], 0x02);
  EXPECT_EQ(e[256], 0x77);
  EXPECT_EQ(decode(e), longer);
}

TEST(Cobs, InPlaceMatchesAndRoundTrips) {
  std::vector<Bytes> inputs = {{}, {0}, {0x11, 0x22, 0x00, 0x33}, {1, 0, 0, 2, 0}};
  Bytes big(700);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<uint8_t>(i % 300 == 0 ? 0 : i * 7);
  inputs.push_back(big);
  for (const Bytes &in : inputs) {
    Bytes e = encode(in);
    EXPECT_EQ(encodeInPlace(in), e);
    for (uint8_t b : e)
      EXPECT_NE(b, 0);
    EXPECT_EQ(decode(e), in);
    Bytes d = e;
    d.resize(cobs_decode_inplace(d.data(), d.size()));
    EXPECT_EQ(d, in);
  }
}

TEST(Cobs, DecodeRefusesCodesPastTheEndAndZeroBytes) {
  EXPECT_EQ(decode({0x05, 0x11, 0x22}).size(), 0u);
  EXPECT_EQ(decode({0x03, 0x11, 0x00}).size(), 0u);
  EXPECT_EQ(decode({0x00}).size(), 0u);
}

TEST(Crc8, KnownValues) {
  const char *digits = "123456789";
  EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t *>(digits), 9), 0xA1);
  EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t *>("abc"), 3), 0x42);
  EXPECT_EQ(crc8_create(nullptr, 0), 0);
  EXPECT_TRUE(crc8_check(reinterpret_cast<const uint8_t *>("abc"), 3, 0x42));
  EXPECT_FALSE(crc8_check(reinterpret_cast<const uint8_t *>("abc"), 3, 0x43));
  EXPECT_EQ(crc8_update(0, 0x01), 0x5E); // the table's entry 1
}

// A framing stream over a scripted transport.
struct CobsStream : ::testing::Test {
  FakeTransport t;
  cStream *s = nullptr;
  void SetUp() override {
    ASSERT_EQ(cStream_CreateCobsEncoding(FakeTransport::get, FakeTransport::put, FakeTransport::write,
                                         FakeTransport::del, &t, &s),
              cErrNone);
  }
  void TearDown() override {
    if (s != nullptr)
      cStream_Destroy(&s);
  }
  // Reads until the script is used up and two reads in a row gave nothing
  // (a frame becomes ready on the read of its delimiter, which itself gives
  // nothing); returns the bytes handed out and records every error other than
  // cErrNotReady.
  Bytes drain(std::vector<cErr> *errors = nullptr) {
    Bytes out;
    int idle = 0;
    for (int i = 0; i < 1000 && idle < 2; ++i) {
      uint8_t b;
      cErr e = cStream_Read(s, &b, 1);
      if (e == cErrNone)
        out.push_back(b);
      else if (e != cErrNotReady && errors != nullptr)
        errors->push_back(e);
      idle = e != cErrNone && t.script.empty() ? idle + 1 : 0;
    }
    return out;
  }
};

// The 28-byte packet of the frame test: address 2, data 1..28.
Bytes longestPacket() {
  Bytes p = {0x02, 28};
  for (int i = 1; i <= 28; ++i)
    p.push_back(static_cast<uint8_t>(i));
  return p;
}

TEST_F(CobsStream, LongestPacketIsOneFrameOf33Bytes) {
  Bytes packet = longestPacket();
  ASSERT_EQ(cStream_Write(s, packet.data(), packet.size()), cErrNone);
  ASSERT_EQ(t.writes.size(), 1u);
  const Bytes &frame = t.writes[0];
  ASSERT_EQ(frame.size(), 33u);
  // No zero inside: one code byte (31 bytes + 1) in front, everything else
  // verbatim.
  Bytes expected = {32};
  expected.insert(expected.end(), packet.begin(), packet.end());
  expected.push_back(crc8_create(packet.data(), packet.size()));
  expected.push_back(0x00);
  EXPECT_EQ(frame, expected);

  // ... and it reads back whole.
  t.bytes(frame);
  EXPECT_EQ(drain(), packet);
}

TEST_F(CobsStream, FrameOfAPacketWithZeroBytes) {
  // Address 4, length 3, data 00 48 20: zeros inside the packet are stuffed.
  Bytes packet = {0x04, 0x03, 0x00, 0x48, 0x20};
  uint8_t crc = crc8_create(packet.data(), packet.size());
  ASSERT_EQ(cStream_Write(s, packet.data(), packet.size()), cErrNone);
  ASSERT_EQ(t.writes.size(), 1u);
  EXPECT_EQ(t.writes[0], (Bytes{0x03, 0x04, 0x03, 0x04, 0x48, 0x20, crc, 0x00}));
  t.bytes(t.writes[0]);
  EXPECT_EQ(drain(), packet);
}

TEST_F(CobsStream, SeveralPacketsInOneWriteGoOutAsSeparateFrames) {
  Bytes two = {0x02, 0x00, 0x06, 0x01, 0xAB};
  ASSERT_EQ(cStream_Write(s, two.data(), two.size()), cErrNone);
  ASSERT_EQ(t.writes.size(), 2u);
  Bytes wire = t.writes[0];
  wire.insert(wire.end(), t.writes[1].begin(), t.writes[1].end());
  t.bytes(wire);
  EXPECT_EQ(drain(), two);
}

TEST_F(CobsStream, PartialPacketWaitsForTheRestOfItsBytes) {
  Bytes packet = {0x02, 0x02, 0x10, 0x20};
  ASSERT_EQ(cStream_Write(s, packet.data(), 2), cErrNone);
  EXPECT_TRUE(t.writes.empty());
  ASSERT_EQ(cStream_Write(s, packet.data() + 2, 2), cErrNone);
  ASSERT_EQ(t.writes.size(), 1u);
  t.bytes(t.writes[0]);
  EXPECT_EQ(drain(), packet);
}

TEST_F(CobsStream, SingleBytePutPassesThroughUnframed) {
  const uint8_t b = 0x7E;
  ASSERT_EQ(cStream_Write(s, &b, 1), cErrNone);
  EXPECT_EQ(t.puts, 1);
  EXPECT_EQ(t.written, (Bytes{0x7E}));
}

TEST_F(CobsStream, RefusedByteDoesNotSpoilLaterPackets) {
  // A zero where an address belongs, then a length of 29: both refused.
  Bytes junk = {0x00, 0x04, 0x1D};
  Bytes good = {0x02, 0x01, 0x55};
  Bytes all = junk;
  all.insert(all.end(), good.begin(), good.end());
  for (int round = 0; round < 20; ++round)
    ASSERT_EQ(cStream_Write(s, all.data(), all.size()), cErrNone);
  ASSERT_EQ(t.writes.size(), 20u);
  Bytes expected = encode({0x02, 0x01, 0x55, crc8_create(good.data(), 3)});
  expected.push_back(0);
  for (const Bytes &w : t.writes)
    EXPECT_EQ(w, expected);
}

TEST_F(CobsStream, WrongCrcGivesPacketErrorAndNoBytes) {
  Bytes packet = {0x02, 0x01, 0x55};
  Bytes body = packet;
  body.push_back(static_cast<uint8_t>(crc8_create(packet.data(), 3) ^ 0x01));
  Bytes frame = encode(body);
  frame.push_back(0);
  t.bytes(frame);
  std::vector<cErr> errors;
  EXPECT_TRUE(drain(&errors).empty());
  EXPECT_EQ(errors, (std::vector<cErr>{cErrPacket}));
  // The next good frame still gets through.
  body.back() ^= 0x01;
  frame = encode(body);
  frame.push_back(0);
  t.bytes(frame);
  EXPECT_EQ(drain(), packet);
}

TEST_F(CobsStream, OverlongFrameKeeps32BytesAndFails) {
  Bytes forty(40, 0x11);
  forty.push_back(0);
  t.bytes(forty);
  std::vector<cErr> errors;
  EXPECT_TRUE(drain(&errors).empty());
  EXPECT_EQ(errors, (std::vector<cErr>{cErrPacket}));
}

TEST_F(CobsStream, LengthMismatchAndStrayDelimitersAreDropped) {
  // Decodes to 02 05 55 crc: claims 5 data bytes, has 1.
  Bytes body = {0x02, 0x05, 0x55};
  body.push_back(crc8_create(body.data(), 3));
  Bytes wire = {0x00, 0x00};
  Bytes frame = encode(body);
  wire.insert(wire.end(), frame.begin(), frame.end());
  wire.push_back(0);
  t.bytes(wire);
  std::vector<cErr> errors;
  EXPECT_TRUE(drain(&errors).empty());
  EXPECT_EQ(errors, (std::vector<cErr>{cErrPacket}));
}

TEST_F(CobsStream, AllZeroFrameIsNotAPacket) {
  // 01 01 01 decodes to 00 00 00: length 0 and a matching CRC, but address 0.
  t.bytes({0x01, 0x01, 0x01, 0x00});
  std::vector<cErr> errors;
  EXPECT_TRUE(drain(&errors).empty());
  EXPECT_EQ(errors, (std::vector<cErr>{cErrPacket}));
}

TEST_F(CobsStream, FrameSplitAcrossReadsAndTransportErrors) {
  Bytes packet = {0x04, 0x02, 0x00, 0x01};
  Bytes body = packet;
  body.push_back(crc8_create(packet.data(), packet.size()));
  Bytes frame = encode(body);
  frame.push_back(0);
  // Half the frame, a pause, the rest.
  t.bytes(Bytes(frame.begin(), frame.begin() + 3));
  EXPECT_TRUE(drain().empty());
  t.bytes(Bytes(frame.begin() + 3, frame.end()));
  EXPECT_EQ(drain(), packet);
  // A failing transport is reported, not hidden as "no byte yet".
  t.error(cErrIO);
  std::vector<cErr> errors;
  drain(&errors);
  EXPECT_EQ(errors, (std::vector<cErr>{cErrIO}));
}

TEST(CobsStreamCreate, DeleteReachesTheTransportAndNullOutIsRefused) {
  FakeTransport t;
  EXPECT_EQ(cStream_CreateCobsEncoding(FakeTransport::get, nullptr, nullptr, FakeTransport::del, &t, nullptr),
            cErrParam);
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateCobsEncoding(FakeTransport::get, nullptr, nullptr, FakeTransport::del, &t, &s), cErrNone);
  t.deleteResult = cErrIO;
  EXPECT_EQ(cStream_Destroy(&s), cErrIO);
  EXPECT_EQ(t.deletes, 1);
}

} // namespace
