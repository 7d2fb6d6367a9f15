// The network-client byte stream: a link engine's bytes to and from a link
// server. Each write becomes one frame to the server (the engine writes one
// packet per call); each frame from the server is handed out byte by byte.
//
// A ZeroMQ socket belongs to one thread, yet the link's reader and writer
// both need the server: a small actor owns the server socket and relays
// through two internal socket pairs (inproc), the writer's outgoing pair and
// the reader's incoming pair.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <czmq.h>
#include <mutex>
#include <new>
#include <unistd.h>

#include "cServerInternal.h"
#include "quillwork/cDebug.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cServer_ZeroMQ.h"
#include "quillwork/cTime.h"

#define cCLIENT_CHECK 0xC11Eu

namespace {

struct Client {
  uint32_t check = cCLIENT_CHECK;
  zsock_t *server = nullptr;                                      // the actor's
  zsock_t *outgoingBound = nullptr, *outgoingConnected = nullptr; // writer -> actor
  zsock_t *incomingBound = nullptr, *incomingConnected = nullptr; // actor -> reader
  zpoller_t *incomingPoller = nullptr;
  zactor_t *actor = nullptr;
  // Set by the actor as it ends; read once it has (see sFree).
  std::atomic<bool> actorEnded{false};
  // The reader's frame being handed out.
  zframe_t *frame = nullptr;
  size_t position = 0, size = 0;
};

// Sends without blocking, retrying a full socket for a while.
bool sSendRetrying(zframe_t **frame, zsock_t *socket) {
  for (int attempt = 0; attempt < cSERVER_CLIENT_RETRIES; attempt++) {
    if (zframe_send(frame, socket, ZFRAME_DONTWAIT | ZFRAME_REUSE) == 0) {
      zframe_destroy(frame);
      return true;
    }
    cTime_MSSleep(1);
  }
  zframe_destroy(frame);
  return false;
}

void sClientActor(zsock_t *pipe, void *args) {
  Client *c = static_cast<Client *>(args);
  zpoller_t *poller = zpoller_new(pipe, c->server, c->outgoingConnected, nullptr);
  zsock_signal(pipe, 0);
  while (poller != nullptr) {
    void *which = zpoller_wait(poller, 1000);
    if (which == pipe || zpoller_terminated(poller))
      break;
    if (which == c->server) {
      zframe_t *frame = zframe_recv(c->server);
      if (frame != nullptr && !sSendRetrying(&frame, c->incomingConnected))
        cDEBUG_PRINTF(cDEBUG_SERVER, "Client send error Frontend->incomming: %d\n", zmq_errno());
    } else if (which == c->outgoingConnected) {
      zframe_t *frame = zframe_recv(c->outgoingConnected);
      if (frame != nullptr && zframe_send(&frame, c->server, ZFRAME_DONTWAIT) != 0) {
        cDEBUG_PRINTF(cDEBUG_SERVER, "Client send error Frontend->client: %d\n", zmq_errno());
        zframe_destroy(&frame);
      }
    }
    if (zsys_interrupted) {
      // The program was interrupted while CZMQ held the signal: pass it on.
      signal(SIGINT, SIG_DFL);
      int sent = kill(getpid(), SIGINT);
      cDEBUG_PRINTF(cDEBUG_SERVER, "Ctrl+C signal for pid: %d Success: %d\n", (int)getpid(), sent == 0);
    }
  }
  zpoller_destroy(&poller);
  cDEBUG_PRINTF(cDEBUG_SERVER, "Client task exit\n");
  c->actorEnded.store(true, std::memory_order_release);
}

zsock_t *sDealer() {
  zsock_t *socket = zsock_new(ZMQ_DEALER);
  if (socket != nullptr)
    zsock_set_linger(socket, 0);
  return socket;
}

void sFree(Client *c) {
  if (c->actor != nullptr) {
    zactor_destroy(&c->actor); // waits for the actor to end (told through ZeroMQ)
    (void)c->actorEnded.load(std::memory_order_acquire);
  }
  zpoller_destroy(&c->incomingPoller);
  zsock_destroy(&c->server);
  zsock_destroy(&c->outgoingBound);
  zsock_destroy(&c->outgoingConnected);
  zsock_destroy(&c->incomingBound);
  zsock_destroy(&c->incomingConnected);
  zframe_destroy(&c->frame);
  c->check = 0;
  delete c;
}

cErr sGet(uint8_t *byte, void *reference) {
  Client *c = static_cast<Client *>(reference);
  if (c == nullptr || c->check != cCLIENT_CHECK || byte == nullptr)
    return cErrParam;
  if (c->frame == nullptr) {
    // A short wait: the link's reader calls again at once, and a stopping
    // link is not kept waiting.
    void *which = zpoller_wait(c->incomingPoller, cSTREAM_GET_WAIT_MS);
    if (which == nullptr)
      return zpoller_expired(c->incomingPoller) ? cErrNotReady : cErrUnknown;
    c->frame = zframe_recv(c->incomingBound);
    if (c->frame == nullptr)
      return cErrIO;
    c->position = 0;
    c->size = zframe_size(c->frame);
  }
  if (c->size == 0) {
    zframe_destroy(&c->frame);
    return cErrIndexRange;
  }
  *byte = zframe_data(c->frame)[c->position++];
  if (c->position >= c->size)
    zframe_destroy(&c->frame);
  return cErrNone;
}

cErr sPut(uint8_t, void *) { return cErrUnimplemented; }

cErr sWrite(const uint8_t *data, size_t length, void *reference) {
  Client *c = static_cast<Client *>(reference);
  if (c == nullptr || c->check != cCLIENT_CHECK || data == nullptr)
    return cErrParam;
  zframe_t *frame = zframe_new(data, length);
  if (frame == nullptr)
    return cErrMemory;
  if (!sSendRetrying(&frame, c->outgoingBound)) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "--Client send error outgoing->frontend: %d\n", zmq_errno());
    return cErrIO;
  }
  return cErrNone;
}

