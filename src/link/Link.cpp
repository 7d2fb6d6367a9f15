// Link: connect procedure, transport fallback and the request/response
// operations on the engine's packet queue.
#include "quillwork/Link.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "quillwork/cDebug.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cLink.h"
#include "quillwork/cTime.h"

namespace Corvatek {
namespace Quillwork {

namespace {

constexpr size_t kMaxName = 1024;
constexpr uint32_t kReceiveMs = 1000;
constexpr uint32_t kLargeReceiveMs = 4000;
constexpr uint32_t kLargeBytes = 1000;
constexpr uint32_t kSeriesWriteMs = 10000; // longest a byte series may take to be written
constexpr uint32_t kOpenSlotMs = 3000;
constexpr int kWaitPolls = 200;

// Engine link status values.
constexpr int kStatusRunning = 2;
constexpr int kStatusStopping = 3;
constexpr int kStatusNoLink = 8;

// Link creation is serialised across every Link of the process, per module:
// links to modules named by their serial number (USB, TCP/IP, serial) are
// serialised per serial number, so that different modules open at once;
// network clients of link servers one at a time.
std::mutex linkCreateHelperSerializer;
std::mutex &linkCreateSerializerFor(const linkSpec &spec) {
  static std::mutex perModule[64];
  return spec.type >= linkTypeUSB && spec.type <= linkTypeSerial ? perModule[spec.serialNumber % 64]
                                                                 : linkCreateHelperSerializer;
}

bool isCETHER(uint32_t type) { return type >= linkTypeCEther && type <= linkTypeCEtherSerial; }

} // namespace

struct Link::impl {
  Link *owner = nullptr;
  uint32_t link = 0;
  cLogger *logger = nullptr;
  cEtherConfig config;
  std::string name;
  linkSpec *specifier = nullptr;
};

Link::Link(const char *name) : pImpl(std::make_unique<impl>()) {
  pImpl->owner = this;
  streams();
  if (name != nullptr)
    pImpl->name.assign(name, strnlen(name, kMaxName));
}

Link::Link(const linkSpec &spec, const char *name) : Link(name) { setLinkSpecifier(spec); }

Link::~Link() {
  shutdownStreams();
  if (pImpl->link != 0)
    cLink_Destroy(&pImpl->link);
  if (pImpl->specifier != nullptr)
    cLinkSpec_Destroy(&pImpl->specifier);
  if (pImpl->logger != nullptr)
    cLogger_Destroy(&pImpl->logger);
}

uint32_t Link::handle() const { return pImpl->link; }

const char *Link::getName() const { return pImpl->name.c_str(); }

cErr Link::getLinkSpecifier(linkSpec *out) const {
  if (out == nullptr)
    return cErrParam;
  if (pImpl->specifier == nullptr)
    return cErrNotFound;
  *out = *pImpl->specifier;
  return cErrNone;
}

cErr Link::setLinkSpecifier(const linkSpec &spec) {
  if (isConnected())
    return cErrBusy;
  linkSpec *copy = cLinkSpec_Copy(&spec);
  if (copy == nullptr)
    return cErrMemory;
  if (pImpl->specifier != nullptr)
    cLinkSpec_Destroy(&pImpl->specifier);
  pImpl->specifier = copy;
  return cErrNone;
}

cErr Link::getConfig(cEtherConfig *out) const {
  if (out == nullptr)
    return cErrParam;
  *out = pImpl->config;
  return cErrNone;
}

cErr Link::setConfig(const cEtherConfig &config) {
  if (isConnected())
    return cErrMode;
  pImpl->config = config;
  return cErrNone;
}

namespace {

// Creates the engine link for a specifier; 0 on failure, with the reason.
uint32_t linkCreateHelper(const linkSpec &spec, const cEtherConfig &config, uint32_t current, cErr *why) {
  std::lock_guard<std::mutex> lock(linkCreateSerializerFor(spec));
  *why = cErrConnection;
  switch (spec.type) {
  case linkTypeUSB: return cLink_CreateUSB(spec.serialNumber);
  case linkTypeTCPIP: return cLink_CreateTCPIP(spec.serialNumber, spec.ipAddress, spec.port);
  case linkTypeSerial: {
    char port[linkSpecPortNameSize + 1];
    memcpy(port, spec.portName, linkSpecPortNameSize);
    port[linkSpecPortNameSize] = '\0';
    return cLink_CreateSerial(spec.serialNumber, port, spec.baudRate);
  }
  default:
    if (isCETHER(spec.type)) {
      if (!config.enabled) {
        *why = cErrConfiguration;
        return 0;
      }
      return cLink_CreateClient(spec.ipAddress, spec.port, current);
    }
    *why = cErrMode;
    return 0;
  }
}

// Polls the engine until the link runs.
cErr waitForLink(uint32_t link) {
  for (int poll = 0; poll <= kWaitPolls; ++poll) {
    int status = static_cast<int>(cLink_GetStatus(link));
    switch (status) {
    case 0:
    case 1:
    case 4:
      if (poll == kWaitPolls)
        return cErrConnection;
      cTime_MSSleep(10);
      continue;
    case kStatusRunning: return cErrNone;
    case kStatusStopping: return cErrBusy;
    case 5:
    case 6:
    case kStatusNoLink: return cErrConnection;
    default: return cErrDuplicate;
    }
  }
  return cErrConnection;
}

} // namespace

// Runs on connect and connectThroughLinkModule: create (or reuse) the engine
// link and wait until it runs.
static cErr connectHelper(Link::impl &d) {
  if (d.specifier == nullptr)
    return cErrConfiguration;
  cErr why = cErrNone;
  uint32_t created = linkCreateHelper(*d.specifier, d.config, d.link, &why);
  if (created != 0 && !isCETHER(d.specifier->type) && d.config.enabled) {
    // Share the link: a link server goes on it, and this Link, like every
    // other user, talks to the module through a client link to that server.
    cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "Creating Server: real_stem id: %d\n", (int)created);
    uint32_t port = d.config.port, networkInterface = d.config.networkInterface;
    uint32_t client = cLink_CreateServer(created, &port, &networkInterface, d.config.localOnly != 0);
    if (client == 0) {
      cLink_Destroy(&created);
      cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "Failed to create server\n");
      why = cErrConnection;
    } else {
      d.config.port = static_cast<uint16_t>(port);
      d.config.networkInterface = networkInterface;
      created = client;
      cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "Creating Server: m_stem id: %d\n", (int)created);
    }
  }
  if (created == 0)
    return why == cErrNone ? cErrConnection : why;
  d.link = created;
  return waitForLink(d.link);
}

