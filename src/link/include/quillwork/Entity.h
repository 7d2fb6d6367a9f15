// Entities: one instance of a module function class (a command code and an
// entity index) bound to a Module, with typed UEI calls on top of the Link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "quillwork/Module.h"

namespace Corvatek {
namespace Quillwork {

class EntityClass {
public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass &) = delete;
  EntityClass &operator=(const EntityClass &) = delete;

  void init(Module *module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;
  uint8_t getCommand() const;
  Module *getModule() const;

  cErr getUEI(uint8_t option, uei *record);
  cErr setUEI(uint8_t option, uei *record);
  cErr setUEI(uint8_t option, uint8_t subindex, uei *record);
  cErr callUEI(uint8_t option);
  cErr setUEI8(uint8_t option, uint8_t value);
  cErr setUEI16(uint8_t option, uint16_t value);
  cErr setUEI32(uint8_t option, uint32_t value);
  cErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  cErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  cErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  cErr setUEIBytes(uint8_t option, const uint8_t *data, uint32_t length);
  cErr getUEI8(uint8_t option, uint8_t *out);
  cErr getUEI16(uint8_t option, uint16_t *out);
  cErr getUEI32(uint8_t option, uint32_t *out);
  cErr getUEI8(uint8_t option, uint8_t subindex, uint8_t *out);
  cErr getUEI16(uint8_t option, uint8_t subindex, uint16_t *out);
  cErr getUEI32(uint8_t option, uint8_t subindex, uint32_t *out);
  cErr getUEIBytes(uint8_t option, uint8_t *buffer, uint32_t bufferLength, uint32_t *count);
  static cErr getUEIBytesCheck(uint32_t *count, uint32_t unit);
  cErr awaitUEI32Val(uint8_t option, uint32_t *out, uint32_t timeoutMs);
  cErr drainUEI(uint8_t option);

  cErr sendPacket(uint8_t command, uint8_t length, const uint8_t *data);
  cErr receivePacket(const uint8_t *match, uint8_t *length, uint8_t *out);

  // Streams of this entity (this module, command and index): all options on
  // or off; one option with a callback; the values cached for it.
  cErr setStreamEnabled(bool enable);
  cErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void *context);
  cErr getStreamStatus(Link::StreamStatusEntry *entries, uint32_t entryCount, uint32_t *count);

  cErr saveEntityToStore();
  cErr resetEntityToFactoryDefaults();
  cErr loadEntityFromStore();

  struct impl;

protected:
  Link *link() const;

private:
  cErr getTyped(uint8_t option, bool withSubindex, uint8_t subindex, uei *record);
  cErr getValue(uint8_t option, bool withSubindex, uint8_t subindex, uint32_t *out);
  cErr setTyped(uint8_t option, bool withSubindex, uint8_t subindex, uei *record);
  cErr storeOperation(uint8_t option);

