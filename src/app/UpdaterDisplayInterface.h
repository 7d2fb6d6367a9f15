// The sink for everything a user sees: messages at two levels, a progress bar
// and a spinner.
#pragma once

class UpdaterResults;

class UpdaterDisplayInterface {
public:
  enum Level { Info = 0, Error = 1 };

  virtual void display_progress(bool on) = 0;
  virtual void update_progress(double fraction, const char *label) = 0;
  virtual void update_spinner(bool on, const char *label) = 0;
  virtual void info_message(const char *text) = 0;
  virtual void error_message(const char *text) = 0;

  // Formats printf-style (cut to 2047 characters) and hands the text, without
  // a newline, to error_message for Error and info_message otherwise.
  void message(Level level, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // Muting silences message() only; progress and spinner still show.
  void mute_messages(bool on) { muted = on; }

  bool muted = false;
  // Where command results are recorded as well (--json); null: nowhere.
  UpdaterResults *results = nullptr;

protected:
  // Not deleted through this interface: owners hold the concrete display.
  ~UpdaterDisplayInterface() = default;
};
