// The module's codec on literal bytes: packet assembly, COBS, CRC-8, frames.
#include <gtest/gtest.h>

#include <string>

#include "modulesim/Wire.h"

using namespace modulesim;
using Bytes = std::vector<uint8_t>;

TEST(SimWire, AssemblerFindsPacketsAndSkipsGarbage) {
  PacketAssembler a;
  Bytes in = {0x00, 0xAD, 0x00, 0x04, 0x02, 0xAA, 0xBB, 0x06, 0x1D, 0x04, 0x01, 0x17};
  std::vector<Packet> got;
  for (uint8_t b : in)
    if (auto p = a.add(b))
      got.push_back(*p);
  // the leading zero is skipped; length 29 drops its packet and the next
  // bytes are taken as a fresh packet
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (Packet{0xAD, {}}));
  EXPECT_EQ(got[1], (Packet{0x04, {0xAA, 0xBB}}));
  EXPECT_EQ(got[2], (Packet{0x04, {0x17}}));
  EXPECT_EQ(a.dropped(), 2u);
}

TEST(SimWire, CobsAndCrcMatchThePublishedValues) {
  EXPECT_EQ(cobsEncode({0x11, 0x22, 0x00, 0x33}), (Bytes{0x03, 0x11, 0x22, 0x02, 0x33}));
  EXPECT_EQ(cobsEncode({0x00}), (Bytes{0x01, 0x01}));
  EXPECT_EQ(cobsDecode({0x03, 0x11, 0x22, 0x02, 0x33}), (Bytes{0x11, 0x22, 0x00, 0x33}));
  EXPECT_EQ(cobsDecode({0x01, 0x01}), (Bytes{0x00}));
  EXPECT_FALSE(cobsDecode({0x05, 0x11, 0x22}).has_value()); // code points past the end
  std::string digits = "123456789", abc = "abc";
  EXPECT_EQ(crc8(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()), 0xA1);
  EXPECT_EQ(crc8(reinterpret_cast<const uint8_t *>(abc.data()), abc.size()), 0x42);
}

TEST(SimWire, FramesRoundTripAndBadFramesAreDropped) {
  Packet full{0x04, Bytes(28, 0x00)};
  for (size_t i = 0; i < 28; i += 3)
    full.data[i] = uint8_t(i + 1);
  Bytes frame = encodeFrame(full);
  EXPECT_EQ(frame.size(), 33u); // 32 encoded bytes and the delimiter
  EXPECT_EQ(frame.back(), 0x00);

  // The sync answer 04 00 goes out as COBS(04 00 crc) 00.
  Bytes sync = encodeFrame(Packet{0x04, {}});
  uint8_t raw[2] = {0x04, 0x00};
  EXPECT_EQ(sync, (Bytes{0x02, 0x04, 0x02, crc8(raw, 2), 0x00}));

  FrameDecoder dec;
  std::vector<Packet> got;
  auto feed = [&](const Bytes &bytes) {
    for (uint8_t b : bytes)
      if (auto p = dec.add(b))
        got.push_back(*p);
  };
  feed(frame);
  Bytes corrupt = encodeFrame(Packet{0x04, {0x17, 0x01}});
  corrupt[2] ^= 0x40; // a data byte changes: the CRC no longer fits
  feed(corrupt);
  feed(Bytes(40, 0x11)); // an over-long frame
  feed({0x00});
  feed(encodeFrame(Packet{0xAD, {}}));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], full);
  EXPECT_EQ(got[1], (Packet{0xAD, {}}));
  EXPECT_EQ(dec.badFrames(), 2u);
}
