// Consistent Overhead Byte Stuffing and the CRC-8 of serial frames.
#include <array>
#include <cstring>

#include "quillwork/cStream.h"

namespace {

// The encoded length of length input bytes (without a delimiter).
size_t sEncodedLength(const uint8_t *input, size_t length) {
  size_t encoded = 1; // the first code byte
  size_t run = 0;     // non-zero bytes in the current block
  for (size_t i = 0; i < length; ++i) {
    if (input[i] == 0) {
      encoded += 1; // the zero becomes the next block's code byte
      run = 0;
      continue;
    }
    encoded += 1;
    if (++run == 254 && i + 1 < length) {
      encoded += 1; // a full block ends without an implied zero; a new code byte follows
      run = 0;
    }
  }
  return encoded;
}

// Encodes forward. Safe in place when input starts at least as far into the
// buffer as the encoding grows: the write position never passes the read one.
size_t sEncode(const uint8_t *input, size_t length, uint8_t *output) {
  size_t out = 1;
  size_t codeAt = 0;
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = input[i];
    if (byte != 0) {
      output[out++] = byte;
      ++code;
    }
    if (byte == 0 || code == 0xFF) {
      output[codeAt] = code;
      code = 1;
      codeAt = out;
      if (byte == 0 || i + 1 < length)
        ++out;
    }
  }
  output[codeAt] = code;
  return out;
}

constexpr std::array<uint8_t, 256> sMakeCrcTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint8_t crc = static_cast<uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    table[i] = crc;
  }
  return table;
}
constexpr std::array<uint8_t, 256> sCrcTable = sMakeCrcTable();

} // namespace

size_t cobs_encode(const uint8_t *input, size_t length, uint8_t *output) {
  if ((input == nullptr && length > 0) || output == nullptr)
    return 0;
  return sEncode(input, length, output);
}

size_t cobs_encode_inplace(uint8_t *buffer, size_t length) {
  if (buffer == nullptr)
    return 0;
  size_t encoded = sEncodedLength(buffer, length);
  size_t shift = encoded - length;
  memmove(buffer + shift, buffer, length);
  return sEncode(buffer + shift, length, buffer);
}

size_t cobs_decode(const uint8_t *input, size_t length, uint8_t *output) {
  if (input == nullptr || output == nullptr)
    return 0;
  // Decoding never grows the text, so output may be input (in place).
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    uint8_t code = input[in++];
    if (code == 0 || in + code - 1 > length)
      return 0;
    for (unsigned k = 1; k < code; ++k) {
      if (input[in] == 0)
        return 0;
      output[out++] = input[in++];
    }
    if (code != 0xFF && in < length)
      output[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t *buffer, size_t length) { return cobs_decode(buffer, length, buffer); }

uint8_t crc8_update(uint8_t crc, uint8_t byte) { return sCrcTable[crc ^ byte]; }

uint8_t crc8_create(const uint8_t *data, size_t length) {
  uint8_t crc = 0;
  if (data == nullptr)
    return crc;
  for (size_t i = 0; i < length; ++i)
    crc = crc8_update(crc, data[i]);
  return crc;
}

bool crc8_check(const uint8_t *data, size_t length, uint8_t expected) { return crc8_create(data, length) == expected; }
