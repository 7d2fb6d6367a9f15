#include <gtest/gtest.h>

#include <vector>

#include "quillwork/cPacket.h"

namespace {

// Feeds bytes into the packet and returns each step's result.
std::vector<cErr> feed(cPacket *packet, std::vector<uint8_t> bytes) {
  std::vector<cErr> results;
  for (uint8_t b : bytes)
    results.push_back(cPacket_AddByte(packet, b));
  return results;
}

TEST(Packet, FreshPacketIsEmptyAndValid) {
  cPacketPtr p(cPacket_Create());
  ASSERT_TRUE(cVALIDPACKET(p.get()));
  EXPECT_EQ(p->count, 0);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->length, 0);
  EXPECT_FALSE(cPacket_IsComplete(p.get()));
}

TEST(Packet, AssemblesAddressLengthAndData) {
  cPacketPtr p(cPacket_Create());
  EXPECT_EQ(feed(p.get(), {0x04, 0x02, 0xAA}), (std::vector<cErr>{cErrNone, cErrNone, cErrNone}));
  EXPECT_FALSE(cPacket_IsComplete(p.get()));
  EXPECT_EQ(cPacket_AddByte(p.get(), 0xBB), cErrNone);
  ASSERT_TRUE(cPacket_IsComplete(p.get()));
  EXPECT_EQ(p->address, 0x04);
  EXPECT_EQ(p->length, 2);
  EXPECT_EQ(p->data[0], 0xAA);
  EXPECT_EQ(p->data[1], 0xBB);
  // One byte too many.
  EXPECT_EQ(cPacket_AddByte(p.get(), 0xCC), cErrPacket);
  EXPECT_FALSE(cPacket_IsComplete(p.get()));
}

TEST(Packet, EmptyPacketIsCompleteAfterItsLengthByte) {
  cPacketPtr p(cPacket_Create());
  EXPECT_EQ(feed(p.get(), {0x04, 0x00}), (std::vector<cErr>{cErrNone, cErrNone}));
  EXPECT_TRUE(cPacket_IsComplete(p.get()));
}

TEST(Packet, RefusesZeroAddressAndOverlongLength) {
  cPacketPtr p(cPacket_Create());
  EXPECT_EQ(cPacket_AddByte(p.get(), 0x00), cErrPacket);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->count, 1); // the caller must reset
  ASSERT_EQ(cPacket_Reset(p.get()), cErrNone);
  EXPECT_EQ(feed(p.get(), {0x04, 0x1D}), (std::vector<cErr>{cErrNone, cErrPacket}));
  ASSERT_EQ(cPacket_Reset(p.get()), cErrNone);
  EXPECT_EQ(feed(p.get(), {0x04, 0x1C}), (std::vector<cErr>{cErrNone, cErrNone}));
}

TEST(Packet, LongestPacketAndOverrun) {
  cPacketPtr p(cPacket_Create());
  std::vector<uint8_t> bytes = {0x02, 28};
  for (int i = 0; i < 28; ++i)
    bytes.push_back(static_cast<uint8_t>(i + 1));
  for (cErr e : feed(p.get(), bytes))
    EXPECT_EQ(e, cErrNone);
  ASSERT_TRUE(cPacket_IsComplete(p.get()));
  EXPECT_EQ(p->data[27], 28);
  // Never reset: every further byte is refused, also long after the 8-bit
  // count would have wrapped.
  for (int i = 0; i < 600; ++i)
    ASSERT_EQ(cPacket_AddByte(p.get(), 0x11), cErrOverrun) << i;
  EXPECT_EQ(p->data[27], 28);
}

TEST(Packet, ResetClearsEverythingButTheCheckWord) {
  cPacketPtr p(cPacket_Create());
  feed(p.get(), {0x06, 0x01, 0x55});
  ASSERT_EQ(cPacket_Reset(p.get()), cErrNone);
  EXPECT_TRUE(cVALIDPACKET(p.get()));
  EXPECT_EQ(p->count + p->address + p->length + p->data[0], 0);
  feed(p.get(), {0x08, 0x00});
  EXPECT_TRUE(cPacket_IsComplete(p.get()));
}

