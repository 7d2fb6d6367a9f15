// The link server: one module link shared by many network clients over
// ZeroMQ.
//
// Two actors do the work. The broker owns the front end (a ROUTER socket the
// clients connect to): it queues each request with its client's identity,
// writes the oldest to the module when the module has answered the one
// before (one request at a time), and routes the answer back to that client.
// The module's answers come from the link's reader thread: a packet filter
// there hands every packet that is neither a stream sample nor a heartbeat
// to the broker on the internal sync channel. Nobody waits on the link's
// packet queue, so a request through the server costs no thread hand-off
// beyond the broker's own. The discovery actor answers "where is the server"
// questions (a CZMQ beacon, or multicast on loopback). Stream samples are
// gathered by the same filter and handed to the broker in batches, which it
// copies to every client that enabled a stream.
//
// Internal channels are DEALER pairs inside the process (inproc: no system
// calls; their "ports" are only numbers). The sync channel carries only
// answer packets, one frame each, so a short answer can never be taken for
// anything else. A pooled UEI-bytes series is written to the link in one go
// by the broker, so nothing can come between its packets.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <czmq.h>
#include <deque>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "cLinkManagerInternal.h"
#include "cServerInternal.h"
#include "cZmqWatch.h"
#include "quillwork/cDebug.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cServer_ZeroMQ.h"
#include "quillwork/cTime.h"
#include "quillwork/cUEI.h"

#define cDEBUG_INTERFACE 0x010u
#define cDEBUG_SPEC 0x200u

namespace {

constexpr int kPollMs = 1000;
constexpr size_t kWaitingMax = 1000;     // requests queued for the module (ZeroMQ's own default queue bound)
constexpr size_t kClientWaitingMax = 64; // of them from one client: a flood from one peer leaves room for others
constexpr int kPassMs = 500;             // the broker's loop comes round this often with a pool or beacon reply pending
constexpr uint32_t kModuleDownMs = 1000; // the module link not running this long: the server reconnects
constexpr uint32_t kModuleCheckMs = 100; // the module link's status is looked at this often
constexpr uint32_t kReconnectMaxGapMs = 8000; // between failed attempts, doubling from 1 s
constexpr int64_t kFrontendLargest = 320;     // bytes: a packet frame (30) or the greeting's READY command (<= 300)
constexpr uint8_t kSystemReset = 11;          // the system entity's reset (a call)

// Settings of the servers this process starts.
std::atomic<bool> gRemoteMaintenance{false};
std::atomic<cServerLogProc> gLog{nullptr};

// What the server tells its program (the link server program logs it).
void sLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void sLog(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  cDEBUG_PRINTF(cDEBUG_SERVER, "%s\n", text);
  if (cServerLogProc log = gLog.load())
    log(text);
}

// One client's UEI-bytes series being collected.
struct Pool {
  zframe_t *identity = nullptr;
  int fd = -1; // of the client's connection
  std::vector<cPacket> packets;
  uint8_t sequence = 0; // of the last collected packet
  int ttl = cSERVER_POOL_TTL;
  uint32_t touched = 0; // ms tick of the last collected packet
};

void sPrepareCzmq() {
  static std::once_flag once;
  // The library must not take the program's SIGINT and SIGTERM.
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

bool sFullWithContinue(const cPacket *p) {
  return cUEI_isUEIPayload(p) && cUEI_getBytesFullPacket(p) && cUEI_getBytesContinue(p);
}

zframe_t *sPacketFrame(const cPacket &p) {
  uint8_t bytes[cPACKET_MAXBYTES];
  size_t n = 0;
  cPacket_GetBytes(&p, bytes, sizeof bytes, &n);
  return zframe_new(bytes, n);
}

void sDestroyPool(Pool &pool) { zframe_destroy(&pool.identity); }

} // namespace

struct cServer {
  std::atomic<uint32_t> check{0};
  cLinkEntryPtr entry;
  std::atomic<uint8_t> model{0}, moduleAddress{0};
  uint32_t networkType = 0;
  bool localOnly = true;
  uint32_t interfaceAddress = cDISCOVERY_LOCALHOST;
  // Broker only.
  uint32_t beaconTime = 0;
  bool publishing = false;
  zactor_t *broker = nullptr, *discovery = nullptr;
  int discoveryKind = 0; // 1 beacon, 0 multicast
  uint16_t frontendPort = 0;
  zsock_t *frontend = nullptr;
  uint16_t syncPort = 0;
  zsock_t *syncBound = nullptr, *syncConnected = nullptr;
  uint16_t streamingPort = 0;
  zsock_t *streamingBound = nullptr, *streamingConnected = nullptr;
  // Filled by the link's reader thread (the streaming filter), sent by it on
  // a heartbeat or when full, or taken by the broker when it has waited long
  // enough: under batchLock.
  std::mutex batchLock;
  uint8_t batch[cSERVER_BATCH_SIZE];
  uint16_t batchLength = 0;
  bool batchPending = false; // broker only: a batch was started at pendingSince
  uint32_t pendingSince = 0;
  uint32_t beaconHost = cDISCOVERY_LOCALHOST;
  std::list<Pool> *pools = nullptr; // broker only
  std::atomic<bool> stopping{false};
  bool filterInstalled = false;
  bool remoteMaintenance = false; // a network-serving server passes on upgrade and reset commands
  zsock_t *monitor = nullptr;     // the front end's disconnect notices
  // Each actor sets its flag last: the stopping thread reads them after the
  // actors have ended, which orders the actors' work before the teardown
  // in a way that thread checkers see (the end is signalled through ZeroMQ).
  std::atomic<bool> brokerEnded{false}, multicastEnded{false};
  std::atomic<uint16_t> multicastPort{0}; // the multicast actor's request port, 0 without one
  std::mutex pipes;                       // an actor's pipe is used by one thread at a time
};

namespace {

linkSpec sReply(const cServer *s) {
  cDEBUG_PRINTF(cDEBUG_SPEC, "Creating Network Spec: Address: %d, Port: %d\n", s->moduleAddress.load(),
                s->frontendPort);
  return cServer_DiscoveryReply(s->networkType, s->entry->identity0, s->moduleAddress, s->model,
                                s->localOnly ? cDISCOVERY_LOCALHOST : s->interfaceAddress, s->frontendPort);
}

bool sFrameToPacket(zframe_t *frame, cPacket *packet) {
  bool ok = frame != nullptr && cServer_FrameToPacket(zframe_data(frame), zframe_size(frame), packet);
  if (!ok && frame != nullptr)
    cDEBUG_PRINTF(cDEBUG_SERVER, "Bad content packet: dSize: %d\n", (int)zframe_size(frame));
  return ok;
}

// Sends data to one client. 0 sent; -1 the client is gone; -2 not sent now.
int sSendToClient(zsock_t *frontend, zframe_t *identity, const void *data, size_t size) {
  if (zframe_send(&identity, frontend, ZFRAME_MORE | ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0)
    return zmq_errno() == EHOSTUNREACH ? -1 : -2;
  zframe_t *frame = zframe_new(data, size);
  // The identity frame went: the data frame goes whatever the socket thinks.
  return zframe_send(&frame, frontend, 0) == 0 ? 0 : -2;
}

} // namespace

// ---------------------------------------------------------------- broker

namespace {

// A request waiting for the module: its client (null when nobody waits for
// an answer: a request to the route address, or one flushed), its packets
// (more than one for a pooled UEI-bytes series) and the address of the
// module that answers it.
struct Request {
  zframe_t *identity = nullptr;
  std::vector<cPacket> packets;
  bool answered = true; // false for the route address: the module never answers it
  uint8_t address = 0;
};

// A request written to the module whose answer is awaited. Each module on
// the link answers its own requests, from its own address, one at a time: a
// request waits only for an earlier one to the same address, so an address
// where nobody answers holds up no other.
struct Flight {
  bool active = false;
  zframe_t *identity = nullptr;
  uint32_t askedAt = 0; // ms tick of the request or of its last answer packet
  std::vector<cPacket> answers;
};

struct Subscriber {
  zframe_t *identity = nullptr;
  int fd = -1; // the client's connection, named in its disconnect notice
};

struct Broker {
  cServer *s;
  std::vector<Subscriber> subscribers;
  std::deque<Request> waiting; // oldest first, not yet written to the module
  Flight flights[256];         // by the address that answers
  int inFlight = 0;            // of them active
  std::string lastServed[256]; // the client whose request went last to each address
  uint32_t refusedLogged = 0;  // ms tick of the last refused command logged
  bool refusedOnce = false;
  // The module link: not running since downSince; reconnection attempts.
  bool down = false, lost = false;
  uint32_t downSince = 0, nextAttempt = 0, checked = 0;
  int attempts = 0;
};

bool sSameClient(zframe_t *identity, const std::string &key) {
  return identity != nullptr && zframe_size(identity) == key.size() &&
         memcmp(zframe_data(identity), key.data(), key.size()) == 0;
}

std::string sKey(zframe_t *identity) {
  return identity == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char *>(zframe_data(identity)), zframe_size(identity));
}

// The awaited answer is complete, or the module kept quiet too long: what
// came goes to the client.
void sFinish(Broker &b, uint8_t address) {
  Flight &f = b.flights[address];
  if (f.answers.empty())
    cDEBUG_PRINTF(cDEBUG_SERVER, "Failed to AWAIT packet\n");
  if (f.identity != nullptr)
    for (const cPacket &p : f.answers) {
      uint8_t bytes[cPACKET_MAXBYTES];
      size_t n = 0;
      cPacket_GetBytes(&p, bytes, sizeof bytes, &n);
      sSendToClient(b.s->frontend, f.identity, bytes, n);
    }
  zframe_destroy(&f.identity);
  f.answers.clear();
  if (f.active)
    b.inFlight--;
  f.active = false;
}

// One answer packet from the module, to the request it answers. An empty
// packet answers an address query (the module answers it from its own
// address), and nothing else. Nobody waits for a late answer to a request
// given up, or for something the module sent unasked: such a packet is
// thrown away.
void sTakeAnswer(Broker &b, const cPacket &p) {
  uint8_t address = p.length == 0 ? (uint8_t)ADDRESS_QUERY : p.address;
  Flight &f = b.flights[address];
  if (!f.active) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "no id to pop\n");
    return;
  }
  f.answers.push_back(p);
  f.askedAt = cTime_GetMSTicks(); // each answer packet may take the full wait
  if (!sFullWithContinue(&p) || f.answers.size() >= cSERVER_ANSWER_MAX)
    sFinish(b, address);
}

