#include "quillwork/cVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Feature {
  const char *name;
  const char *description;
};
constexpr Feature FEATS[] = {{"VERSION", "Version Query API"}};
constexpr size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];

bool usesNewFormat(unsigned major, unsigned minor) { return major > 2 || (major == 2 && minor > 14); }

} // namespace

uint32_t cVersion_Pack(unsigned major, unsigned minor, unsigned patch) {
  major &= 0xFF;
  minor &= 0xFF;
  patch &= 0xFF;
  if (usesNewFormat(major, minor))
    return 0x2F000000u | (major << 16) | (minor << 8) | patch;
  return (major << 28) | ((minor & 0x0F) << 24) | patch;
}

bool cVersion_IsLegacyFormat(uint32_t packed) {
  unsigned major = packed >> 28;
  unsigned minor = (packed >> 24) & 0x0F;
  return !cVersion_IsAtLeastCompare(major, minor, 255, 2, 15, 0);
}

unsigned cVersion_ParseMajor(uint32_t packed) {
  return cVersion_IsLegacyFormat(packed) ? packed >> 28 : (packed >> 16) & 0xFF;
}

unsigned cVersion_ParseMinor(uint32_t packed) {
  return cVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0x0F : (packed >> 8) & 0xFF;
}

unsigned cVersion_ParsePatch(uint32_t packed) {
  return cVersion_IsLegacyFormat(packed) ? packed & 0x00FFFFFF : packed & 0xFF;
}

int cVersion_ParseString(uint32_t packed, char *buffer, size_t size) {
  return snprintf(buffer, size, "%d.%d.%d", static_cast<int>(cVersion_ParseMajor(packed)),
                  static_cast<int>(cVersion_ParseMinor(packed)), static_cast<int>(cVersion_ParsePatch(packed)));
}

unsigned cVersion_GetMajor(void) { return cVERSION_MAJOR; }
unsigned cVersion_GetMinor(void) { return cVERSION_MINOR; }
unsigned cVersion_GetPatch(void) { return cVERSION_PATCH; }

const char *cVersion_GetString(void) {
  // Made once; a function-local static is initialised thread-safely.
  static const std::string text = [] {
    char buffer[15];
    memset(buffer, 0, sizeof buffer);
    snprintf(buffer, sizeof buffer, "%d.%d%s%d", cVERSION_MAJOR, cVERSION_MINOR, cVERSION_PHASE, cVERSION_PATCH);
    return std::string(buffer);
  }();
  return text.c_str();
}

bool cVersion_IsAtLeast(unsigned major, unsigned minor, unsigned patch) {
  return cVersion_IsAtLeastCompare(cVERSION_MAJOR, cVERSION_MINOR, cVERSION_PATCH, major, minor, patch);
}

bool cVersion_IsAtLeastCompare(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f) {
  a &= 0xFF, b &= 0xFF, c &= 0xFF, d &= 0xFF, e &= 0xFF, f &= 0xFF;
  if (d != a)
    return d < a;
  if (e != b)
    return e < b;
  return f <= c;
}

bool cVersion_HasFeature(const char *name) {
  if (name == nullptr)
    return false;
  for (const Feature &f : FEATS)
    if (strcmp(name, f.name) == 0)
      return true;
  return false;
}

char *cVersion_GetFeatureList(void) {
  std::string text;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0)
      text += "\n";
    text += FEATS[i].name;
    text += " - ";
    text += FEATS[i].description;
  }
  char *list = static_cast<char *>(malloc(text.size() + 1));
  if (list != nullptr)
    memcpy(list, text.c_str(), text.size() + 1);
  return list;
}

void cVersion_DestroyFeatureList(char **list) {
  if (list == nullptr)
    return;
  free(*list);
  *list = nullptr;
}
