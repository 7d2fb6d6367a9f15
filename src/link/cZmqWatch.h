// Watching a ZeroMQ connection, for the link server's front end and its
// clients alike: transport-level heartbeats (no frame that either side sends
// changes) disconnect a peer whose host has vanished within seconds, and a
// socket monitor reports connections made and lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include <czmq.h>

constexpr int cZMQ_HEARTBEAT_MS = 1000;
constexpr int cZMQ_HEARTBEAT_TIMEOUT_MS = 5000;

// Sets the heartbeats on socket and has its events (ZMQ_EVENT_...) reported
// to monitor, a PAIR socket of the caller's; kind names the endpoint. False
// when the monitor cannot be set up.
inline bool cZmq_Watch(zsock_t *socket, zsock_t *monitor, int events, const char *kind) {
  int beat = cZMQ_HEARTBEAT_MS, timeout = cZMQ_HEARTBEAT_TIMEOUT_MS;
  void *s = zsock_resolve(socket);
  zmq_setsockopt(s, ZMQ_HEARTBEAT_IVL, &beat, sizeof beat);
  zmq_setsockopt(s, ZMQ_HEARTBEAT_TIMEOUT, &timeout, sizeof timeout);
  zmq_setsockopt(s, ZMQ_HEARTBEAT_TTL, &timeout, sizeof timeout);
  static std::atomic<uint32_t> monitors{1};
  char endpoint[64];
  snprintf(endpoint, sizeof endpoint, "inproc://quillwork-%s-monitor-%u", kind, monitors++);
  return zmq_socket_monitor(s, endpoint, events) == 0 && zsock_connect(monitor, "%s", endpoint) == 0;
}
