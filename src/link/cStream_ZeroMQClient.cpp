// The network-client byte stream: a link engine's bytes to and from a link
// server. Each write becomes one frame to the server (the engine writes one
// packet per call); each frame from the server is handed out byte by byte.
//
// A ZeroMQ socket is not made for two threads at once, yet the link's reader
// and writer both need the server. They share the one socket under a mutex,
// and the reader never blocks inside ZeroMQ: it waits on the socket's
// notification descriptor (ZMQ_FD) with the mutex released. That descriptor
// only tells that the socket's state may have changed, and a send on the
// writer's side can consume the notice of an answer that has arrived, so
// the writer looks at the socket's events after each send and wakes the
// reader through an eventfd when an answer is there. No relay thread stands
// between the link and the server: each packet costs no hand-off of its own.
//
// A server that dies (its program ends or its host vanishes: transport-level
// heartbeats find the latter) is seen in the socket's disconnect notice: the
// stream then fails its reads and writes with cErrConnection, so that the
// link stops running and its requests fail at once instead of each waiting
// for an answer. ZeroMQ keeps trying to connect; once a server answers at
// the address again the reads go on and the link synchronises anew.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <czmq.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "cServerInternal.h"
#include "cZmqWatch.h"
#include "quillwork/cDebug.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cServer_ZeroMQ.h"
#include "quillwork/cTime.h"

#define cCLIENT_CHECK 0xC11Eu

namespace {

struct Client {
  uint32_t check = cCLIENT_CHECK;
  std::mutex lock; // every ZeroMQ call on the server socket
  zsock_t *server = nullptr;
  int serverFd = -1;          // ZMQ_FD of the server socket
  int wake = -1;              // eventfd: the writer saw an answer waiting
  zsock_t *monitor = nullptr; // the server socket's connect and disconnect notices
  bool lost = false;          // disconnected from the server, not connected again since
  // The reader's frame being handed out.
  zmq_msg_t frame;
  bool haveFrame = false;
  size_t position = 0, size = 0;
};

// Under the lock: wakes the reader if an answer is waiting (a send may have
// taken the socket's notice of it).
void sWakeIfReadable(Client *c) {
  if ((zsock_events(c->server) & ZMQ_POLLIN) != 0) {
    uint64_t one = 1;
    if (write(c->wake, &one, sizeof one) < 0) {
      // The counter is full: the reader has plenty of wake-ups pending.
    }
  }
}

// Under the lock: takes the notices that came (bounded).
void sTakeNotices(Client *c) {
  void *monitor = zsock_resolve(c->monitor);
  for (int i = 0; i < 100; i++) {
    zmq_msg_t event;
    zmq_msg_init(&event);
    if (zmq_msg_recv(&event, monitor, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&event);
      return;
    }
    uint16_t kind = 0;
    if (zmq_msg_size(&event) >= sizeof kind)
      memcpy(&kind, zmq_msg_data(&event), sizeof kind);
    bool more = zmq_msg_more(&event);
    zmq_msg_close(&event);
    if (more) {
      zmq_msg_t address; // the endpoint: not needed
      zmq_msg_init(&address);
      zmq_msg_recv(&address, monitor, ZMQ_DONTWAIT);
      zmq_msg_close(&address);
    }
    if (kind == ZMQ_EVENT_DISCONNECTED) {
      if (!c->lost)
        cDEBUG_PRINTF(cDEBUG_SERVER, "Client: the link server has gone\n");
      c->lost = true;
    } else if (kind == ZMQ_EVENT_CONNECTED) {
      c->lost = false;
    }
  }
}

// True when the server has gone (looked at when a wait found nothing, so
// that it costs no system call per packet).
bool sLost(Client *c) {
  std::lock_guard<std::mutex> g(c->lock);
  sTakeNotices(c);
  return c->lost;
}

// Takes a frame from the server without waiting: 1 taken, 0 none, -1 error.
int sTakeFrame(Client *c) {
  std::lock_guard<std::mutex> g(c->lock);
  if (zmq_msg_recv(&c->frame, zsock_resolve(c->server), ZMQ_DONTWAIT) >= 0) {
    c->haveFrame = true;
    c->position = 0;
    c->size = zmq_msg_size(&c->frame);
    return 1;
  }
  return zmq_errno() == EAGAIN ? 0 : -1;
}

void sPassInterrupt() {
  if (zsys_interrupted) {
    // The program was interrupted while CZMQ held the signal: pass it on.
    signal(SIGINT, SIG_DFL);
    int sent = kill(getpid(), SIGINT);
    cDEBUG_PRINTF(cDEBUG_SERVER, "Ctrl+C signal for pid: %d Success: %d\n", (int)getpid(), sent == 0);
  }
}

zsock_t *sDealer() {
  zsock_t *socket = zsock_new(ZMQ_DEALER);
  if (socket != nullptr)
    zsock_set_linger(socket, 0);
  return socket;
}

void sFree(Client *c) {
  if (c->server != nullptr && c->monitor != nullptr)
    zmq_socket_monitor(zsock_resolve(c->server), nullptr, 0);
  zsock_destroy(&c->monitor);
  zsock_destroy(&c->server);
  if (c->wake >= 0)
    close(c->wake);
  zmq_msg_close(&c->frame);
  c->check = 0;
  delete c;
}

cErr sGet(uint8_t *byte, void *reference) {
  Client *c = static_cast<Client *>(reference);
  if (c == nullptr || c->check != cCLIENT_CHECK || byte == nullptr)
    return cErrParam;
  if (!c->haveFrame) {
    // A short wait: the link's reader calls again at once, and a stopping
    // link is not kept waiting.
    uint32_t start = cTime_GetMSTicks();
    for (;;) {
      int taken = sTakeFrame(c);
      if (taken < 0)
        return cErrIO;
      if (taken > 0)
        break;
      uint32_t waited = cTime_MSSince(start);
      if (waited >= cSTREAM_GET_WAIT_MS)
        return sLost(c) ? cErrConnection : cErrNotReady; // what came before was handed out
      pollfd fds[2] = {{c->serverFd, POLLIN, 0}, {c->wake, POLLIN, 0}};
      int ready = poll(fds, 2, (int)(cSTREAM_GET_WAIT_MS - waited));
      if (ready < 0 && errno != EINTR)
        return cErrUnknown;
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        uint64_t count;
        if (read(c->wake, &count, sizeof count) < 0) {
          // Another look at the socket follows either way.
        }
      }
      sPassInterrupt();
    }
  }
  if (c->size == 0) {
    c->haveFrame = false;
    return cErrIndexRange;
  }
  *byte = static_cast<const uint8_t *>(zmq_msg_data(&c->frame))[c->position++];
  if (c->position >= c->size)
    c->haveFrame = false; // the next receive reuses the message
  return cErrNone;
}

