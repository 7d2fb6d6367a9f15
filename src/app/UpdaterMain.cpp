#include "app/UpdaterMain.h"

#include <cerrno>
#include <cstdlib>

#include "app/BuildPath.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Usage.h"
#include "quillwork/cDirectory.h"

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

int runCommands(Parameters &p, Updater &updater, UpdaterDisplayInterface &display, FILE *usage) {
  const auto Info = UpdaterDisplayInterface::Info;
  const auto Error = UpdaterDisplayInterface::Error;
  int status = 0;

  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    if (p.serial_port.empty()) {
      display.message(Error, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, p.serial_port, 0xDEADDEAD, p.bird_file, p.baud_rate, true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(Error, "Got no response from chip");
      status = 1;
    }
  }

  if (p.commands.IsSet(CMD_GET_BUILD)) {
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
    } else {
      status = 1;
    }
  }

  if (p.commands.IsSet(CMD_DISCOVER)) {
    linkType kind = (p.transport_given && p.transport != kTransportRecover) ? static_cast<linkType>(p.transport) : 0;
    if (p.router_serial_number != 0) {
      display.message(Info, "Searching for Quillwork Network devices connected to %08X", p.router_serial_number);
      _display_device_list(display, updater.Discover_QWNetwork_Devices(p.router_serial_number, kind), kind);
    } else {
      display.message(Info, "Searching for Quillwork devices");
      if (kind == 0)
        kind = linkTypeUSB;
      _display_device_list(display, updater.Discover_Devices(kind), kind);
    }
    return 0;
  }

  if (p.commands.IsSet(CMD_UPDATE)) {
    uint32_t build = buildNumber(p.build);
    updater.Set_UEIBytes_Load(p.uei_bytes_load);
    bool ok;
    if (p.transport == kTransportRecover) {
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
    return ok ? 0 : 1;
  }

  struct ListCommand {
    uint32_t bit;
    const char *missingSerial;
  };
  const ListCommand lists[] = {
      {CMD_LIST_BUILDS, "Error must supply a serial number for the List Builds command"},
      {CMD_LIST_LOCAL, "Error must supply a serial number for the List Local Builds command"},
      {CMD_JWT, "Error must supply a serial number for the Get JWT command"},
  };
  for (const ListCommand &c : lists) {
    if (!p.commands.IsSet(c.bit))
      continue;
    if (p.serial_number == 0) {
      display.message(Error, "%s", c.missingSerial);
      _display_usage(false, false, usage);
      return 1;
    }
    if (c.bit == CMD_LIST_BUILDS)
      _display_builds(display, updater.Get_BuildList(p.serial_number), p.serial_number);
    else if (c.bit == CMD_LIST_LOCAL)
      _display_builds(display, updater.Get_BuildListLocal(p.serial_number), p.serial_number);
    else
      _display_jwt(display, updater.Get_JWT(p.serial_number));
    return 0;
  }
  return status;
}

} // namespace

int UpdaterMain(int argc, char *argv[], UpdaterDisplayInterface &display, FILE *usage, const UpdaterFactory &factory) {
  Parameters params;
  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false, usage);
    _release_params(&params);
    return 1;
  }
  _display_app_version(display);

  if (params.help_requested || !params.commands.IsSet(kCommandMask)) {
    _display_copyright(display);
    _display_usage(params.log_mask_given, params.help_requested, usage);
    _release_params(&params);
    return 0;
  }

  std::string directory;
  if (params.storage_directory.empty()) {
    char home[2048] = "";
    cErr err = cDirectory_GetHomeDirectory(home, sizeof home);
    if (err != cErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedcDirectory_GetHomeDirectory()==> %d\n", err);
      _release_params(&params);
      return 1;
    }
    directory = BuildPath(home, ".corvatek");
  } else {
    directory = params.storage_directory;
  }
  directory = BuildPath(directory, "updater");
  if (cDirectory_Ensure(directory.c_str(), 0755) != cErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s", directory.c_str());
    _release_params(&params);
    return 1;
  }

  int status;
  {
    std::unique_ptr<Updater> updater = factory(params.server_url, directory, display);
    status = runCommands(params, *updater, display, usage);
  }
  _release_params(&params);
  return status;
}
