#include "quillwork/cDefs.h"
#include "updater/Updater.h"

void _display_device_list(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &devices, linkType type) {
  const auto Info = UpdaterDisplayInterface::Info;
  display.message(Info, "Discovered Devices: (%s)", type == 1 ? "USB" : type == 2 ? "TCPIP" : "Unknown");
  if (devices.empty()) {
    display.message(Info, "    No devices found.");
    return;
  }
  if (type == 1)
    display.message(Info, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  else
    display.message(Info, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
                          "       Device Name");
  for (const DeviceInfo &d : devices) {
    const linkSpec &s = d.spec;
    const char *model = cDefs_GetModelName(s.model);
    if (s.type == 2) {
      char ip[32];
      const uint8_t *o = reinterpret_cast<const uint8_t *>(&s.ipAddress);
      snprintf(ip, sizeof ip, "[%d.%d.%d.%d]", o[0], o[1], o[2], o[3]);
      display.message(Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", s.serialNumber,
                      s.moduleAddress, s.routerAddress, model, d.version_major, d.version_minor, d.version_patch,
                      d.build_number, ip, d.device_name.c_str());
    } else if (d.error != 0) {
      display.message(Info, "    %08X  [Error (%d): Is someone else connected to this device?]", s.serialNumber,
                      d.error);
    } else {
      display.message(Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", s.serialNumber,
                      s.moduleAddress, s.routerAddress, model, d.version_major, d.version_minor, d.version_patch,
                      d.build_number, d.device_name.c_str());
    }
  }
}
