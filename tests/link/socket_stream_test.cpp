// The socket stream against a real TCP peer on 127.0.0.1.
#include <gtest/gtest.h>

#include <vector>

#include "tcp_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SocketStream : ::testing::Test {
  TcpListener listener;
  cStream *s = nullptr;
  int peer = -1;
  void SetUp() override {
    ASSERT_EQ(cStream_CreateSocket(loopbackAddress(), listener.port, &s), cErrNone);
    ASSERT_NE(s, nullptr);
    peer = listener.accept();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override {
    if (s != nullptr)
      cStream_Destroy(&s);
    if (peer >= 0)
      close(peer);
  }
};

TEST_F(SocketStream, BytesTravelBothWays) {
  const Bytes packet = {0x04, 0x02, 0x00, 0x01};
  ASSERT_EQ(cStream_Write(s, packet.data(), packet.size()), cErrNone);
  const uint8_t one = 0xAD;
  ASSERT_EQ(cStream_Write(s, &one, 1), cErrNone);
  EXPECT_EQ(receiveBytes(peer, 5), (Bytes{0x04, 0x02, 0x00, 0x01, 0xAD}));

  Bytes reply(3000);
  for (size_t i = 0; i < reply.size(); ++i)
    reply[i] = static_cast<uint8_t>(i * 13);
  sendBytes(peer, reply);
  EXPECT_EQ(streamBytes(s, reply.size()), reply);
}

TEST_F(SocketStream, IdleGetReportsNotReady) {
  uint8_t b;
  EXPECT_EQ(cStream_Read(s, &b, 1), cErrNotReady);
  EXPECT_EQ(cStream_Read(s, &b, 1), cErrNotReady);
}

TEST_F(SocketStream, PeerClosingInOrderMakesTheStreamReconnect) {
  close(peer); // orderly close: the peer has gone away
  peer = -1;
  cErr error = cErrNone;
  EXPECT_TRUE(streamBytes(s, 1, 5, &error).empty());
  EXPECT_EQ(error, cErrNone); // reconnected, nothing to report
  int second = listener.accept();
  ASSERT_GE(second, 0) << "the stream did not reconnect";
  // The new connection carries traffic both ways.
  sendBytes(second, {0x06, 0x00});
  EXPECT_EQ(streamBytes(s, 2), (Bytes{0x06, 0x00}));
  const Bytes out = {0x06, 0x01, 0x42};
  ASSERT_EQ(cStream_Write(s, out.data(), out.size()), cErrNone);
  EXPECT_EQ(receiveBytes(second, 3), out);
  close(second);
}

TEST_F(SocketStream, PeerGoneForGoodIsReportedNotHidden) {
  listener.closeListener();
  close(peer);
  peer = -1;
  cErr error = cErrNone;
  EXPECT_TRUE(streamBytes(s, 1, 5, &error).empty());
  EXPECT_EQ(error, cErrConnection);
  // ... and stays reported: the stream is not connected any more.
  uint8_t b;
  EXPECT_EQ(cStream_Read(s, &b, 1), cErrConnection);
  EXPECT_EQ(cStream_Write(s, &b, 1), cErrConnection);
}

TEST_F(SocketStream, ResetConnectionIsReconnectedByTheWriter) {
  resetConnection(peer);
  peer = -1;
  // The first send may still go out before the reset is seen; one of the
  // next writes meets it and reconnects.
  const Bytes out = {0x02, 0x00};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(cStream_Write(s, out.data(), out.size()), cErrNone);
    usleep(20000);
  }
  int second = listener.accept();
  ASSERT_GE(second, 0) << "the stream did not reconnect";
  ASSERT_EQ(cStream_Write(s, out.data(), out.size()), cErrNone);
  Bytes got = receiveBytes(second, 2);
  EXPECT_GE(got.size(), 2u);
  close(second);
}

TEST(SocketStreamCreate, RefusedConnectionLeavesNoStream) {
  uint16_t port;
  {
    TcpListener gone;
    port = gone.port;
  }
  cStream *s = reinterpret_cast<cStream *>(0x1);
  EXPECT_EQ(cStream_CreateSocket(loopbackAddress(), port, &s), cErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(cStream_CreateSocket(loopbackAddress(), port, nullptr), cErrResource);
}

TEST(SocketStreamWrite, PeerThatNeverReadsEndsTheWriteAfterBoundedRetries) {
  TcpListener listener(4096);
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSocket(loopbackAddress(), listener.port, &s), cErrNone);
  int peer = listener.accept();
  ASSERT_GE(peer, 0);
  // Far more than the socket buffers hold; the peer reads nothing.
  Bytes block(32 * 1024 * 1024, 0x5A);
  EXPECT_EQ(cStream_Write(s, block.data(), block.size()), cErrTimeout);
  cStream_Destroy(&s);
  close(peer);
}

} // namespace
