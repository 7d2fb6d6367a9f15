#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <dirent.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "process.h"
#include "quillwork/cTime.h"
#include "store/KeyValueStore.h"
#include "store_test_util.h"
#include "tempdir.h"

using qwtest::ReadFile;
using qwtest::StoreLog;
using qwtest::TempDir;

namespace {

std::set<std::string> Names(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      names.insert(e->d_name);
    closedir(d);
  }
  names.erase(".");
  names.erase("..");
  return names;
}

} // namespace

TEST(store_KeyValueStore, ReadingRules) {
  TempDir dir;
  std::string text = "  NAME = a b = c  \n"
                     "a=\n"
                     "b\n"
                     "#c=1\n"
                     "  #d=2\n"
                     "noequals here\n"
                     "=novalue\n"
                     "  \t= x\n"
                     "e\t=\t v \r\n"
                     "dup=1\n"
                     "dup=2\n"
                     "x\n"
                     "last=9";
  KeyValueStore store(dir.write("s", text));
  std::map<std::string, std::string> expected = {{"NAME", "a b = c"}, {"a", ""},    {"#d", "2"},
                                                 {"e", "v"},          {"dup", "2"}, {"last", "9"}};
  EXPECT_EQ(store.Entries(), expected);
  EXPECT_FALSE(store.IsDirty());
  EXPECT_EQ(store.Path(), dir / "s");
}

TEST(store_KeyValueStore, MalformedLinesNeverReadBeyondTheLine) {
  std::string key = "keep", value = "keep";
  // No "=" in the line, though one follows in the buffer after its end.
  char buffer[] = "abc\0=value";
  EXPECT_FALSE(KeyValueStore::ParseLine(buffer, key, value));
  EXPECT_EQ(key, "keep");
  EXPECT_FALSE(KeyValueStore::ParseLine("=abc\n", key, value));
  EXPECT_FALSE(KeyValueStore::ParseLine(" \t =abc\n", key, value));
  EXPECT_FALSE(KeyValueStore::ParseLine("   \n", key, value));
  EXPECT_TRUE(KeyValueStore::ParseLine("k=\n", key, value));
  EXPECT_EQ(key, "k");
  EXPECT_EQ(value, "");
}

// An over-long line is dropped alone; the keys after it are read and survive
// the next save.
TEST(store_KeyValueStore, AnOverlongLineIsDroppedAlone) {
  TempDir dir;
  std::string text = "first=1\nlong=" + std::string(6000, 'v') + "\nafter=2\nedge=" + std::string(2042, 'e') +
                     "\nlast=3\ntail=" + std::string(2100, 't');
  std::string path = dir.write("s", text);
  KeyValueStore store(path);
  EXPECT_STREQ(store["first"], "1");
  EXPECT_EQ(store["long"], nullptr);
  EXPECT_STREQ(store["after"], "2");
  EXPECT_EQ(store["edge"], nullptr); // 2047 characters before its line end: one too many
  EXPECT_STREQ(store["last"], "3");
  EXPECT_EQ(store["tail"], nullptr);
  store.Add("new", "4");
  store.Save();
  KeyValueStore reread(path);
  for (const char *key : {"first", "after", "last", "new"})
    EXPECT_NE(reread[key], nullptr) << key;

  // A line of exactly 2047 characters with its line end still fits.
  std::string fits = "k=" + std::string(2044, 'v') + "\nnext=1\n";
  KeyValueStore second(dir.write("t", fits));
  EXPECT_EQ(second.GetString("k").size(), 2044u);
  EXPECT_STREQ(second["next"], "1");
}

TEST(store_KeyValueStore, LoadingAMissingFileCreatesIt) {
  TempDir dir;
  StoreLog log(DEBUG_Attributes);
  std::string path = dir / "new.settings";
  KeyValueStore store(path);
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
  EXPECT_FALSE(store.IsDirty());
  auto lines = qwtest::Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
  EXPECT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);
  // ctime form without its line end: "Thu Mar  4 09:05:11 2021".
  std::string created = store.GetString(KeyValueStore::KEY_CREATED_TIME);
  ASSERT_EQ(created.size(), 24u);
  EXPECT_EQ(created[3], ' ');
  EXPECT_EQ(created[13], ':');
  EXPECT_EQ(created[16], ':');
  EXPECT_EQ(ReadFile(path), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + store.GetString("UPDATED_TIME") + "\n");
}

