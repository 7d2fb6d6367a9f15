// The console display: messages to standard output and standard error, and a
// progress bar and spinner drawn only when standard output is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
  // Switches standard output and standard error to unbuffered mode.
  CLI_Display();
  // For tests: write to the given streams; terminal < 0 asks isatty of out,
  // 0 or 1 forces the answer.
  CLI_Display(FILE *out, FILE *err, int terminal);
  ~CLI_Display() = default;

  void display_progress(bool on) override;
  void update_progress(double fraction, const char *label) override;
  void update_spinner(bool on, const char *label) override;
  void info_message(const char *text) override;
  void error_message(const char *text) override;

  // The shared spinner position (0-7), kept across spinners and displays.
  static uint8_t spinner_position;

private:
  bool isTerminal() const;
  void clearLine();

  FILE *out_;
  FILE *err_;
  int terminal_;
};
