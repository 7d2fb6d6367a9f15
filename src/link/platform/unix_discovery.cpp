// The system-specific half of discovery: multicast sockets, the system's
// interface list and the UDP request/reply search for TCP/IP modules.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "discover_internal.h"
#include "quillwork/cDebug.h"
#include "quillwork/cTime.h"

struct cMulticast {
  sockaddr_in group;  // group address and port
  sockaddr_in bindTo; // receiver: any address on the port; sender: the interface, port 0
  in_addr interface;  // the interface the group is joined on and sent through
  int socket;
  int mode;
};

namespace {

// A search goes on while replies keep coming; these bound it all the same.
constexpr int kMaxModuleReplies = 1000;
constexpr uint32_t kMaxModuleSearchMs = 30000;

// The reply port is this machine's for one search at a time: a module
// answers to the asker's address at that port, so a second listener bound
// beside the first would take answers meant for it. Another search holding
// the port ends at its first wanted answer or after its silence wait: wait
// for it a little longer than that, in short steps.
constexpr uint32_t kReplyPortWaitMs = cDISCOVERY_MODULE_SILENCE_MS + 1000;
constexpr uint32_t kReplyPortRetryMs = 20;

void sSetTimeout(int fd, int seconds) {
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

} // namespace

cMulticast *cMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, int mode) {
  if (mode != cMULTICAST_RECEIVER && mode != cMULTICAST_SENDER)
    return nullptr;
  if (interfaceAddress == 0)
    interfaceAddress = cDISCOVERY_LOCALHOST;
  cMulticast *m = new (std::nothrow) cMulticast{};
  if (m == nullptr)
    return nullptr;
  m->mode = mode;
  m->group.sin_family = AF_INET;
  m->group.sin_addr.s_addr = groupAddress;
  m->group.sin_port = htons(port);
  m->bindTo.sin_family = AF_INET;
  m->bindTo.sin_addr.s_addr = mode == cMULTICAST_RECEIVER ? htonl(INADDR_ANY) : interfaceAddress;
  m->bindTo.sin_port = mode == cMULTICAST_RECEIVER ? htons(port) : 0;
  m->interface.s_addr = interfaceAddress;

  const char *failed = nullptr;
  int off = 0;
  unsigned char ttl = 1, loop = 1;
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = groupAddress;
  membership.imr_interface = m->interface;
  m->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m->socket < 0)
    failed = "socket()";
  // No address reuse: a second receiver on a port must fail to bind.
  else if (setsockopt(m->socket, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0)
    failed = "setsockopt(SO_REUSEADDR)";
  else if (mode == cMULTICAST_RECEIVER &&
           bind(m->socket, reinterpret_cast<sockaddr *>(&m->bindTo), sizeof m->bindTo) != 0)
    failed = "bind()";
  else if (setsockopt(m->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
    failed = "setsockopt(IP_ADD_MEMBERSHIP)";
  else if (setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_IF, &m->interface, sizeof m->interface) != 0)
    failed = "setsockopt(IP_MULTICAST_IF)";
  else if (setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
    failed = "setsockopt(IP_MULTICAST_TTL)";
  else if (setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
    failed = "setsockopt(IP_MULTICAST_LOOP)";
  if (failed != nullptr) {
    cDEBUG_PRINTF(cDEBUG_MULTICAST, "%s failed with error code %d \n", failed, errno);
    if (m->socket >= 0)
      close(m->socket);
    delete m;
    return nullptr;
  }
  sSetTimeout(m->socket, 1);
  return m;
}

int cMulticast_Send(cMulticast *multicast, const void *data, size_t length) {
  if (multicast == nullptr)
    return -2;
  if (multicast->mode != cMULTICAST_SENDER)
    return -3;
  ssize_t n = sendto(multicast->socket, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&multicast->group),
                     sizeof multicast->group);
  return n < 0 ? -1 : (int)n;
}

int cMulticast_Receive(cMulticast *multicast, void *buffer, size_t size) {
  if (multicast == nullptr)
    return -2;
  if (multicast->mode != cMULTICAST_RECEIVER)
    return -3;
  ssize_t n;
  do {
    n = recv(multicast->socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int)n;
}

int cMulticast_Destroy(cMulticast **multicast) {
  if (multicast == nullptr || *multicast == nullptr)
    return -2;
  close((*multicast)->socket);
  delete *multicast;
  *multicast = nullptr;
  return 0;
}

size_t cDiscovery_ConvertIPv4Interface(uint32_t address, char *buffer, size_t length) {
  if (buffer == nullptr || length < INET_ADDRSTRLEN)
    return 0;
  in_addr a;
  a.s_addr = address;
  if (inet_ntop(AF_INET, &a, buffer, (socklen_t)length) == nullptr)
    return 0;
  return strlen(buffer);
}

int _systemIPv4Addresses(uint32_t *addresses, int capacity) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0)
    return -1;
  int n = 0;
  for (ifaddrs *i = list; i != nullptr && n < capacity; i = i->ifa_next)
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
      addresses[n++] = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
  freeifaddrs(list);
  return n;
}

bool _parseModuleReply(const uint8_t *reply, size_t length, uint32_t sender, linkSpec *spec) {
  if (length < 8)
    return false;
  memset(spec, 0, sizeof *spec);
  spec->type = linkTypeTCPIP;
  spec->moduleAddress = reply[1];
  spec->port = (uint32_t)(reply[2] | reply[3] << 8);
  spec->serialNumber =
      (uint32_t)reply[4] | (uint32_t)reply[5] << 8 | (uint32_t)reply[6] << 16 | (uint32_t)reply[7] << 24;
  spec->routerAddress = spec->moduleAddress;
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = length > 12 ? reply[12] : 0xFF;
  spec->ipAddress = sender;
  return true;
}

namespace {

// One request through one interface (0: the default interface).
bool sSendModuleRequest(int fd, uint32_t interfaceAddress) {
  if (interfaceAddress != 0) {
    in_addr a;
    a.s_addr = interfaceAddress;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) != 0)
      return false;
  }
  uint8_t request[cDISCOVERY_MODULE_DATAGRAM] = {0x01};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(cDISCOVERY_MODULE_REQUEST_PORT);
  inet_pton(AF_INET, cDISCOVERY_MODULE_GROUP, &to.sin_addr);
  return sendto(fd, request, sizeof request, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
         (ssize_t)sizeof request;
}

int sSendModuleRequests(uint32_t interfaceAddress, bool allInterfaces) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return 0;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int sent = 0;
  if (!allInterfaces) {
    sent += sSendModuleRequest(fd, interfaceAddress);
  } else {
    uint32_t addresses[64];
    int n = _systemIPv4Addresses(addresses, 64);
    if (n < 0)
      sent += sSendModuleRequest(fd, 0);
    for (int i = 0; i < n; i++)
      if (addresses[i] != cDISCOVERY_LOCALHOST && addresses[i] != 0)
        sent += sSendModuleRequest(fd, addresses[i]);
  }
  close(fd);
  return sent;
}

} // namespace

