// Requests from several threads at once: each owns its handle and response,
// and the shared libcurl set-up happens once.
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "server_content.h"

namespace qwtest {
namespace {

TEST(UpdateServerConcurrency, ParallelDownloadsEachGetTheirOwnAnswer) {
  TempDir dir;
  ServerContent content;
  content.fill(dir);
  UpdateServerProcess server;
  ASSERT_TRUE(server.Start({dir.path()})) << server.error();
  const std::string url = server.url();

  constexpr int kThreads = 4, kRounds = 5;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        // Alternate between two modules so that answers cannot be swapped
        // unnoticed.
        bool first = (t + i) % 2 == 0;
        std::string text;
        bool ok = first ? UpdateServerRequest::GetBuild(0x12AB, "F", "1234", text, url.c_str())
                        : UpdateServerRequest::GetBuild(0xDEADDEAD, "main", "77", text, url.c_str());
        size_t len = 0;
        unsigned char *bytes = ok ? base64_decode(text.data(), text.size(), &len) : nullptr;
        if (bytes != nullptr &&
            std::string(reinterpret_cast<char *>(bytes), len) == (first ? content.bird1234 : content.bird77))
          ++good;
        free(bytes);
      }
    });
  for (std::thread &th : threads)
    th.join();
  EXPECT_EQ(good.load(), kThreads * kRounds);
}

} // namespace
} // namespace qwtest
