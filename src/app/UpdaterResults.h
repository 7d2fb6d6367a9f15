// Where the results of a command go besides the console: the values a script
// wants (counts, times, paths) are recorded next to the messages that show
// them. A display may carry one (UpdaterDisplayInterface::results); without
// one nothing is recorded. Values land in the member of the command that is
// running, or in its named section ("loader", "firmware") when one is given.
#pragma once

#include <cstdint>
#include <string>

class UpdaterResults {
public:
  virtual void recordCount(const char *section, const char *key, uint64_t value) = 0;
  virtual void recordSeconds(const char *section, const char *key, double value) = 0;
  virtual void recordText(const char *section, const char *key, const std::string &value) = 0;
  // A hint shown on the console (standard error) besides the messages.
  virtual void hint(const std::string &text) = 0;

protected:
  ~UpdaterResults() = default;
};
