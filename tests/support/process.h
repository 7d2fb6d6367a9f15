// Runs a program to completion with its standard output and standard error
// captured separately. Every wait is bounded: a program still running after
// the time limit is killed and reported as timed out.
#pragma once

#include <string>
#include <vector>

namespace qwtest {

struct ProcessResult {
  int status = -1; // exit status; -1 when killed or not started
  bool timedOut = false;
  std::string out;
  std::string err;
};

// argv[0] is the program path. env entries "NAME=value" are added to the
// current environment.
ProcessResult RunProcess(const std::vector<std::string> &argv, int timeoutMs = 30000,
                         const std::vector<std::string> &env = {});

// Splits text into lines (without their "\n"); a final line without "\n" is
// kept.
std::vector<std::string> Lines(const std::string &text);

} // namespace qwtest
