#include "updater/UpdaterEntity.h"

#include <cstring>

#include "app/Log.h"
#include "quillwork/cTime.h"
#include "quillwork/cUEI.h"

using Corvatek::Quillwork::Module;
using Corvatek::Quillwork::SystemClass;

namespace {
constexpr uint8_t kDataPayload = 26; // a raw packet carries 27 bytes after the command
constexpr int kReconnectAttempts = 5;
constexpr uint32_t kPooledPacketsBit = 0x80000000u;
} // namespace

void UpdaterEntity::init(Module *m, uint8_t index, bool verify, bool isRouted) {
  module = m;
  verifySums = verify;
  routed = isRouted;
  ueiData = false;
  EntityClass::init(m, cmdUPGRADE, index);
}

cErr UpdaterEntity::request(const uint8_t *bytes, uint8_t length) {
  // An answer that came after its request had timed out must not pass for
  // the answer to this one: throw away queued answers of the kind this
  // request is answered with.
  uint8_t answerKind = bytes[0];
  if (answerKind == val_UPGRADE_PREPARE || answerKind == val_UPGRADE_SUM || answerKind == val_UPGRADE_WRITE)
    answerKind = val_UPGRADE_STATUS;
  const uint8_t stale[2] = {cmdUPGRADE, answerKind};
  if (module != nullptr && module->getLink() != nullptr)
    module->getLink()->dropMatchingPackets(module->getModuleAddress(), stale, sizeof stale);
  return sendPacket(cmdUPGRADE, length, bytes);
}

cErr UpdaterEntity::reply(uint8_t subop, uint8_t *answer, uint8_t *length) {
  const uint8_t match[2] = {cmdUPGRADE, subop};
  *length = sizeof match;
  return receivePacket(match, length, answer);
}

cErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const uint8_t init[1] = {val_UPGRADE_INIT};
  cErr err = request(init, 1);
  if (err != cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return err;
  }
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t length = 0;
  err = reply(val_UPGRADE_INIT, answer, &length);
  if (err != cErrNone)
    return err;
  if (length < 6)
    return cErrPacket;
  uint32_t base = cUEI_RetrieveInt(answer + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return cErrNone;
}

cErr UpdaterEntity::TransferPrepare(const uint8_t *block, uint32_t length, uint8_t flags, uint16_t *blockSize) {
  if (block == nullptr || length < 4 || blockSize == nullptr)
    return cErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           *blockSize);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           block[0], block[1], block[2], block[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(cUEI_RetrieveInt(block)));
  const uint8_t prepare[6] = {val_UPGRADE_PREPARE, flags, block[0], block[1], block[2], block[3]};
  cErr err = request(prepare, sizeof prepare);
  if (err != cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return err;
  }
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t answerLength = 0;
  err = reply(val_UPGRADE_STATUS, answer, &answerLength);
  if (err != cErrNone)
    return err;
  if (answerLength < 5 || answer[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return cErrInvalidOption;
  }
  *blockSize = cUEI_RetrieveShort(answer + 3);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", *blockSize);
  return cErrNone;
}

cErr UpdaterEntity::LoaderTransfer(const uint8_t *block, uint32_t length) {
  if (block == nullptr || length < 4)
    return cErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", cUEI_RetrieveInt(block),
           static_cast<int>(length - 4));
  uint32_t blocks = 0;
  return _block_transfer(block + 4, length - 4, &blocks);
}

cErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  cErr err = cErrConnection;
  if (module == nullptr)
    return err;
  for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, kReconnectAttempts);
    // A failed attempt can leave its link behind (connected, but the module
    // never answered its address): every attempt starts from a clean link.
    module->disconnect();
    err = module->reconnect();
    if (err == cErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return err;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
    cTime_MSSleep(delayMs);
  }
  for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
             kReconnectAttempts);
    module->disconnect();
    err = module->connect(linkTypeUSB, DEFAULT_LOADER_SERIAL);
    if (err == cErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return err;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
    cTime_MSSleep(delayMs);
  }
  return err;
}

cErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const uint8_t load[1] = {val_UPGRADE_LOAD};
  cErr err = request(load, 1);
  if (err != cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return err;
  }
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t length = 0;
  err = reply(val_UPGRADE_LOAD, answer, &length);
  if (err == cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return cErrNone;
  }
  err = _reconnect(500);
  if (err != cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             cError_GetErrorText(err));
    return cErrTimeout;
  }
  err = reply(val_UPGRADE_LOAD, answer, &length);
  if (err == cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return cErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
           cError_GetErrorText(err));
  return cErrTimeout;
}

cErr UpdaterEntity::CheckUEIDataSupport() {
  if (module == nullptr)
    return cErrResource;
  cErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, getIndex(), ueiOPTION_SET);
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
  if (err == cErrNone)
    ueiData = true;
  return err;
}

cErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr)
    return cErrResource;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  cErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != cErrNone)
    return err;
  if ((features & kPooledPacketsBit) == 0)
    return cErrNone;
  if (module->getLink() == nullptr)
    return cErrConnection;
  return module->getLink()->enablePooledPackets(true);
}

cErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t *data, uint32_t length, uint32_t *sum, uint32_t *blocks) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  cErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
  if (err != cErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  for (uint32_t i = 0; i < length; ++i)
    *sum += data[i];
  *blocks = 1;
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
  return cErrNone;
}

cErr UpdaterEntity::_block_transfer(const uint8_t *data, uint32_t length, uint32_t *blocks) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t sum = 0;
  uint32_t remaining = length;
  cErr err = cErrNone;
  if (ueiData) {
    err = _block_transfer_uei_helper(data, length, &sum, blocks);
    if (err == cErrNone)
      remaining = 0;
  } else {
    const uint8_t *p = data;
    int resends = 0;
    while (remaining > 0 && err == cErrNone) {
      uint8_t n = static_cast<uint8_t>(remaining < kDataPayload ? remaining : kDataPayload);
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
      uint8_t packet[1 + kDataPayload];
      packet[0] = val_UPGRADE_DATA;
      memcpy(packet + 1, p, n);
      err = request(packet, static_cast<uint8_t>(n + 1));
      if (err != cErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
        break;
      }
      uint8_t answer[cPACKET_MAXDATA];
      uint8_t answerLength = 0;
      if (reply(val_UPGRADE_DATA, answer, &answerLength) != cErrNone || answerLength < 3) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        err = cErrPacket;
        break;
      }
      if (answer[2] != n) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", answer[2], n);
        // The same bytes go again, but not forever.
        if (++resends > UPGRADE_MAX_DATA_RESENDS) {
          Log::log(DEBUG_Network_FIRM, "\nNETWORK: Module refused the same data %d times, giving up.\n", resends);
          err = cErrPacket;
        }
        continue;
      }
      resends = 0;
      for (uint8_t i = 0; i < n; ++i)
        sum += p[i];
      p += n;
      remaining -= n;
      ++*blocks;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
               static_cast<int>(remaining), static_cast<int>(length));
    }
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != cErrNone || !verifySums)
    return err;

  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  const uint8_t sumRequest[1] = {val_UPGRADE_SUM};
  request(sumRequest, 1);
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t answerLength = 0;
  if (reply(val_UPGRADE_STATUS, answer, &answerLength) != cErrNone || answerLength < 7) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return cErrPacket;
  }
  uint8_t status = answer[2];
  uint32_t moduleSum = cUEI_RetrieveInt(answer + 3);
  if (status == 0 && moduleSum == sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
             moduleSum, static_cast<int>(*blocks));
    return cErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, moduleSum);
  return cErrInvalidOption;
}

cErr UpdaterEntity::FirmwareWrite(uint16_t count) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", count);
  const uint8_t write[3] = {val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  cErr err = request(write, sizeof write);
  if (err != cErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, cError_GetErrorText(err));
    return err;
  }
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t length = 0;
  if (reply(val_UPGRADE_STATUS, answer, &length) != cErrNone || length < 3 || answer[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return cErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return cErrNone;
}

cErr UpdaterEntity::FirmwareTransfer(const uint8_t *block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface &display) {
  if (block == nullptr || length < 4)
    return cErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", cUEI_RetrieveInt(block),
           static_cast<int>(length - 4));
  if (blockSize == 0 && length > 4) {
    // Nothing could ever be sent in chunks of 0 bytes.
    Log::log(DEBUG_Network_FIRM, "NETWORK: Module asked for a block size of 0.\n");
    return cErrSize;
  }
  const uint8_t *p = block + 4;
  uint32_t remaining = length - 4;
  Log::timestamped = false;
  display.display_progress(true);
  cErr err = cErrNone;
  uint32_t chunks = 0;
  while (remaining > 0 && err == cErrNone) {
    uint32_t chunk = remaining < blockSize ? remaining : blockSize;
    uint32_t counter = 0;
    err = _block_transfer(p, chunk, &counter);
    if (err == cErrNone) {
      remaining -= chunk;
      p += chunk;
      ++chunks;
      display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(chunk),
               static_cast<int>(remaining), static_cast<int>(length));
      err = FirmwareWrite(static_cast<uint16_t>(chunk));
    }
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != cErrNone)
    Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

cErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface &display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const uint8_t reboot[1] = {val_UPGRADE_REBOOT};
  cErr err = request(reboot, 1);
  if (err != cErrNone)
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
  int polls = 0;
  while (module != nullptr && module->isConnected()) {
    if (polls == UPGRADE_MAX_REBOOT_POLLS) {
      Log::log(0, "Link did not drop after the reboot request.\n");
      if (err == cErrNone)
        err = cErrTimeout;
      break;
    }
    ++polls;
    cTime_MSSleep(250);
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (routed)
      break;
  }
  display.update_spinner(false, "Verifying Update");
  return err;
}