// Takes the answers the link's reader has passed on so far (bounded), so that
// a late one is gone before the next request to its address is written.
void sTakeAnswers(Broker &b) {
  zmq_msg_t m;
  zmq_msg_init(&m);
  for (int i = 0; i < 4 * (int)kWaitingMax && zmq_msg_recv(&m, zsock_resolve(b.s->syncBound), ZMQ_DONTWAIT) >= 0; i++) {
    cPacket p;
    if (cServer_FrameToPacket(static_cast<const uint8_t *>(zmq_msg_data(&m)), zmq_msg_size(&m), &p))
      sTakeAnswer(b, p);
  }
  zmq_msg_close(&m);
}

// Writes waiting requests to the module: each whose address has no answer
// outstanding. At an address the clients take turns: a request of another
// client goes before a second one of the client served last.
void sIssue(Broker &b) {
  cServer *s = b.s;
  if (b.waiting.empty())
    return;
  sTakeAnswers(b);
  for (size_t i = 0; i < b.waiting.size();) {
    const uint8_t address = b.waiting[i].address;
    if (b.waiting[i].answered && b.flights[address].active) {
      i++;
      continue;
    }
    size_t pick = i;
    const std::string &last = b.lastServed[address];
    if (b.waiting[i].answered && !last.empty() && sSameClient(b.waiting[i].identity, last))
      for (size_t k = i + 1; k < b.waiting.size(); k++)
        if (b.waiting[k].answered && b.waiting[k].address == address && !sSameClient(b.waiting[k].identity, last)) {
          pick = k;
          break;
        }
    Request r = std::move(b.waiting[pick]);
    b.waiting.erase(b.waiting.begin() + (long)pick);
    bool put = true;
    for (const cPacket &p : r.packets) {
      // Written at once when the link's writer is idle (no hand-off to it);
      // queued behind whatever it is writing otherwise.
      cErr err = cLink_PutPacket(s->entry->identifier, &p);
      if (err != cErrNone) {
        cDEBUG_PRINTF(cDEBUG_SERVER, "Failed to PUT packet: err: %d\n", err);
        put = false;
        break;
      }
    }
    if (put && r.answered && sFullWithContinue(&r.packets.back())) {
      // More of the series should follow: nothing to wait for.
      cDEBUG_PRINTF(cDEBUG_SERVER, "don't wait on this packet\n");
      put = false;
    }
    if (!put || !r.answered) {
      zframe_destroy(&r.identity); // no answer goes to this client
      continue;
    }
    Flight &f = b.flights[address];
    if (!sSameClient(r.identity, b.lastServed[address]))
      b.lastServed[address] = sKey(r.identity);
    f.active = true;
    b.inFlight++;
    f.identity = r.identity;
    f.askedAt = cTime_GetMSTicks();
    f.answers.clear();
  }
}

