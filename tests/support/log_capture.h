// Captures the debug log of chosen packages for one test.
#pragma once

#include <cstdio>
#include <string>

#include "app/Log.h"

namespace qwtest {

class LogCapture {
public:
  explicit LogCapture(unsigned packages) : packages_(packages), file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(packages_);
  }
  ~LogCapture() {
    Log::DeactivatePackage(packages_);
    Log::SetOutput(nullptr);
    if (file_ != nullptr)
      fclose(file_);
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Everything logged so far.
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

} // namespace qwtest