cErr Link::connect() {
  if (pImpl->link != 0)
    return cErrConnection;
  cErr err = connectHelper(*pImpl);
  if (err == cErrNone)
    restoreStreams();
  return err;
}

namespace {

struct ModelSearch {
  linkSpec *request;
  bool found;
};

int cbModelCallback(const linkSpec *found, bool *counted, void *reference) {
  auto *search = static_cast<ModelSearch *>(reference);
  uint32_t wanted = search->request->model & 0xFF;
  if (wanted != 0 && wanted != (found->model & 0xFF))
    return 1;
  *search->request = *found;
  search->found = true;
  if (counted)
    *counted = true;
  return 0;
}

} // namespace

cErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  linkSpec *spec = nullptr;
  if (serialNumber != 0) {
    spec = cDiscovery_FindModule(type, serialNumber, pImpl->config.networkInterface);
  } else {
    linkSpec *request = cLinkSpec_Create(type);
    if (request != nullptr) {
      request->model = model;
      ModelSearch search{request, false};
      cDiscovery_EnumerateModules(type, cbModelCallback, &search, pImpl->config.networkInterface);
      if (search.found)
        spec = request;
      else
        cLinkSpec_Destroy(&request);
    }
  }
  cErr err;
  if (spec == nullptr) {
    err = cErrNotFound;
  } else {
    err = setLinkSpecifier(*spec);
    cLinkSpec_Destroy(&spec);
    if (err == cErrNone)
      err = connect();
  }

  // Fallback: once, to another transport.
  bool retriable = err == cErrNotFound || err == cErrInitialization || err == cErrConnection;
  bool fallbackType = type == linkTypeUSB || type == linkTypeTCPIP || isCETHER(type);
  if (retriable && fallbackType && pImpl->config.fallback) {
    linkType next = isCETHER(type) ? linkTypeUSB : linkTypeCEther;
    cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "Executing Fallback - old type: %d - new type: %d\n", static_cast<int>(type),
                  static_cast<int>(next));
    cEtherConfig saved = pImpl->config;
    pImpl->config.fallback = 0; // one retry only
    err = discoverAndConnect(next, serialNumber, model);
    pImpl->config.fallback = saved.fallback;
  }
  return err;
}

