// Recovery of a module whose firmware no longer starts, through its chip's
// boot ROM. An NXP LPC boot ROM answers on a serial port: its unique serial
// number is the module's fingerprint, and the recovery image, de-scrambled
// with that fingerprint, is programmed straight into flash. Otherwise the
// port is taken for an i.MX boot ROM (RecoveryImx.cpp): it starts a small
// loader from RAM, which reports the chip identifier and then takes the
// firmware through the module's own upgrade protocol.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/Log.h"
#include "app/UpdaterResults.h"
#include "quillwork/cTime.h"
#include "recovery/NXPSerial.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "updater/Recovery.h"
#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"

namespace {

const auto Info = UpdaterDisplayInterface::Info;
const auto Error = UpdaterDisplayInterface::Error;

constexpr uint8_t CHIP_IMX = 1;
constexpr uint8_t CHIP_LPC = 2;
constexpr uint32_t LPC_LAST_SECTOR = 29;
constexpr uint32_t LPC_PIECE = 4096; // the largest copy from RAM to flash
constexpr uint8_t ERASED = 0xFF;     // what erased flash reads as

// Turns the progress bar off again on every way out of a block.
class ProgressBar {
public:
  explicit ProgressBar(UpdaterDisplayInterface &display) : display_(display) { display_.display_progress(true); }
  ~ProgressBar() { display_.display_progress(false); }
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

private:
  UpdaterDisplayInterface &display_;
};

// One piece of a firmware block: written to the boot ROM's RAM buffer, then
// copied into flash. The copy always moves a whole copy size, so the piece
// is padded with the erased value up to it: the flash past the image's end
// stays erased instead of taking whatever the RAM buffer held before.
bool programPiece(NXPSerialClass &isp, const uint8_t *data, uint32_t length, uint32_t flashAddress) {
  uint32_t copyLength = NXPSerialClass::CopyLength(length);
  std::vector<uint8_t> piece(data, data + length);
  if (copyLength > length)
    piece.resize(copyLength, ERASED);

  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(length), flashAddress);
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(piece.size()),
           NXPSerialClass::WRITE_ADDRESS);
  if (isp.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(piece.size()), piece.data()) != cErrNone) {
    Log::log(DEBUG_Network, "\t Write to RAM failed\n");
    return false;
  }
  uint32_t first = NXPSerialClass::SectorFromAddress(flashAddress);
  // The sectors the copy reaches, padding included.
  uint32_t last = NXPSerialClass::SectorFromAddress(flashAddress + copyLength - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
           static_cast<int>(last));
  if (isp.Prepare(first, last) != cErrNone) {
    Log::log(DEBUG_Network, "\t Prepare failed\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copyLength),
           NXPSerialClass::WRITE_ADDRESS, flashAddress);
  if (isp.CopyToFlash(flashAddress, NXPSerialClass::WRITE_ADDRESS, copyLength) != cErrNone) {
    Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
    return false;
  }
  return true;
}

} // namespace

