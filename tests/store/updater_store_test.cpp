#include <gtest/gtest.h>

#include <dirent.h>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

#include "birdtool/BirdWriter.h"
#include "process.h"
#include "store/UpdaterStore.h"
#include "store_test_util.h"
#include "tempdir.h"

using qwtest::ReadFile;
using qwtest::StoreLog;
using qwtest::TempDir;

namespace {

bool IsDir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string ThrownText(const std::function<void()> &f) {
  try {
    f();
  } catch (const std::runtime_error &e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// Entry names of a directory in listing order, "." and ".." left out.
std::vector<std::string> ListingOrder(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

} // namespace

TEST(store_UpdaterStore, ConstructionEnsuresTheRoot) {
  TempDir dir;
  std::string root = dir / "storage/updater";
  StoreLog log(DEBUG_Updater);
  UpdaterStore store(root);
  EXPECT_TRUE(IsDir(root));
  EXPECT_EQ(store.BasePath(), root);
  EXPECT_TRUE(log.contains("UpdaterStore: Created directory [" + root + "].\n"));
  UpdaterStore again(root);
  EXPECT_TRUE(log.contains("UpdaterStore: [" + root + "] already exists.\n"));

  std::string file = dir.write("plain", "x");
  EXPECT_EQ(ThrownText([&] { UpdaterStore s(file); }), "UpdaterStore: " + file + " exists and is a file");
  EXPECT_EQ(ThrownText([&] { UpdaterStore s(file + "/below"); }),
            "UpdaterStore: Could not create directory " + file + "/below error 12");
}

TEST(store_UpdaterStore, AddDeviceCreatesItsDirectoryAndSettings) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  std::string device = dir / "000012AB";
  EXPECT_TRUE(IsDir(device));
  EXPECT_EQ(item.base_path, dir.path());
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  auto lines = qwtest::Lines(ReadFile(device + "/.settings"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
  EXPECT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);

  // Adding it again keeps its settings.
  item.settings.Add("LATEST_DOWNLOAD", "1234.bird");
  item.settings.Save();
  UpdaterStoreItem again = store.AddDevice("000012AB");
  EXPECT_EQ(again.settings.GetInt("LATEST_DOWNLOAD"), 1234);

  EXPECT_THROW(store.AddDevice(""), std::runtime_error);
  EXPECT_THROW(store.AddDevice("a/b"), std::runtime_error);
  EXPECT_FALSE(UpdaterStoreItem().IsValid());
  EXPECT_EQ(UpdaterStoreItem().kind, STORE_ITEM_NONE);
}

TEST(store_UpdaterStore, FindDeviceMatchesEntryNamesBySubstring) {
  TempDir dir;
  UpdaterStore store(dir.path());
  ASSERT_EQ(mkdir((dir / "X000012ABY").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "Z000012AB").c_str(), 0755), 0);
  dir.write("other", "");

  StoreLog log(DEBUG_Updater);
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(0x12AB, &item));
  std::string first;
  for (const std::string &name : ListingOrder(dir.path()))
    if (name.find("000012AB") != std::string::npos) {
      first = name;
      break;
    }
  EXPECT_EQ(item.name, first);
  EXPECT_EQ(item.base_path, dir.path());
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 000012AB.\n"));
  EXPECT_TRUE(log.contains("_find_item([" + dir.path() + "/"));

  EXPECT_TRUE(store.FindDevice("000012AB", nullptr));
  EXPECT_FALSE(store.FindDevice(0x12AC, nullptr));
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 000012AC.\n"));

  UpdaterStoreItem file;
  ASSERT_TRUE(store.FindDevice("oth", &file));
  EXPECT_EQ(file.kind, STORE_ITEM_FILE);
  EXPECT_FALSE(Exists(dir / "other/.settings"));
}

TEST(store_UpdaterStore, FindDeviceIgnoresTheRootsOwnPath) {
  TempDir dir;
  // The storage directory's own path holds the serial text: only the names
  // of the root's entries may match, never "." or "..".
  std::string root = dir / "40F5849A/updater";
  UpdaterStore store(root);
  store.AddDevice(0x1);
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
  EXPECT_FALSE(item.IsValid());
  EXPECT_FALSE(store.FindDevice(".", nullptr));
  EXPECT_FALSE(store.FindDevice("", nullptr));
  std::vector<UpdaterStoreItem> builds;
  EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, builds));
  EXPECT_TRUE(builds.empty());
  EXPECT_FALSE(Exists(root + "/.settings"));
}

