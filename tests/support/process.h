// Runs a program to completion with its standard output and standard error
// captured separately. Every wait is bounded: a program still running after
// the time limit is killed and reported as timed out.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qwtest {

struct ProcessResult {
  int status = -1; // exit status; -1 when killed or not started
  bool timedOut = false;
  bool interrupted = false; // RunProcessInterrupted sent SIGINT
  std::string out;
  std::string err;
};

// argv[0] is the program path. env entries "NAME=value" are added to the
// current environment.
ProcessResult RunProcess(const std::vector<std::string> &argv, int timeoutMs = 30000,
                         const std::vector<std::string> &env = {});

// As RunProcess, and interrupts the program with SIGINT (as Ctrl-C would), once,
// as soon as interrupt() returns true; it is asked every 5 ms while the program
// runs. result.interrupted tells whether the signal was sent.
ProcessResult RunProcessInterrupted(const std::vector<std::string> &argv, const std::function<bool()> &interrupt,
                                    int timeoutMs = 30000);

// Splits text into lines (without their "\n"); a final line without "\n" is
// kept.
std::vector<std::string> Lines(const std::string &text);

} // namespace qwtest
