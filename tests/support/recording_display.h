// A display that records every message and progress call, for tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

namespace qwtest {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  struct Message {
    Level level;
    std::string text;
    bool operator==(const Message &) const = default;
  };

  void display_progress(bool on) override { progress.push_back(on ? "on" : "off"); }
  void update_progress(double fraction, const char *label) override {
    fractions.push_back(fraction);
    (void)label;
  }
  void update_spinner(bool on, const char *label) override {
    spinner.push_back(std::string(on ? "spin:" : "stop:") + (label ? label : ""));
  }
  void info_message(const char *text) override { messages.push_back({Info, text}); }
  void error_message(const char *text) override { messages.push_back({Error, text}); }

  std::vector<std::string> texts(Level level) const {
    std::vector<std::string> out;
    for (const Message &m : messages)
      if (m.level == level)
        out.push_back(m.text);
    return out;
  }

  std::vector<Message> messages;
  std::vector<std::string> progress;
  std::vector<double> fractions;
  std::vector<std::string> spinner;
};

} // namespace qwtest