cErr sPut(uint8_t, void *) { return cErrUnimplemented; }

cErr sWrite(const uint8_t *data, size_t length, void *reference) {
  Client *c = static_cast<Client *>(reference);
  if (c == nullptr || c->check != cCLIENT_CHECK || data == nullptr)
    return cErrParam;
  // Sent without blocking; a full socket is tried again for a while.
  for (int attempt = 0; attempt < cSERVER_CLIENT_RETRIES; attempt++) {
    {
      std::lock_guard<std::mutex> g(c->lock);
      if (c->lost)
        return cErrConnection; // the reader saw the server go: nothing is kept for it
      int rc = zmq_send(zsock_resolve(c->server), data, length, ZMQ_DONTWAIT);
      sWakeIfReadable(c);
      if (rc >= 0)
        return cErrNone;
    }
    cTime_MSSleep(1);
  }
  cDEBUG_PRINTF(cDEBUG_SERVER, "--Client send error outgoing->frontend: %d\n", zmq_errno());
  return cErrIO;
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
  zmq_msg_init(&c->frame);
  c->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  c->server = sDealer();
  cErr err = cErrNone;
  if (c->server == nullptr || c->wake < 0)
    err = cErrMemory;
  char text[INET_ADDRSTRLEN];
  if (err == cErrNone && cDiscovery_ConvertIPv4Interface(ipAddress, text, sizeof text) == 0)
    err = cErrConnection;
  if (err == cErrNone) {
    // A server whose host has vanished is disconnected within seconds.
    c->monitor = zsock_new(ZMQ_PAIR);
    if (c->monitor == nullptr ||
        !cZmq_Watch(c->server, c->monitor, ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED, "client"))
      err = cErrResource;
  }
  if (err == cErrNone) {
    cDEBUG_PRINTF(cDEBUG_SERVER, "cStream_CreateClient address: %s\n", text);
    int rc = zsock_connect(c->server, "tcp://%s:%d", text, port);
    if (rc != 0) {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", rc);
      err = cErrConnection;
    } else {
      cDEBUG_PRINTF(cDEBUG_SERVER, "Client connected to port: %d - rc: %d\n", port, rc);
      c->serverFd = zsock_fd(c->server);
      if (c->serverFd < 0)
        err = cErrResource;
    }
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
