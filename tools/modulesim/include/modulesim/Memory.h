// A module's sparse memory: what landed where. Contiguous writes are kept as
// one segment so an image can be compared byte for byte and searched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace modulesim {

class Memory {
public:
  void write(uint32_t address, const uint8_t *data, size_t length);
  // Bytes never written read as 0xFF (erased flash).
  std::vector<uint8_t> read(uint32_t address, size_t length) const;
  bool empty() const { return segments_.empty(); }
  void clear() { segments_.clear(); }
  const std::map<uint32_t, std::vector<uint8_t>> &segments() const { return segments_; }

private:
  std::map<uint32_t, std::vector<uint8_t>> segments_; // start -> bytes, never overlapping or touching
};

// The marker a test image carries so that the simulated module knows which
// version and build it runs after an update: the 8 ASCII bytes "QWSIMIMG",
// then the packed version and the build, both 32-bit big-endian (16 bytes).
constexpr char kImageMarkerTag[8] = {'Q', 'W', 'S', 'I', 'M', 'I', 'M', 'G'};
constexpr size_t kImageMarkerSize = 16;

std::vector<uint8_t> makeImageMarker(uint32_t packedVersion, uint32_t build);

struct ImageIdentity {
  uint32_t version = 0;
  uint32_t build = 0;
};
// The first marker found in the written memory, if any.
std::optional<ImageIdentity> findImageMarker(const Memory &memory);
std::optional<ImageIdentity> findImageMarker(const uint8_t *data, size_t length);

} // namespace modulesim
