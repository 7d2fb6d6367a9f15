// Firmware and library versions. A version major.minor.patch is packed into 32
// bits: versions from 2.15 on as 0x2F, major, minor, patch (one byte each);
// older ones in the legacy layout major:4 minor:4 patch:24.
#pragma once

#include <cstddef>
#include <cstdint>

#define cVERSION_MAJOR 2
#define cVERSION_MINOR 12
#define cVERSION_PATCH 2
#define cVERSION_PHASE "."

uint32_t cVersion_Pack(unsigned major, unsigned minor, unsigned patch);
bool cVersion_IsLegacyFormat(uint32_t packed);
unsigned cVersion_ParseMajor(uint32_t packed);
unsigned cVersion_ParseMinor(uint32_t packed);
unsigned cVersion_ParsePatch(uint32_t packed);
// Writes "%d.%d.%d" with snprintf semantics and returns snprintf's result.
int cVersion_ParseString(uint32_t packed, char *buffer, size_t size);

unsigned cVersion_GetMajor(void);
unsigned cVersion_GetMinor(void);
unsigned cVersion_GetPatch(void);
const char *cVersion_GetString(void);
bool cVersion_IsAtLeast(unsigned major, unsigned minor, unsigned patch);
// True when (a, b, c) >= (d, e, f), each component compared as 8 bits.
bool cVersion_IsAtLeastCompare(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f);

bool cVersion_HasFeature(const char *name);
char *cVersion_GetFeatureList(void);
void cVersion_DestroyFeatureList(char **list);