void sForward(Broker &b, std::vector<cPacket> packets, zframe_t *identity, bool answered) {
  size_t mine = 0;
  if (answered)
    for (const Request &r : b.waiting)
      mine += r.identity != nullptr && zframe_eq(r.identity, identity);
  if (b.waiting.size() >= kWaitingMax || mine >= kClientWaitingMax) {
    // The module is far behind its clients, or this client far ahead of
    // the others: the request is refused, as a full internal queue refuses
    // it, rather than held without limit.
    cDEBUG_PRINTF(cDEBUG_SERVER, "Failed to send packet out!\n");
    return;
  }
  Request r;
  r.identity = answered ? zframe_dup(identity) : nullptr;
  r.packets = std::move(packets);
  r.answered = answered;
  r.address = r.packets.front().address;
  b.waiting.push_back(std::move(r));
  sIssue(b);
}

// UEI-bytes pooling: true when the packet was taken.
bool sHandleSetUEIBytes(Broker &b, zframe_t *identity, int fd, const cPacket &p) {
  if (!cUEI_isUEIPayload(&p))
    return false;
  std::list<Pool> &pools = *b.s->pools;
  for (auto it = pools.begin(); it != pools.end();) {
    if (it->ttl <= 0) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
      sDestroyPool(*it);
      it = pools.erase(it);
    } else {
      it->ttl--;
      ++it;
    }
  }
  auto pool = pools.begin();
  while (pool != pools.end() && !zframe_eq(pool->identity, identity))
    ++pool;
  uint8_t sequence = cUEI_getBytesSequence(&p);
  if (pool == pools.end()) {
    if (p.length != cPACKET_MAXDATA || !sFullWithContinue(&p) || sequence != 0)
      return false;
    Pool fresh;
    fresh.identity = zframe_dup(identity);
    fresh.fd = fd;
    fresh.packets.push_back(p);
    fresh.touched = cTime_GetMSTicks();
    pools.push_back(std::move(fresh));
    return true;
  }
  if (sequence != ((pool->sequence + 1) & ueiBYTES_SEQUENCE_MASK)) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
    return true;
  }
  pool->packets.push_back(p);
  pool->touched = cTime_GetMSTicks();
  if (sFullWithContinue(&p) && pool->packets.size() < cSERVER_POOL_MAX) {
    pool->sequence = sequence;
    return true;
  }
  if (sFullWithContinue(&p)) {
    // A series without end: it is not passed on, and it holds no memory.
    cDEBUG_PRINTF(cDEBUG_SERVER, "setUEIBytes series too long, dropped\n");
  } else {
    for (const cPacket &q : pool->packets)
      cDEBUG_PRINTF(cDEBUG_SERVER, "Pool Packet: %d\n", q.length);
    sForward(b, std::move(pool->packets), identity, true);
  }
  sDestroyPool(*pool);
  pools.erase(pool);
  return true;
}

// Commands that rewrite or restart the module: the upgrade command set and
// the system entity's reset. A server that serves the network passes them on
// only when its program allows it.
bool sMaintenance(const cPacket &p) {
  if (p.length >= 1 && p.data[0] == cmdUPGRADE)
    return true;
  return p.length >= 3 && p.data[0] == cmdSYSTEM && (p.data[1] & 0xC0) == ueiOPTION_SET &&
         (p.data[1] & ueiOPTION_CODE_MASK) == kSystemReset;
}

// A client has gone (the front end's disconnect notice names its
// connection): its stream subscription and its unfinished series go too.
void sForgetConnection(Broker &b, int fd) {
  for (auto it = b.subscribers.begin(); it != b.subscribers.end();) {
    if (it->fd == fd) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Removed stream entry\n");
      zframe_destroy(&it->identity);
      it = b.subscribers.erase(it);
    } else {
      ++it;
    }
  }
  std::list<Pool> &pools = *b.s->pools;
  for (auto it = pools.begin(); it != pools.end();) {
    if (it->fd == fd) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "setUEIBytes of a departed client, destroying\n");
      sDestroyPool(*it);
      it = pools.erase(it);
    } else {
      ++it;
    }
  }
}

// The front end's disconnect notices so far (bounded). The broker's poller
// looks at them before the front end, so that a notice (written before its
// connection's descriptor is closed) is seen before the frames of a later
// connection that got the same descriptor.
void sBrokerMonitor(Broker &b) {
  void *monitor = zsock_resolve(b.s->monitor);
  for (int i = 0; i < 1000; i++) {
    zmq_msg_t event, address;
    zmq_msg_init(&event);
    if (zmq_msg_recv(&event, monitor, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&event);
      return;
    }
    uint16_t kind = 0;
    uint32_t value = 0;
    bool whole = zmq_msg_size(&event) >= 6;
    if (whole) {
      memcpy(&kind, zmq_msg_data(&event), sizeof kind);
      memcpy(&value, static_cast<const uint8_t *>(zmq_msg_data(&event)) + 2, sizeof value);
    }
    bool more = zmq_msg_more(&event);
    zmq_msg_close(&event);
    if (more) {
      zmq_msg_init(&address); // the endpoint: not needed
      zmq_msg_recv(&address, monitor, ZMQ_DONTWAIT);
      zmq_msg_close(&address);
    }
    if (whole && kind == ZMQ_EVENT_DISCONNECTED)
      sForgetConnection(b, (int)value);
  }
}