TEST(store_KeyValueStore, SaveWritesSortedEntriesAndStampsOnlyWhenChanged) {
  TempDir dir;
  std::string path = dir.write("s", "b=2\nUPDATED_TIME=then\na=1\n");
  KeyValueStore store(path);
  store.Add("a", "1"); // unchanged
  EXPECT_FALSE(store.IsDirty());
  store.Save();
  EXPECT_EQ(ReadFile(path), "UPDATED_TIME=then\na=1\nb=2\n");

  store.Add("c", std::string("x = y"));
  EXPECT_TRUE(store.IsDirty());
  store.Save();
  EXPECT_FALSE(store.IsDirty());
  std::string stamped = store.GetString("UPDATED_TIME");
  EXPECT_NE(stamped, "then");
  EXPECT_EQ(ReadFile(path), "UPDATED_TIME=" + stamped + "\na=1\nb=2\nc=x = y\n");

  KeyValueStore again(path);
  EXPECT_EQ(again.Entries(), store.Entries());
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"s"}); // no temporary file left
}

TEST(store_KeyValueStore, TypedValues) {
  KeyValueStore s;
  s.AddHex("hex", 0xFFFFFFFF);
  EXPECT_STREQ(s["hex"], "0xFFFFFFFF");
  EXPECT_EQ(s.GetHex("hex"), 0xFFFFFFFFu);
  s.AddHex("small", 0x1A);
  EXPECT_STREQ(s["small"], "0x0000001A");
  s.Add("bare", "1a2B");
  EXPECT_EQ(s.GetHex("bare"), 0x1A2Bu);

  s.Add("file", "1234.bird");
  EXPECT_EQ(s.GetInt("file"), 1234);
  s.Add("neg", -17);
  EXPECT_STREQ(s["neg"], "-17");
  EXPECT_EQ(s.GetInt("neg"), -17);
  s.Add("huge", "99999999999");
  EXPECT_EQ(s.GetInt("huge"), INT_MAX);
  s.Add("text", "abc");
  EXPECT_EQ(s.GetInt("text", 5), 0);

  s.Add("d", 2.5);
  EXPECT_STREQ(s["d"], "2.500000");
  EXPECT_DOUBLE_EQ(s.GetDouble("d"), 2.5);

  s.Add("on", 7);
  s.Add("off", 0);
  EXPECT_TRUE(s.GetBOOL("on"));
  EXPECT_FALSE(s.GetBOOL("off", true));

  s.Add("empty", "");
  EXPECT_EQ(s.GetInt("empty", 9), 9);
  EXPECT_EQ(s.GetHex("empty", 9), 9u);
  EXPECT_TRUE(s.GetBOOL("empty", true));
  EXPECT_DOUBLE_EQ(s.GetDouble("empty", 1.5), 1.5);
  EXPECT_EQ(s.GetString("empty", "default"), "");
  EXPECT_EQ(s.GetInt("absent", 9), 9);
  EXPECT_EQ(s.GetString("absent", "default"), "default");
  EXPECT_EQ(s.GetString("absent"), "");
  EXPECT_EQ(s["absent"], nullptr);
  EXPECT_EQ(s.Entries().count("absent"), 0u);
}

TEST(store_KeyValueStore, DirtyTracking) {
  KeyValueStore s;
  s.Add("absent-empty", "");
  EXPECT_FALSE(s.IsDirty()); // an absent key counts as an empty value
  s.Add("k", 1);
  EXPECT_TRUE(s.IsDirty());

  TempDir dir;
  std::string path = dir.write("s", "k=1\n");
  KeyValueStore a(path);
  KeyValueStore same;
  same.Add("k", 1);
  a.Add(same);
  EXPECT_TRUE(a.IsDirty()); // copying entries marks dirty even when equal

  KeyValueStore b(path);
  b.Add(KeyValueStore());
  EXPECT_FALSE(b.IsDirty());
  b.Clear();
  EXPECT_TRUE(b.IsDirty());
  EXPECT_TRUE(b.Entries().empty());
}

TEST(store_KeyValueStore, LoadMergesIntoExistingEntries) {
  TempDir dir;
  KeyValueStore s;
  s.Add("kept", "1");
  s.Add("over", "old");
  s.Load(dir.write("s", "over=new\nadded=2\n"));
  EXPECT_STREQ(s["kept"], "1");
  EXPECT_STREQ(s["over"], "new");
  EXPECT_STREQ(s["added"], "2");
  EXPECT_FALSE(s.IsDirty());
}

