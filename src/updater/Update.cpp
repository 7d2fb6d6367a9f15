// The firmware update: choose and load the BIRD file, connect (directly or
// through a router), check file and module, transfer the loader, wait for the
// module to come back, transfer the firmware blocks, reboot, record.
#include <ctime>
#include <memory>
#include <stdexcept>

#include "app/Log.h"
#include "app/UpdaterResults.h"
#include "quillwork/cDefs.h"
#include "quillwork/cTime.h"
#include "quillwork/qwusb_driver.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterInternal.h"

using Corvatek::Quillwork::Module;
using Corvatek::Quillwork::SystemClass;

namespace {

const auto Info = UpdaterDisplayInterface::Info;
const auto Error = UpdaterDisplayInterface::Error;

// Connects over USB, or over TCP/IP when USB does not find the module.
cErr connectAnyTransport(Module &module, uint32_t serial) {
  cErr err = module.connect(linkTypeUSB, serial);
  if (err == cErrNotFound)
    err = module.connect(linkTypeTCPIP, serial);
  return err;
}

} // namespace

bool _validate_birdfile(UpdaterDisplayInterface &display, BirdFile &file, Module &module, uint32_t serial) {
  if (file.Blocks().empty())
    return false;
  if (!file.HasSerialOffsets() && !file.ValidateSerialNumber(serial))
    return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t moduleSerial = 0;
  cErr err = system.getSerialNumber(&moduleSerial);
  if (err != cErrNone || moduleSerial != serial) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char *name = cDefs_GetModelName(model);
  if (err != cErrNone || !file.ValidateModel(name)) {
    display.message(Error, "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    return false;
  }
  return true;
}

cErr _transfer_loader(UpdaterDisplayInterface &display, Module &module, BirdFile &file) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  cErr err = entity.LoaderInit();
  if (err != cErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, cError_GetErrorText(err));
    return err;
  }
  display.message(Info, "Transferring loader to device");
  std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int transferred = 0;
  uint32_t total = 0;
  int number = 1;
  for (const BirdBlock &block : blocks) {
    display.message(Info, "Transferring loader block %d of %d, %d bytes", number, static_cast<int>(blocks.size()),
                    static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
    if (err != cErrNone && err != cErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, cError_GetErrorText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != cErrNone) {
      // A loader with a missing block must never be started: stop here.
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, cError_GetErrorText(err));
      break;
    }
    total += block.length;
    ++transferred;
    ++number;
  }
  display.message(Info, "Transferred %d blocks, %d total bytes", transferred, static_cast<int>(total));
  if (display.results) {
    display.results->recordCount("loader", "blocks", static_cast<uint64_t>(transferred));
    display.results->recordCount("loader", "bytes", total);
  }
  display.display_progress(false);
  if (err == cErrNone) {
    display.message(Info, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == cErrTimeout) {
      Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
      err = cErrNone;
    } else if (err != cErrNone) {
      display.message(Error, "Error starting loader [%d, %s]", err, cError_GetErrorText(err));
    }
  }
  return err;
}