void sBrokerFrontend(Broker &b) {
  cServer *s = b.s;
  // Identity, then the packet frame; anything else is dropped whole.
  void *frontend = zsock_resolve(s->frontend);
  zmq_msg_t part[3];
  int parts = 0, fd = -1;
  bool more = true;
  for (int i = 0; more && i < (1 << 16); i++) {
    zmq_msg_t &m = part[parts < 3 ? parts : 2];
    if (parts >= 3)
      zmq_msg_close(&m);
    zmq_msg_init(&m);
    if (zmq_msg_recv(&m, frontend, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&m);
      break;
    }
    more = zmq_msg_more(&m);
    if (parts == 1)
      fd = zmq_msg_get(&m, ZMQ_SRCFD);
    parts = parts < 3 ? parts + 1 : 3;
  }
  cPacket p;
  if (parts == 2 && !more &&
      cServer_FrameToPacket(static_cast<const uint8_t *>(zmq_msg_data(&part[1])), zmq_msg_size(&part[1]), &p)) {
    zframe_t *identity = zframe_new(zmq_msg_data(&part[0]), zmq_msg_size(&part[0]));
    if (p.length == 7 && p.data[0] == cmdSTREAM && (p.data[1] & 0xC0) == ueiOPTION_SET) {
      if (p.data[1] == 0x81) {
        bool known = false;
        for (Subscriber &sub : b.subscribers)
          if (zframe_eq(sub.identity, identity)) {
            known = true;
            sub.fd = fd;
          }
        if (!known) {
          b.subscribers.push_back({zframe_dup(identity), fd});
          cDEBUG_PRINTF(cDEBUG_SERVER, "Added stream entry\n");
        }
      } else {
        cDEBUG_PRINTF(cDEBUG_SERVER, "unknown stream enable: %d\n", p.data[1]);
      }
    }
    if (!s->localOnly && !s->remoteMaintenance && sMaintenance(p)) {
      // Anyone on the network could otherwise rewrite or restart the module.
      cDEBUG_PRINTF(cDEBUG_SERVER, "Blocking a maintenance command from a network client\n");
      if (!b.refusedOnce || cTime_MSSince(b.refusedLogged) >= 10000)
        sLog("Refused an upgrade or reset command from a network client (not allowed on a network-serving "
             "server)");
      b.refusedOnce = true;
      b.refusedLogged = cTime_GetMSTicks();
    } else if (sHandleSetUEIBytes(b, identity, fd, p)) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "UEIBytes\n");
    } else if (p.address == cmdFORCEROUTE && p.length == 1) {
      // Routing belongs to the server's own link, not to one of its clients.
      cDEBUG_PRINTF(cDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
    } else {
      // A request to the route address is never answered: no client waits.
      sForward(b, {p}, identity, p.address != cmdFORCEROUTE);
    }
    zframe_destroy(&identity);
  } else if (parts == 2) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "Bad content packet: dSize: %d\n", (int)zmq_msg_size(&part[1]));
  }
  for (int i = 0; i < parts; i++)
    zmq_msg_close(&part[i]);
}

// An answer packet from the module (through the link's reader).
void sBrokerSync(Broker &b) {
  zframe_t *frame = zframe_recv(b.s->syncBound);
  cPacket p;
  if (frame != nullptr && sFrameToPacket(frame, &p))
    sTakeAnswer(b, p);
  zframe_destroy(&frame);
}

void sFanOut(Broker &b, const uint8_t *data, size_t size) {
  cServer *s = b.s;
  for (auto it = b.subscribers.begin(); it != b.subscribers.end();) {
    if (sSendToClient(s->frontend, it->identity, data, size) == -1) {
      // ZeroMQ no longer knows this client: it has gone for good.
      cDEBUG_PRINTF(cDEBUG_SERVER, "Removed stream entry\n");
      zframe_destroy(&it->identity);
      it = b.subscribers.erase(it);
    } else {
      ++it;
    }
  }
}

void sBrokerStreaming(Broker &b) {
  cServer *s = b.s;
  zframe_t *batch = zframe_recv(s->streamingBound);
  if (batch == nullptr)
    return;
  if (zframe_size(batch) == 0) {
    // A batch has begun: it goes out after a short wait at the latest.
    if (!s->batchPending) {
      s->batchPending = true;
      s->pendingSince = cTime_GetMSTicks();
    }
  } else {
    sFanOut(b, zframe_data(batch), zframe_size(batch));
  }
  zframe_destroy(&batch);
}

// The batch begun a while ago, if the heartbeat or a full buffer has not
// sent it yet: without this, samples would wait for a heartbeat that a
// module may never send.
void sBrokerPendingBatch(Broker &b) {
  cServer *s = b.s;
  if (!s->batchPending || cTime_MSSince(s->pendingSince) < cSERVER_BATCH_HOLD_MS)
    return;
  s->batchPending = false;
  uint8_t copy[cSERVER_BATCH_SIZE];
  size_t size;
  {
    std::lock_guard<std::mutex> g(s->batchLock);
    size = s->batchLength;
    memcpy(copy, s->batch, size);
    s->batchLength = 0;
  }
  if (size > 0)
    sFanOut(b, copy, size);
}

