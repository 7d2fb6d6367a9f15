// Discovery of link servers (network-client kinds 4 to 7): on this machine by
// multicast probes, on the network by CZMQ beacons.
#include <arpa/inet.h>
#include <cstring>
#include <czmq.h>
#include <mutex>
#include <vector>

#include "discover_internal.h"
#include "quillwork/cTime.h"

namespace {

// How long a search waits for another search to free the reply port: a
// little longer than that search's reply wait.
constexpr int kReplyPortAttempts = 15;
constexpr uint32_t kReplyPortRetryMs = 100;

// CZMQ installs its own SIGINT/SIGTERM handlers when it starts, which would
// keep Ctrl-C from ending the program: keep the system's.
void sPrepareCzmq() {
  static std::once_flag once;
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

bool sIsNew(const std::vector<linkSpec> &kept, const linkSpec &spec) {
  for (const linkSpec &k : kept)
    if (_isSameSpec(&k, &spec))
      return false;
  return true;
}

// Reports a spec that is new and passes the filter; false when the callback
// asks to stop.
bool sReport(std::vector<linkSpec> &kept, const linkSpec &spec, bool accepted, cDiscoveryCallback callback,
             void *reference, int &counted) {
  if (!accepted || !sIsNew(kept, spec))
    return true;
  kept.push_back(spec);
  bool wasCounted = false;
  int goOn = callback(&kept.back(), &wasCounted, reference);
  if (wasCounted)
    counted++;
  return goOn != 0;
}

} // namespace

int cDiscovery_GetIPv4Interfaces(uint32_t *addresses, int capacity) {
  if (addresses == nullptr || capacity <= 0)
    return 0;
  sPrepareCzmq();
  ziflist_t *list = ziflist_new();
  if (list == nullptr)
    return 0;
  int n = 0;
  for (const char *name = ziflist_first(list); name != nullptr && n < capacity; name = ziflist_next(list)) {
    in_addr a;
    if (inet_pton(AF_INET, ziflist_address(list), &a) == 1)
      addresses[n++] = a.s_addr;
  }
  ziflist_destroy(&list);
  return n;
}

int _findLinkSpecs_multicast(cDiscoveryCallback callback, void *reference, bool local) {
  const uint32_t group = htonl(cDISCOVERY_SERVER_GROUP);
  std::vector<linkSpec> kept;
  int counted = 0;
  bool goOn = true;
  for (int i = 0; i < cDISCOVERY_SERVER_PORTS && goOn; i++) {
    // A probe that can bind the port proves that no server holds it.
    cMulticast *probe = cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REQUEST_PORT + i),
                                          cMULTICAST_RECEIVER);
    if (probe != nullptr) {
      cMulticast_Destroy(&probe);
      continue;
    }
    // Another search on this machine may hold the reply port for its one
    // second wait: try again, for a bounded time, so that two programs
    // looking at once both find the server.
    cMulticast *replies = nullptr;
    for (int attempt = 0; attempt < kReplyPortAttempts && replies == nullptr; attempt++) {
      if (attempt > 0)
        cTime_MSSleep(kReplyPortRetryMs);
      replies = cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REPLY_PORT + i),
                                  cMULTICAST_RECEIVER);
    }
    cMulticast *query = cMulticast_Create(cDISCOVERY_LOCALHOST, group, (uint16_t)(cDISCOVERY_SERVER_REQUEST_PORT + i),
                                          cMULTICAST_SENDER);
    if (replies != nullptr && query != nullptr) {
      const uint32_t word = cDISCOVERY_SERVER_QUERY;
      if (cMulticast_Send(query, &word, sizeof word) == (int)sizeof word) {
        // Room for more than a spec: a longer datagram must not pass as one.
        uint8_t answer[sizeof(linkSpec) + 64];
        if (cMulticast_Receive(replies, answer, sizeof answer) == (int)sizeof(linkSpec)) {
          linkSpec spec;
          memcpy(&spec, answer, sizeof spec);
          goOn = sReport(kept, spec, !local || spec.ipAddress == cDISCOVERY_LOCALHOST, callback, reference, counted);
        }
      }
    }
    if (replies != nullptr)
      cMulticast_Destroy(&replies);
    if (query != nullptr)
      cMulticast_Destroy(&query);
  }
  return counted;
}

int _findLinkSpecs_beacon(cDiscoveryCallback callback, void *reference, bool local) {
  sPrepareCzmq();
  zactor_t *beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr)
    return 0;
  zsock_set_rcvtimeo(beacon, 2000);
  zsock_send(beacon, "si", "CONFIGURE", cDISCOVERY_BEACON_PORT);
  char *host = zstr_recv(beacon);
  int counted = 0;
  if (host != nullptr && *host != '\0') {
    in_addr hostAddress{};
    inet_pton(AF_INET, host, &hostAddress);
    zsock_send(beacon, "sbi", "PUBLISH", cDISCOVERY_BEACON_TEXT, strlen(cDISCOVERY_BEACON_TEXT),
               cDISCOVERY_BEACON_INTERVAL_MS);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", 0);
    zsock_set_rcvtimeo(beacon, cDISCOVERY_BEACON_INTERVAL_MS);
    std::vector<linkSpec> kept;
    bool goOn = true;
    for (int attempt = 0; attempt < cDISCOVERY_BEACON_ATTEMPTS && goOn; attempt++) {
      char *sender = zstr_recv(beacon);
      if (sender == nullptr)
        continue; // a time-out is an attempt too
      zframe_t *content = zframe_recv(beacon);
      if (content != nullptr && zframe_size(content) == sizeof(linkSpec)) {
        linkSpec spec;
        memcpy(&spec, zframe_data(content), sizeof spec);
        bool accepted = !local || spec.ipAddress == cDISCOVERY_LOCALHOST || spec.ipAddress == hostAddress.s_addr;
        goOn = sReport(kept, spec, accepted, callback, reference, counted);
      }
      zframe_destroy(&content);
      zstr_free(&sender);
    }
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zstr_free(&host);
  zactor_destroy(&beacon);
  return counted;
}

int cDiscovery_Enumerate_cEtherModules(cDiscoveryCallback callback, void *reference, uint32_t interfaceAddress) {
  if (callback == nullptr)
    return 0;
  bool local = interfaceAddress == 0 || interfaceAddress == cDISCOVERY_LOCALHOST;
  uint32_t interfaces[50];
  int found = cDiscovery_GetIPv4Interfaces(interfaces, 50);
  if (local || found == 0)
    return _findLinkSpecs_multicast(callback, reference, true);
  char text[INET_ADDRSTRLEN];
  if (cDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof text) == 0 ||
      !zBeaconInterface_backupSetAndLock(text))
    return 0;
  int counted = _findLinkSpecs_beacon(callback, reference, false);
  zBeaconInterface_restoreAndUnlock();
  return counted;
}
