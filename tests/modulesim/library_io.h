// Talking to simulated modules through the link library's own byte streams.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "quillwork/cStream.h"

namespace simtest {

// Reads n bytes through the stream, one get at a time, for at most timeout.
inline std::vector<uint8_t> streamRead(cStream *s, size_t n, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    uint8_t b;
    cErr e = cStream_Read(s, &b, 1);
    if (e == cErrNone)
      out.push_back(b);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1)); // nothing yet (or a dropped frame)
  }
  return out;
}

inline cErr streamWrite(cStream *s, const std::vector<uint8_t> &bytes) {
  return cStream_Write(s, bytes.data(), bytes.size());
}

} // namespace simtest