void sBrokerBeacon(Broker &b) {
  cServer *s = b.s;
  char *sender = zstr_recv(s->discovery);
  zframe_t *content = sender != nullptr ? zframe_recv(s->discovery) : nullptr;
  const size_t textLength = strlen(cDISCOVERY_BEACON_TEXT);
  if (content != nullptr && zframe_size(content) >= textLength &&
      memcmp(zframe_data(content), cDISCOVERY_BEACON_TEXT, textLength) == 0) {
    in_addr from{};
    inet_pton(AF_INET, sender, &from);
    if (s->localOnly && from.s_addr != s->beaconHost) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Heard outside beacon, ignoring because we are local\n");
      s->publishing = true; // holds off replies as if publishing
      s->beaconTime = cTime_GetMSTicks();
    } else if (!s->publishing && s->model != 0) {
      linkSpec reply = sReply(s);
      zsock_send(s->discovery, "sbi", "PUBLISH", &reply, sizeof reply, cDISCOVERY_BEACON_INTERVAL_MS);
      s->beaconTime = cTime_GetMSTicks();
      s->publishing = true;
    } else if (s->model == 0) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Discovery not allowed (beacon), model not set.\n");
    }
  }
  zframe_destroy(&content);
  zstr_free(&sender);
}

void sBrokerPass(Broker &b) {
  cServer *s = b.s;
  if (s->publishing && cTime_MSSince(s->beaconTime) > cSERVER_BEACON_HOLD_MS) {
    if (s->discoveryKind == 1)
      zstr_sendx(s->discovery, "SILENCE", nullptr);
    s->publishing = false;
    cDEBUG_PRINTF(cDEBUG_SERVER, "Beacon silenced\n");
  }
  // A client that went away in the middle of a series sends nothing more to
  // age its pool: pools also expire by time.
  std::list<Pool> &pools = *s->pools;
  for (auto it = pools.begin(); it != pools.end();) {
    if (cTime_MSSince(it->touched) > cSERVER_POOL_TTL) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
      sDestroyPool(*it);
      it = pools.erase(it);
    } else {
      ++it;
    }
  }
}

bool sStreamingFilter(const cPacket *packet, const void *reference);

// The module link: a module that restarts (or a cable pulled and put back)
// leaves the link in an I/O error for good. The server then makes the link
// again, a bounded attempt at a time, the gaps between failed attempts
// doubling up to a limit, for as long as it runs; the program hears of each
// step. Requests awaiting an answer from the old connection are given up.
void sCheckModule(Broker &b) {
  cServer *s = b.s;
  if (cTime_MSSince(b.checked) < kModuleCheckMs)
    return; // not on every client frame
  b.checked = cTime_GetMSTicks();
  uint32_t status = cLink_GetStatus(s->entry->identifier);
  bool running = status != cLINK_IO_ERROR && status != cLINK_NO_STREAM;
  if (running) {
    if (b.lost)
      sLog("Module link restored");
    b.down = b.lost = false;
    return;
  }
  if (!b.down) {
    b.down = true;
    b.downSince = cTime_GetMSTicks();
    return;
  }
  if (!b.lost) {
    if (cTime_MSSince(b.downSince) < kModuleDownMs)
      return;
    b.lost = true;
    b.attempts = 0;
    b.nextAttempt = cTime_GetMSTicks();
    sLog("Module link lost (status %u): reconnecting", status);
  }
  if ((int32_t)(cTime_GetMSTicks() - b.nextAttempt) < 0 || s->stopping || s->entry->destroying)
    return;
  cLinkRecord *link = &s->entry->link;
  // Whoever destroys the link holds its control lock while it stops this
  // server: never wait for that lock here.
  std::unique_lock<std::recursive_mutex> control(link->control, std::try_to_lock);
  if (!control.owns_lock() || s->entry->destroying)
    return;
  b.attempts++;
  cErr err = cLink_Reset(s->entry->identifier);
  if (err == cErrNone) {
    // A reset link starts without a packet filter.
    cLink_InstallUserPacketFilter(s->entry->identifier, sStreamingFilter, s);
    for (int address = 0; address < 256; address++)
      if (b.flights[address].active)
        sFinish(b, (uint8_t)address);
    sLog("Module link reconnected (attempt %d)", b.attempts);
    b.down = b.lost = false;
    return;
  }
  if (err == cErrParam) {
    // A link whose stream can't be made again (a serial port): no use trying.
    sLog("Module link: this kind of link cannot be made again; not reconnecting");
    b.nextAttempt = cTime_GetMSTicks() + 0x7FFFFFFFu;
    return;
  }
  uint32_t gap = 1000u << (b.attempts < 4 ? b.attempts - 1 : 3);
  if (gap > kReconnectMaxGapMs)
    gap = kReconnectMaxGapMs;
  b.nextAttempt = cTime_GetMSTicks() + gap;
  sLog("Module link: reconnection attempt %d failed (%s); next in %u ms", b.attempts, cError_GetErrorText(err), gap);
}