bool _get_fingerprint_lpc(const std::string &port, uint32_t baud_rate, Fingerprint &fingerprint) {
  NXPSerialClass isp;
  cErr err = isp.Connect(port.c_str(), baud_rate);
  if (err != cErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != cErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != cErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  const uint32_t *words = isp.GetDeviceSerialNumber();
  std::copy(words, words + 4, fingerprint.words);
  return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface &display, BirdFile &image, const std::string &port,
                           uint32_t baud_rate) {
  NXPSerialClass isp;
  if (isp.Connect(port.c_str(), baud_rate) != cErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (isp.Unlock() != cErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (isp.Prepare(0, LPC_LAST_SECTOR) != cErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (isp.Erase(0, LPC_LAST_SECTOR) != cErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    return false;
  }
  isp.SetEcho(false);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.Path().c_str());

  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  int shown = static_cast<int>(blocks.size()) - 1;
  uint32_t total = 0;
  int number = 1;
  for (const BirdBlock &block : blocks) {
    if (block.length < 4)
      continue; // no address, nothing to program
    const uint8_t *data = block.data + 4;
    uint32_t length = block.length - 4;
    if (length == 4)
      break;
    display.message(Info, "Transferring firmware block %d of %d, %d bytes", number, shown, static_cast<int>(length));
    ProgressBar bar(display);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(length),
             block.address);
    uint32_t flashAddress = block.address;
    uint32_t offset = 0;
    while (offset < length) {
      uint32_t piece = std::min(LPC_PIECE, length - offset);
      if (!programPiece(isp, data + offset, piece, flashAddress))
        return false;
      flashAddress += piece;
      offset += piece;
      display.update_progress(static_cast<double>(offset) / length, nullptr);
    }
    total += offset;
    ++number;
  }
  display.message(Info, "Transferred %d blocks, %d total bytes", shown, static_cast<int>(total));
  if (display.results) {
    display.results->recordCount("firmware", "blocks", static_cast<uint64_t>(shown < 0 ? 0 : shown));
    display.results->recordCount("firmware", "bytes", total);
  }

  cErr err = isp.SetEcho(true);
  if (err != cErrNone) {
    // The boot ROM stopped answering after the last copy: the chip is not
    // started, and the run must not count as a recovery.
    display.message(Error, "Recovery Error transfering data to device ==> [%d, %s]", err, cError_GetErrorText(err));
    return false;
  }
  display.message(Info, "Rebooting Device");
  isp.ExecuteFrom(0);
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint &fingerprint, const std::string &port, uint32_t serial,
                              const std::string &bird_file, uint32_t baud_rate, bool reset_after) {
  if (_get_fingerprint_lpc(port, baud_rate, fingerprint)) {
    recovery_chip = CHIP_LPC;
    return true;
  }
  recovery_chip = CHIP_IMX;
  return _get_fingerprint_imx(display, *this, port, serial, bird_file, fingerprint, reset_after);
}

bool Updater::Recover_Firmware(const std::string &port, uint32_t build, uint32_t baud_rate, uint32_t serial,
                               const std::string &bird_file, bool override_check) {
  (void)override_check; // recovery images carry no model to check against
  uint32_t start = cTime_GetMSTicks();

  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serial, bird_file, 115200, false)) {
    display.message(Error, "Could not get Device Identifier");
    return false;
  }

  uint32_t recoveryBuild = 0;
  if (bird_file.empty()) {
    uint32_t serverSerial = 0, serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serverSerial, serverBuild, server_url.c_str())) {
      display.message(Error, "Failed to retrieve recovery information from Corvatek server");
      return false;
    }
    serial = serverSerial;
    recoveryBuild = build != 0 ? build : serverBuild;
  }

  BirdFile image;
  try {
    image = load_bird("Recovering", bird_file, serial, recoveryBuild, true);
  } catch (const std::runtime_error &) {
    display.message(Error, "Failed to load bird file");
    return false;
  }
  // Programming an LPC part starts by erasing its whole flash: an image that
  // brings no firmware must be refused before that.
  if (image.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    display.message(Error, "Failed to load bird file");
    return false;
  }
  if (image.HasSerialOffsets()) {
    display.message(Error, "Updater does not support offline recovery");
    return false;
  }

  if (display.results)
    display.results->recordCount(nullptr, "build", recoveryBuild);
  bool ok;
  switch (recovery_chip) {
  case CHIP_IMX: ok = _recover_firmware_imx(display, image, serial, uei_bytes_load); break;
  case CHIP_LPC:
    image.DecodeFirmwareBlocks(fingerprint.words);
    ok = _recover_firmware_lpc(display, image, port, baud_rate);
    break;
  default:
    display.message(Error, "Unknown device");
    ok = false;
    break;
  }
  display.message(Info, "Update time: %.4f sec", cTime_MSSince(start) / 1000.0);
  if (display.results)
    display.results->recordSeconds(nullptr, "seconds", cTime_MSSince(start) / 1000.0);
  return ok;
}