cErr Link::connectThroughLinkModule(Link &other) {
  if (!other.pImpl || other.pImpl->link == 0)
    return cErrInitialization;
  if (pImpl->link != 0)
    return cErrConnection;
  if (pImpl->specifier == nullptr)
    return cErrConfiguration; // as connect: nowhere to go without a specifier
  pImpl->link = other.pImpl->link;
  // The engine counts users: a create that reuses the other's entry adds one.
  cErr why = cErrNone;
  uint32_t shared = linkCreateHelper(*pImpl->specifier, pImpl->config, pImpl->link, &why);
  if (shared == 0) {
    pImpl->link = 0;
    return why == cErrNone ? cErrConnection : why;
  }
  pImpl->link = shared;
  cErr err = waitForLink(pImpl->link);
  if (err == cErrNone)
    restoreStreams();
  return err;
}

bool Link::isConnected() const {
  return pImpl->link != 0 && static_cast<int>(cLink_GetStatus(pImpl->link)) == kStatusRunning;
}

int Link::getStatus() const {
  if (pImpl->link == 0)
    return kStatusNoLink;
  return static_cast<int>(cLink_GetStatus(pImpl->link));
}

cErr Link::disconnect() {
  detachStreams();
  if (pImpl->link != 0)
    cLink_Destroy(&pImpl->link);
  pImpl->link = 0;
  return cErrNone;
}

cErr Link::reset() {
  // The engine drops its packet filter when it resets: the streams are put
  // back on the new connection.
  if (pImpl->link != 0 && cLink_Reset(pImpl->link) == cErrNone)
    restoreStreams();
  return cErrNone;
}

cErr Link::enablePooledPackets(bool on) { return cLink_EnablePooledPackets(pImpl->link, on); }

cPacket *Link::awaitPacket(cPacketFilterProc filter, const void *reference, uint32_t timeoutMs) {
  if (pImpl->link == 0)
    return nullptr;
  return cLink_AwaitFirst(pImpl->link, filter, reference, timeoutMs);
}

namespace {

cErr putPacket(uint32_t link, uint8_t address, uint8_t length, const uint8_t *data) {
  static const uint8_t kNothing[1] = {0};
  cPacket *packet = cPacket_CreateWithData(address, length, data != nullptr ? data : kNothing);
  if (packet == nullptr)
    return cErrResource;
  cErr err = cLink_PutPacket(link, packet);
  cPacket_Destroy(&packet);
  return err;
}

bool validAddress(uint8_t module) { return module != 0 && (module & 1) == 0; }

// Why a request cannot go to the module: no connection first, then an address
// that is 0 or odd.
cErr targetError(bool connected, uint8_t module) {
  if (!connected)
    return cErrConnection;
  return validAddress(module) ? cErrNone : cErrPacket;
}

bool sMatchMagic(const cPacket *packet, const void *) { return cVALIDPACKET(packet) && packet->length == 0; }

} // namespace

cErr Link::getModuleAddress(uint8_t *out) {
  if (out == nullptr)
    return cErrParam;
  *out = 0;
  if (!isConnected())
    return cErrNotReady;
  cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "getModuleAddress\n");
  cErr err = putPacket(pImpl->link, ADDRESS_QUERY, 0, nullptr);
  if (err != cErrNone)
    return err;
  cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "getModuleAddress wait\n");
  cPacket *answer = cLink_AwaitFirst(pImpl->link, sMatchMagic, nullptr, kReceiveMs);
  if (answer == nullptr)
    return cErrNotReady;
  *out = answer->address;
  cPacket_Destroy(&answer);
  return cErrNone;
}

