// The machine-readable result of one run (--json): one JSON document with
// "schema": 1 and a member per command that ran, in the order they ran,
// written to standard output once at the end. The document's form is
// schema/updater-result-1.schema.json; keys are never renamed or removed
// within schema 1.
//
// JsonDisplay stands in for the console while --json is given: errors still
// go to the console (standard error) and are remembered as the failure text
// of the running command; information messages, progress bars and spinners
// (all standard output) are left out, so that the document is all standard
// output carries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "app/UpdaterResults.h"
#include "server/UpdateServerRequest.h"

struct DeviceInfo;
struct Fingerprint;

class JsonReport : public UpdaterResults {
public:
  JsonReport();

  // A command starts: its member is made (named name) and results recorded
  // from now on land in it.
  void begin(const char *name);
  // The running command ends; failed, it carries "ok": false and the first
  // error the console showed during it (or fallback when it showed none).
  void end(bool ok, const char *fallback);
  // Members of the running command (begin first).
  void devices(const std::vector<DeviceInfo> &list, int type, uint32_t router_serial);
  void builds(const BuildList &list, uint32_t serial);
  void fingerprint(const Fingerprint &fingerprint);

  // An error message the console showed.
  void error(const char *text);
  // Whether the console showed an error since the running command began.
  bool errorShown() const;
  // The run ends with status; a failure outside any command (a parameter or
  // the storage directory) carries the first error as "message".
  void finish(int status);
  // The document as text (invalid UTF-8 replaced), with a final newline.
  std::string text() const;

  void recordCount(const char *section, const char *key, uint64_t value) override;
  void recordSeconds(const char *section, const char *key, double value) override;
  void recordText(const char *section, const char *key, const std::string &value) override;
  void hint(const std::string &text) override;

private:
  nlohmann::ordered_json &slot(const char *section, const char *key);

  mutable std::mutex lock_; // hints and errors may come from library threads
  nlohmann::ordered_json doc_;
  std::string command_;        // the running command's member; empty between commands
  std::string firstError_;     // of the running command, or of the run between commands
  bool commandFailed_ = false; // a failure outside commands ends the run
};

class JsonDisplay : public UpdaterDisplayInterface {
public:
  JsonDisplay(UpdaterDisplayInterface &console, JsonReport &report);
  ~JsonDisplay() = default;

  void display_progress(bool) override {}
  void update_progress(double, const char *) override {}
  void update_spinner(bool, const char *) override {}
  void info_message(const char *) override {}
  void error_message(const char *text) override;

private:
  UpdaterDisplayInterface &console_;
  JsonReport &report_;
};