void sBrokerActor(zsock_t *pipe, void *args) {
  Broker b;
  b.s = static_cast<cServer *>(args);
  cServer *s = b.s;
  // The disconnect notices come first, so that they are seen before the
  // frames of a later connection.
  zpoller_t *poller = zpoller_new(pipe, s->monitor, s->syncBound, s->frontend, s->streamingBound, nullptr);
  if (poller != nullptr && s->discoveryKind == 1)
    zpoller_add(poller, s->discovery);
  zsock_signal(pipe, 0);
  while (poller != nullptr) {
    // A pending pool or beacon reply, or a module link being made again,
    // needs the loop to come round sooner.
    int wait = s->pools->empty() && !s->publishing && !b.down ? kPollMs : kPassMs;
    if (s->batchPending) {
      uint32_t waited = cTime_MSSince(s->pendingSince);
      wait = waited >= cSERVER_BATCH_HOLD_MS ? 0 : (int)(cSERVER_BATCH_HOLD_MS - waited);
    }
    for (int address = 0; b.inFlight > 0 && address < 256; address++)
      if (const Flight &f = b.flights[address]; f.active) {
        uint32_t waited = cTime_MSSince(f.askedAt);
        int left = waited >= cSERVER_ANSWER_WAIT_MS ? 0 : (int)(cSERVER_ANSWER_WAIT_MS - waited);
        wait = left < wait ? left : wait;
      }
    void *which = zpoller_wait(poller, wait);
    if (which == nullptr && zpoller_terminated(poller)) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "pre exit 2\n");
      break;
    }
    if (which == pipe) {
      zframe_t *signal = zframe_recv(pipe);
      bool flush = signal != nullptr && zframe_size(signal) == 8 && zframe_data(signal)[0] == cSERVER_FLUSH_SIGNAL;
      zframe_destroy(&signal);
      if (!flush) {
        cDEBUG_PRINTF(cDEBUG_SERVER, "pre exit 1\n");
        break;
      }
      // The requests still go to the module; their answers go to no one.
      cDEBUG_PRINTF(cDEBUG_SERVER, "Flushing FIFO\n");
      for (Request &r : b.waiting)
        zframe_destroy(&r.identity);
      for (Flight &f : b.flights)
        zframe_destroy(&f.identity);
    } else if (which == s->monitor) {
      sBrokerMonitor(b);
    } else if (which == s->frontend) {
      sBrokerFrontend(b);
    } else if (which == s->syncBound) {
      sBrokerSync(b);
    } else if (which == s->streamingBound) {
      sBrokerStreaming(b);
    } else if (which != nullptr && which == s->discovery) {
      sBrokerBeacon(b);
    }
    for (int address = 0; b.inFlight > 0 && address < 256; address++)
      if (b.flights[address].active && cTime_MSSince(b.flights[address].askedAt) >= cSERVER_ANSWER_WAIT_MS)
        sFinish(b, (uint8_t)address); // the module kept quiet: the client's entry goes
    sCheckModule(b);
    sIssue(b);
    sBrokerPendingBatch(b);
    sBrokerPass(b);
  }
  for (Request &r : b.waiting)
    zframe_destroy(&r.identity);
  for (Flight &f : b.flights)
    zframe_destroy(&f.identity);
  for (Subscriber &sub : b.subscribers)
    zframe_destroy(&sub.identity);
  zpoller_destroy(&poller);
  cDEBUG_PRINTF(cDEBUG_SERVER, "broker task exit\n");
  s->brokerEnded.store(true, std::memory_order_release);
}

// ---------------------------------------------------------------- multicast discovery

void sMulticastActor(zsock_t *pipe, void *args) {
  cServer *s = static_cast<cServer *>(args);
  const uint32_t group = htonl(cDISCOVERY_SERVER_GROUP);
  cMulticast *receiver = nullptr, *sender = nullptr;
  for (int attempt = 0; attempt < cDISCOVERY_SERVER_PORTS && sender == nullptr; attempt++) {
    int k = 0;
    for (; k < cDISCOVERY_SERVER_PORTS && receiver == nullptr; k++)
      receiver = cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REQUEST_PORT + k),
                                   cMULTICAST_RECEIVER);
    if (receiver == nullptr)
      break;
    k--;
    sender =
        cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REPLY_PORT + k), cMULTICAST_SENDER);
    if (sender == nullptr) {
      cMulticast_Destroy(&receiver);
    } else {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Discovery port offset: %d\n", k);
      s->multicastPort = (uint16_t)(cDISCOVERY_SERVER_REQUEST_PORT + k);
    }
  }
  zsock_signal(pipe, 0);
  zpoller_t *poller = zpoller_new(pipe, nullptr);
  while (poller != nullptr) {
    if (receiver != nullptr) {
      uint8_t word[4];
      int n = cMulticast_Receive(receiver, word, sizeof word); // waits up to 1 s
      uint32_t value = 0;
      memcpy(&value, word, sizeof value);
      if (n == 4 && value == cDISCOVERY_SERVER_QUERY) {
        cDEBUG_PRINTF(cDEBUG_SERVER, "We got the multicast magic value\n");
        if (s->model != 0) {
          linkSpec reply = sReply(s);
          int sent = cMulticast_Send(sender, &reply, sizeof reply);
          cDEBUG_PRINTF(cDEBUG_SERVER, "Sent: %d to the reply port\n", sent);
        } else {
          cDEBUG_PRINTF(cDEBUG_SERVER, "Discovery not allowed (Multicast), model not set.\n");
        }
      } else if (n >= 0) {
        cDEBUG_PRINTF(cDEBUG_SERVER, "We something else on multicast\n");
      }
    }
    // The receive above already waited: only look whether the pipe spoke
    // (without a receiver, wait on the pipe instead).
    void *which = zpoller_wait(poller, receiver != nullptr ? 0 : kPollMs);
    if (which == pipe || zpoller_terminated(poller) || s->stopping)
      break;
  }
  zpoller_destroy(&poller);
  if (receiver != nullptr)
    cMulticast_Destroy(&receiver);
  if (sender != nullptr)
    cMulticast_Destroy(&sender);
  s->multicastEnded.store(true, std::memory_order_release);
}

// ---------------------------------------------------------------- streaming filter

bool sStreamingFilter(const cPacket *packet, const void *reference) {
  cServer *s = const_cast<cServer *>(static_cast<const cServer *>(reference));
  bool taken = false;
  std::lock_guard<std::mutex> g(s->batchLock);
  if (cUEI_isStreamPacket(packet)) {
    if (s->batchLength == 0) {
      // Tell the broker a batch has begun (an empty frame).
      zframe_t *kick = zframe_new(nullptr, 0);
      if (zframe_send(&kick, s->streamingConnected, ZFRAME_DONTWAIT) != 0)
        zframe_destroy(&kick);
    }
    s->batch[s->batchLength] = packet->address;
    s->batch[s->batchLength + 1] = packet->length;
    memcpy(s->batch + s->batchLength + 2, packet->data, packet->length);
    s->batchLength = (uint16_t)(s->batchLength + packet->length + 2);
    taken = true;
  }
  bool heartbeat = packet->length == 2 && packet->data[0] == 0;
  if (!taken && !heartbeat) {
    // An answer (or something unasked): straight to the broker, which knows
    // whether a client waits for it. The link's queue is not used.
    zframe_t *frame = sPacketFrame(*packet);
    if (zframe_send(&frame, s->syncConnected, ZFRAME_DONTWAIT) != 0) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Failed to SENDY-SEND!\n");
      zframe_destroy(&frame);
    }
    taken = true;
  }
  if ((heartbeat || s->batchLength > cSERVER_BATCH_FLUSH) && s->batchLength > 0) {
    zframe_t *frame = zframe_new(s->batch, s->batchLength);
    if (zframe_send(&frame, s->streamingConnected, ZFRAME_DONTWAIT) != 0)
      zframe_destroy(&frame);
    s->batchLength = 0;
  }
  return taken;
}

