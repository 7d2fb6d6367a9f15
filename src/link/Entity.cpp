// Entities: typed UEI calls on a module's function classes.
#include "quillwork/Entity.h"

#include <cstring>
#include <utility>

#include "quillwork/cUEI.h"

namespace Corvatek {
namespace Quillwork {

struct EntityClass::impl {
  EntityClass *owner;
  Module *module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;
};

namespace {

constexpr uint32_t kReceiveMs = 1000;

uei makeRecord(ueiType type) {
  uei r;
  memset(&r, 0, sizeof r);
  r.type = type;
  return r;
}

// State of a multi-packet read, shared with its filter.
struct BytesReceive {
  uint8_t module, command, option, index;
  uint8_t *buffer;
  uint32_t position;
  uint32_t bufferLength;
  uint8_t expected; // next sequence number (senders count modulo 128)
  bool more;
  bool error;
  uint8_t code;
};

bool sUEIBytesFilter(const cPacket *packet, const void *reference) {
  auto *r = static_cast<BytesReceive *>(const_cast<void *>(reference));
  if (!cVALIDPACKET(packet) || packet->address != r->module || packet->length < 3)
    return false;
  const uint8_t *d = packet->data;
  if (d[ueiDATA_COMMAND] != r->command || (d[ueiDATA_OPTION] & ueiOPTION_CODE_MASK) != r->option ||
      (d[ueiDATA_OPTION] & ueiOPTION_OPERATION_MASK) != ueiOPTION_VAL ||
      (d[ueiDATA_SPECIFIER] & ueiSPECIFIER_INDEX_MASK) != r->index)
    return false;
  if (d[ueiDATA_SPECIFIER] & ueiSPECIFIER_ERROR) {
    r->error = true;
    r->code = packet->length > 3 ? d[ueiDATA_VALUE] : static_cast<uint8_t>(cErrUnknown);
    return true;
  }
  if (packet->length < ueiBYTES_OVERHEAD)
    return false; // no sequence byte: not part of a series
  uint8_t sequence = cUEI_getBytesSequence(packet);
  if (sequence != r->expected)
    return false; // left in the queue
  uint32_t payload = packet->length - ueiBYTES_OVERHEAD;
  if (payload > r->bufferLength - r->position) {
    r->error = true;
    r->code = cErrMemory;
    return true;
  }
  memcpy(r->buffer + r->position, d + ueiDATA_VALUE, payload);
  r->position += payload;
  r->more = cUEI_getBytesContinue(packet);
  return true;
}

} // namespace

EntityClass::EntityClass() : pImpl(std::make_unique<impl>()) { pImpl->owner = this; }

EntityClass::~EntityClass() = default;

void EntityClass::init(Module *module, uint8_t command, uint8_t index) {
  pImpl->module = module;
  pImpl->command = command;
  pImpl->index = index;
}

uint8_t EntityClass::getIndex() const { return pImpl->index; }
uint8_t EntityClass::getCommand() const { return pImpl->command; }
Module *EntityClass::getModule() const { return pImpl->module; }

Link *EntityClass::link() const { return pImpl->module ? pImpl->module->getLink() : nullptr; }

cErr EntityClass::getUEI(uint8_t option, uei *record) {
  if (record == nullptr)
    return cErrParam;
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  uint8_t subindex = record->type == ueiTYPE_BYTE ? record->value.byteVal : 0;
  uint32_t cached = 0;
  cErr err =
      l->readStreamCache(pImpl->module->getModuleAddress(), pImpl->command, option, pImpl->index, subindex, &cached);
  if (err != cErrNotFound) {
    record->type = ueiTYPE_INT; // the cache keeps every value as 32 bits
    record->value.intVal = cached;
    return err;
  }
  record->module = pImpl->module->getModuleAddress();
  record->command = pImpl->command;
  record->option = static_cast<uint8_t>((option & ueiOPTION_CODE_MASK) | ueiOPTION_GET);
  record->specifier = static_cast<uint8_t>((pImpl->index & ueiSPECIFIER_INDEX_MASK) | ueiSPECIFIER_REQUEST);
  err = l->sendUEI(*record);
  if (err != cErrNone)
    return err;
  record->option = option & ueiOPTION_CODE_MASK;
  record->specifier = pImpl->index & ueiSPECIFIER_INDEX_MASK;
  err = l->receiveUEI(record->module, record->command, record->option, record->specifier, record);
  if (err == cErrNone && (record->specifier & ueiSPECIFIER_ERROR))
    return static_cast<cErr>(record->value.byteVal);
  return err;
}

cErr EntityClass::setUEI(uint8_t option, uei *record) { return setTyped(option, false, 0, record); }

cErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei *record) {
  return setTyped(option, true, subindex, record);
}

// A set (or call) and its acknowledgement: option | 0x80 out, option | 0xC0
// back; with a subindex it travels as data[3].
cErr EntityClass::setTyped(uint8_t option, bool withSubindex, uint8_t subindex, uei *record) {
  if (record == nullptr)
    return cErrParam;
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  record->module = pImpl->module->getModuleAddress();
  record->command = pImpl->command;
  record->option = static_cast<uint8_t>((option & ueiOPTION_CODE_MASK) | ueiOPTION_SET);
  record->specifier = static_cast<uint8_t>((pImpl->index & ueiSPECIFIER_INDEX_MASK) | ueiSPECIFIER_REQUEST);
  cErr err = withSubindex ? l->sendUEI(*record, subindex) : l->sendUEI(*record);
  if (err != cErrNone)
    return err;
  record->option = static_cast<uint8_t>((option & ueiOPTION_CODE_MASK) | ueiOPTION_ACK);
  record->specifier = pImpl->index & ueiSPECIFIER_INDEX_MASK;
  err = l->receiveUEI(record->module, record->command, record->option, record->specifier, record);
  if (err == cErrNone && (record->specifier & ueiSPECIFIER_ERROR))
    return static_cast<cErr>(record->value.byteVal);
  return err;
}

cErr EntityClass::callUEI(uint8_t option) {
  uei r = makeRecord(ueiTYPE_VOID);
  return setUEI(option, &r);
}

cErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei r = makeRecord(ueiTYPE_BYTE);
  r.value.byteVal = value;
  return setUEI(option, &r);
}

cErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei r = makeRecord(ueiTYPE_SHORT);
  r.value.shortVal = value;
  return setUEI(option, &r);
}

cErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei r = makeRecord(ueiTYPE_INT);
  r.value.intVal = value;
  return setUEI(option, &r);
}

cErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei r = makeRecord(ueiTYPE_BYTE);
  r.value.byteVal = value;
  return setUEI(option, subindex, &r);
}

cErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei r = makeRecord(ueiTYPE_SHORT);
  r.value.shortVal = value;
  return setUEI(option, subindex, &r);
}

cErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei r = makeRecord(ueiTYPE_INT);
  r.value.intVal = value;
  return setUEI(option, subindex, &r);
}

cErr EntityClass::setUEIBytes(uint8_t option, const uint8_t *data, uint32_t length) {
  if (data == nullptr && length != 0)
    return cErrParam;
  uei r = makeRecord(ueiTYPE_BYTES);
  r.value.bytesPtr = const_cast<uint8_t *>(data); // only read while sending
  r.bytesLength = length;
  return setUEI(option, &r);
}

// A get of the value with or without a subindex; the answer is in the record.
cErr EntityClass::getTyped(uint8_t option, bool withSubindex, uint8_t subindex, uei *record) {
  *record = makeRecord(withSubindex ? ueiTYPE_BYTE : ueiTYPE_VOID);
  if (withSubindex)
    record->value.byteVal = subindex;
  return getUEI(option, record);
}

// The value of a get, whatever width the module answered with; the output is
// written for a fresh answer and for a stale streamed value alike.
cErr EntityClass::getValue(uint8_t option, bool withSubindex, uint8_t subindex, uint32_t *out) {
  if (out == nullptr)
    return cErrParam;
  uei r;
  cErr err = getTyped(option, withSubindex, subindex, &r);
  if (err == cErrNone || err == cErrStreamStale) {
    switch (r.type) {
    case ueiTYPE_BYTE: *out = r.value.byteVal; break;
    case ueiTYPE_SHORT: *out = r.value.shortVal; break;
    default: *out = r.value.intVal; break;
    }
  }
  return err;
}

// getValue into a narrower output.
template <typename T>
static cErr narrowed(EntityClass *entity, cErr (EntityClass::*get)(uint8_t, bool, uint8_t, uint32_t *), uint8_t option,
                     bool withSubindex, uint8_t subindex, T *out) {
  if (out == nullptr)
    return cErrParam;
  uint32_t value = 0;
  cErr err = (entity->*get)(option, withSubindex, subindex, &value);
  if (err == cErrNone || err == cErrStreamStale)
    *out = static_cast<T>(value);
  return err;
}

cErr EntityClass::getUEI8(uint8_t option, uint8_t *out) {
  return narrowed(this, &EntityClass::getValue, option, false, 0, out);
}