cErr sDelete(void *reference) {
  Client *c = static_cast<Client *>(reference);
  if (c == nullptr || c->check != cCLIENT_CHECK)
    return cErrIO;
  cDEBUG_PRINTF(cDEBUG_SERVER, "Client delete: start\n");
  sFree(c);
  cDEBUG_PRINTF(cDEBUG_SERVER, "Client delete: end\n");
  return cErrNone;
}

// Binds one socket of an internal pair (inproc) and connects the other.
cErr sPair(zsock_t *bound, zsock_t *connected, const char *what) {
  static std::atomic<uint32_t> next{1};
  uint32_t port = next++;
  if (zsock_bind(bound, "inproc://quillwork-client-%u", port) != 0 ||
      zsock_connect(connected, "inproc://quillwork-client-%u", port) != 0) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "client: %s connecting fail\n", what);
    return cErrConnection;
  }
  cDEBUG_PRINTF(cDEBUG_SERVER, "%s connected to port: %d\n", what, port);
  return cErrNone;
}

} // namespace

cErr cStream_CreateClient(uint32_t ipAddress, uint16_t port, cStream **stream) {
  if (stream == nullptr)
    return cErrParam;
  *stream = nullptr;
  static std::once_flag once;
  std::call_once(once, [] { zsys_handler_set(nullptr); });
  Client *c = new (std::nothrow) Client;
  if (c == nullptr)
    return cErrMemory;
  c->outgoingBound = sDealer();
  c->outgoingConnected = sDealer();
  c->incomingBound = sDealer();
  c->incomingConnected = sDealer();
  c->server = sDealer();
  cErr err = cErrNone;
  if (c->outgoingBound == nullptr || c->outgoingConnected == nullptr || c->incomingBound == nullptr ||
      c->incomingConnected == nullptr || c->server == nullptr)
    err = cErrMemory;
  if (err == cErrNone)
    err = sPair(c->outgoingBound, c->outgoingConnected, "outgoing");
  if (err == cErrNone)
    err = sPair(c->incomingBound, c->incomingConnected, "incoming");
  char text[INET_ADDRSTRLEN];
  if (err == cErrNone && cDiscovery_ConvertIPv4Interface(ipAddress, text, sizeof text) == 0)
    err = cErrConnection;
  if (err == cErrNone) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "cStream_CreateClient address: %s\n", text);
    int rc = zsock_connect(c->server, "tcp://%s:%d", text, port);
    if (rc != 0) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", rc);
      err = cErrConnection;
    } else {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Client connected to port: %d - rc: %d\n", port, rc);
    }
  }
  if (err == cErrNone) {
    c->incomingPoller = zpoller_new(c->incomingBound, nullptr);
    c->actor = c->incomingPoller != nullptr ? zactor_new(sClientActor, c) : nullptr;
    if (c->actor == nullptr)
      err = cErrResource;
  }
  if (err == cErrNone) {
    *stream = cStream_Create(sGet, sPut, sWrite, sDelete, c);
    if (*stream == nullptr)
      err = cErrResource;
  }
  if (err != cErrNone)
    sFree(c);
  return err;
}
