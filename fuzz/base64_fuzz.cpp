// Base64: decoding any text never misbehaves, and whatever decodes encodes
// back to text that decodes to the same bytes; encoding any bytes round-trips.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/HTTPRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t len = 0;
  unsigned char *decoded = base64_decode(reinterpret_cast<const char *>(data), size, &len);
  if (decoded != nullptr) {
    if (size % 4 != 0 || len > size / 4 * 3 || decoded[len] != 0)
      __builtin_trap();
    size_t text_len = 0;
    char *text = base64_encode(decoded, len, &text_len);
    if (text == nullptr || text_len != size)
      __builtin_trap();
    size_t again_len = 0;
    unsigned char *again = base64_decode(text, text_len, &again_len);
    if (again == nullptr || again_len != len || memcmp(again, decoded, len) != 0)
      __builtin_trap();
    free(again);
    free(text);
    free(decoded);
  }

  size_t text_len = 0;
  char *text = base64_encode(data, size, &text_len);
  if (text == nullptr || text_len != (size + 2) / 3 * 4 || text[text_len] != '\0')
    __builtin_trap();
  unsigned char *back = base64_decode(text, text_len, &len);
  if (back == nullptr || len != size || memcmp(back, data, size) != 0)
    __builtin_trap();
  free(back);
  free(text);
  return 0;
}