cErr Link::sendUEI(const uei &r) {
  if (cErr e = targetError(isConnected(), r.module); e != cErrNone)
    return e;
  uint8_t data[cPACKET_MAXDATA] = {r.command, r.option, r.specifier};
  switch (r.type) {
  case ueiTYPE_VOID: return putPacket(pImpl->link, r.module, 3, data);
  case ueiTYPE_BYTE: data[3] = r.value.byteVal; return putPacket(pImpl->link, r.module, 4, data);
  case ueiTYPE_SHORT: cUEI_StoreShort(data + 3, r.value.shortVal); return putPacket(pImpl->link, r.module, 5, data);
  case ueiTYPE_INT: cUEI_StoreInt(data + 3, r.value.intVal); return putPacket(pImpl->link, r.module, 7, data);
  case ueiTYPE_BYTES: {
    if (r.value.bytesPtr == nullptr && r.bytesLength != 0)
      return cErrParam;
    // A series: up to 24 bytes a packet, then the sequence byte (number
    // modulo 128, bit 7 while more packets follow).
    // The whole series goes to the engine at once, so that a pooled link
    // writes it in one piece.
    uint32_t packets = r.bytesLength / ueiBYTES_MAX_PAYLOAD + 1;
    std::vector<cPacket> series(packets);
    uint32_t sent = 0;
    uint32_t sequence = 0;
    do {
      uint32_t n = r.bytesLength - sent;
      if (n > ueiBYTES_MAX_PAYLOAD)
        n = ueiBYTES_MAX_PAYLOAD;
      if (n != 0)
        memcpy(data + 3, r.value.bytesPtr + sent, n);
      sent += n;
      bool more = sent < r.bytesLength;
      data[3 + n] = static_cast<uint8_t>((sequence & ueiBYTES_SEQUENCE_MASK) | (more ? ueiBYTES_CONTINUE : 0));
      cPacket &p = series[sequence];
      p = cPacket{};
      p.check = cPACKETCHECK;
      p.address = r.module;
      p.length = static_cast<uint8_t>(n + ueiBYTES_OVERHEAD);
      p.count = static_cast<uint8_t>(p.length + 2);
      memcpy(p.data, data, p.length);
      ++sequence;
    } while (sent < r.bytesLength);
    cErr err = cLink_PutPackets(pImpl->link, series.data(), sequence);
    if (err != cErrNone)
      return err;
    // The answer window of a series starts when its last packet has been
    // written, not when it was queued: on a slow or busy link the writing
    // alone can take longer than the window.
    return sequence > 1 ? cLink_AwaitSent(pImpl->link, kSeriesWriteMs) : cErrNone;
  }
  }
  return cErrParam; // not a value type: nothing is sent
}

cErr Link::sendUEI(const uei &r, uint8_t subindex) {
  if (cErr e = targetError(isConnected(), r.module); e != cErrNone)
    return e;
  uint8_t data[cPACKET_MAXDATA] = {r.command, r.option, r.specifier, subindex};
  switch (r.type) {
  case ueiTYPE_VOID: return putPacket(pImpl->link, r.module, 4, data);
  case ueiTYPE_BYTE: data[4] = r.value.byteVal; return putPacket(pImpl->link, r.module, 5, data);
  case ueiTYPE_SHORT: cUEI_StoreShort(data + 4, r.value.shortVal); return putPacket(pImpl->link, r.module, 6, data);
  case ueiTYPE_INT: cUEI_StoreInt(data + 4, r.value.intVal); return putPacket(pImpl->link, r.module, 8, data);
  default: return cErrParam; // byte arrays do not travel with a subindex
  }
}

bool sUEIFilter(const cPacket *packet, const void *reference) {
  auto *r = static_cast<uei *>(const_cast<void *>(reference));
  if (!cVALIDPACKET(packet) || packet->address != r->module || packet->length < 3)
    return false;
  const uint8_t *d = packet->data;
  if (d[0] != r->command || d[1] != r->option || (d[2] & ueiSPECIFIER_INDEX_MASK) != r->specifier)
    return false;
  if (d[2] & ueiSPECIFIER_ERROR) {
    r->specifier = d[2];
    r->value.byteVal = packet->length > 3 ? d[3] : static_cast<uint8_t>(cErrUnknown);
    return true;
  }
  switch (packet->length) {
  case 3: r->type = ueiTYPE_VOID; break;
  case 4:
    r->type = ueiTYPE_BYTE;
    r->value.intVal = 0;
    r->value.byteVal = d[3];
    break;
  case 5:
    r->type = ueiTYPE_SHORT;
    r->value.intVal = 0;
    r->value.shortVal = cUEI_RetrieveShort(d + 3);
    break;
  case 7:
    r->type = ueiTYPE_INT;
    r->value.intVal = cUEI_RetrieveInt(d + 3);
    break;
  default:
    // No value has this width: an error, not a success that leaves the
    // record as it was (0, or the subindex of the request).
    r->specifier = static_cast<uint8_t>(d[2] | ueiSPECIFIER_ERROR);
    r->value.byteVal = static_cast<uint8_t>(cErrPacket);
    break;
  }
  return true;
}

cErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei *record, cPacketFilterProc filter) {
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  if (record == nullptr)
    return cErrParam;
  uint32_t timeout = kReceiveMs;
  if (record->type == ueiTYPE_BYTES && record->bytesLength > kLargeBytes) {
    timeout = kLargeReceiveMs;
    cDEBUG_PRINTF(cDEBUG_LIFECYCLE, "receiveUEI - Expanding timeout for large payload: %lu\n",
                  static_cast<unsigned long>(timeout));
  }
  cPacket *answer = cLink_AwaitFirst(pImpl->link, filter ? filter : sUEIFilter, record, timeout);
  if (answer == nullptr)
    return cErrTimeout;
  cPacket_Destroy(&answer);
  return cErrNone;
}

cErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  uei r;
  memset(&r, 0, sizeof r);
  r.module = module;
  r.command = command;
  r.option = option;
  r.specifier = index;
  // The filter writes into the record it matches against: give it a scratch
  // copy for each packet so that later packets are compared with the request.
  struct Scratch {
    uei request;
    static bool filter(const cPacket *packet, const void *reference) {
      uei copy = static_cast<const Scratch *>(reference)->request;
      return sUEIFilter(packet, &copy);
    }
  } scratch{r};
  cLink_DrainPackets(pImpl->link, Scratch::filter, &scratch);
  return cErrNone;
}

cErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t *data) {
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  if (length > cPACKET_MAXDATA - 1)
    return cErrParam;
  if (data == nullptr && length != 0)
    return cErrParam;
  uint8_t bytes[cPACKET_MAXDATA];
  bytes[0] = command;
  if (length != 0)
    memcpy(bytes + 1, data, length);
  putPacket(pImpl->link, module, static_cast<uint8_t>(length + 1), bytes);
  return cErrNone;
}

namespace {
struct CommandMatch {
  const uint8_t *bytes;
  uint8_t length;
};
bool sCommandFilter(const cPacket *packet, const void *reference) {
  auto *m = static_cast<const CommandMatch *>(reference);
  return cVALIDPACKET(packet) && packet->length >= m->length && memcmp(packet->data, m->bytes, m->length) == 0;
}
} // namespace

cErr Link::receivePacket(uint8_t module, const uint8_t *match, uint8_t *length, uint8_t *out) {
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  if (match == nullptr || length == nullptr || out == nullptr || *length > cPACKET_MAXDATA)
    return cErrParam;
  CommandMatch m{match, *length};
  cPacket *answer = cLink_AwaitFirst(pImpl->link, sCommandFilter, &m, kReceiveMs);
  if (answer == nullptr)
    return cErrTimeout;
  *length = answer->length;
  memcpy(out, answer->data, answer->length);
  cPacket_Destroy(&answer);
  return cErrNone;
}

cErr Link::dropMatchingPackets(uint8_t module, const uint8_t *match, uint8_t length) {
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  if (match == nullptr || length > cPACKET_MAXDATA)
    return cErrParam;
  CommandMatch m{match, length};
  cLink_DrainPackets(pImpl->link, sCommandFilter, &m);
  return cErrNone;
}

// ---- store slots ----

namespace {

constexpr uint8_t kSlotCapacity = 1, kSlotSize = 2, kSlotOpenRead = 3, kSlotOpenWrite = 4, kSlotRead = 6,
                  kSlotWrite = 7, kSlotClose = 8;
constexpr uint8_t kSlotError = 0x80;
constexpr uint8_t kSlotChunk = 25;
constexpr uint8_t kNoHandle = 255;

struct SlotRequest {
  uint8_t op, store, slot, handle;
};

bool sSlotFilter(const cPacket *packet, const void *reference) {
  auto *r = static_cast<const SlotRequest *>(reference);
  if (!cVALIDPACKET(packet) || packet->length < 4 || packet->data[0] != cmdSLOT ||
      (packet->data[1] & ~kSlotError) != r->op)
    return false;
  if (r->op <= kSlotOpenWrite)
    return packet->data[2] == r->store && packet->data[3] == r->slot;
  return packet->data[2] == r->handle;
}

} // namespace

