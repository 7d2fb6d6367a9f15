#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "quillwork/cErr.h"
#include "quillwork/cMutex.h"
#include "quillwork/cThread.h"
#include "quillwork/cTime.h"

TEST(ErrorText, NamesAndDescriptionsAreBounded) {
  EXPECT_STREQ(cError_GetErrorText(cErrNone), "cErrNone");
  EXPECT_STREQ(cError_GetErrorText(cErrInvalidOption), "cErrInvalidOption");
  EXPECT_STREQ(cError_GetErrorText(34), "cErrUnknown");
  EXPECT_STREQ(cError_GetErrorText(35), "cErrUnknown");
  EXPECT_STREQ(cError_GetErrorText(0xFFFFFFFFu), "cErrUnknown");
  EXPECT_STREQ(cError_GetErrorDescription(cErrShortCommand), "Quillwork command to short");
  EXPECT_STREQ(cError_GetErrorDescription(cErrNotReady), "Not ready, no bytes available");
  EXPECT_STREQ(cError_GetErrorDescription(200), "Unknown error");
  // The numbering travels on the wire.
  EXPECT_EQ(cErrTimeout, 18);
  EXPECT_EQ(cErrConnection, 25);
  EXPECT_EQ(cErrStreamStale, 33);
}

TEST(Mutex, NameLengthAndErrors) {
  cMutex m = cMutex_Create(std::string(255, 'n').c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(cMutex_Identifier(m)), std::string(255, 'n'));
  EXPECT_EQ(cMutex_Destroy(&m), cErrNone);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(cMutex_Create(std::string(256, 'n').c_str()), nullptr);

  cMutex unnamed = cMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(cMutex_Identifier(unnamed), "");
  EXPECT_EQ(cMutex_Lock(unnamed), cErrNone);
  EXPECT_EQ(cMutex_TryLock(unnamed), cErrBusy);
  EXPECT_EQ(cMutex_Unlock(unnamed), cErrNone);
  EXPECT_EQ(cMutex_TryLock(unnamed), cErrNone);
  EXPECT_EQ(cMutex_Unlock(unnamed), cErrNone);
  cMutex_Destroy(&unnamed);
  EXPECT_EQ(cMutex_Lock(nullptr), cErrParam);
  EXPECT_EQ(cMutex_Destroy(&unnamed), cErrParam);
}

namespace {
void *bump(void *arg) {
  static_cast<std::atomic<int> *>(arg)->fetch_add(1);
  return nullptr;
}
} // namespace

TEST(Thread, DestroyJoins) {
  std::atomic<int> counter{0};
  cThread t = cThread_Create(bump, &counter);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(cThread_Destroy(&t), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(counter.load(), 1);
  EXPECT_EQ(cThread_Create(nullptr, nullptr), nullptr);
}

TEST(Time, SleepCoversTheRequestAcrossSlices) {
  uint32_t start = cTime_GetMSTicks();
  EXPECT_EQ(cTime_MSSleep(0), cErrNone);
  EXPECT_EQ(cTime_MSSleep(1050), cErrNone); // more than one slice
  uint32_t elapsed = cTime_MSSince(start);
  EXPECT_GE(elapsed, 1050u);
}
