#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "cStreamInternal.h"
#include "fake_stream.h"
#include "quillwork/cFile.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct StreamTest : ::testing::Test {
  FakeTransport t;
  cStream *s = cStream_Create(FakeTransport::get, FakeTransport::put, FakeTransport::write, FakeTransport::del, &t);
  void TearDown() override {
    if (s != nullptr)
      cStream_Destroy(&s);
  }
};

TEST_F(StreamTest, ReadIsAllOrNothingOnNotReady) {
  t.bytes({'a', 'b'});
  uint8_t buffer[4] = {};
  EXPECT_EQ(cStream_Read(s, buffer, 4), cErrNotReady);
  t.bytes({'c', 'd'});
  ASSERT_EQ(cStream_Read(s, buffer, 4), cErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{'a', 'b', 'c', 'd'}));
}

TEST_F(StreamTest, ReadKeepsOrderAcrossRepeatedShortReads) {
  // Pushed-back bytes, then more short reads: the order never changes.
  t.bytes({1, 2});
  uint8_t buffer[5] = {};
  EXPECT_EQ(cStream_Read(s, buffer, 5), cErrNotReady);
  t.bytes({3});
  EXPECT_EQ(cStream_Read(s, buffer, 5), cErrNotReady);
  t.bytes({4, 5, 6});
  ASSERT_EQ(cStream_Read(s, buffer, 5), cErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 5}));
  ASSERT_EQ(cStream_Read(s, buffer, 1), cErrNone);
  EXPECT_EQ(buffer[0], 6);
}

TEST_F(StreamTest, ReadEofKeepsBytesOtherErrorsLoseThem) {
  t.bytes({'x', 'y'});
  t.error(cErrEOF);
  uint8_t buffer[4] = {};
  EXPECT_EQ(cStream_Read(s, buffer, 4), cErrEOF);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(buffer[1], 'y');
  t.bytes({'p'});
  t.error(cErrIO);
  t.bytes({'q'});
  EXPECT_EQ(cStream_Read(s, buffer, 2), cErrIO);
  ASSERT_EQ(cStream_Read(s, buffer, 1), cErrNone);
  EXPECT_EQ(buffer[0], 'q');
}

TEST_F(StreamTest, PushBackIsReadFirstAndGrowsInOrder) {
  // More than one chunk, wrapping the ring on the way.
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(cStreamBufferChar(s, static_cast<uint8_t>(i)), cErrNone);
  uint8_t buffer[300];
  ASSERT_EQ(cStream_Read(s, buffer, 200), cErrNone);
  for (int i = 300; i < 1500; ++i)
    ASSERT_EQ(cStreamBufferChar(s, static_cast<uint8_t>(i)), cErrNone);
  EXPECT_GE(s->bufferSize, 1500u - 200u);
  EXPECT_EQ(s->bufferSize % cSTREAMBUFCHUNK, 0u);
  std::vector<uint8_t> all(1300);
  ASSERT_EQ(cStream_Read(s, all.data(), all.size()), cErrNone);
  for (int i = 0; i < 1300; ++i)
    ASSERT_EQ(all[i], static_cast<uint8_t>(i + 200)) << i;
  EXPECT_EQ(t.getCalls, 0);
}

TEST_F(StreamTest, WriteUsesPutForOneByteAndWriteForMore) {
  const uint8_t one[] = {0x42};
  ASSERT_EQ(cStream_Write(s, one, 1), cErrNone);
  EXPECT_EQ(t.puts, 1);
  EXPECT_TRUE(t.writes.empty());
  const uint8_t two[] = {1, 2};
  ASSERT_EQ(cStream_Write(s, two, 2), cErrNone);
  ASSERT_EQ(t.writes.size(), 1u);
  EXPECT_EQ(t.writes[0], (Bytes{1, 2}));
  EXPECT_EQ(cStream_Write(s, two, 0), cErrNone);
  EXPECT_EQ(t.written.size(), 3u);
  t.writeResult = cErrIO;
  EXPECT_EQ(cStream_Write(s, two, 2), cErrIO);
}

