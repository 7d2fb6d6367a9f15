// The UU line decoder of the LPC boot ROM client: any line with any output
// capacity decodes within the capacity; and any bytes encode into one line
// that decodes back to them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "recovery/NXPSerial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  // A line as the boot ROM may send it, into a buffer of the first byte's
  // size (exactly that large, so that ASan sees any write past it).
  size_t capacity = data[0] % 80;
  std::string line(reinterpret_cast<const char *>(data + 1), size - 1);
  line = line.c_str(); // a text line ends at its first zero byte
  std::vector<uint8_t> out(capacity);
  size_t produced = NXPSerialClass::uudecode(out.data(), capacity, line.c_str());
  if (produced > capacity)
    __builtin_trap();

  // Round trip of the raw bytes.
  char encoded[1 + 4 * 15 + 1];
  size_t consumed = NXPSerialClass::uuencode(encoded, data + 1, size - 1);
  if (consumed != std::min<size_t>(size - 1, NXPSerialClass::MAX_BYTES_PER_LINE))
    __builtin_trap();
  if (strlen(encoded) != 1 + 4 * ((consumed + 2) / 3))
    __builtin_trap();
  for (const char *c = encoded; *c; ++c)
    if (*c < 0x21 || *c > 0x60) // the protocol's characters: "!" to the grave accent
      __builtin_trap();
  uint8_t back[NXPSerialClass::MAX_BYTES_PER_LINE];
  if (NXPSerialClass::uudecode(back, sizeof back, encoded) != consumed || memcmp(back, data + 1, consumed) != 0)
    __builtin_trap();
  return 0;
}
