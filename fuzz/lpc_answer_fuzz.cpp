// The LPC boot ROM client's answer parsing: return-code lines judged with
// echo on and off, and the code's text. Success needs a "0" where the code
// sits and no other digit beside it; any text names a table entry.
#include <cctype>
#include <cstdint>
#include <string>

#include "recovery/NXPSerial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line(reinterpret_cast<const char *>(data), size);
  for (bool echo : {false, true}) {
    if (!NXPSerialClass::ReturnCodeIsSuccess(line.data(), line.size(), echo))
      continue;
    size_t at = echo && size > 2 ? size - 3 : 0;
    if (line[at] != '0')
      __builtin_trap();
    if (!echo && at + 1 < size && isdigit(static_cast<unsigned char>(line[at + 1])))
      __builtin_trap();
    if (echo && at > 0 && isdigit(static_cast<unsigned char>(line[at - 1])))
      __builtin_trap();
  }
  const char *text = NXPSerialClass::GetErrorText(line.c_str());
  bool known = false;
  for (const char *entry : NXPSerialClass::ERROR_TEXT)
    known = known || entry == text;
  if (!known)
    __builtin_trap();
  return 0;
}