TEST(Packet, CreateWithDataAndCopy) {
  uint8_t data[29] = {};
  for (int i = 0; i < 29; ++i)
    data[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(cPacket_CreateWithData(2, 29, data), nullptr);
  EXPECT_EQ(cPacket_CreateWithData(2, 1, nullptr), nullptr);
  cPacketPtr p(cPacket_CreateWithData(2, 28, data));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(cPacket_IsComplete(p.get()));
  EXPECT_EQ(p->count, 30);
  cPacketPtr copy(cPacket_Copy(p.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.get(), p.get());
  EXPECT_EQ(copy->address, 2);
  EXPECT_EQ(copy->length, 28);
  EXPECT_EQ(copy->data[27], 0xA0 + 27);
  EXPECT_TRUE(cPacket_IsComplete(copy.get()));

  cPacket broken = *p;
  broken.check = 0;
  EXPECT_EQ(cPacket_Copy(&broken), nullptr);
  EXPECT_EQ(cPacket_Copy(nullptr), nullptr);
}

TEST(Packet, UeiGettersMaskAndCheckLength) {
  const uint8_t data[] = {0x03, 0xC8, 0xE5};
  cPacketPtr p(cPacket_CreateWithData(4, 3, data));
  uint8_t v = 0;
  EXPECT_EQ(cPacket_GetCmd(p.get(), &v), cErrNone);
  EXPECT_EQ(v, 0x03);
  EXPECT_EQ(cPacket_GetOption(p.get(), &v), cErrNone);
  EXPECT_EQ(v, 0x08);
  EXPECT_EQ(cPacket_GetIndex(p.get(), &v), cErrNone);
  EXPECT_EQ(v, 0x05);
  EXPECT_EQ(cPacket_GetCmd(p.get(), nullptr), cErrParam);

  cPacketPtr shortOne(cPacket_CreateWithData(4, 2, data));
  EXPECT_EQ(cPacket_GetOption(shortOne.get(), &v), cErrNone);
  EXPECT_EQ(cPacket_GetIndex(shortOne.get(), &v), cErrPacket);
  cPacketPtr empty(cPacket_CreateWithData(4, 0, data));
  EXPECT_EQ(cPacket_GetCmd(empty.get(), &v), cErrPacket);
  EXPECT_EQ(cPacket_GetCmd(nullptr, &v), cErrPacket);
}

TEST(Packet, GetBytes) {
  const uint8_t data[] = {0x10, 0x20, 0x30};
  cPacketPtr p(cPacket_CreateWithData(6, 3, data));
  uint8_t buffer[5] = {};
  size_t count = 0;
  EXPECT_EQ(cPacket_GetBytes(p.get(), buffer, 4, &count), cErrOverrun);
  EXPECT_EQ(cPacket_GetBytes(p.get(), nullptr, 5, &count), cErrParam);
  ASSERT_EQ(cPacket_GetBytes(p.get(), buffer, 5, &count), cErrNone);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{6, 3, 0x10, 0x20, 0x30}));
  EXPECT_EQ(cPacket_GetBytes(p.get(), buffer, 5, nullptr), cErrNone);
}

TEST(Packet, DestroyNullsThePointerAndRefusesNull) {
  cPacket *p = cPacket_Create();
  ASSERT_EQ(cPacket_Destroy(&p), cErrNone);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(cPacket_Destroy(&p), cErrParam);
  EXPECT_EQ(cPacket_Destroy(nullptr), cErrParam);
}

TEST(Packet, InvalidPacketIsRefusedEverywhere) {
  cPacket fake{};
  EXPECT_EQ(cPacket_AddByte(&fake, 4), cErrParam);
  EXPECT_EQ(cPacket_Reset(&fake), cErrParam);
  EXPECT_FALSE(cPacket_IsComplete(&fake));
  EXPECT_EQ(cPacket_AddByte(nullptr, 4), cErrParam);
}

} // namespace