TEST(store_UpdaterStore, FindLocalBuildsListsStoredEntries) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x12AB);
  ASSERT_EQ(device.WriteFile("1234.bird", "bird", 4), cErrNone);
  ASSERT_EQ(mkdir((device.Path() + "/notes").c_str(), 0755), 0);

  StoreLog log(DEBUG_Updater);
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x12AB, items));
  ASSERT_EQ(items.size(), 2u);
  std::map<std::string, store_item_t> kinds;
  for (const auto &i : items) {
    kinds[i.name] = i.kind;
    EXPECT_EQ(i.base_path, device.Path());
  }
  EXPECT_EQ(kinds,
            (std::map<std::string, store_item_t>{{"1234.bird", STORE_ITEM_FILE}, {"notes", STORE_ITEM_DIRECTORY}}));
  EXPECT_TRUE(log.contains("_find_items([" + device.Path() + "/.settings], 0, "));
  // A file's settings are looked for below it: nothing is created there.
  EXPECT_EQ(ReadFile(device.Path() + "/1234.bird"), "bird");

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x777, none));
  EXPECT_TRUE(none.empty());
}

TEST(store_UpdaterStore, FileExistsMatchesNamesInTheItemsDirectory) {
  TempDir dir;
  UpdaterStore store(dir / "1234.bird.d"); // the root's own path holds the text
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  StoreLog log(DEBUG_Updater);
  EXPECT_FALSE(device.FileExists("1234.bird"));
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 1234.bird.\n"));
  ASSERT_EQ(device.WriteFile("X1234.birdY", "", 0), cErrNone);
  EXPECT_TRUE(device.FileExists("1234.bird"));
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 1234.bird.\n"));
  EXPECT_TRUE(device.FileExists(".settings"));
  EXPECT_FALSE(device.FileExists(""));
}

TEST(store_UpdaterStore, WriteFileReplacesAtomically) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x1);
  EXPECT_EQ(device.WriteFile("a.bird", nullptr, 4), cErrNotFound);
  EXPECT_FALSE(Exists(device.Path() + "/a.bird"));
  ASSERT_EQ(device.WriteFile("a.bird", "first", 5), cErrNone);
  ASSERT_EQ(device.WriteFile("a.bird", "2nd", 3), cErrNone);
  EXPECT_EQ(ReadFile(device.Path() + "/a.bird"), "2nd");
  EXPECT_EQ(ListingOrder(device.Path()).size(), 2u); // .settings and a.bird, no temporary

  UpdaterStoreItem gone(dir.path(), "absent", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("a.bird", "x", 1), cErrNotFound);
}

TEST(store_UpdaterStore, ReadBirdFile) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x12AB);

  birdwriter::Image image;
  image.AddInfo({"1234", "2.10.3", "000012AB", "QW"}).Firmware(0, qwtest::Seq(100));
  birdwriter::Bytes bytes = image.Pack();
  ASSERT_EQ(device.WriteFile("1234.bird", bytes.data(), bytes.size()), cErrNone);
  BirdFile bird = device.ReadBirdFile("1234.bird");
  EXPECT_EQ(bird.GetBuild(), 1234u);
  EXPECT_EQ(bird.Path(), device.Path() + "/1234.bird");

  std::string bad = device.Path() + "/bad.bird";
  device.WriteFile("bad.bird", "bird\x01\x00zzzz", 10);
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("bad.bird"); }), "Invalid bird " + bad);
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("missing.bird"); }),
            "Invalid bird " + device.Path() + "/missing.bird");
  device.WriteFile("body.bird", "bird\x01\x01zzzz", 10);
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("body.bird"); }), "Failed to load bird data");
}

TEST(store_UpdaterStore, ItemsCopyTheirSettings) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem a = store.AddDevice(0x5);
  a.settings.Add("K", "1");
  UpdaterStoreItem b = a;
  b.settings.Add("K", "2");
  EXPECT_STREQ(a.settings["K"], "1");
  EXPECT_EQ(b.name, a.name);
  EXPECT_EQ(b.kind, STORE_ITEM_DIRECTORY);
}
