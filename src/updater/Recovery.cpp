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
#include <string>
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

// Every failure once the programming has begun: the flash may already be
// erased, so the module will not start until a recovery completes.
void reportProgrammingFailure(UpdaterDisplayInterface &display, const char *step, cErr err) {
  display.message(Error,
                  "Recovery failed: %s [%d, %s]. The chip may be left erased: power-cycle the module into its boot "
                  "ROM and run the recovery again",
                  step, err, cError_GetErrorText(err));
}

constexpr uint32_t LPC_FLASH_SIZE = 512 * 1024;
// The boot ROM maps its own vectors over the first 64 bytes of flash while
// it runs: a compare of those bytes does not see what was programmed.
constexpr uint32_t LPC_REMAPPED = 64;

bool inLpcRam(uint32_t address) {
  return (address > 0x10000000 && address <= 0x10008000) || (address > 0x2007C000 && address <= 0x20084000);
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// Checks a de-scrambled LPC image before anything on the chip is touched:
// the blocks fit the flash, one starts at address 0 with a vector table
// whose first eight words sum to zero (the word at 0x1C makes them so, as
// the boot ROM requires of code it starts), an initial stack pointer in RAM
// and a Thumb reset vector inside the flash. Empty when valid, else why not.
std::string checkLpcImage(const std::vector<BirdBlock> &blocks) {
  const BirdBlock *vectors = nullptr;
  for (const BirdBlock &block : blocks) {
    if (block.length < 4)
      continue;
    uint32_t length = block.length - 4;
    if (length == 4)
      break; // the end of the programmed blocks
    if (block.address >= LPC_FLASH_SIZE || length > LPC_FLASH_SIZE - block.address)
      return "a firmware block lies outside the flash";
    if (block.address == 0 && vectors == nullptr)
      vectors = &block;
  }
  if (vectors == nullptr)
    return "no firmware block starts at address 0";
  const uint8_t *table = vectors->data + 4;
  if (vectors->length - 4 < 32)
    return "the vector table is incomplete";
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i)
    sum += le32(table + 4 * i);
  if (sum != 0)
    return "the vector table checksum does not hold";
  uint32_t stack = le32(table), reset = le32(table + 4);
  if (!inLpcRam(stack) || (reset & 1) == 0 || reset >= LPC_FLASH_SIZE)
    return "the vector table does not point into the chip's memory";
  return "";
}

// One piece of a firmware block: written to the boot ROM's RAM buffer, then
// copied into flash. The copy always moves a whole copy size, so the piece
// is padded with the erased value up to it: the flash past the image's end
// stays erased instead of taking whatever the RAM buffer held before.
bool programPiece(UpdaterDisplayInterface &display, NXPSerialClass &isp, const uint8_t *data, uint32_t length,
                  uint32_t flashAddress) {
  uint32_t copyLength = NXPSerialClass::CopyLength(length);
  std::vector<uint8_t> piece(data, data + length);
  if (copyLength > length)
    piece.resize(copyLength, ERASED);

  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(length), flashAddress);
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(piece.size()),
           NXPSerialClass::WRITE_ADDRESS);
  cErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(piece.size()), piece.data());
  if (err != cErrNone) {
    Log::log(DEBUG_Network, "\t Write to RAM failed\n");
    reportProgrammingFailure(display, "could not write firmware into the chip's RAM", err);
    return false;
  }
  uint32_t first = NXPSerialClass::SectorFromAddress(flashAddress);
  // The sectors the copy reaches, padding included.
  uint32_t last = NXPSerialClass::SectorFromAddress(flashAddress + copyLength - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
           static_cast<int>(last));
  err = isp.Prepare(first, last);
  if (err != cErrNone) {
    Log::log(DEBUG_Network, "\t Prepare failed\n");
    reportProgrammingFailure(display, "could not prepare flash sectors for writing", err);
    return false;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copyLength),
           NXPSerialClass::WRITE_ADDRESS, flashAddress);
  err = isp.CopyToFlash(flashAddress, NXPSerialClass::WRITE_ADDRESS, copyLength);
  if (err != cErrNone) {
    Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
    reportProgrammingFailure(display, "could not copy firmware into flash", err);
    return false;
  }
  // The flash must now hold what the RAM buffer holds.
  uint32_t skip = flashAddress < LPC_REMAPPED ? LPC_REMAPPED - flashAddress : 0;
  if (skip < copyLength) {
    err = isp.Compare(flashAddress + skip, NXPSerialClass::WRITE_ADDRESS + skip, copyLength - skip);
    if (err != cErrNone) {
      Log::log(DEBUG_Network, "\t Compare failed\n");
      reportProgrammingFailure(display, "the flash does not hold the firmware written", err);
      return false;
    }
  }
  return true;
}

} // namespace

bool _get_fingerprint_lpc(const std::string &port, uint32_t baud_rate, Fingerprint &fingerprint, size_t *sent) {
  NXPSerialClass isp;
  struct Tally { // what went on the line, on every way out
    const NXPSerialClass &isp;
    size_t *sent;
    ~Tally() {
      if (sent != nullptr)
        *sent = isp.GetBytesSent();
    }
  } tally{isp, sent};
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
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  // Nothing is erased for an image that cannot start on the chip (not
  // scrambled for it, or not an LPC image at all).
  std::string invalid = checkLpcImage(blocks);
  if (!invalid.empty()) {
    display.message(Error, "The recovery image is not valid firmware for this chip (%s); nothing was erased",
                    invalid.c_str());
    return false;
  }
  NXPSerialClass isp;
  cErr err = isp.Connect(port.c_str(), baud_rate);
  if (err != cErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    reportProgrammingFailure(display, "could not open the serial port", err);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if ((err = isp.Unlock()) != cErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    reportProgrammingFailure(display, "could not unlock the flash", err);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if ((err = isp.Prepare(0, LPC_LAST_SECTOR)) != cErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    reportProgrammingFailure(display, "could not prepare the flash for erasing", err);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if ((err = isp.Erase(0, LPC_LAST_SECTOR)) != cErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    reportProgrammingFailure(display, "could not erase the flash", err);
    return false;
  }
  isp.SetEcho(false);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.Path().c_str());

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
      if (!programPiece(display, isp, data + offset, piece, flashAddress)) {
        // Back to the power-on echo setting, with which a rerun finds the
        // chip still synchronised (when it still answers).
        isp.SetEcho(true);
        return false;
      }
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

  err = isp.SetEcho(true);
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
  size_t probe = 0;
  if (_get_fingerprint_lpc(port, baud_rate, fingerprint, &probe)) {
    recovery_chip = CHIP_LPC;
    return true;
  }
  recovery_chip = CHIP_IMX;
  // An i.MX boot ROM on a serial line holds the probe's bytes as the start of
  // a command: the i.MX transport completes that command before its own.
  return _get_fingerprint_imx(display, *this, port, serial, bird_file, fingerprint, reset_after, probe);
}

bool Updater::Recover_Firmware(const std::string &port, uint32_t build, uint32_t baud_rate, uint32_t serial,
                               const std::string &bird_file, bool override_check) {
  (void)override_check; // recovery images carry no model to check against
  uint32_t start = cTime_GetMSTicks();

  // An LPC boot ROM keeps the rate it was synchronised at until it is reset,
  // so the identification runs at the rate the programming will use.
  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serial, bird_file, baud_rate, false)) {
    display.message(Error, "Could not get Device Identifier");
    // A serial boot ROM that does not answer (an LPC one synchronises once
    // per power-up) is reached again after a power cycle.
    if (port != "USB")
      display.message(Error, "Power-cycle the module into its boot ROM and run the recovery again");
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
