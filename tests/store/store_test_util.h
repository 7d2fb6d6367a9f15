// Helpers for the store tests: a debug-log capture for chosen packages and
// BIRD images made with the BIRD file writer.
#pragma once

#include <cstdio>
#include <string>

#include "app/Log.h"
#include "birdtool/BirdWriter.h"

namespace qwtest {

class StoreLog {
public:
  explicit StoreLog(unsigned packages) : packages_(packages), file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(packages_);
  }
  ~StoreLog() {
    Log::DeactivatePackage(packages_);
    Log::SetOutput(nullptr);
    if (file_ != nullptr)
      fclose(file_);
  }
  StoreLog(const StoreLog &) = delete;
  StoreLog &operator=(const StoreLog &) = delete;

  std::string text() const {
    std::string out;
    if (file_ == nullptr)
      return out;
    fflush(file_);
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0)
      out.append(buf, n);
    fseek(file_, 0, SEEK_END);
    return out;
  }
  bool contains(const std::string &line) const { return text().find(line) != std::string::npos; }

private:
  unsigned packages_;
  FILE *file_;
};

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