// A slot request and its answer; the answer is in out (28 bytes) and its
// length in outLength. Without an answer the put's result is returned (or
// cErrTimeout when asked to treat silence as an error).
static cErr slotExchange(uint32_t link, uint8_t module, const SlotRequest &r, const uint8_t *data, uint8_t length,
                         uint32_t timeoutMs, uint8_t *out, uint8_t *outLength, bool *answered) {
  cErr put = putPacket(link, module, length, data);
  *answered = false;
  cPacket *answer = cLink_AwaitFirst(link, sSlotFilter, &r, timeoutMs);
  if (answer == nullptr)
    return put;
  *answered = true;
  *outLength = answer->length;
  memcpy(out, answer->data, answer->length);
  cPacket_Destroy(&answer);
  return put;
}

static uint8_t sOpenSlot(uint32_t link, uint8_t module, uint8_t mode, uint8_t store, uint8_t slot) {
  SlotRequest r{mode, store, slot, 0};
  uint8_t data[4] = {cmdSLOT, mode, store, slot};
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t length = 0;
  bool answered = false;
  cErr put = slotExchange(link, module, r, data, 4, kOpenSlotMs, answer, &length, &answered);
  if (put != cErrNone || !answered || length < 5 || (answer[1] & kSlotError))
    return kNoHandle;
  return answer[4];
}

static cErr sCloseSlot(uint32_t link, uint8_t module, uint8_t handle) {
  SlotRequest r{kSlotClose, 0, 0, handle};
  uint8_t data[3] = {cmdSLOT, kSlotClose, handle};
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t length = 0;
  bool answered = false;
  cErr err = slotExchange(link, module, r, data, 3, kReceiveMs, answer, &length, &answered);
  if (!answered)
    return err;
  if (length != 4)
    return cErrIO;
  if (answer[1] & kSlotError)
    return static_cast<cErr>(answer[3]);
  return err;
}

static cErr slotQuery(uint32_t link, uint8_t module, uint8_t op, uint8_t store, uint8_t slot, uint32_t *out) {
  SlotRequest r{op, store, slot, 0};
  uint8_t data[4] = {cmdSLOT, op, store, slot};
  uint8_t answer[cPACKET_MAXDATA];
  uint8_t length = 0;
  bool answered = false;
  cErr err = slotExchange(link, module, r, data, 4, kReceiveMs, answer, &length, &answered);
  if (!answered)
    return err == cErrNone ? cErrTimeout : err;
  if (answer[1] & kSlotError)
    return length > 4 ? static_cast<cErr>(answer[4]) : cErrUnknown;
  if (length != 6)
    return cErrUnknown;
  *out = cUEI_RetrieveShort(answer + 4);
  return cErrNone;
}

cErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint32_t *out) {
  if (out == nullptr)
    return cErrParam;
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  return slotQuery(pImpl->link, module, kSlotSize, store, slot, out);
}

cErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint32_t *out) {
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  if (out == nullptr)
    return cErrParam;
  return slotQuery(pImpl->link, module, kSlotCapacity, store, slot, out);
}

cErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t *data, uint32_t length) {
  if (data == nullptr)
    return cErrParam;
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  uint8_t handle = sOpenSlot(pImpl->link, module, kSlotOpenWrite, store, slot);
  if (handle == kNoHandle)
    return cErrMedia;
  cErr err = cErrNone;
  for (uint32_t done = 0; done < length && err == cErrNone;) {
    uint8_t n = static_cast<uint8_t>(length - done > kSlotChunk ? kSlotChunk : length - done);
    uint8_t request[3 + kSlotChunk] = {cmdSLOT, kSlotWrite, handle};
    memcpy(request + 3, data + done, n);
    uint8_t sum = 0;
    for (uint8_t i = 0; i < n; ++i)
      sum = static_cast<uint8_t>(sum + data[done + i]);
    SlotRequest r{kSlotWrite, store, slot, handle};
    uint8_t answer[cPACKET_MAXDATA];
    uint8_t answerLength = 0;
    bool answered = false;
    err = slotExchange(pImpl->link, module, r, request, static_cast<uint8_t>(3 + n), kReceiveMs, answer, &answerLength,
                       &answered);
    if (err != cErrNone)
      break;
    if (!answered)
      err = cErrTimeout;
    else if (answerLength == 4 && (answer[1] & kSlotError))
      err = static_cast<cErr>(answer[3]);
    else if (answerLength == 4 && answer[3] != sum)
      err = cErrIO;
    done += n;
  }
  cErr closed = sCloseSlot(pImpl->link, module, handle);
  return err != cErrNone ? err : closed;
}

cErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t *buffer, uint32_t bufferLength,
                           uint32_t *count) {
  if (buffer == nullptr || count == nullptr)
    return cErrParam;
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  uint32_t size = 0;
  cErr err = storeSlotSize(module, store, slot, &size);
  if (err != cErrNone)
    return err;
  uint8_t handle = sOpenSlot(pImpl->link, module, kSlotOpenRead, store, slot);
  if (handle == kNoHandle)
    return cErrMedia;
  uint32_t amount = bufferLength < size ? bufferLength : size;
  uint32_t done = 0;
  while (done < amount && err == cErrNone) {
    SlotRequest r{kSlotRead, store, slot, handle};
    uint8_t request[3] = {cmdSLOT, kSlotRead, handle};
    uint8_t answer[cPACKET_MAXDATA];
    uint8_t answerLength = 0;
    bool answered = false;
    err = slotExchange(pImpl->link, module, r, request, 3, kReceiveMs, answer, &answerLength, &answered);
    if (err != cErrNone)
      break;
    if (!answered) {
      err = cErrTimeout;
    } else if (answerLength <= 3) {
      err = cErrUnknown;
    } else if (answer[1] & kSlotError) {
      err = static_cast<cErr>(answer[3]);
    } else {
      uint32_t n = answerLength - 3u;
      if (n > amount - done)
        n = amount - done;
      memcpy(buffer + done, answer + 3, n);
      done += n;
    }
  }
  cErr closed = sCloseSlot(pImpl->link, module, handle);
  if (err != cErrNone)
    return err;
  if (closed != cErrNone)
    return closed;
  *count = done;
  return bufferLength < size ? cErrOverrun : cErrNone;
}

// ---- factory data ----

namespace {

constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryError = 0x80;
constexpr uint8_t COMMAND_OVERHEAD = 2;
constexpr uint8_t kFactoryChunk = 26;

struct FactoryRequest {
  uint8_t item;
};

bool sFactoryFilter(const cPacket *packet, const void *reference) {
  auto *r = static_cast<const FactoryRequest *>(reference);
  return cVALIDPACKET(packet) && packet->length >= 2 && packet->data[0] == cmdFACTORY &&
         (packet->data[1] & static_cast<uint8_t>(~kFactoryError)) == r->item;
}

} // namespace

static cPacket *factoryExchange(uint32_t link, uint8_t module, const uint8_t *data, uint8_t length,
                                const FactoryRequest &r) {
  if (putPacket(link, module, length, data) != cErrNone)
    return nullptr;
  return cLink_AwaitFirst(link, sFactoryFilter, &r, kReceiveMs);
}

// Ends a transfer of the item; the module answers under the item's number.
static cErr factoryEnd(uint32_t link, uint8_t module, uint8_t item, uint32_t total) {
  uint8_t data[4] = {cmdFACTORY, kFactoryEnd, 0, 0};
  cUEI_StoreShort(data + 2, total);
  FactoryRequest r{item};
  cPacket *answer = factoryExchange(link, module, data, 4, r);
  if (answer == nullptr)
    return cErrTimeout;
  cErr err = cErrNone;
  if (answer->length == 3 && (answer->data[1] & kFactoryError))
    err = static_cast<cErr>(answer->data[2]);
  cPacket_Destroy(&answer);
  return err;
}

cErr Link::getFactoryData(uint8_t module, uint8_t item, uint8_t *buffer, uint32_t bufferLength, uint32_t *count) {
  if (buffer == nullptr || count == nullptr)
    return cErrParam;
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  item &= 0x0F;
  FactoryRequest r{item};
  cErr err = cErrNone;
  uint32_t total = 0;
  bool first = true;
  uint8_t lastLength = cPACKET_MAXDATA;
  while (err == cErrNone && lastLength == cPACKET_MAXDATA) {
    uint8_t data[2] = {cmdFACTORY, static_cast<uint8_t>(item | (first ? kFactoryFirst : 0))};
    first = false;
    cPacket *answer = factoryExchange(pImpl->link, module, data, 2, r);
    if (answer == nullptr) {
      err = cErrTimeout;
      break;
    }
    lastLength = answer->length;
    uint32_t payload = answer->length >= COMMAND_OVERHEAD ? answer->length - COMMAND_OVERHEAD : 0;
    if (answer->length < COMMAND_OVERHEAD)
      err = cErrUnknown;
    else if (answer->data[1] & kFactoryError)
      err = static_cast<cErr>(answer->length > 2 ? answer->data[2] : static_cast<uint8_t>(cErrUnknown));
    else if (total + payload >= bufferLength)
      err = cErrOverrun;
    else {
      memcpy(buffer + total, answer->data + 2, payload);
      total += payload;
    }
    cPacket_Destroy(&answer);
  }
  if (err != cErrNone)
    return err;
  err = factoryEnd(pImpl->link, module, item, total);
  if (err == cErrNone)
    *count = total;
  return err;
}

