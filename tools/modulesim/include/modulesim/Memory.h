// A module's sparse memory: what landed where. Contiguous writes are kept as
// one segment so an image can be compared byte for byte and searched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
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

// The build marker that the BIRD tool embeds in test images (birdwriter's
// MarkerBytes: "QWMARK01", build, version text, checksum): after an update
// the simulated module runs what the marker says.
struct ImageIdentity {
  uint32_t version = 0; // packed
  uint32_t build = 0;
};
// The first marker found in the written memory, if any.
std::optional<ImageIdentity> findImageMarker(const Memory &memory);
std::optional<ImageIdentity> findImageMarker(const uint8_t *data, size_t length);
// "2.16.3" packed as a module reports it; 0 when the text is not a version.
uint32_t packVersionText(const std::string &text);

} // namespace modulesim
