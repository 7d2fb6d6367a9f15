// BIRD file loader: the whole file path (header, zlib body, block scan) and,
// since few mutated zlib streams survive their checksum, the block scan on the
// input taken as an already inflated body; then every query and in-memory
// transformation on what was parsed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/Log.h"
#include "store/BirdFile.h"

namespace {

void exercise(BirdFile &file) {
  (void)file.GetSerialNumber();
  (void)file.GetBuild();
  (void)file.GetVersion();
  (void)file.GetModel();
  (void)file.ValidateModel("QW");
  (void)file.ValidateModel("");
  for (uint8_t type = 0; type < 8; ++type)
    (void)file.FindBlocks(type);
  const uint8_t pattern[2] = {0x00, 0x01};
  (void)file.ValidateData(pattern, sizeof pattern);
  BirdFile copy = file;
  (void)copy.ReplaceSerialNumber(0x40F5849A);
  const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  (void)copy.DecodeFirmwareBlocks(key);
  (void)copy.UpdateVectorChecksum();
  BirdFile moved = std::move(copy);
  (void)moved.GetBuild();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Formatting the debug lines is part of what is tested.
  Log::SetOutput(fopen("/dev/null", "w"));
  Log::ActivatePackage(DEBUG_BirdFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  BirdFile whole;
  if (whole.LoadFromMemory(data, size))
    exercise(whole);

  // An exact-size copy so that any read past the body is caught.
  std::vector<uint8_t> body(data, data + size);
  BirdFile scanned;
  (void)scanned.ScanBlocks(body.empty() ? nullptr : body.data(), body.size());
  (void)scanned.FindSerialNumberOffsets();
  exercise(scanned);
  return 0;
}