// ---------------------------------------------------------------- start and stop

// Binds one socket of an internal pair and connects its partner.
bool sPair(zsock_t *bound, zsock_t *connected, uint16_t *port) {
  static std::atomic<uint32_t> next{1};
  uint32_t n = next++;
  if (zsock_bind(bound, "inproc://quillwork-server-%u", n) != 0)
    return false;
  *port = (uint16_t)(n | 0x8000);
  return zsock_connect(connected, "inproc://quillwork-server-%u", n) == 0;
}

bool sStartBeacon(cServer *s) {
  char text[INET_ADDRSTRLEN];
  if (cDiscovery_ConvertIPv4Interface(s->interfaceAddress, text, sizeof text) == 0 ||
      !zBeaconInterface_setAndLock(text))
    return false;
  s->discovery = zactor_new(zbeacon, nullptr);
  char *host = nullptr;
  if (s->discovery != nullptr) {
    zsock_set_rcvtimeo(s->discovery, 2000);
    zsock_send(s->discovery, "si", "CONFIGURE", cDISCOVERY_BEACON_PORT);
    host = zstr_recv(s->discovery);
  }
  zBeaconInterface_unlock();
  bool ok = host != nullptr && *host != '\0';
  if (ok) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "Beacon hostname(Server): %s - Port: %d\n", host, cDISCOVERY_BEACON_PORT);
    in_addr a{};
    ok = inet_pton(AF_INET, host, &a) == 1;
    s->beaconHost = a.s_addr;
  }
  zstr_free(&host);
  if (!ok) {
    zactor_destroy(&s->discovery);
    return false;
  }
  zsock_send(s->discovery, "sb", "SUBSCRIBE", cDISCOVERY_BEACON_TEXT, strlen(cDISCOVERY_BEACON_TEXT));
  zsock_set_rcvtimeo(s->discovery, (int)cDISCOVERY_BEACON_INTERVAL_MS);
  s->discoveryKind = 1;
  return true;
}

void sConfigureInterface(cServer *s) {
  uint32_t interfaces[50];
  int found = cDiscovery_GetIPv4Interfaces(interfaces, 50);
  cDEBUG_PRINTF(cDEBUG_INTERFACE, "_configureInterface found count: %d\n", found);
  if (!s->localOnly && found > 0) {
    if (s->interfaceAddress == 0 || s->interfaceAddress == cDISCOVERY_LOCALHOST)
      s->interfaceAddress = interfaces[0];
    if (sStartBeacon(s))
      return;
  }
  s->beaconHost = cDISCOVERY_LOCALHOST;
  s->discovery = zactor_new(sMulticastActor, s);
  s->discoveryKind = 0;
}

zsock_t *sSocket(int type) {
  zsock_t *socket = zsock_new(type);
  if (socket != nullptr) {
    zsock_set_linger(socket, 0);
    zsock_set_sndtimeo(socket, kPollMs); // never block an actor for long
  }
  return socket;
}

// The multicast actor waits in a receive of up to a second: a datagram to
// its port on loopback ends the wait at once, so that a stop is quick.
void sWakeMulticast(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = cDISCOVERY_LOCALHOST;
  to.sin_port = htons(port);
  const uint8_t nothing = 0;
  sendto(fd, &nothing, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
}

void sDeinitServer(cServer *s) {
  cDEBUG_PRINTF(cDEBUG_SERVER, "PIPE! - Task\n");
  s->stopping = true;
  if (s->multicastPort != 0)
    sWakeMulticast(s->multicastPort);
  {
    std::lock_guard<std::mutex> g(s->pipes);
    zactor_destroy(&s->broker); // sends "$TERM" and waits for the actor to end
    zactor_destroy(&s->discovery);
  }
  // After the broker: a broker making the module link again puts the filter
  // back on it.
  cLinkRecord *link = &s->entry->link;
  if (s->filterInstalled && link->userFilterMutex != nullptr) {
    cMutex_Lock(link->userFilterMutex);
    if (link->userFilter == sStreamingFilter && link->userFilterReference == s) {
      link->userFilter = nullptr;
      link->userFilterReference = nullptr;
    }
    cMutex_Unlock(link->userFilterMutex);
    s->filterInstalled = false;
  }
  (void)s->brokerEnded.load(std::memory_order_acquire);
  (void)s->multicastEnded.load(std::memory_order_acquire);
  if (s->frontend != nullptr && s->monitor != nullptr)
    zmq_socket_monitor(zsock_resolve(s->frontend), nullptr, 0);
  zsock_destroy(&s->monitor);
  zsock_destroy(&s->frontend);
  zsock_destroy(&s->syncBound);
  zsock_destroy(&s->syncConnected);
  zsock_destroy(&s->streamingBound);
  zsock_destroy(&s->streamingConnected);
  if (s->pools != nullptr) {
    for (Pool &p : *s->pools)
      sDestroyPool(p);
    delete s->pools;
    s->pools = nullptr;
  }
  cDEBUG_PRINTF(cDEBUG_SERVER, "server task exit\n");
}

bool sInitServer(cServer *s) {
  sPrepareCzmq();
  s->pools = new std::list<Pool>;
  s->frontend = sSocket(ZMQ_ROUTER);
  s->syncBound = sSocket(ZMQ_DEALER);
  s->syncConnected = sSocket(ZMQ_DEALER);
  s->streamingBound = sSocket(ZMQ_DEALER);
  s->streamingConnected = sSocket(ZMQ_DEALER);
  if (s->frontend == nullptr || s->syncBound == nullptr || s->syncConnected == nullptr ||
      s->streamingBound == nullptr || s->streamingConnected == nullptr)
    return false;
  // Sending to a client that has gone fails instead of vanishing silently.
  zsock_set_router_mandatory(s->frontend, 1);
  // No client frame is larger than a packet: a peer that announces more is
  // disconnected before anything is read or kept. The limit also applies to
  // the connection's greeting (its READY command names the socket type and
  // an identity of up to 255 bytes), which it must let through.
  int64_t largest = kFrontendLargest;
  zmq_setsockopt(zsock_resolve(s->frontend), ZMQ_MAXMSGSIZE, &largest, sizeof largest);
  // A client whose host has vanished is disconnected by the heartbeats, and
  // the disconnect notice lets the broker forget it.
  s->monitor = sSocket(ZMQ_PAIR);
  if (s->monitor == nullptr || !cZmq_Watch(s->frontend, s->monitor, ZMQ_EVENT_DISCONNECTED, "server"))
    return false;
  s->remoteMaintenance = gRemoteMaintenance.load();
  // A loopback-only front end is reached at 127.0.0.1, whatever interface
  // was asked for: that is where clients (the server's own first) connect.
  if (s->localOnly)
    s->interfaceAddress = cDISCOVERY_LOCALHOST;
  sConfigureInterface(s);
  char text[INET_ADDRSTRLEN] = "127.0.0.1";
  if (!s->localOnly && cDiscovery_ConvertIPv4Interface(s->interfaceAddress, text, sizeof text) == 0)
    return false;
  int port = zsock_bind(s->frontend, "tcp://%s:*", text);
  cDEBUG_PRINTF(cDEBUG_SERVER, "_findPortAndBindSocket: %d - %s\n", port, text);
  if (port <= 0) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "Could not find open port\n");
    return false;
  }
  s->frontendPort = (uint16_t)port;
  cDEBUG_PRINTF(cDEBUG_SERVER, "_initServer: server->frontendPort: %d\n", s->frontendPort);
  bool paired = sPair(s->streamingBound, s->streamingConnected, &s->streamingPort) &&
                sPair(s->syncBound, s->syncConnected, &s->syncPort);
  cDEBUG_PRINTF(cDEBUG_SERVER, "_initServer: server->streamingPort: %d\n", s->streamingPort);
  cDEBUG_PRINTF(cDEBUG_SERVER, "_initServer: server->syncPort: %d\n", s->syncPort);
  if (!paired || s->discovery == nullptr) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "Could not find open port\n");
    return false;
  }
  // zactor_new returns once the actor has signalled that it runs.
  s->broker = zactor_new(sBrokerActor, s);
  if (s->broker == nullptr)
    return false;
  cLinkRecord *link = &s->entry->link;
  cMutex_Lock(link->userFilterMutex);
  link->userFilter = sStreamingFilter;
  link->userFilterReference = s;
  cMutex_Unlock(link->userFilterMutex);
  s->filterInstalled = true;
  // Whatever the module said before the server took over has no client.
  cPacketFifo_DrainPackets(
      link->incoming, [](const cPacket *, const void *) { return true; }, nullptr);
  return true;
}

} // namespace