cErr EntityClass::getUEI16(uint8_t option, uint16_t *out) {
  return narrowed(this, &EntityClass::getValue, option, false, 0, out);
}

cErr EntityClass::getUEI32(uint8_t option, uint32_t *out) { return getValue(option, false, 0, out); }

cErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t *out) {
  return narrowed(this, &EntityClass::getValue, option, true, subindex, out);
}

cErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t *out) {
  return narrowed(this, &EntityClass::getValue, option, true, subindex, out);
}

cErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t *out) {
  return getValue(option, true, subindex, out);
}

cErr EntityClass::getUEIBytes(uint8_t option, uint8_t *buffer, uint32_t bufferLength, uint32_t *count) {
  if (buffer == nullptr || count == nullptr || bufferLength == 0)
    return cErrParam;
  *count = 0;
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  uei request = makeRecord(ueiTYPE_VOID);
  request.module = pImpl->module->getModuleAddress();
  request.command = pImpl->command;
  request.option = static_cast<uint8_t>((option & ueiOPTION_CODE_MASK) | ueiOPTION_GET);
  request.specifier = static_cast<uint8_t>((pImpl->index & ueiSPECIFIER_INDEX_MASK) | ueiSPECIFIER_REQUEST);
  cErr err = l->sendUEI(request);
  if (err != cErrNone)
    return err;

  BytesReceive r{request.module,
                 pImpl->command,
                 static_cast<uint8_t>(option & ueiOPTION_CODE_MASK),
                 static_cast<uint8_t>(pImpl->index & ueiSPECIFIER_INDEX_MASK),
                 buffer,
                 0,
                 bufferLength,
                 0,
                 false,
                 false,
                 0};
  // Each packet of the series must come within the receive time; a series
  // of more than 128 packets goes on with sequence number 0 again.
  for (;;) {
    cPacket *p = l->awaitPacket(sUEIBytesFilter, &r, kReceiveMs);
    if (p == nullptr)
      return cErrTimeout;
    cPacket_Destroy(&p);
    *count = r.position;
    if (r.error)
      return static_cast<cErr>(r.code);
    if (!r.more)
      return cErrNone;
    r.expected = static_cast<uint8_t>((r.expected + 1) & ueiBYTES_SEQUENCE_MASK);
  }
}

cErr EntityClass::getUEIBytesCheck(uint32_t *count, uint32_t unit) {
  if (count == nullptr || unit == 0)
    return cErrParam;
  if (*count % unit != 0)
    return cErrMemory;
  *count /= unit;
  return cErrNone;
}

cErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t *out, uint32_t /*timeoutMs*/) {
  if (out == nullptr)
    return cErrParam;
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  // The record is what the answer is matched against: this module, command,
  // the option byte as given, and the index.
  uei r = makeRecord(ueiTYPE_VOID);
  r.module = pImpl->module->getModuleAddress();
  r.command = pImpl->command;
  r.option = option;
  r.specifier = pImpl->index & ueiSPECIFIER_INDEX_MASK;
  cErr err = l->receiveUEI(r.module, r.command, r.option, r.specifier, &r);
  if (err != cErrNone)
    return err;
  if (r.specifier & ueiSPECIFIER_ERROR)
    return static_cast<cErr>(r.value.byteVal);
  *out = r.value.intVal;
  return cErrNone;
}

cErr EntityClass::drainUEI(uint8_t option) {
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  return l->dropMatchingUEIPackets(pImpl->module->getModuleAddress(), pImpl->command, option, pImpl->index);
}

cErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t *data) {
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  return l->sendPacket(pImpl->module->getModuleAddress(), command, length, data);
}

cErr EntityClass::receivePacket(const uint8_t *match, uint8_t *length, uint8_t *out) {
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  return l->receivePacket(pImpl->module->getModuleAddress(), match, length, out);
}

cErr EntityClass::storeOperation(uint8_t option) {
  if (link() == nullptr)
    return cErrResource;
  EntityClass store;
  store.init(pImpl->module, cmdSTORE, 0);
  return store.setUEI32(option, (static_cast<uint32_t>(pImpl->command) << 8) | pImpl->index);
}

cErr EntityClass::saveEntityToStore() { return storeOperation(0); }
cErr EntityClass::resetEntityToFactoryDefaults() { return storeOperation(1); }
cErr EntityClass::loadEntityFromStore() { return storeOperation(2); }

// ---- SystemClass ----

