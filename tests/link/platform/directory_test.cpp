#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <sys/stat.h>

#include "app/BuildPath.h"
#include "quillwork/cDirectory.h"
#include "quillwork/cFile.h"
#include "tempdir.h"

using qwtest::TempDir;

TEST(Directory, EnsureCreatesEveryMissingParent) {
  TempDir dir;
  std::string a = dir / "a";
  ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
  std::string abc = a + "/b/c";
  EXPECT_EQ(cDirectory_Ensure(abc.c_str(), 0755), cErrNone);
  EXPECT_TRUE(cDirectory_Exists((a + "/b").c_str()));
  EXPECT_TRUE(cDirectory_Exists(abc.c_str()));
  EXPECT_EQ(cDirectory_Ensure(abc.c_str(), 0755), cErrNone); // already there

  std::string doubled = dir / "x//y///z";
  EXPECT_EQ(cDirectory_Ensure(doubled.c_str(), 0755), cErrNone);
  EXPECT_TRUE(cDirectory_Exists((dir / "x/y/z").c_str()));
}

TEST(Directory, EnsureFailsBelowAFile) {
  TempDir dir;
  std::string file = dir.write("plain", "x");
  EXPECT_EQ(cDirectory_Ensure((file + "/sub").c_str(), 0755), cErrPermission);
}

TEST(Directory, BuildPathJoinsWithSeparators) {
  EXPECT_EQ(BuildPath("/home/u/", ".corvatek"), "/home/u//.corvatek");
  EXPECT_EQ(BuildPath("a", "b", "c"), "a/b/c");

  char buffer[64];
  EXPECT_EQ(cDirectory_BuildPath(buffer, sizeof buffer, "/home/u/", ".corvatek", nullptr), cErrNone);
  EXPECT_STREQ(buffer, "/home/u/.corvatek");
  EXPECT_EQ(cDirectory_BuildPath(buffer, sizeof buffer, "a", "/b", "c/", "d", nullptr), cErrNone);
  EXPECT_STREQ(buffer, "a/b/c/d");
  EXPECT_EQ(cDirectory_JoinPath(buffer, sizeof buffer, "dir", "name"), cErrNone);
  EXPECT_STREQ(buffer, "dir/name");

  char small[6];
  EXPECT_EQ(cDirectory_BuildPath(small, sizeof small, "abc", "de", nullptr), cErrOverrun);
  EXPECT_EQ(cDirectory_BuildPath(small, sizeof small, "abc", "d", nullptr), cErrNone);
  EXPECT_STREQ(small, "abc/d");
  EXPECT_EQ(cDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), cErrParam);
  EXPECT_EQ(cDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
            cErrNone);
  EXPECT_EQ(
      cDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", nullptr),
      cErrParam);
}

namespace {
bool collect(const cDirectoryListData *entry, void *reference) {
  std::string path(entry->path);
  static_cast<std::set<std::string> *>(reference)->insert(
      path.substr(path.rfind('/') + 1) + (entry->isDirectory ? "/" : ":" + std::to_string(entry->size)));
  return true;
}
bool stopAtOnce(const cDirectoryListData *, void *reference) {
  ++*static_cast<int *>(reference);
  return false;
}
} // namespace

TEST(Directory, ListIncludesDotEntriesAndStopsOnFalse) {
  TempDir dir;
  dir.write("f", "12345");
  mkdir((dir / "sub").c_str(), 0755);
  std::set<std::string> seen;
  EXPECT_EQ(cDirectory_List(dir.path().c_str(), collect, &seen), cErrNone);
  EXPECT_EQ(seen, (std::set<std::string>{"./", "../", "f:5", "sub/"}));
  int calls = 0;
  EXPECT_EQ(cDirectory_List(dir.path().c_str(), stopAtOnce, &calls), cErrNone);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(cDirectory_List((dir / "none").c_str(), collect, &seen), cErrNotFound);
}

TEST(Directory, DeleteTreeRemovesEverything) {
  TempDir dir;
  std::string root = dir / "t";
  ASSERT_EQ(cDirectory_Ensure((root + "/a/b").c_str(), 0755), cErrNone);
  cFile f = cFile_Open((root + "/a/b/file").c_str(), cFILE_WRITE);
  cFile_Close(&f);
  EXPECT_EQ(cDirectory_Delete(root.c_str()), cErrUnknown); // not empty
  EXPECT_EQ(cDirectory_DeleteTree(root.c_str()), cErrNone);
  EXPECT_FALSE(cDirectory_Exists(root.c_str()));
}

TEST(Directory, HomeFallsBackToEnvironment) {
  char buffer[2048];
  EXPECT_EQ(cDirectory_GetHomeDirectory(buffer, sizeof buffer), cErrNone);
  EXPECT_NE(buffer[0], '\0');
  char exe[4096];
  EXPECT_EQ(cDirectory_ExecutableFilePath(exe, sizeof exe), cErrNone);
  EXPECT_NE(std::string(exe).find("test_link_platform"), std::string::npos);
  char cwd[4096];
  EXPECT_EQ(cDirectory_CWD(cwd, sizeof cwd), cErrNone);
  EXPECT_EQ(cDirectory_CWD(cwd, 1), cErrParam);
}