TEST(Stream, ModesAndInvalidStreams) {
  FakeTransport t;
  cStream *writeOnly = cStream_Create(nullptr, FakeTransport::put, nullptr, nullptr, &t);
  cStream *readOnly = cStream_Create(FakeTransport::get, nullptr, nullptr, nullptr, &t);
  uint8_t b = 0;
  EXPECT_EQ(cStream_Read(writeOnly, &b, 1), cErrMode);
  EXPECT_EQ(cStream_Write(readOnly, &b, 1), cErrMode);
  EXPECT_EQ(cStream_Flush(writeOnly, readOnly), cErrMode);
  EXPECT_EQ(cStream_Read(readOnly, nullptr, 1), cErrParam);
  // Put only: a block goes out byte by byte.
  const uint8_t three[] = {7, 8, 9};
  ASSERT_EQ(cStream_Write(writeOnly, three, 3), cErrNone);
  EXPECT_EQ(t.puts, 3);
  EXPECT_EQ(cStream_Read(nullptr, &b, 1), cErrParam);
  EXPECT_EQ(cStream_Write(nullptr, &b, 1), cErrParam);
  EXPECT_EQ(cStreamBufferChar(nullptr, 1), cErrParam);
  EXPECT_FALSE(cVALIDSTREAM(nullptr));
  EXPECT_EQ(cStream_GetReference(readOnly), &t);
  cStream_Destroy(&writeOnly);
  cStream_Destroy(&readOnly);
}

TEST(Stream, DestroyCallsDeleteReturnsItsResultAndNullsThePointer) {
  FakeTransport t;
  t.deleteResult = cErrBusy;
  cStream *s = cStream_Create(FakeTransport::get, nullptr, nullptr, FakeTransport::del, &t);
  cStreamBufferChar(s, 1); // the push-back buffer is freed too (the sanitizer checks)
  EXPECT_EQ(cStream_Destroy(&s), cErrBusy);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(t.deletes, 1);
  EXPECT_EQ(cStream_Destroy(&s), cErrParam);
  EXPECT_EQ(cStream_Destroy(nullptr), cErrParam);
  cStream fake{};
  cStream *bad = &fake;
  EXPECT_EQ(cStream_Destroy(&bad), cErrParam);
  EXPECT_EQ(bad, nullptr);
}

TEST_F(StreamTest, CStringRecordWithMatchedTerminatorThatStaysMatched) {
  // Terminator CR LF on a, b, CR, c, LF: the CR stays matched.
  t.bytes({'a', 'b', '\r', 'c', '\n', 'z'});
  char buffer[16];
  ASSERT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\r\n"), cErrNone);
  EXPECT_STREQ(buffer, "abc");
  uint8_t next;
  ASSERT_EQ(cStream_Read(s, &next, 1), cErrNone);
  EXPECT_EQ(next, 'z');
}

TEST_F(StreamTest, RecordCutShortComesBackWholeIncludingTerminatorBytes) {
  // The CR arrives before a pause and the LF after it: the record must not
  // lose its end and run into the next one.
  t.bytes({'o', 'k', '\r'});
  char buffer[16];
  EXPECT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\r\n"), cErrNotReady);
  t.bytes({'\n', 'n', 'e', 'x', 't', '\r', '\n'});
  ASSERT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\r\n"), cErrNone);
  EXPECT_STREQ(buffer, "ok");
  ASSERT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\r\n"), cErrNone);
  EXPECT_STREQ(buffer, "next");
}

TEST_F(StreamTest, RecordLimitsAndEof) {
  t.bytes({'1', '2', '3', '4', '5'});
  char buffer[4];
  ASSERT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\n"), cErrNone);
  EXPECT_STREQ(buffer, "123"); // size - 1 characters, without terminator
  t.error(cErrEOF);
  ASSERT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\n"), cErrNone);
  EXPECT_STREQ(buffer, "45");
  t.error(cErrEOF);
  EXPECT_EQ(cStream_ReadCStringRecord(s, buffer, sizeof buffer, "\n"), cErrEOF);

  uint8_t raw[8];
  size_t length = 99;
  t.bytes({9, 8, 0xFF, 0xFE});
  ASSERT_EQ(cStream_ReadRecord(s, raw, &length, sizeof raw, "\xFF\xFE", 2), cErrNone);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(Bytes(raw, raw + 2), (Bytes{9, 8}));
  EXPECT_EQ(cStream_ReadRecord(s, raw, &length, sizeof raw, "\n", 0), cErrParam);
  EXPECT_EQ(cStream_ReadRecord(s, raw, &length, sizeof raw, nullptr, 1), cErrParam);
  EXPECT_EQ(cStream_ReadRecord(s, nullptr, &length, sizeof raw, "\n", 1), cErrParam);
}