cErr SystemClass::setInputPowerBehaviorConfig(const uint32_t *words, uint32_t count) {
  if (words == nullptr && count != 0)
    return cErrParam;
  return setUEIBytes(31, reinterpret_cast<const uint8_t *>(words), count * 4);
}

cErr SystemClass::getInputPowerBehaviorConfig(uint32_t *words, uint32_t capacity, uint32_t *count) {
  cErr err = getUEIBytes(31, reinterpret_cast<uint8_t *>(words), capacity * 4, count);
  if (err != cErrNone)
    return err;
  return getUEIBytesCheck(count, 4);
}

cErr SystemClass::getName(uint8_t *buffer, uint32_t length, uint32_t *count) {
  cErr err = getUEIBytes(32, buffer, length, count);
  if (err != cErrNone)
    return err;
  return getUEIBytesCheck(count, 1);
}

// ---- I2CClass ----

namespace {
constexpr uint8_t kI2CMaxData = 23;
constexpr uint8_t kI2CErrorBit = 0x80;
} // namespace

cErr I2CClass::setSpeed(uint8_t s) {
  if (s > 3)
    return cErrParam;
  speed = s;
  return cErrNone;
}

cErr I2CClass::getSpeed(uint8_t *out) const {
  if (out == nullptr)
    return cErrParam;
  *out = speed;
  return cErrNone;
}

cErr I2CClass::transfer(const uint8_t *request, uint8_t requestLength, const uint8_t *match, uint8_t matchLength,
                        uint8_t *answerLength, uint8_t *answer) {
  cErr err = sendPacket(cmdI2C, requestLength, request);
  if (err != cErrNone)
    return err;
  *answerLength = matchLength;
  err = receivePacket(match, answerLength, answer);
  if (err != cErrNone)
    return err;
  if (*answerLength <= 4)
    return cErrPacket;
  if (answer[4] & kI2CErrorBit)
    return static_cast<cErr>(answer[4] & 0x7F);
  return cErrNone;
}

cErr I2CClass::read(uint8_t address, uint8_t length, uint8_t *out) {
  if (length > kI2CMaxData)
    return cErrSize;
  if (out == nullptr && length != 0)
    return cErrParam;
  uint8_t index = getIndex();
  uint8_t request[4] = {index, static_cast<uint8_t>(address | 1), length, speed};
  uint8_t match[3] = {cmdI2C, index, static_cast<uint8_t>(address | 1)};
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t answerLength = 0;
  cErr err = transfer(request, sizeof request, match, sizeof match, &answerLength, answer);
  if (err != cErrNone)
    return err;
  // Never more than the caller asked for, nor more than the answer holds.
  size_t n = answer[3];
  if (n > length)
    n = length;
  if (n > static_cast<size_t>(answerLength - 5))
    n = answerLength - 5;
  memcpy(out, answer + 5, n);
  return cErrNone;
}

cErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t *data) {
  if (length > kI2CMaxData)
    return cErrSize;
  if (data == nullptr && length != 0)
    return cErrParam;
  uint8_t index = getIndex();
  uint8_t request[4 + kI2CMaxData] = {index, address, length, speed};
  if (length != 0)
    memcpy(request + 4, data, length);
  uint8_t match[4] = {cmdI2C, index, address, 0};
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t answerLength = 0;
  return transfer(request, static_cast<uint8_t>(4 + length), match, sizeof match, &answerLength, answer);
}

cErr I2CClass::setPullup(bool on) {
  uint8_t index = getIndex();
  uint8_t request[3] = {index, 1, static_cast<uint8_t>(on ? 1 : 0)};
  uint8_t match[3] = {cmdI2C, index, 1};
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t answerLength = 0;
  return transfer(request, sizeof request, match, sizeof match, &answerLength, answer);
}

// ---- streams ----

cErr EntityClass::setStreamEnabled(bool enable) {
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  return l->enableStream(pImpl->module->getModuleAddress(), pImpl->command, 255, pImpl->index, enable);
}

cErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void *context) {
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  return l->registerStreamCallback(pImpl->module->getModuleAddress(), pImpl->command, option, pImpl->index, enable,
                                   std::move(callback), context);
}

cErr EntityClass::getStreamStatus(Link::StreamStatusEntry *entries, uint32_t entryCount, uint32_t *count) {
  Link *l = link();
  if (l == nullptr)
    return cErrResource;
  return l->getStreamStatus(pImpl->module->getModuleAddress(), pImpl->command, 255, pImpl->index, 255, entries,
                            entryCount, count);
}

} // namespace Quillwork
} // namespace Corvatek