// ---------------------------------------------------------------- interface

cServer *cServer_Create(uint32_t linkIdentifier, uint32_t interfaceAddress, bool localOnly) {
  cLinkEntryPtr entry = sLookupEntryByID(linkIdentifier);
  if (entry == nullptr || entry->link.check != cLINK_CHECK) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "Could not find device Item\n");
    return nullptr;
  }
  uint32_t networkType;
  switch (entry->type) {
  case linkTypeUSB: networkType = linkTypeCEtherUSB; break;
  case linkTypeTCPIP: networkType = linkTypeCEtherTCPIP; break;
  case linkTypeSerial: networkType = linkTypeCEtherSerial; break;
  default: cDEBUG_PRINTF(cDEBUG_SERVER, "Unhandled linkType: %d\n", entry->type); return nullptr;
  }
  cServer *s = new (std::nothrow) cServer;
  if (s == nullptr)
    return nullptr;
  s->entry = entry;
  s->networkType = networkType;
  s->localOnly = localOnly;
  s->interfaceAddress = interfaceAddress != 0 ? interfaceAddress : cDISCOVERY_LOCALHOST;
  s->check = cSERVER_CHECK;
  return s;
}

static bool sValid(const cServer *s) { return s != nullptr && s->check == cSERVER_CHECK; }

cErr cServer_Start(cServer *server) {
  if (!sValid(server))
    return cErrParam;
  if (server->broker != nullptr)
    return cErrNone;
  if (!sInitServer(server)) {
    sDeinitServer(server);
    server->stopping = false;
    return cErrResource;
  }
  return cErrNone;
}

cErr cServer_Destroy(cServer **server) {
  if (server == nullptr || !sValid(*server))
    return cErrParam;
  cServer *s = *server;
  *server = nullptr;
  sDeinitServer(s);
  s->check = 0;
  delete s;
  return cErrNone;
}

cErr cServer_GetPort(const cServer *server, uint16_t *port) {
  if (!sValid(server) || port == nullptr)
    return cErrParam;
  *port = server->frontendPort;
  return cErrNone;
}

cErr cServer_GetInterface(const cServer *server, uint32_t *interfaceAddress) {
  if (!sValid(server) || interfaceAddress == nullptr)
    return cErrParam;
  *interfaceAddress = server->interfaceAddress;
  return cErrNone;
}

cErr cServer_SetModuleAddress(cServer *server, uint8_t moduleAddress) {
  if (!sValid(server))
    return cErrParam;
  server->moduleAddress = moduleAddress;
  return cErrNone;
}

cErr cServer_SetModel(cServer *server, uint8_t model) {
  if (!sValid(server))
    return cErrParam;
  server->model = model;
  return cErrNone;
}

cErr cServer_FlushFIFO(cServer *server) {
  if (!sValid(server))
    return cErrParam;
  cDEBUG_PRINTF(cDEBUG_SERVER, "cServer_FlushFIFO\n");
  std::lock_guard<std::mutex> g(server->pipes);
  if (server->broker != nullptr)
    zsock_signal(server->broker, cSERVER_FLUSH_SIGNAL);
  return cErrNone;
}

void cServer_AllowRemoteMaintenance(bool allow) { gRemoteMaintenance = allow; }

void cServer_SetLog(cServerLogProc log) { gLog = log; }
