#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Log.h"

namespace {

class LogTest : public ::testing::Test {
protected:
  void SetUp() override {
    stream_ = open_memstream(&buffer_, &length_);
    Log::SetOutput(stream_);
    Log::DeactivatePackage(0xFFFFFFFFu);
  }
  void TearDown() override {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    fclose(stream_);
    free(buffer_);
  }
  std::string text() {
    fflush(stream_);
    return std::string(buffer_, length_);
  }
  FILE *stream_ = nullptr;
  char *buffer_ = nullptr;
  size_t length_ = 0;
};

} // namespace

TEST_F(LogTest, PackagesFilterLines) {
  Log::log(DEBUG_Network, "hidden %d\n", 1);
  Log::log(0, "always %d\n", 2);
  EXPECT_EQ(text(), "always 2\n");
  Log::ActivatePackage(DEBUG_Network | DEBUG_APP);
  Log::log(DEBUG_Network, "net\n");
  Log::log(DEBUG_Updater, "updater\n");
  Log::DeactivatePackage(DEBUG_Network);
  Log::log(DEBUG_Network, "net again\n");
  Log::log(DEBUG_APP, "app");
  EXPECT_EQ(text(), "always 2\nnet\napp");
}

TEST_F(LogTest, LongLinesAreCut) {
  std::string big(5000, 'y');
  Log::log(0, "%s", big.c_str());
  EXPECT_EQ(text().size(), 2047u);
}

TEST_F(LogTest, NullOutputWritesNothing) {
  Log::SetOutput(nullptr);
  Log::log(0, "nowhere\n");
  Log::SetOutput(stream_);
  EXPECT_EQ(text(), "");
}
