// Recovery of an i.MX module: its boot ROM (USB HID or a serial port) takes
// the recovery loader into RAM and starts it; the loader then shows up on USB
// as a module of its own (under the default serial number 0xDEADDEAD, or the
// module's own), reports the chip identifier and takes the firmware through
// the module's upgrade protocol.
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "app/Log.h"
#include "quillwork/Entity.h"
#include "quillwork/Module.h"
#include "quillwork/cTime.h"
#include "quillwork/qwusb_driver.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "store/UpdaterStore.h"
#include "updater/Recovery.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterInternal.h"

using Corvatek::Quillwork::Module;
using Corvatek::Quillwork::SystemClass;

namespace {

const auto Error = UpdaterDisplayInterface::Error;

constexpr uint32_t HID_WAIT_MS = 5000; // for the boot ROM's HID device to (re)appear
constexpr uint32_t HID_RETRY_MS = 100;
constexpr uint8_t OPTION_IDENTIFIER = 39; // the chip identifier, one word per subindex 0-3

uint32_t bigEndian(const uint8_t *bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

// Messages stay silent while the default loader image is fetched, on every
// way out.
class Muted {
public:
  explicit Muted(UpdaterDisplayInterface &display) : display_(display) { display_.mute_messages(true); }
  ~Muted() { display_.mute_messages(false); }
  Muted(const Muted &) = delete;
  Muted &operator=(const Muted &) = delete;

private:
  UpdaterDisplayInterface &display_;
};

bool isSerialPort(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool terminal = isatty(fd) == 1;
  close(fd);
  return terminal;
}

bool connectedTo(Module &module, uint32_t serial) {
  return module.discoverAndConnect(linkTypeUSB, serial) == cErrNone && module.isConnected();
}

// The recovery loader reports the default serial number, or the module's own
// one: both are looked for, up to CONNECT_ATTEMPTS times a second apart. With
// refresh, the USB context is made afresh before every third attempt (a
// device that has just appeared may otherwise stay unseen).
bool findLoaderModule(Module &module, uint32_t first, uint32_t second, bool refresh) {
  for (int attempt = 1; attempt <= CONNECT_ATTEMPTS; ++attempt) {
    if (refresh && attempt % 3 == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Quillwork_libusb_exit();
    }
    if (connectedTo(module, first))
      return true;
    if (second != first && connectedTo(module, second))
      return true;
    if (attempt < CONNECT_ATTEMPTS)
      cTime_MSSleep(1000);
  }
  return false;
}

} // namespace

cErr _transfer_recovery_loader(UpdaterDisplayInterface &display, BirdFile &image, const std::string &port,
                               size_t strayBytes) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader loader;
  std::unique_ptr<SDPLoader_Interface> transport;
  if (port == "USB")
    transport = std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID);
  else
    transport = std::make_unique<Serial_SDPLoader>(port, strayBytes);
  if (loader.setLoader(transport.get()))
    transport.release(); // the loader owns it now
  // A boot ROM that was just reset (the end of -N) takes a moment to come
  // back on USB: its HID device is waited for, within a bound.
  // One that is there but may not be opened by this user is named with the
  // remedy at once: waiting would not help.
  cErr err = loader.init();
  uint32_t start = cTime_GetMSTicks();
  while (err != cErrNone && port == "USB" && !_hint_boot_rom_access(display, IMX1050::VID, IMX1050::PID) &&
         cTime_MSSince(start) < HID_WAIT_MS) {
    cTime_MSSleep(HID_RETRY_MS);
    err = loader.init();
  }
  if (err != cErrNone)
    return cErrNotReady;

  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
  if (blocks.empty()) {
    // Nothing to start: the jump would run whatever the chip's RAM holds.
    Log::log(DEBUG_Updater, "The image holds no loader.\n");
    return cErrNotFound;
  }
  int number = 0;
  for (const BirdBlock &block : blocks) {
    if (block.length < 4) {
      // Without its load address the block cannot be placed: a loader missing
      // a piece must not be started.
      Log::log(DEBUG_Updater, "Loader block %d has no load address.\n", number);
      return cErrConnection;
    }
    std::vector<uint8_t> data(block.data + 4, block.data + block.length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, data.size(),
             static_cast<int>(block.address));
    if (loader.writeLoader(data, block.address) != 0)
      return cErrConnection;
    ++number;
  }

  uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  for (const BirdBlock &block : image.FindBlocks(BirdFile::BLOCK_LOADER_ENTRY)) {
    if (block.length > 3) {
      entry = bigEndian(block.data);
      break;
    }
  }
  loader.startLoader(entry);
  return cErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface &display, Updater &updater, const std::string &port, uint32_t serial,
                          const std::string &bird_file, Fingerprint &fingerprint, bool reset_after, size_t strayBytes) {
  // A path that is no serial port (missing, a file, a directory, /dev/null)
  // cannot lead to a boot ROM: nothing is fetched or stored for it.
  if (port != "USB" && !isSerialPort(port)) {
    Log::log(DEBUG_APP, "Not a serial port: %s\n", port.c_str());
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.storage_directory, "_get_fingerprint_imx");
  if (!store)
    return false;
  if (serial == 0)
    serial = DEFAULT_LOADER_SERIAL;
  UpdaterStoreItem device;
  bool stored = store->FindDevice(serial, &device);

  std::string fileName;
  if (!bird_file.empty()) {
    if (serial == DEFAULT_LOADER_SERIAL) {
      display.message(Error, "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
  } else {
    if (stored) {
      fileName = device.settings.GetString("LATEST_DOWNLOAD");
      // A directory left behind by a download that never completed holds no
      // image: fetch it as if the device were not stored.
      if (fileName.empty() || !device.FileExists(fileName))
        stored = false;
    }
    if (!stored) {
      Muted muted(display);
      Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
      uint32_t build = updater.Download_Firmware(serial, "", false, false);
      if (build != 0) {
        fileName = std::to_string(build) + ".bird";
        store->FindDevice(serial, &device);
      }
    }
  }

  BirdFile image;
  try {
    image = bird_file.empty() ? device.ReadBirdFile(fileName) : BirdFile(bird_file);
  } catch (const std::runtime_error &e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }

  if (_transfer_recovery_loader(display, image, port, strayBytes) != cErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }

  Module module(0, 0);
  if (_disableEther(module, display) != cErrNone)
    return false;
  if (!findLoaderModule(module, serial, DEFAULT_LOADER_SERIAL, true)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }

  SystemClass system;
  system.init(&module, 0);
  for (uint8_t i = 0; i < 4; ++i) {
    if (system.getUEI32(OPTION_IDENTIFIER, i, &fingerprint.words[3 - i]) != cErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
      return false;
    }
  }
  if (reset_after)
    system.reset();
  return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface &display, BirdFile &image, uint32_t serial, bool uei_bytes) {
  Module module(0, 0);
  cErr err = _disableEther(module, display);
  if (err == cErrNone) {
    if (!findLoaderModule(module, DEFAULT_LOADER_SERIAL, serial == 0 ? DEFAULT_LOADER_SERIAL : serial, false)) {
      display.message(Error, "Could not connect to device");
      return false;
    }
    err = _transfer_firmware(display, module, image, false, uei_bytes);
  }
  if (err == cErrNone)
    return true;
  display.message(Error, "Failed to transfer firmware");
  return false;
}