cErr Link::setFactoryData(uint8_t module, uint8_t item, const uint8_t *data, uint32_t length) {
  if (data == nullptr && length != 0)
    return cErrParam;
  if (cErr e = targetError(isConnected(), module); e != cErrNone)
    return e;
  item &= 0x0F;
  FactoryRequest r{item};
  cErr err = cErrNone;
  uint32_t done = 0;
  bool first = true;
  while (err == cErrNone && done < length) {
    uint8_t n = static_cast<uint8_t>(length - done > kFactoryChunk ? kFactoryChunk : length - done);
    uint8_t request[2 + kFactoryChunk] = {cmdFACTORY,
                                          static_cast<uint8_t>(item | kFactoryWrite | (first ? kFactoryFirst : 0))};
    first = false;
    memcpy(request + 2, data + done, n);
    cPacket *answer = factoryExchange(pImpl->link, module, request, static_cast<uint8_t>(2 + n), r);
    if (answer == nullptr) {
      err = cErrTimeout;
      break;
    }
    if (answer->data[1] & kFactoryError)
      err = static_cast<cErr>(answer->length > 2 ? answer->data[2] : static_cast<uint8_t>(cErrUnknown));
    else if (answer->length != 2)
      err = cErrSize;
    cPacket_Destroy(&answer);
    done += n;
  }
  if (err != cErrNone)
    return err;
  return factoryEnd(pImpl->link, module, item, length);
}

// ---- packet log ----

namespace {

constexpr uint8_t kDirectionSent = 1;
constexpr uint8_t kDirectionText = 3;

void readDebugBuffer(cFile file, void *parameter) {
  uint32_t link = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
  uint8_t direction = 0;
  uint8_t bytes[64];
  uint32_t length = sizeof bytes;
  cErr err = cLink_PacketDebug_Read(link, &direction, &length, bytes);
  if (err == cErrNotFound) {
    cTime_MSSleep(5);
    return;
  }
  if (err != cErrNone) {
    cTime_MSSleep(5); // an entry too large for the line buffer: do not spin on it
    return;
  }
  std::string line = std::to_string(length) + (direction == kDirectionSent ? " > " : " < ");
  char hex[8];
  for (uint32_t i = 0; i < length; ++i) {
    if (direction == kDirectionText) {
      line += static_cast<char>(bytes[i]);
    } else {
      snprintf(hex, sizeof hex, "0x%X ", bytes[i]);
      line += hex;
    }
  }
  line += "\r\n";
  cFile_Write(file, line.data(), line.size(), nullptr);
}

} // namespace

cErr Link::enablePacketLog(const char *path) {
  if (pImpl->link == 0)
    return cErrConfiguration;
  cErr err = cLink_PacketDebug_Enable(pImpl->link);
  if (err != cErrNone)
    return err;
  if (pImpl->logger == nullptr) {
    pImpl->logger =
        cLogger_Create(reinterpret_cast<void *>(static_cast<uintptr_t>(pImpl->link)), readDebugBuffer, path);
    if (pImpl->logger == nullptr)
      return cErrIO;
  }
  err = cLogger_Enable(pImpl->logger);
  if (err == cErrNone) {
    static const uint8_t kStart[6] = {'S', 'T', 'A', 'R', 'T', 0};
    cLink_PacketDebug_Write(pImpl->link, kDirectionText, sizeof kStart, kStart);
  }
  return err;
}

cErr Link::disablePacketLog() {
  if (pImpl->link == 0)
    return cErrConfiguration;
  cLink_PacketDebug_Disable(pImpl->link);
  if (pImpl->logger != nullptr)
    return cLogger_Disable(pImpl->logger);
  return cErrNone;
}

} // namespace Quillwork
} // namespace Corvatek
