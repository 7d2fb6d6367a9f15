#include "app/UpdaterMain.h"

#include <cerrno>
#include <cstdlib>

#include "app/BuildPath.h"
#include "app/JsonReport.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Usage.h"
#include "quillwork/cDirectory.h"
#include "updater/UpdaterEntity.h"

namespace {

// The -b text as a build number: 0 when empty or not a decimal number.
uint32_t buildNumber(const std::string &text) {
  if (text.empty())
    return 0;
  errno = 0;
  char *end = nullptr;
  unsigned long value = strtoul(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > 0xFFFFFFFFul)
    return 0;
  return static_cast<uint32_t>(value);
}

std::string serialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// The member of one command in the --json document, from its start to its
// end; without a report it does nothing.
class CommandResult {
public:
  CommandResult(JsonReport *report, const char *name, const char *fallback) : report_(report), fallback_(fallback) {
    if (report_)
      report_->begin(name);
  }
  ~CommandResult() { done(false); }
  CommandResult(const CommandResult &) = delete;
  CommandResult &operator=(const CommandResult &) = delete;
  // The command ended: ok, or failed with the last error shown.
  void done(bool ok) {
    if (report_ && !ended_)
      report_->end(ok, fallback_);
    ended_ = true;
  }
  JsonReport *operator->() const { return report_; }
  explicit operator bool() const { return report_ != nullptr; }

private:
  JsonReport *report_;
  const char *fallback_;
  bool ended_ = false;
};

// A module that reports the loader's serial number runs its loader: an update
// was cut short. The table stays as it is; a line after it says what to do.
void _display_loader_hints(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &devices) {
  for (const DeviceInfo &d : devices)
    if (d.spec.serialNumber == DEFAULT_LOADER_SERIAL)
      display.message(UpdaterDisplayInterface::Info,
                      "Module %08X is in its loader: run -U -d %08X to finish the update", d.spec.serialNumber,
                      d.spec.serialNumber);
}

int runCommands(Parameters &p, Updater &updater, UpdaterDisplayInterface &display, FILE *usage, JsonReport *report) {
  const auto Info = UpdaterDisplayInterface::Info;
  const auto Error = UpdaterDisplayInterface::Error;
  int status = 0;

  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    CommandResult result(report, "fingerprint", "fingerprint failed");
    if (p.serial_port.empty()) {
      display.message(Error, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, p.serial_port, 0xDEADDEAD, p.bird_file, p.baud_rate, true)) {
      _display_fingerprint(display, fingerprint);
      if (result)
        result->fingerprint(fingerprint);
      result.done(true);
    } else {
      display.message(Error, "Got no response from chip");
      status = 1;
    }
  }

  if (p.commands.IsSet(CMD_GET_BUILD)) {
    CommandResult result(report, "get", "get failed");
    if (p.serial_number == 0) {
      display.message(Error, "-G must specify a specific device via -d");
      display.message(Error, "--help for usage information");
      return 1;
    }
    display.message(Info, "Retrieving firmware for device with serial number %08X", p.serial_number);
    if (p.build.empty()) {
      display.message(Info, "No build specified");
      display.message(Info, "Using Latest build");
    } else {
      display.message(Info, "Retrieving firmware build %s", p.build.c_str());
    }
    uint32_t got = updater.Download_Firmware(p.serial_number, p.build, p.override_model_check, false);
    if (got != 0) {
      p.build = std::to_string(got);
      status = 0;
      if (result)
        result->recordCount(nullptr, "build", got);
      result.done(true);
    } else {
      status = 1;
    }
  }

  if (p.commands.IsSet(CMD_DISCOVER)) {
    CommandResult result(report, "discover", "discovery failed");
    linkType kind = (p.transport_given && p.transport != kTransportRecover) ? static_cast<linkType>(p.transport) : 0;
    std::vector<DeviceInfo> devices;
    if (p.router_serial_number != 0) {
      display.message(Info, "Searching for Quillwork Network devices connected to %08X", p.router_serial_number);
      devices = updater.Discover_QWNetwork_Devices(p.router_serial_number, kind);
    } else {
      display.message(Info, "Searching for Quillwork devices");
      if (kind == 0)
        kind = linkTypeUSB;
      devices = updater.Discover_Devices(kind);
    }
    _display_device_list(display, devices, kind);
    _display_loader_hints(display, devices);
    if (result)
      result->devices(devices, kind, p.router_serial_number);
    result.done(true);
    return 0;
  }