int _enumerateTCPIP(cDiscoveryCallback callback, void *reference, uint32_t interfaceAddress) {
  bool all = interfaceAddress == 0 || interfaceAddress == cDISCOVERY_LOCALHOST;
  int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (listener < 0)
    return 0;
  // No address reuse: while another search (in this or another process)
  // holds the reply port, the bind fails and this search waits its turn.
  int off = 0;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(cDISCOVERY_MODULE_REPLY_PORT);
  local.sin_addr.s_addr = all ? htonl(INADDR_ANY) : interfaceAddress;
  bool bound = false;
  int bindError = 0;
  uint32_t waitStart = cTime_GetMSTicks();
  for (;;) {
    bound = bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
    bindError = bound ? 0 : errno;
    if (bound || bindError != EADDRINUSE || cTime_MSSince(waitStart) >= kReplyPortWaitMs)
      break;
    cTime_MSSleep(kReplyPortRetryMs);
  }
  if (!bound)
    cDEBUG_PRINTF(cDEBUG_MULTICAST, "bind() of the module reply port %d failed with error code %d after %u ms \n",
                  cDISCOVERY_MODULE_REPLY_PORT, bindError, (unsigned)cTime_MSSince(waitStart));
  sSetTimeout(listener, cDISCOVERY_MODULE_SILENCE_MS / 1000);
  // The listener is in place before the requests go out.
  int sent = bound ? sSendModuleRequests(interfaceAddress, all) : 0;

  int counted = 0;
  uint32_t start = cTime_GetMSTicks();
  for (int replies = 0; sent > 0 && replies < kMaxModuleReplies && cTime_MSSince(start) < kMaxModuleSearchMs;
       replies++) {
    uint8_t reply[cDISCOVERY_MODULE_DATAGRAM] = {};
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      break; // silence: the search is over
    linkSpec spec;
    if (!_parseModuleReply(reply, (size_t)n, from.sin_addr.s_addr, &spec))
      continue;
    bool wasCounted = false;
    int goOn = callback(&spec, &wasCounted, reference);
    if (wasCounted)
      counted++;
    if (goOn == 0)
      break;
  }
  close(listener);
  return counted;
}
