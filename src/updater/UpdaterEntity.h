// The module's own upgrade command set (command 95): start the loader,
// announce each block, stream its bytes, have the module check the running
// byte sum and write each chunk, start a transferred loader, and reboot.
#pragma once

#include <cstdint>

#include "app/UpdaterDisplayInterface.h"
#include "quillwork/Entity.h"

// Sub-operations of cmdUPGRADE.
enum : uint8_t {
  val_UPGRADE_INIT = 0,
  val_UPGRADE_DATA = 1,
  val_UPGRADE_LOAD = 2,
  val_UPGRADE_PREPARE = 3,
  val_UPGRADE_SUM = 4,
  val_UPGRADE_WRITE = 5,
  val_UPGRADE_REBOOT = 6,
  val_UPGRADE_STATUS = 7,
  val_UPGRADE_DATA_UEI = 10,
};

constexpr int BLOCK_RETRIES = 5;     // attempts per firmware block
constexpr int CONNECT_ATTEMPTS = 15; // connection attempts while a module comes back
constexpr uint32_t DEFAULT_LOADER_SERIAL = 0xDEADDEAD;

// Bounds on loops a misbehaving module could otherwise keep going forever;
// a working module never reaches them.
constexpr int UPGRADE_MAX_DATA_RESENDS = 16;  // DATA answered with a wrong count, per packet
constexpr int UPGRADE_MAX_REBOOT_POLLS = 120; // 250 ms pauses waiting for the link to drop (30 s)

class UpdaterEntity : public Corvatek::Quillwork::EntityClass {
public:
  UpdaterEntity() = default;
  ~UpdaterEntity() override = default;

  void init(Corvatek::Quillwork::Module *module, uint8_t index, bool verifySums, bool routed);

  cErr LoaderInit();
  cErr TransferPrepare(const uint8_t *block, uint32_t length, uint8_t flags, uint16_t *blockSize);
  cErr LoaderTransfer(const uint8_t *block, uint32_t length);
  cErr LoaderStart();
  cErr CheckUEIDataSupport();
  cErr CheckPooledPacketsSupport();
  cErr FirmwareTransfer(const uint8_t *block, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface &display);
  cErr FirmwareWrite(uint16_t count);
  cErr LoaderReboot(UpdaterDisplayInterface &display);

  bool usesUEIData() const { return ueiData; }

private:
  cErr _reconnect(uint32_t delayMs);
  cErr _block_transfer(const uint8_t *data, uint32_t length, uint32_t *blocks);
  cErr _block_transfer_uei_helper(const uint8_t *data, uint32_t length, uint32_t *sum, uint32_t *blocks);
  cErr request(const uint8_t *bytes, uint8_t length);
  cErr reply(uint8_t subop, uint8_t *answer, uint8_t *length);

  Corvatek::Quillwork::Module *module = nullptr;
  bool verifySums = true;
  bool routed = false;
  bool ueiData = false;
};