TEST_F(StreamTest, CStrings) {
  t.bytes({'h', 'i', 0, 'x'});
  char buffer[8];
  ASSERT_EQ(cStream_ReadCString(s, buffer, sizeof buffer), cErrNone);
  EXPECT_STREQ(buffer, "hi");

  ASSERT_EQ(cStream_WriteCString(s, "ab"), cErrNone);
  EXPECT_EQ(t.written, (Bytes{'a', 'b', 0}));
  t.written.clear();
  ASSERT_EQ(cStream_WriteCStringRecord(s, "x", "\r\n"), cErrNone);
  EXPECT_EQ(t.written, (Bytes{'x', '\r', '\n', 0}));
  t.written.clear();
  const uint8_t data[] = {1, 2, 3};
  ASSERT_EQ(cStream_WriteRecord(s, data, 3, "\xAA", 1), cErrNone);
  EXPECT_EQ(t.written, (Bytes{1, 2, 3, 0xAA}));
}

TEST(Stream, FlushCopiesUntilEofAndIgnoresPushBack) {
  FakeTransport in, out;
  cStream *from = cStream_Create(FakeTransport::get, nullptr, nullptr, nullptr, &in);
  cStream *to = cStream_Create(nullptr, FakeTransport::put, FakeTransport::write, nullptr, &out);
  cStreamBufferChar(from, 'P');
  in.bytes({'a', 'b', 'c'});
  in.error(cErrEOF);
  EXPECT_EQ(cStream_Flush(from, to), cErrNone);
  EXPECT_EQ(out.written, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(out.puts, 3);
  in.bytes({'d'});
  in.error(cErrIO);
  EXPECT_EQ(cStream_Flush(from, to), cErrIO);
  EXPECT_EQ(cStream_Flush(nullptr, to), cErrParam);
  cStream_Destroy(&from);
  cStream_Destroy(&to);
}

struct TempFile {
  std::string path;
  TempFile() {
    char name[] = "/tmp/qw_stream_XXXXXX";
    int fd = mkstemp(name);
    close(fd);
    path = name;
  }
  ~TempFile() { unlink(path.c_str()); }
};

TEST(FileStream, WriteThenReadBack) {
  TempFile tmp;
  cStream *out = nullptr;
  ASSERT_EQ(cStream_CreateFileOutput(tmp.path.c_str(), &out), cErrNone);
  ASSERT_EQ(cStream_WriteCStringRecord(out, "line", "\n"), cErrNone);
  const uint8_t one = 'Z';
  ASSERT_EQ(cStream_Write(out, &one, 1), cErrNone);
  uint8_t b;
  EXPECT_EQ(cStream_Read(out, &b, 1), cErrMode);
  ASSERT_EQ(cStream_Destroy(&out), cErrNone);

  cStream *in = nullptr;
  ASSERT_EQ(cStream_CreateFileInput(tmp.path.c_str(), &in), cErrNone);
  EXPECT_EQ(cStream_Write(in, &one, 1), cErrMode);
  uint8_t buffer[16] = {};
  EXPECT_EQ(cStream_Read(in, buffer, sizeof buffer), cErrEOF);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 7), std::string("line\n\0Z", 7));
  EXPECT_EQ(cStream_Read(in, buffer, 1), cErrEOF);
  ASSERT_EQ(cStream_Destroy(&in), cErrNone);
}

TEST(FileStream, FailuresLeaveNoStream) {
  cStream *s = reinterpret_cast<cStream *>(0x1);
  EXPECT_EQ(cStream_CreateFileInput("/nonexistent/dir/file", &s), cErrResource);
  EXPECT_EQ(s, nullptr);
  s = reinterpret_cast<cStream *>(0x1);
  EXPECT_EQ(cStream_CreateFileOutput("/nonexistent/dir/file", &s), cErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(cStream_CreateFileInput(nullptr, &s), cErrResource);
}

TEST(FileStream, FlushCopiesAFile) {
  TempFile a, b;
  FILE *f = fopen(a.path.c_str(), "wb");
  fputs("copy me", f);
  fclose(f);
  cStream *in = nullptr, *out = nullptr;
  ASSERT_EQ(cStream_CreateFileInput(a.path.c_str(), &in), cErrNone);
  ASSERT_EQ(cStream_CreateFileOutput(b.path.c_str(), &out), cErrNone);
  EXPECT_EQ(cStream_Flush(in, out), cErrNone);
  cStream_Destroy(&in);
  cStream_Destroy(&out);
  char text[16] = {};
  f = fopen(b.path.c_str(), "rb");
  ASSERT_EQ(fread(text, 1, sizeof text, f), 7u);
  fclose(f);
  EXPECT_STREQ(text, "copy me");
}

} // namespace