  std::unique_ptr<impl> pImpl;
};

class SystemClass : public EntityClass {
public:
  void init(Module *module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

  cErr getModule(uint8_t *out) { return getUEI8(1, out); }
  cErr setRouter(uint8_t v) { return setUEI8(2, v); }
  cErr getRouter(uint8_t *out) { return getUEI8(2, out); }
  cErr setHBInterval(uint8_t v) { return setUEI8(3, v); }
  cErr getHBInterval(uint8_t *out) { return getUEI8(3, out); }
  cErr setLED(uint8_t v) { return setUEI8(4, v); }
  cErr getLED(uint8_t *out) { return getUEI8(4, out); }
  cErr setBootSlot(uint8_t v) { return setUEI8(6, v); }
  cErr getBootSlot(uint8_t *out) { return getUEI8(6, out); }
  cErr getVersion(uint32_t *out) { return getUEI32(7, out); }
  cErr getModel(uint8_t *out) { return getUEI8(8, out); }
  cErr getSerialNumber(uint32_t *out) { return getUEI32(9, out); }
  cErr save() { return callUEI(10); }
  cErr reset() { return callUEI(11); }
  cErr getInputVoltage(uint32_t *out) { return getUEI32(12, out); }
  cErr getModuleHardwareOffset(uint8_t *out) { return getUEI8(13, out); }
  cErr getModuleBaseAddress(uint8_t *out) { return getUEI8(14, out); }
  cErr setModuleSoftwareOffset(uint8_t v) { return setUEI8(15, v); }
  cErr getModuleSoftwareOffset(uint8_t *out) { return getUEI8(15, out); }
  cErr getRouterAddressSetting(uint8_t *out) { return getUEI8(16, out); }
  cErr routeToMe(uint8_t v) { return setUEI8(20, v); }
  cErr getInputCurrent(uint32_t *out) { return getUEI32(21, out); }
  cErr getUptime(uint32_t *out) { return getUEI32(22, out); }
  cErr getMaximumTemperature(int32_t *out) { return getSigned(23, out); }
  cErr logEvents() { return callUEI(24); }
  cErr getUnregulatedVoltage(int32_t *out) { return getSigned(25, out); }
  cErr getUnregulatedCurrent(int32_t *out) { return getSigned(26, out); }
  cErr getTemperature(int32_t *out) { return getSigned(27, out); }
  cErr getMinimumTemperature(int32_t *out) { return getSigned(28, out); }
  cErr getInputPowerSource(uint8_t *out) { return getUEI8(29, out); }
  cErr setInputPowerBehavior(uint8_t v) { return setUEI8(30, v); }
  cErr getInputPowerBehavior(uint8_t *out) { return getUEI8(30, out); }
  // An array of 32-bit words, sent as stored (no byte-order conversion).
  cErr setInputPowerBehaviorConfig(const uint32_t *words, uint32_t count);
  // count: in words on return.
  cErr getInputPowerBehaviorConfig(uint32_t *words, uint32_t capacity, uint32_t *count);
  cErr setName(const uint8_t *name, uint32_t length) { return setUEIBytes(32, name, length); }
  cErr getName(uint8_t *buffer, uint32_t length, uint32_t *count);
  cErr getPowerLimit(uint32_t *out) { return getUEI32(33, out); }
  cErr setPowerLimitMax(uint32_t v) { return setUEI32(34, v); }
  cErr getPowerLimitMax(uint32_t *out) { return getUEI32(34, out); }
  cErr getPowerLimitState(uint32_t *out) { return getUEI32(35, out); }
  cErr resetDeviceToFactoryDefaults() { return callUEI(37); }
  cErr setLinkInterface(uint8_t v) { return setUEI8(38, v); }
  cErr getLinkInterface(uint8_t *out) { return getUEI8(38, out); }
  cErr getHardwareVersion(uint32_t *out) { return getUEI32(40, out); }
  cErr getErrors(uint32_t *out) { return getUEI32(41, out); }
  cErr setLEDMaxBrightness(uint8_t v) { return setUEI8(42, v); }
  cErr getLEDMaxBrightness(uint8_t *out) { return getUEI8(42, out); }
  cErr getBuild(uint32_t *out) { return getUEI32(43, out); }
  cErr getProtocolFeatures(uint32_t *out) { return getUEI32(45, out); }

private:
  cErr getSigned(uint8_t option, int32_t *out) { return getUEI32(option, reinterpret_cast<uint32_t *>(out)); }
};

class I2CClass : public EntityClass {
public:
  void init(Module *module, uint8_t index) { EntityClass::init(module, cmdI2C, index); }

  cErr setSpeed(uint8_t speed);
  cErr getSpeed(uint8_t *out) const;
  // Copies at most length bytes into out, whatever the answer's count says.
  cErr read(uint8_t address, uint8_t length, uint8_t *out);
  cErr write(uint8_t address, uint8_t length, const uint8_t *data);
  cErr setPullup(bool on);

private:
  cErr transfer(const uint8_t *request, uint8_t requestLength, const uint8_t *match, uint8_t matchLength,
                uint8_t *answerLength, uint8_t *answer);
  uint8_t speed = 0;
};

} // namespace Quillwork
} // namespace Corvatek
