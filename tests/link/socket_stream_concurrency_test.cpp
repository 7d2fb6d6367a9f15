// A socket stream read by one thread and written by another, as a link uses
// it, while the peer drops the connection: either side may reconnect.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quillwork/cTime.h"
#include "tcp_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SocketStreamConcurrency, ReaderAndWriterSurviveReconnects) {
  TcpListener listener;
  std::atomic<bool> stop{false};
  std::atomic<int> connections{0};
  // Echo peer: the first two connections are closed after 100 bytes.
  std::thread peer([&] {
    while (!stop) {
      int fd = listener.accept(100);
      if (fd < 0)
        continue;
      int number = ++connections;
      size_t echoed = 0;
      while (!stop && (number > 2 || echoed < 100)) {
        Bytes got = receiveBytes(fd, 1, 50);
        if (got.empty()) {
          pollfd p = {fd, POLLIN, 0};
          if (poll(&p, 1, 0) == 1 && recv(fd, got.data(), 0, MSG_PEEK) == 0)
            break;
          continue;
        }
        sendBytes(fd, got);
        echoed += got.size();
      }
      close(fd);
    }
  });

  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSocket(loopbackAddress(), listener.port, &s), cErrNone);
  const Bytes marker(10, 0xEE);
  std::atomic<bool> sawMarker{false};
  std::thread reader([&] {
    size_t run = 0;
    uint32_t start = cTime_GetMSTicks();
    while (!sawMarker && cTime_MSSince(start) < 20000) {
      uint8_t b;
      cErr e = cStream_Read(s, &b, 1);
      if (e != cErrNone)
        continue;
      run = b == 0xEE ? run + 1 : 0;
      if (run == marker.size())
        sawMarker = true;
    }
  });
  std::thread writer([&] {
    Bytes packet = {0x02, 0x08, 1, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 300; ++i) {
      cStream_Write(s, packet.data(), packet.size());
      cTime_MSSleep(2);
    }
    // Repeat the marker until it has come back (bytes in flight during a
    // reconnect may be lost, which the link's handshake deals with).
    for (int i = 0; i < 100 && !sawMarker; ++i) {
      cStream_Write(s, marker.data(), marker.size());
      cTime_MSSleep(50);
    }
  });
  writer.join();
  reader.join();
  stop = true;
  peer.join();
  EXPECT_TRUE(sawMarker.load());
  EXPECT_GE(connections.load(), 3);
  cStream_Destroy(&s);
}

} // namespace