cErr _transfer_firmware(UpdaterDisplayInterface &display, Module &module, BirdFile &file, bool routed, bool ueiBytes) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, routed);
  if (ueiBytes && entity.CheckUEIDataSupport() == cErrNone)
    entity.CheckPooledPacketsSupport();
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.Path().c_str());
  std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  cErr err = cErrNone;
  int transferred = 0;
  uint32_t total = 0;
  unsigned number = 1;
  for (const BirdBlock &block : blocks) {
    for (int attempt = 0; attempt < BLOCK_RETRIES; ++attempt) {
      display.message(Info, "Transferring firmware block %u of %u, %d bytes", number,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0)
        display.message(Info, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
      if (err != cErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, cError_GetErrorText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
      if (err == cErrNone)
        break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, cError_GetErrorText(err));
    }
    if (err != cErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    ++transferred;
    ++number;
  }
  display.message(Info, "Transferred %d blocks, %d total bytes", transferred, static_cast<int>(total));
  if (display.results) {
    display.results->recordCount("firmware", "blocks", static_cast<uint64_t>(transferred));
    display.results->recordCount("firmware", "bytes", total);
  }
  if (err == cErrNone)
    err = entity.LoaderReboot(display);
  return err;
}

BirdFile Updater::load_bird(const std::string &action, const std::string &bird_file, uint32_t serial, uint32_t build,
                            bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "load_bird");
  if (!store)
    return BirdFile();
  if (!bird_file.empty()) {
    display.message(Info, "%s from Birdfile: %s", action.c_str(), bird_file.c_str());
    return BirdFile(bird_file);
  }
  UpdaterStoreItem device = store->AddDevice(serial);
  display.message(Info, "%s firmware with build: %u", action.c_str(), build);
  std::string name = std::to_string(build) + ".bird";
  try {
    return device.ReadBirdFile(name);
  } catch (const std::runtime_error &) {
    if (!download)
      throw std::runtime_error("Error reading birdfile");
  }
  display.message(Info, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return device.ReadBirdFile(name);
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string &birdFile, uint8_t module_address,
                              uint32_t router_serial, bool override_check) {
  if (serial == 0) {
    display.message(Error, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "Update_Firmware");
  if (!store)
    return false;
  UpdaterStoreItem device;
  store->FindDevice(serial, &device);
  uint32_t start = cTime_GetMSTicks();

  if (birdFile.empty()) {
    if (build == 0) {
      std::string serverBuild, firmware;
      UpdateServerRequest::QueryBuild(serial, serverBuild, firmware, server_url.c_str());
      build = serverBuild.empty() ? 0 : _build_number(serverBuild);
      if (build != 0) {
        try {
          device.ReadBirdFile(std::to_string(build) + ".bird");
        } catch (const std::runtime_error &) {
          build = 0;
          display.message(Info, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        }
      }
    }
    if (build == 0) {
      build = static_cast<uint32_t>(device.settings.GetInt("LATEST_DOWNLOAD", 0));
      if (build != 0)
        display.message(Info, "Updating with the Latest Download");
    }
    if (build == 0) {
      build = static_cast<uint32_t>(device.settings.GetInt("LATEST_TRANSFER", 0));
      if (build != 0)
        display.message(Info, "Updating with the Latest Transfer");
    }
    if (build == 0) {
      display.message(Error, "Could not find valid build for this device.");
      return false;
    }
  }

  if (display.results) {
    display.results->recordText(nullptr, "serial", _serial_text(serial));
    if (birdFile.empty())
      display.results->recordCount(nullptr, "build", build);
    else
      display.results->recordText(nullptr, "file", birdFile);
  }
  BirdFile file;
  try {
    file = load_bird("Updating", birdFile, serial, build, false);
  } catch (const std::runtime_error &) {
    display.message(Error, "Failed to load bird file");
    return false;
  }
  if (display.results && !birdFile.empty() && file.GetBuild() != 0)
    display.results->recordCount(nullptr, "build", file.GetBuild()); // the build the file names

  if (file.HasSerialOffsets()) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(serial)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module target(module_address, 0);
  std::unique_ptr<Module> router;
  cErr err = _disableEther(target, display);
  if (err == cErrNone) {
    if (router_serial != 0) {
      if (module_address == 0) {
        std::vector<DeviceInfo> network = Discover_QWNetwork_Devices(router_serial, 0);
        if (network.empty()) {
          display.message(Error, "Unable to find modules on Network");
          return false;
        }
        uint16_t found = 0;
        for (const DeviceInfo &info : network)
          if (info.spec.serialNumber == serial)
            found = info.network_address;
        if (found == 0) {
          display.message(Error,
                          "Module address required for indirect firmware update, could not find serial number "
                          "[0x%08X] on network",
                          serial);
          return false;
        }
        target.setModuleAddress(static_cast<uint8_t>(found));
      }
      router = std::make_unique<Module>(0, 0);
      err = _disableEther(*router, display);
      if (err == cErrNone) {
        err = connectAnyTransport(*router, router_serial);
        if (err != cErrNone) {
          display.message(Error, "Failed to connect to link module [%08X]", router_serial);
          return false;
        }
        err = target.connectThroughLinkModule(*router);
        if (err != cErrNone)
          display.message(Error, "Failed to connect to module [%08X]", serial);
      }
    } else {
      err = connectAnyTransport(target, serial);
      if (err != cErrNone)
        display.message(Error, "Failed to connect to module [%08X]", serial);
    }
  }

  if (err == cErrNone && !override_check && !_validate_birdfile(display, file, target, serial)) {
    display.message(Error, "Birdfile failed validation");
    return false;
  }

  if (err == cErrNone)
    err = _transfer_loader(display, target, file);

  if (err == cErrNone && !target.isConnected()) {
    // The loader restarted the module: find it again on USB.
    target.disconnect();
    for (int attempt = 1; attempt <= CONNECT_ATTEMPTS; ++attempt) {
      if (attempt % 3 == 0) {
        Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
        Quillwork_libusb_exit();
      }
      if (target.discoverAndConnect(linkTypeUSB, serial) == cErrNone && target.isConnected())
        break;
      cTime_MSSleep(1000);
    }
  }

  if (err == cErrNone)
    err = _transfer_firmware(display, target, file, router_serial != 0, uei_bytes_load);

  if (err != cErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    return false;
  }

  std::string recorded = birdFile.empty() ? std::to_string(build) + ".bird" : birdFile;
  if (!device.IsValid())
    device = store->AddDevice(serial);
  time_t now = time(nullptr);
  char when[64] = "";
  ctime_r(&now, when);
  std::string whenText(when);
  if (!whenText.empty() && whenText.back() == '\n')
    whenText.pop_back();
  device.settings.Add("LATEST_TRANSFER", recorded);
  device.settings.Add("LAST_TRANSFER_DATE", whenText);
  device.settings.Save();
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(Info, "Update time: %.4f sec", cTime_MSSince(start) / 1000.0);
  if (display.results)
    display.results->recordSeconds(nullptr, "seconds", cTime_MSSince(start) / 1000.0);
  return true;
}
