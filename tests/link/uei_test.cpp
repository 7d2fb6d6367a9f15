#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "quillwork/cUEI.h"

namespace {

cPacketPtr packet(std::vector<uint8_t> data, uint8_t address = 4) {
  data.reserve(1); // never a null pointer, also for an empty packet
  return cPacketPtr(cPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

TEST(UeiByteOrder, StoreAndRetrieveAreBigEndian) {
  uint8_t b[4] = {};
  EXPECT_EQ(cUEI_StoreShort(b, 0xABCD1234), b);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(b[1], 0x34);
  EXPECT_EQ(cUEI_StoreInt(b, 0x01020304), b);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{1, 2, 3, 4}));

  const uint8_t wire[] = {0xFE, 0xDC, 0xBA, 0x98};
  EXPECT_EQ(cUEI_RetrieveShort(wire), 0xFEDC);
  EXPECT_EQ(cUEI_RetrieveInt(wire), 0xFEDCBA98u);
}

TEST(UeiByteOrder, ModifyIntBufferReadsEachWordAsBigEndian) {
  const uint8_t wire[8] = {0x00, 0x00, 0x01, 0x02, 0xAA, 0xBB, 0xCC, 0xDD};
  uint32_t words[2];
  memcpy(words, wire, sizeof words);
  cUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x0102u);
  EXPECT_EQ(words[1], 0xAABBCCDDu);
  cUEI_ModifyIntBuffer(nullptr, 3); // nothing to do, no crash
}

TEST(UeiBytes, SequenceAndContinueComeFromTheLastDataByte) {
  auto first = packet({cmdSYSTEM, 0x05, 0x20, 'a', 'b', 0x80});
  EXPECT_EQ(cUEI_getBytesSequence(first.get()), 0);
  EXPECT_TRUE(cUEI_getBytesContinue(first.get()));
  auto last = packet({cmdSYSTEM, 0x05, 0x20, 0x7F | 0x00});
  EXPECT_EQ(cUEI_getBytesSequence(last.get()), 0x7F);
  EXPECT_FALSE(cUEI_getBytesContinue(last.get()));
  // A packet of length 4 carries only the sequence byte.
  auto bare = packet({cmdSYSTEM, 0x05, 0x20, 0x83});
  EXPECT_EQ(cUEI_getBytesSequence(bare.get()), 3);
  EXPECT_TRUE(cUEI_getBytesContinue(bare.get()));
  EXPECT_EQ(cUEI_getBytesSequence(nullptr), 0);
  EXPECT_FALSE(cUEI_getBytesContinue(nullptr));
  auto empty = packet({});
  EXPECT_EQ(cUEI_getBytesSequence(empty.get()), 0);
}

TEST(UeiBytes, FullPacketIsLength27Or28) {
  for (uint8_t length : {26, 27, 28}) {
    std::vector<uint8_t> data(length, 1);
    EXPECT_EQ(cUEI_getBytesFullPacket(packet(data).get()), length != 26) << int(length);
  }
  EXPECT_FALSE(cUEI_getBytesFullPacket(nullptr));
}

TEST(UeiClassify, NonUeiCommandList) {
  const std::vector<int> nonUei = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (int cmd = 0; cmd < 256; ++cmd) {
    bool listed = std::find(nonUei.begin(), nonUei.end(), cmd) != nonUei.end();
    auto p = packet({static_cast<uint8_t>(cmd), 0x01, 0x00});
    EXPECT_EQ(cUEI_isNotUEIPayload(p.get()), listed) << cmd;
    EXPECT_EQ(cUEI_isUEIPayload(p.get()), !listed) << cmd;
  }
  EXPECT_FALSE(cUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(cUEI_isUEIPayload(nullptr));
  // The address query and its answer have no command byte.
  EXPECT_TRUE(cUEI_isNotUEIPayload(packet({}, ADDRESS_QUERY).get()));
}

TEST(UeiClassify, StreamPackets) {
  // A 16-bit value pushed by a stream: system entity, option 8, index 1.
  EXPECT_TRUE(cUEI_isStreamPacket(packet({cmdSYSTEM, 0x08, 0x41, 0x12, 0x34}).get()));
  // Length must exceed 4, even with the stream bit.
  EXPECT_FALSE(cUEI_isStreamPacket(packet({cmdSYSTEM, 0x08, 0x41, 0x12}).get()));
  // Not a value (a get, an ack), no stream bit, or not a UEI command.
  EXPECT_FALSE(cUEI_isStreamPacket(packet({cmdSYSTEM, 0x48, 0x41, 0x12, 0x34}).get()));
  EXPECT_FALSE(cUEI_isStreamPacket(packet({cmdSYSTEM, 0xC8, 0x41, 0x12, 0x34}).get()));
  EXPECT_FALSE(cUEI_isStreamPacket(packet({cmdSYSTEM, 0x08, 0x01, 0x12, 0x34}).get()));
  EXPECT_FALSE(cUEI_isStreamPacket(packet({cmdUPGRADE, 0x08, 0x41, 0x12, 0x34}).get()));
  EXPECT_FALSE(cUEI_isStreamPacket(nullptr));
}

TEST(UeiRecord, ValueUnionSharesStorage) {
  uei u{};
  u.type = ueiTYPE_INT;
  u.value.intVal = 0x11223344;
  EXPECT_EQ(ueiTYPE_BYTES, 5);
  EXPECT_EQ(ueiTYPE_INT, 4);
  uint8_t buffer[3];
  u.value.bytesPtr = buffer;
  EXPECT_EQ(u.value.bytesPtr, buffer);
}

} // namespace
