// The orchestration object: one per run, owned by main. Each operation carries
// out one command of the command line. The operations are virtual so that the
// command dispatch can be exercised against a recording double.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "quillwork/linkSpec.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"

// The four 32-bit words that identify a module's chip.
struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};

// One discovered module.
struct DeviceInfo {
  linkSpec spec{};
  uint16_t network_address = 0; // I2C address behind a router; 0 when direct
  uint32_t build_number = 0;
  uint8_t version_major = 0;
  uint8_t version_minor = 0;
  uint32_t version_patch = 0;
  std::string model_name;
  std::string device_name;
  int error = 0; // a cErr code: 0 when the module was identified
};

class Updater {
public:
  Updater(const std::string &server_url, const std::string &storage_directory, UpdaterDisplayInterface &display);
  virtual ~Updater();
  Updater(const Updater &) = delete;
  Updater &operator=(const Updater &) = delete;

  virtual std::vector<DeviceInfo> Discover_Devices(linkType type);
  virtual std::vector<DeviceInfo> Discover_QWNetwork_Devices(uint32_t router_serial, linkType type);

  virtual bool Update_Firmware(uint32_t serial, uint32_t build, const std::string &bird_file, uint8_t module_address,
                               uint32_t router_serial, bool override_check);
  // The BIRD file to use: bird_file when given, else the stored build (after
  // downloading it when download is set). Throws std::runtime_error when no
  // file can be loaded.
  BirdFile load_bird(const std::string &action, const std::string &bird_file, uint32_t serial, uint32_t build,
                     bool download);

  virtual uint32_t Download_Firmware(uint32_t serial, const std::string &build, bool override_check, bool flag);
  // Finds the module and build from a recovery fingerprint first.
  uint32_t Download_Firmware(const Fingerprint &fingerprint, const std::string &build, bool override_check);
  virtual BuildList Get_BuildList(uint32_t serial);
  virtual BuildList Get_BuildListLocal(uint32_t serial);
  virtual std::string Get_JWT(uint32_t serial);

  // Reads the chip identifier through the boot ROM on port (a serial device,
  // or "USB" for the i.MX boot ROM's HID device); sets recovery_chip.
  virtual bool Get_Fingerprint(Fingerprint &fingerprint, const std::string &port, uint32_t serial,
                               const std::string &bird_file, uint32_t baud_rate, bool reset_after);
  // Writes the recovery image the update server names for the chip (or
  // bird_file) through the boot ROM on port. override_check is not consulted.
  virtual bool Recover_Firmware(const std::string &port, uint32_t build, uint32_t baud_rate, uint32_t serial,
                                const std::string &bird_file, bool override_check);

  virtual void Set_UEIBytes_Load(bool on) { uei_bytes_load = on; }

  std::string server_url;
  std::string storage_directory;
  UpdaterDisplayInterface &display;
  uint8_t recovery_chip = 0; // 2: an LPC boot ROM answered; 1: the i.MX path was taken
  bool uei_bytes_load = false;
};

// Prints a discovery result; type is the link kind that was searched.
void _display_device_list(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &devices, linkType type);
