// The device end of the usbfs channel (usbfs_channel.h): a listening Unix
// socket per emulated device and a thread per connection, that is, per open
// file of the device node in some host process.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qwemu {

class UsbfsServer {
public:
  struct Connection;
  using Client = const Connection *;

  struct Reply {
    int32_t result = 0;
    int32_t error = 0;
    std::vector<uint8_t> data;
  };

  class Handler {
  public:
    virtual ~Handler() = default;
    virtual Reply request(Client client, uint32_t request, const std::vector<uint8_t> &payload) = 0;
    // The host closed the file, or its process ended; the last call for it.
    virtual void closed(Client client) = 0;
  };

  // Listens at path (replacing what is there); ok() says whether it could.
  UsbfsServer(std::string path, Handler &handler);
  // Stops listening, ends every connection and joins its thread; the
  // handler is not called any more once this returns.
  ~UsbfsServer();
  UsbfsServer(const UsbfsServer &) = delete;
  UsbfsServer &operator=(const UsbfsServer &) = delete;

  bool ok() const { return listenFd_ >= 0; }
  // No new connections (the device left the bus); open ones go on.
  void stopListening();
  // True when the host end of the connection is closed (its closed() call
  // may still be on the way).
  static bool hungUp(Client client);

private:
  void acceptLoop();
  void serve(Connection &c);
  void joinFinished();
  static void raise(int wakeFd, std::atomic<bool> &flag);

  std::string path_;
  Handler &handler_;
  int listenFd_ = -1;
  // Each an eventfd with its flag: connections stop, the acceptor stops.
  int wakeFd_ = -1, acceptWakeFd_ = -1;
  std::atomic<bool> stopping_{false}, acceptStopping_{false};
  std::mutex listenLock_; // guards listenFd_ and acceptor_ in stopListening
  std::thread acceptor_;
  std::mutex lock_; // guards connections_
  std::list<std::unique_ptr<Connection>> connections_;
};

} // namespace qwemu
