// Small BIRD files for the server tests: header, a zlib body made of stored
// (uncompressed) deflate blocks, an info block and one firmware block.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qwtest {

inline void PutBE32(std::string &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((v >> shift) & 0xFF);
}

// A zlib stream (RFC 1950) of stored deflate blocks holding data.
inline std::string ZlibStored(const std::string &data) {
  std::string out("\x78\x01", 2);
  size_t pos = 0;
  do {
    size_t n = data.size() - pos < 65535 ? data.size() - pos : 65535;
    bool last = pos + n == data.size();
    out += static_cast<char>(last ? 1 : 0);
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(~n & 0xFF);
    out += static_cast<char>((~n >> 8) & 0xFF);
    out.append(data, pos, n);
    pos += n;
  } while (pos < data.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  PutBE32(out, (b << 16) | a);
  return out;
}

inline std::string Field16(const std::string &text) {
  std::string f = text.substr(0, 16);
  f.resize(16, ' ');
  return f;
}

// A BIRD file for one module: info block (build, version, serial, model) and
// a firmware block with the given payload at address 0x8000.
inline std::string MakeBird(uint32_t build, const std::string &version, uint32_t serial,
                            const std::string &payload = "firmware", const std::string &model = "QW-HUB") {
  char sn[9];
  snprintf(sn, sizeof sn, "%08X", serial);
  std::string info = Field16(std::to_string(build)) + Field16(version) + Field16(sn) + Field16(model);
  std::string body;
  PutBE32(body, 2);
  body += static_cast<char>(4);
  PutBE32(body, 64);
  body += info;
  body += static_cast<char>(1);
  PutBE32(body, static_cast<uint32_t>(payload.size() + 4));
  PutBE32(body, 0x8000);
  body += payload;
  PutBE32(body, 0x12345678); // file checksum (not checked by readers)
  return std::string("bird\x01\x01", 6) + ZlibStored(body);
}

} // namespace qwtest
