// Captures the debug log of the server package for one test.
#pragma once

#include <cstdio>
#include <string>

#include "app/Log.h"

namespace qwtest {

class LogCapture {
public:
  LogCapture() : file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_ServerComm);
  }
  ~LogCapture() {
    Log::DeactivatePackage(DEBUG_ServerComm);
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

private:
  FILE *file_;
};

} // namespace qwtest
