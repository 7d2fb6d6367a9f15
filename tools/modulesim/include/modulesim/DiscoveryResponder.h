// The modules' answer to the host's UDP discovery request: a 16-byte
// datagram to group 232.2.2.2 port 9888 whose first byte is 0x01. Each
// on-line module on TCP/IP answers with a 16-byte datagram, sent from its
// own address to the requester's address at port 9889: byte 1 its module
// address, bytes 2-3 its TCP port and bytes 4-7 its serial number (both
// little-endian), byte 12 its model.
//
// Multicast must never leave the machine: run this only inside a private
// network namespace (tests named *_netns_test.cpp, or `modulesim --netns`).
// start() refuses to run in the machine's own network namespace, and the
// responder answers only requests from this machine's own addresses.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modulesim/TcpTransport.h"

namespace modulesim {

constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;

// True when this process runs in another network namespace than its parent.
bool inPrivateNetworkNamespace();

class DiscoveryResponder {
public:
  DiscoveryResponder();
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder &) = delete;
  DiscoveryResponder &operator=(const DiscoveryResponder &) = delete;

  // Adds a module on TCP/IP (the transport must outlive the responder).
  void add(TcpTransport &transport);
  // Binds and joins the group; false (with error()) when that fails.
  bool start();
  const std::string &error() const { return error_; }
  unsigned requestsSeen() const { return requests_; }

  // The reply datagram a module sends (exposed for tests).
  static std::vector<uint8_t> replyFor(uint8_t moduleAddress, uint16_t tcpPort, uint32_t serial, uint8_t model);

private:
  void loop();
  int joinGroup(); // joins on every local address not joined yet; returns how many are joined

  std::mutex lock_;
  std::vector<TcpTransport *> transports_;
  std::string error_;
  int fd_ = -1, wakeFd_ = -1, netlinkFd_ = -1;
  std::vector<uint32_t> joined_; // local addresses joined (network order)
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> requests_{0};
  std::thread thread_;
};

} // namespace modulesim
