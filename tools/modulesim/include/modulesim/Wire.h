// Bytes on the wire as a module sees them: packets (address, length, data),
// their assembly from a byte stream, and the COBS + CRC-8 frames of serial
// links. The module side keeps its own codec so that a fault in the host's
// codec cannot hide behind the same fault here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace modulesim {

constexpr size_t kMaxData = 28;         // data bytes of one packet
constexpr uint8_t kSyncAddress = 0xAD;  // host's module-address query / sync request
constexpr uint8_t kRouteAddress = 0xAF; // host's route on/off

struct Packet {
  uint8_t address = 0;
  std::vector<uint8_t> data;

  Packet() = default;
  Packet(uint8_t a, std::vector<uint8_t> d) : address(a), data(std::move(d)) {}
  std::vector<uint8_t> bytes() const; // address, length, data
  bool operator==(const Packet &other) const = default;
};

// Turns a byte stream from the host into packets. A zero where an address is
// expected is skipped and a length above 28 drops the packet begun, so the
// module finds its footing again after garbage (the host's sync requests are
// empty packets and realign it at once).
class PacketAssembler {
public:
  // Adds one byte; returns a packet when it completes one.
  std::optional<Packet> add(uint8_t byte);
  void reset() { state_ = 0; }
  size_t dropped() const { return dropped_; }

private:
  int state_ = 0; // 0 address, 1 length, 2 data
  Packet current_;
  size_t want_ = 0;
  size_t dropped_ = 0;
};

// CRC-8 of the serial frames: reflected polynomial 0x31 (0x8C), initial 0, no
// final xor.
uint8_t crc8(const uint8_t *data, size_t length);

std::vector<uint8_t> cobsEncode(const std::vector<uint8_t> &in);
// Empty optional when a code byte points past the end or a zero is inside.
std::optional<std::vector<uint8_t>> cobsDecode(const std::vector<uint8_t> &in);

// One serial frame for a packet: COBS(address, length, data, crc) then 0x00.
std::vector<uint8_t> encodeFrame(const Packet &packet);

// Collects frames from a serial byte stream. Frames that fail COBS, the length
// or the CRC are counted and dropped.
class FrameDecoder {
public:
  std::optional<Packet> add(uint8_t byte);
  size_t badFrames() const { return bad_; }

private:
  std::vector<uint8_t> buffer_;
  bool overlong_ = false;
  size_t bad_ = 0;
};

// Big-endian helpers.
inline void putU16(std::vector<uint8_t> &v, uint16_t x) {
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}
inline void putU32(std::vector<uint8_t> &v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8)
    v.push_back(uint8_t(x >> s));
}
inline uint32_t getU32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t getU16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

} // namespace modulesim
