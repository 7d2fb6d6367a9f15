#include <gtest/gtest.h>

#include <string>

#include "quillwork/cFile.h"
#include "tempdir.h"

using qwtest::TempDir;

TEST(File, OpenRefusesBadPathsAndModes) {
  TempDir dir;
  std::string path = dir.write("a.txt", "x");
  EXPECT_EQ(cFile_Open(nullptr, cFILE_READ), nullptr);
  EXPECT_EQ(cFile_Open("", cFILE_READ), nullptr);
  EXPECT_EQ(cFile_Open(std::string(4097, 'a').c_str(), cFILE_WRITE), nullptr);
  EXPECT_EQ(cFile_Open(path.c_str(), 3), nullptr);
  EXPECT_EQ(cFile_Open((dir / "missing").c_str(), cFILE_READ), nullptr);
  cFile f = cFile_Open(path.c_str(), cFILE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cFile_Close(&f), cErrNone);
  EXPECT_EQ(f, nullptr);
}

TEST(File, ExistsOnlyForFiles) {
  TempDir dir;
  std::string path = dir.write("a.txt", "x");
  EXPECT_TRUE(cFile_Exists(path.c_str()));
  EXPECT_FALSE(cFile_Exists(dir.path().c_str()));
  EXPECT_FALSE(cFile_Exists((dir / "none").c_str()));
  EXPECT_FALSE(cFile_Exists(nullptr));
}

TEST(File, ModesGateReadsAndWrites) {
  TempDir dir;
  std::string path = dir.write("a.txt", "hello");
  char buffer[16];
  size_t n = 0;

  cFile w = cFile_Open(path.c_str(), cFILE_WRITE);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(cFile_Read(w, buffer, 1, &n), cErrMode);
  EXPECT_EQ(cFile_Write(w, "abc", 3, &n), cErrNone);
  EXPECT_EQ(n, 3u);
  cFile_Close(&w);

  cFile r = cFile_Open(path.c_str(), cFILE_READ);
  EXPECT_EQ(cFile_Write(r, "x", 1, &n), cErrMode);
  EXPECT_EQ(cFile_Printf(r, "%d", 1), cErrMode);
  EXPECT_EQ(cFile_SetUnbuffered(r), cErrMode);
  EXPECT_EQ(cFile_Read(r, buffer, sizeof buffer, &n), cErrNone);
  EXPECT_EQ(std::string(buffer, n), "abc"); // mode 1 truncated
  EXPECT_EQ(cFile_Read(r, buffer, sizeof buffer, &n), cErrEOF);
  EXPECT_EQ(n, 0u);
  cFile_Close(&r);
}

TEST(File, AppendModeWritesAfterContentsAndReads) {
  TempDir dir;
  std::string path = dir.write("a.txt", "abc");
  cFile f = cFile_Open(path.c_str(), cFILE_APPEND);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cFile_Printf(f, "%s-%d", "de", 7), cErrNone);
  EXPECT_EQ(cFile_Seek(f, 0, cFILE_SEEK_SET), cErrNone);
  char buffer[16];
  size_t n = 0;
  EXPECT_EQ(cFile_Read(f, buffer, sizeof buffer, &n), cErrNone);
  EXPECT_EQ(std::string(buffer, n), "abcde-7");
  cFile_Close(&f);
  EXPECT_EQ(qwtest::ReadFile(path), "abcde-7");
}

TEST(File, SeekAndSizeStayInsideTheFile) {
  TempDir dir;
  std::string path = dir.write("a.bin", "0123456789");
  cFile f = cFile_Open(path.c_str(), cFILE_READ);
  size_t size = 0;
  EXPECT_EQ(cFile_GetSize(f, &size), cErrNone);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(cFile_GetSize(f, nullptr), cErrParam);
  EXPECT_EQ(cFile_Seek(f, 10, cFILE_SEEK_SET), cErrNone);
  EXPECT_EQ(cFile_Seek(f, 11, cFILE_SEEK_SET), cErrRange);
  EXPECT_EQ(cFile_Seek(f, 4, cFILE_SEEK_SET), cErrNone);
  EXPECT_EQ(cFile_Seek(f, 6, cFILE_SEEK_CUR), cErrNone);
  EXPECT_EQ(cFile_Seek(f, 0, cFILE_SEEK_SET), cErrNone);
  EXPECT_EQ(cFile_Seek(f, 1, cFILE_SEEK_END), cErrRange);
  EXPECT_EQ(cFile_Seek(f, 3, cFILE_SEEK_SET), cErrNone);
  EXPECT_EQ(cFile_GetSize(f, &size), cErrNone); // size keeps the position
  size_t pos = 0;
  EXPECT_EQ(cFile_GetPosition(f, &pos), cErrNone);
  EXPECT_EQ(pos, 3u);
  char c;
  EXPECT_EQ(cFile_Read(f, &c, 1, nullptr), cErrNone);
  EXPECT_EQ(c, '3');
  cFile_Close(&f);
}

TEST(File, ReadLineReturnsLongLinesInPieces) {
  TempDir dir;
  std::string path = dir.write("lines", "abcdef\nabc\n");
  cFile f = cFile_Open(path.c_str(), cFILE_READ);
  char buffer[5];
  size_t len = 99;
  EXPECT_EQ(cFile_ReadLine(f, buffer, 4, &len), cErrOverrun);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(cFile_ReadLine(f, buffer, 4, &len), cErrOverrun);
  EXPECT_STREQ(buffer, "def");
  EXPECT_EQ(cFile_ReadLine(f, buffer, 4, &len), cErrNone);
  EXPECT_STREQ(buffer, "\n");
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(cFile_ReadLine(f, buffer, 5, &len), cErrNone);
  EXPECT_STREQ(buffer, "abc\n");
  EXPECT_EQ(cFile_ReadLine(f, buffer, 5, &len), cErrEOF);
  EXPECT_EQ(len, 0u);
  EXPECT_STREQ(buffer, "");
  // A buffer that cannot hold a character is refused rather than looping.
  EXPECT_EQ(cFile_ReadLine(f, buffer, 1, &len), cErrParam);
  cFile_Close(&f);

  cFile w = cFile_Open(path.c_str(), cFILE_WRITE);
  EXPECT_EQ(cFile_ReadLine(w, buffer, 5, &len), cErrMode);
  cFile_Close(&w);
}

TEST(File, HandleCheckWordIsEnforced) {
  // A record whose check word is wrong (here: all zero) is refused, and the
  // caller's handle is still cleared.
  alignas(16) unsigned char fake[64] = {};
  cFile bad = reinterpret_cast<cFile>(fake);
  char c;
  EXPECT_EQ(cFile_Read(bad, &c, 1, nullptr), cErrParam);
  EXPECT_EQ(cFile_Write(bad, "x", 1, nullptr), cErrParam);
  EXPECT_EQ(cFile_Close(&bad), cErrParam);
  EXPECT_EQ(bad, nullptr);
  cFile none = nullptr;
  EXPECT_EQ(cFile_Close(&none), cErrParam);
  EXPECT_EQ(cFile_Close(nullptr), cErrParam);
}

TEST(File, DeleteReportsWhy) {
  TempDir dir;
  std::string path = dir.write("a", "a");
  EXPECT_EQ(cFile_Delete(path.c_str()), cErrNone);
  EXPECT_FALSE(cFile_Exists(path.c_str()));
  EXPECT_EQ(cFile_Delete(path.c_str()), cErrNotFound);
  EXPECT_EQ(cFile_Delete(nullptr), cErrParam);
  EXPECT_EQ(cFile_Delete(std::string(4097, 'a').c_str()), cErrFileNameLength);
}
