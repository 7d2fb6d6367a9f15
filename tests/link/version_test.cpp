#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "quillwork/cDefs.h"
#include "quillwork/cVersion.h"

namespace {

TEST(VersionPacking, NewAndLegacyFormats) {
  EXPECT_EQ(cVersion_Pack(2, 15, 0), 0x2F020F00u);
  EXPECT_EQ(cVersion_Pack(2, 14, 5), 0x2E000005u);
  EXPECT_EQ(cVersion_Pack(3, 0, 1), 0x2F030001u);
  EXPECT_EQ(cVersion_Pack(1, 2, 3), 0x12000003u);
  // The patch is taken as 8 bits, so 1.2.300 cannot be packed.
  EXPECT_EQ(cVersion_Pack(1, 2, 300), 0x1200002Cu);

  EXPECT_FALSE(cVersion_IsLegacyFormat(0x2F020F00));
  EXPECT_TRUE(cVersion_IsLegacyFormat(0x2E000005));
  EXPECT_TRUE(cVersion_IsLegacyFormat(0x1200012C));
  EXPECT_TRUE(cVersion_IsLegacyFormat(0x0F000000));
  EXPECT_FALSE(cVersion_IsLegacyFormat(0x30000000));
}

TEST(VersionPacking, ParseGivesBackTheTriple) {
  struct Case {
    uint32_t packed;
    unsigned major, minor, patch;
    const char *text;
  } cases[] = {
      {0x2F020F00, 2, 15, 0, "2.15.0"},
      {0x2E000005, 2, 14, 5, "2.14.5"},
      {0x1200012C, 1, 2, 300, "1.2.300"},
      {0x2FFF0102, 255, 1, 2, "255.1.2"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(cVersion_ParseMajor(c.packed), c.major) << c.text;
    EXPECT_EQ(cVersion_ParseMinor(c.packed), c.minor) << c.text;
    EXPECT_EQ(cVersion_ParsePatch(c.packed), c.patch) << c.text;
    char buffer[32];
    EXPECT_EQ(cVersion_ParseString(c.packed, buffer, sizeof buffer), static_cast<int>(strlen(c.text)));
    EXPECT_STREQ(buffer, c.text);
  }
  // snprintf semantics: truncated, terminated, full length returned.
  char small[4];
  EXPECT_EQ(cVersion_ParseString(0x2F020F00, small, sizeof small), 6);
  EXPECT_STREQ(small, "2.1");
}

TEST(VersionCompare, Lexicographic) {
  EXPECT_TRUE(cVersion_IsAtLeastCompare(2, 12, 2, 2, 12, 2));
  EXPECT_FALSE(cVersion_IsAtLeastCompare(2, 12, 2, 2, 12, 3));
  EXPECT_TRUE(cVersion_IsAtLeastCompare(2, 12, 2, 1, 99, 99));
  EXPECT_FALSE(cVersion_IsAtLeastCompare(2, 12, 2, 2, 13, 0));
  EXPECT_TRUE(cVersion_IsAtLeastCompare(2, 12, 2, 2, 11, 200));
  EXPECT_FALSE(cVersion_IsAtLeastCompare(1, 200, 200, 2, 0, 0));
  // Components compare as 8 bits.
  EXPECT_TRUE(cVersion_IsAtLeastCompare(2, 12, 2, 2, 12, 258));
}

TEST(LibraryVersion, IsTwoTwelveTwo) {
  EXPECT_EQ(cVersion_GetMajor(), 2u);
  EXPECT_EQ(cVersion_GetMinor(), 12u);
  EXPECT_EQ(cVersion_GetPatch(), 2u);
  EXPECT_STREQ(cVersion_GetString(), "2.12.2");
  EXPECT_EQ(cVersion_GetString(), cVersion_GetString()); // one buffer, made once
  EXPECT_TRUE(cVersion_IsAtLeast(2, 12, 2));
  EXPECT_TRUE(cVersion_IsAtLeast(2, 11, 9));
  EXPECT_FALSE(cVersion_IsAtLeast(2, 12, 3));
  EXPECT_FALSE(cVersion_IsAtLeast(3, 0, 0));
}

TEST(LibraryVersion, Features) {
  EXPECT_TRUE(cVersion_HasFeature("VERSION"));
  EXPECT_FALSE(cVersion_HasFeature("version"));
  EXPECT_FALSE(cVersion_HasFeature("VERSIONS"));
  EXPECT_FALSE(cVersion_HasFeature(nullptr));
  char *list = cVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  cVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  cVersion_DestroyFeatureList(&list); // harmless twice
}

TEST(ModelNames, SeventeenNamesAndUnknown) {
  std::set<std::string> names;
  for (uint32_t model = 0; model < 24; ++model) {
    const char *name = cDefs_GetModelName(model);
    ASSERT_NE(name, nullptr);
    if (strcmp(name, "Unknown") != 0)
      names.insert(name);
  }
  EXPECT_EQ(names.size(), 17u); // 17 distinct product names
  EXPECT_STREQ(cDefs_GetModelName(24), "Unknown");
  EXPECT_STREQ(cDefs_GetModelName(0xFFFFFFFF), "Unknown");
  EXPECT_EQ(cDefs_GetModelName(1), cDefs_GetModelName(1)); // static text
}

} // namespace