TEST(store_KeyValueStore, SaveFailureKeepsTheStoreDirty) {
  TempDir dir;
  KeyValueStore s;
  s.Add("k", "v");
  StoreLog log(DEBUG_Attributes);
  std::string path = dir / "missing/dir/s";
  s.Save(path);
  EXPECT_TRUE(s.IsDirty());
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n"));
}

TEST(store_KeyValueStore, SaveWithoutAPathUsesTheDefaultName) {
  TempDir dir;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  StoreLog log(DEBUG_Attributes);
  KeyValueStore s;
  s.Add("k", "v");
  s.Save();
  EXPECT_EQ(chdir(old), 0);
  EXPECT_TRUE(log.contains("Attibutes: no filename given for attributes, using default:[.settings]\n"));
  EXPECT_EQ(ReadFile(dir / ".settings"), "UPDATED_TIME=" + s.GetString("UPDATED_TIME") + "\nk=v\n");
}

// Save puts a new file in place of the old one: a reader that opened the old
// file keeps reading it whole, and the new one is complete when it appears.
TEST(store_KeyValueStore, SaveReplacesTheFileRatherThanRewritingIt) {
  TempDir dir;
  std::string path = dir.write("s", "old=1\n");
  FILE *reader = fopen(path.c_str(), "rb");
  ASSERT_NE(reader, nullptr);
  KeyValueStore store(path);
  store.Clear();
  store.Add("new", "2");
  store.Save();
  char text[64] = {};
  size_t n = fread(text, 1, sizeof text - 1, reader);
  fclose(reader);
  EXPECT_EQ(std::string(text, n), "old=1\n");
  EXPECT_EQ(ReadFile(path), "UPDATED_TIME=" + store.GetString("UPDATED_TIME") + "\nnew=2\n");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"s"});
}

// A reader never sees a partial file while another process saves, and a
// writer killed at any moment of Save leaves the old file or the new one.
TEST(store_KeyValueStore, SaveIsAtomicWhenKilled) {
  TempDir dir;
  std::string path = dir / "s";
  auto generation = [](int g) {
    KeyValueStore s;
    for (int k = 0; k < 1000; ++k)
      s.Add("key" + std::to_string(k), std::string(60, char('a' + g % 26)) + std::to_string(g));
    s.Add("zz_end", g);
    return s;
  };
  // The whole file of a generation as read back, UPDATED_TIME aside.
  auto complete = [&](const std::string &text) {
    KeyValueStore read;
    std::string key, value;
    size_t start = 0, lines = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos)
        return false; // a line cut short
      std::string line = text.substr(start, end + 1 - start);
      if (KeyValueStore::ParseLine(line.c_str(), key, value) && key != "UPDATED_TIME") {
        read.Add(key, value);
        ++lines;
      }
      start = end + 1;
    }
    int g = read.GetInt("zz_end", -1);
    return g >= 0 && g <= 2 && lines == 1001 && read.Entries() == generation(g).Entries();
  };
  generation(0).Save(path);
  const KeyValueStore one = generation(1), two = generation(2);
  pid_t deadWriter = 0;
  for (int round = 0; round < 20; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KeyValueStore a = one, b = two;
      for (;;) {
        a.Save(path);
        b.Save(path);
      }
    }
    uint32_t start = cTime_GetMSTicks();
    int reads = 0;
    bool torn = false;
    while (!torn && cTime_GetMSTicks() - start < uint32_t(5 + round % 7)) {
      torn = !complete(ReadFile(path));
      ++reads;
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(torn) << "round " << round << " read " << reads;
    ASSERT_TRUE(complete(ReadFile(path))) << "round " << round << " after the kill";
    deadWriter = child;
  }
  // The killed writers' temporary files (one made here for certain) go at the
  // next save into the directory; those of running processes stay.
  dir.write(".tmp-" + std::to_string(deadWriter) + "-7", std::string(100, 'x'));
  std::string live = ".tmp-" + std::to_string(getpid()) + "-999999", init = ".tmp-1-0";
  dir.write(live, "being written");
  dir.write(init, "being written");
  generation(0).Save(path);
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"s", live, init}));
}
