#include "modulesim/Memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "birdtool/BirdWriter.h"
#include "modulesim/SimModule.h"
#include "modulesim/Wire.h"

namespace modulesim {

void Memory::write(uint32_t address, const uint8_t *data, size_t length) {
  if (length == 0)
    return;
  uint64_t start = address, end = uint64_t(address) + length; // end exclusive
  // Merge every segment that overlaps or touches [start, end).
  auto it = segments_.upper_bound(address);
  if (it != segments_.begin()) {
    auto prev = std::prev(it);
    if (prev->first + uint64_t(prev->second.size()) >= start)
      it = prev;
  }
  uint64_t newStart = start, newEnd = end;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> merged;
  while (it != segments_.end() && it->first <= end) {
    newStart = std::min<uint64_t>(newStart, it->first);
    newEnd = std::max<uint64_t>(newEnd, it->first + uint64_t(it->second.size()));
    merged.emplace_back(it->first, std::move(it->second));
    it = segments_.erase(it);
  }
  std::vector<uint8_t> seg(size_t(newEnd - newStart), 0xFF);
  for (auto &[a, bytes] : merged)
    std::copy(bytes.begin(), bytes.end(), seg.begin() + (a - newStart));
  std::memcpy(seg.data() + (start - newStart), data, length);
  segments_.emplace(uint32_t(newStart), std::move(seg));
}

std::vector<uint8_t> Memory::read(uint32_t address, size_t length) const {
  std::vector<uint8_t> out(length, 0xFF);
  uint64_t start = address, end = start + length;
  for (const auto &[a, bytes] : segments_) {
    uint64_t s = std::max<uint64_t>(a, start), e = std::min<uint64_t>(a + uint64_t(bytes.size()), end);
    if (s < e)
      std::copy(bytes.begin() + (s - a), bytes.begin() + (e - a), out.begin() + (s - start));
  }
  return out;
}

uint32_t packVersionText(const std::string &text) {
  unsigned major = 0, minor = 0, patch = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &tail) != 3)
    return 0;
  return packVersion(major, minor, patch);
}

std::optional<ImageIdentity> findImageMarker(const uint8_t *data, size_t length) {
  auto m = birdwriter::FindMarker(data, length);
  if (!m)
    return std::nullopt;
  return ImageIdentity{packVersionText(m->version), m->build};
}

std::optional<ImageIdentity> findImageMarker(const Memory &memory) {
  for (const auto &[a, bytes] : memory.segments())
    if (auto id = findImageMarker(bytes.data(), bytes.size()))
      return id;
  return std::nullopt;
}

} // namespace modulesim
