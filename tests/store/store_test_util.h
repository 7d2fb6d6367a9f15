// Helpers for the store tests: the debug-log capture and BIRD images made
// with the BIRD file writer.
#pragma once

#include <cstdio>
#include <string>

#include "app/Log.h"
#include "birdtool/BirdWriter.h"
#include "log_capture.h"

namespace qwtest {

// The store tests capture the log of the packages they name.
using StoreLog = LogCapture;

inline birdwriter::Bytes Seq(size_t n, uint8_t start = 0) {
  birdwriter::Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = uint8_t(start + i);
  return b;
}

inline std::string WriteBird(const std::string &path, const birdwriter::Image &image,
                             const birdwriter::PackOptions &options = {}) {
  std::string error;
  if (!image.Write(path, options, &error))
    throw std::runtime_error(error);
  return path;
}

} // namespace qwtest