  if (p.commands.IsSet(CMD_UPDATE)) {
    bool recovering = p.transport == kTransportRecover;
    CommandResult result(report, recovering ? "recover" : "update", recovering ? "recovery failed" : "update failed");
    uint32_t build = buildNumber(p.build);
    updater.Set_UEIBytes_Load(p.uei_bytes_load);
    bool ok;
    if (recovering) {
      ok = updater.Recover_Firmware(p.serial_port, build, p.baud_rate, p.serial_number, p.bird_file,
                                    p.override_model_check);
    } else {
      if (p.serial_number == 0) {
        display.message(Error, "Must specify the specific device to be updated");
        return 1;
      }
      ok = updater.Update_Firmware(p.serial_number, build, p.bird_file, p.module_address, p.router_serial_number,
                                   p.override_model_check);
    }
    result.done(ok);
    return ok ? 0 : 1;
  }

  struct ListCommand {
    uint32_t bit;
    const char *missingSerial;
    const char *member;
  };
  const ListCommand lists[] = {
      {CMD_LIST_BUILDS, "Error must supply a serial number for the List Builds command", "server_builds"},
      {CMD_LIST_LOCAL, "Error must supply a serial number for the List Local Builds command", "local_builds"},
      {CMD_JWT, "Error must supply a serial number for the Get JWT command", "token"},
  };
  for (const ListCommand &c : lists) {
    if (!p.commands.IsSet(c.bit))
      continue;
    CommandResult result(report, c.member, "command failed");
    if (p.serial_number == 0) {
      display.message(Error, "%s", c.missingSerial);
      _display_usage(false, false, usage);
      return 1;
    }
    // These report a failure with a message only (their status stays 0): the
    // command failed when an error was shown while it ran.
    if (c.bit == CMD_LIST_BUILDS || c.bit == CMD_LIST_LOCAL) {
      BuildList builds = c.bit == CMD_LIST_BUILDS ? updater.Get_BuildList(p.serial_number)
                                                  : updater.Get_BuildListLocal(p.serial_number);
      _display_builds(display, builds, p.serial_number);
      if (result)
        result->builds(builds, p.serial_number);
    } else {
      std::string token = updater.Get_JWT(p.serial_number);
      _display_jwt(display, token);
      if (result) {
        result->recordText(nullptr, "serial", serialText(p.serial_number));
        result->recordText(nullptr, "token", token);
      }
    }
    result.done(!(result && result->errorShown()));
    return 0;
  }
  return status;
}

} // namespace

namespace {

int runMain(Parameters &params, UpdaterDisplayInterface &display, FILE *usage, const UpdaterFactory &factory,
            JsonReport *report) {
  _display_app_version(display);

  if (params.help_requested || !params.commands.IsSet(kCommandMask)) {
    _display_copyright(display);
    _display_usage(params.log_mask_given, params.help_requested, usage);
    return 0;
  }

  std::string directory;
  if (params.storage_directory.empty()) {
    char home[2048] = "";
    cErr err = cDirectory_GetHomeDirectory(home, sizeof home);
    if (err != cErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedcDirectory_GetHomeDirectory()==> %d\n", err);
      return 1;
    }
    directory = BuildPath(home, ".corvatek");
  } else {
    directory = params.storage_directory;
  }
  directory = BuildPath(directory, "updater");
  if (cDirectory_Ensure(directory.c_str(), 0755) != cErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s", directory.c_str());
    return 1;
  }

  std::unique_ptr<Updater> updater = factory(params.server_url, directory, display);
  return runCommands(params, *updater, display, usage, report);
}

} // namespace

int UpdaterMain(int argc, char *argv[], UpdaterDisplayInterface &console, FILE *usage, const UpdaterFactory &factory,
                FILE *json) {
  // With --json the console shows only errors (and the usage text); the
  // document is written once at the end. The parameters are read through the
  // JSON display as well: their messages are all errors, which it passes on
  // unchanged, and a failure among them is then in the document too.
  JsonReport report;
  JsonDisplay jsonDisplay(console, report);
  Parameters params;
  int status;
  if (_get_params(jsonDisplay, argc, argv, &params) != 0) {
    UpdaterDisplayInterface &display = params.json ? static_cast<UpdaterDisplayInterface &>(jsonDisplay) : console;
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false, usage);
    status = 1;
  } else if (params.json) {
    status = runMain(params, jsonDisplay, usage, factory, &report);
  } else {
    status = runMain(params, console, usage, factory, nullptr);
  }
  if (params.json && json != nullptr) {
    report.finish(status);
    std::string text = report.text();
    fwrite(text.data(), 1, text.size(), json);
    fflush(json);
  }
  _release_params(&params);
  return status;
}
