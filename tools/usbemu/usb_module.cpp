// usbdevfs emulation: the ioctls that libusb's Linux back end issues on
// /dev/bus/usb/BBB/DDD come over the usbfs channel (usbfs_channel.h) and are
// answered here, on the thread that serves the open file. Bulk IN transfers stay pending until the device has data (or
// libusb discards them at their time-out), so libusb's own waiting is exercised.
//
// Completion is an event, as on a real bus: the device node is a FIFO that
// this side keeps full while no URB is waiting to be reaped. libusb polls the
// node for POLLOUT, so its event loop sleeps in poll() (honouring its own
// time-outs) until a transfer finishes, when one page is taken out of the
// FIFO; it is put back once every finished URB has been reaped.
#include "usb_module.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <umockdev.h>
#include <unistd.h>

#include "usbfs_channel.h"
#include "usbfs_server.h"

namespace qwemu {

namespace {

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    snprintf(b, sizeof b, "%02X", v);
    s += b;
  }
  return s;
}

// USB string descriptor (UTF-16LE) of an ASCII text.
std::vector<uint8_t> stringDescriptor(const std::string &text) {
  size_t n = std::min<size_t>(text.size(), 126);
  std::vector<uint8_t> d{(uint8_t)(2 + 2 * n), 0x03};
  for (size_t i = 0; i < n; i++) {
    d.push_back((uint8_t)text[i]);
    d.push_back(0);
  }
  return d;
}

void warn(GError *error, const char *what) {
  if (error != nullptr) {
    fprintf(stderr, "usbemu: %s: %s\n", what, error->message);
    g_error_free(error);
  }
}

using Client = UsbfsServer::Client;
using Reply = UsbfsServer::Reply;

// One submitted URB: what the host sent of it, and its buffer here.
struct Urb {
  Client client = nullptr; // the open file that submitted it
  uint64_t id = 0;         // its address in the host process
  uint8_t type = 0, endpoint = 0;
  std::vector<uint8_t> buffer; // as long as the host's
  int status = 0, actual = 0;
  bool in() const { return type == USBDEVFS_URB_TYPE_CONTROL ? true : (endpoint & 0x80) != 0; }
};

struct Failure {
  int status = 0;
  unsigned count = 0;
  unsigned partial = 0;
};

} // namespace

struct UsbDevice::Impl : UsbfsServer::Handler {
  UMockdevTestbed *testbed = nullptr;
  UsbDeviceConfig config;
  std::string syspath, devnode;
  std::string root; // the testbed's directory
  unsigned bus = 0, address = 0;
  std::vector<uint8_t> descriptors; // device descriptor, then the configuration

  std::unique_ptr<UsbfsServer> server;
  // The device works on what it was sent on a thread of its own, one OUT
  // transfer after another, as a module does while the bus goes on. A
  // transfer completes once the module has taken its bytes.
  std::thread worker;
  struct Work {
    Urb *urb; // null once its file has gone
    std::vector<uint8_t> data;
  };

  mutable std::mutex lock; // guards everything below
  std::condition_variable workCv;
  std::deque<Work> work; // OUT transfers for the handler; the front one is in hand
  bool stopWork = false;
  OutHandler outHandler;
  bool unplugged = false;
  uint32_t claimed = 0;
  // Who holds each claimed interface: one open file of the node (one
  // connection of the channel). As in the kernel, a claim belongs to the
  // file that made it and goes when that file is closed, also by the end of
  // the process, whatever process that is.
  Client owner[2] = {nullptr, nullptr};
  bool stalledIn = false, stalledOut = false;
  unsigned clearHaltIn = 0, clearHaltOut = 0;
  unsigned serialReads = 0;
  Failure failIn, failOut;
  std::vector<size_t> outSizes;
  std::vector<uint8_t> outData;
  std::deque<uint8_t> inData;
  std::deque<Urb *> pendingIn, done;
  // The device node as a FIFO (see the top of the file); -1 when it could
  // not be made, and reaps then answer "nothing yet" after 1 ms instead.
  int wakeFd = -1;
  bool signalled = false;
  std::vector<uint8_t> page = std::vector<uint8_t>(4096);

  ~Impl() override {
    server.reset(); // no thread is in a request after this
    stopWorker();
    for (Work &w : work)
      delete w.urb;
    releaseClaims(nullptr);
    for (Urb *u : pendingIn)
      delete u;
    for (Urb *u : done)
      delete u;
    if (wakeFd >= 0)
      close(wakeFd);
  }

  // Lock held: drops the claims of one client (every claim for null).
  void releaseClaims(Client client) {
    for (unsigned i = 0; i < 2; i++)
      if (owner[i] != nullptr && (client == nullptr || owner[i] == client)) {
        owner[i] = nullptr;
        claimed &= ~(1u << i);
      }
    if (client == nullptr)
      claimed = 0;
  }

  // Lock held: forgets a client's transfers (null: everybody's).
  void dropTransfers(Client client) {
    for (std::deque<Urb *> *q : {&pendingIn, &done})
      for (auto it = q->begin(); it != q->end();) {
        if (client == nullptr || (*it)->client == client) {
          delete *it;
          it = q->erase(it);
        } else {
          ++it;
        }
      }
    for (Work &w : work)
      if (w.urb != nullptr && (client == nullptr || w.urb->client == client)) {
        delete w.urb; // the module still gets the bytes
        w.urb = nullptr;
      }
    updateSignal();
  }

  // Lock held: a holder whose file was closed, or whose process ended,
  // holds nothing any more, even before its connection's thread says so.
  void pruneVanished() {
    for (Client c : owner)
      if (c != nullptr && UsbfsServer::hungUp(c)) {
        releaseClaims(c);
        dropTransfers(c);
      }
  }

  void workLoop() {
    std::unique_lock<std::mutex> g(lock);
    while (!stopWork) {
      workCv.wait_for(g, std::chrono::seconds(1), [this] { return stopWork || !work.empty(); });
      if (stopWork || work.empty())
        continue;
      // Stays at the front, where dropTransfers finds it, until it is done
      // (references into a deque survive a push_back).
      std::vector<uint8_t> data = std::move(work.front().data);
      OutHandler handler = outHandler;
      g.unlock();
      if (handler)
        handler(data.data(), data.size());
      g.lock();
      Urb *u = work.front().urb;
      work.pop_front();
      if (u != nullptr)
        finish(u, u->status, u->actual);
    }
  }

  void stopWorker() {
    {
      std::lock_guard<std::mutex> g(lock);
      stopWork = true;
    }
    workCv.notify_all();
    if (worker.joinable())
      worker.join();
  }

  void closed(Client client) override {
    std::lock_guard<std::mutex> g(lock);
    releaseClaims(client);
    dropTransfers(client);
  }

  // Makes the device node a FIFO filled to the brim: not writable, so a poll
  // for POLLOUT waits.
  void makeWakeNode(const std::string &path) {
    if (unlink(path.c_str()) != 0 || mkfifo(path.c_str(), 0666) != 0)
      return;
    wakeFd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (wakeFd < 0)
      return;
    while (write(wakeFd, page.data(), page.size()) > 0) {
    }
  }

  // Lock held: the node is writable exactly while a finished URB waits to be
  // reaped (or the device is gone, so that the host reaps and sees it).
  void updateSignal() {
    if (wakeFd < 0)
      return;
    bool want = !done.empty() || unplugged;
    if (want && !signalled)
      signalled = read(wakeFd, page.data(), page.size()) > 0;
    else if (!want && signalled)
      signalled = write(wakeFd, page.data(), page.size()) <= 0;
  }

  void finish(Urb *u, int status, int actual) {
    u->status = status;
    u->actual = actual;
    done.push_back(u);
    updateSignal();
  }

  // Lock held: hands queued IN data to waiting IN transfers.
  void feedPendingIn() {
    while (!inData.empty() && !pendingIn.empty()) {
      Urb *u = pendingIn.front();
      pendingIn.pop_front();
      size_t n = std::min(u->buffer.size(), inData.size());
      std::copy(inData.begin(), inData.begin() + (std::ptrdiff_t)n, u->buffer.begin());
      inData.erase(inData.begin(), inData.begin() + (std::ptrdiff_t)n);
      finish(u, 0, (int)n);
    }
  }

  void buildDescriptors() {
    const UsbDeviceConfig &c = config;
    uint8_t linkEndpoints = c.hasOutEndpoint ? 2 : 1;
    uint16_t total = 9 + 9 + 7 + 9 + 7 * linkEndpoints;
    descriptors = {18,
                   0x01,
                   0x00,
                   0x02,
                   0,
                   0,
                   0,
                   64,
                   (uint8_t)(c.vendorId & 0xFF),
                   (uint8_t)(c.vendorId >> 8),
                   (uint8_t)(c.productId & 0xFF),
                   (uint8_t)(c.productId >> 8),
                   0x00,
                   0x01,
                   1,
                   2,
                   3,
                   1};
    std::vector<uint8_t> rest = {9, 0x02, (uint8_t)(total & 0xFF), (uint8_t)(total >> 8), 2, 1, 0, 0x80, 50,
                                 // interface 0: another vendor interface (not the link) with an interrupt endpoint
                                 9, 0x04, 0, 0, 1, 0xFF, 0x42, 0x01, 0, 7, 0x05, 0x83, 0x03, 16, 0, 8,
                                 // interface 1: the link
                                 9, 0x04, 1, 0, linkEndpoints, c.interfaceClass, c.interfaceSubClass,
                                 c.interfaceProtocol, 0, 7, 0x05, c.inEndpoint, 0x02, (uint8_t)(c.maxPacket & 0xFF),
                                 (uint8_t)(c.maxPacket >> 8), 0};
    if (c.hasOutEndpoint)
      rest.insert(rest.end(),
                  {7, 0x05, c.outEndpoint, 0x02, (uint8_t)(c.maxPacket & 0xFF), (uint8_t)(c.maxPacket >> 8), 0});
    descriptors.insert(descriptors.end(), rest.begin(), rest.end());
  }

  // Lock held. Control transfers on endpoint 0: descriptors and strings.
  void control(Urb *u) {
    if (u->buffer.size() < 8) {
      finish(u, -EINVAL, 0);
      return;
    }
    uint8_t *buf = u->buffer.data();
    uint8_t requestType = buf[0], request = buf[1];
    uint16_t value = buf[2] | (buf[3] << 8);
    uint16_t length = buf[6] | (buf[7] << 8);
    size_t room = std::min<size_t>(length, u->buffer.size() - 8);
    if (requestType == 0x80 && request == 0x06) { // GET_DESCRIPTOR
      uint8_t type = value >> 8, index = value & 0xFF;
      std::vector<uint8_t> d;
      if (type == 0x01)
        d.assign(descriptors.begin(), descriptors.begin() + 18);
      else if (type == 0x02 && index == 0)
        d.assign(descriptors.begin() + 18, descriptors.end());
      else if (type == 0x03 && index == 0)
        d = {4, 0x03, 0x09, 0x04};
      else if (type == 0x03 && index == 1)
        d = stringDescriptor(config.manufacturer);
      else if (type == 0x03 && index == 2)
        d = stringDescriptor(config.product);
      else if (type == 0x03 && index == 3) {
        d = stringDescriptor(config.serial);
        ++serialReads;
      }
      if (d.empty()) {
        finish(u, -EPIPE, 0); // unknown descriptor: stall, like a real device
        return;
      }
      size_t n = std::min(room, d.size());
      memcpy(buf + 8, d.data(), n);
      finish(u, 0, (int)n);
      return;
    }
    finish(u, (requestType & 0xE0) == 0 ? 0 : -EPIPE, 0); // standard SET_* requests succeed
  }

  // Lock held. Returns true for an OUT transfer the module takes: its bytes
  // are then in `out` for the out handler, its outcome in the URB, and it
  // is not finished yet.
  bool submit(Urb *u, std::vector<uint8_t> &out) {
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
      control(u);
      return false;
    }
    if (u->type != USBDEVFS_URB_TYPE_BULK && u->type != USBDEVFS_URB_TYPE_INTERRUPT) {
      finish(u, -EINVAL, 0);
      return false;
    }
    const uint8_t *data = u->buffer.data();
    if (config.hasOutEndpoint && u->endpoint == config.outEndpoint) {
      if (stalledOut) {
        finish(u, -EPIPE, 0);
        return false;
      }
      size_t length = u->buffer.size();
      if (failOut.count > 0) {
        failOut.count--;
        size_t moved = std::min<size_t>(failOut.partial, length);
        if (moved > 0) {
          outSizes.push_back(moved);
          outData.insert(outData.end(), data, data + moved);
          out.assign(data, data + moved);
        }
        u->status = failOut.status;
        u->actual = (int)moved;
        if (moved == 0)
          finish(u, u->status, 0);
        return moved > 0;
      }
      outSizes.push_back(length);
      if (length > 0) {
        outData.insert(outData.end(), data, data + length);
        out.assign(data, data + length);
      } else {
        out.clear();
      }
      u->status = 0;
      u->actual = (int)length;
      return true;
    }
    if (u->endpoint == config.inEndpoint) {
      if (stalledIn) {
        finish(u, -EPIPE, 0);
      } else if (failIn.count > 0) {
        failIn.count--;
        finish(u, failIn.status, 0);
      } else {
        pendingIn.push_back(u);
        feedPendingIn();
      }
      return false;
    }
    finish(u, -ENOENT, 0);
    return false;
  }

  template <typename T> static bool take(const std::vector<uint8_t> &payload, T &value) {
    if (payload.size() < sizeof value)
      return false;
    memcpy(&value, payload.data(), sizeof value);
    return true;
  }

  static Reply failed(int error) {
    Reply r;
    r.result = -1;
    r.error = error;
    return r;
  }

  Reply claimOrRelease(Client client, uint32_t request, uint32_t interface) {
    uint32_t bit = 1u << (interface & 31);
    pruneVanished();
    if (interface > 1)
      return failed(ENOENT);
    if (request == USBDEVFS_RELEASEINTERFACE) {
      if (!(claimed & bit) || (owner[interface] != nullptr && owner[interface] != client))
        return failed(EINVAL);
      claimed &= ~bit;
      owner[interface] = nullptr;
      return {};
    }
    if ((claimed & bit) && owner[interface] != client)
      return failed(EBUSY);
    claimed |= bit; // the same file claiming again is no error
    owner[interface] = client;
    return {};
  }

  Reply submitUrb(Client client, const std::vector<uint8_t> &payload) {
    qwusbfs_urb head;
    if (!take(payload, head) || head.buffer_length < 0 || (uint32_t)head.buffer_length > QWUSBFS_MAX_PAYLOAD)
      return failed(EINVAL);
    Urb *u = new Urb;
    u->client = client;
    u->id = head.id;
    u->type = head.type;
    u->endpoint = head.endpoint;
    u->buffer.assign((size_t)head.buffer_length, 0);
    size_t sent = std::min(payload.size() - sizeof head, u->buffer.size());
    memcpy(u->buffer.data(), payload.data() + sizeof head, sent);
    std::vector<uint8_t> out;
    if (!submit(u, out)) // finished, failed or waiting for IN data
      return {};
    if (outHandler) {
      work.push_back({u, std::move(out)});
      workCv.notify_one();
    } else {
      finish(u, u->status, u->actual); // nobody to take the bytes: they are gone
    }
    return {};
  }

  Reply reapUrb(Client client) {
    Urb *found = nullptr;
    for (auto it = done.begin(); it != done.end(); ++it)
      if ((*it)->client == client) {
        found = *it;
        done.erase(it);
        break;
      }
    updateSignal();
    if (found == nullptr)
      return failed(unplugged ? ENODEV : EAGAIN);
    qwusbfs_urb head{found->id,     found->type,  found->endpoint, 0, (int32_t)found->buffer.size(),
                     found->status, found->actual};
    Reply r;
    size_t back = !found->in() ? 0
                  : found->type == USBDEVFS_URB_TYPE_CONTROL
                      ? found->buffer.size() // the setup packet, then what the device sent
                      : std::min(found->buffer.size(), (size_t)std::max(found->actual, 0));
    r.data.resize(sizeof head + back);
    memcpy(r.data.data(), &head, sizeof head);
    memcpy(r.data.data() + sizeof head, found->buffer.data(), back);
    delete found;
    return r;
  }

  Reply discardUrb(const std::vector<uint8_t> &payload) {
    uint64_t id = 0;
    if (!take(payload, id))
      return failed(EINVAL);
    for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it)
      if ((*it)->id == id) {
        Urb *u = *it;
        pendingIn.erase(it);
        finish(u, -ENOENT, 0); // reaped later as cancelled
        return {};
      }
    return failed(EINVAL);
  }

  Reply request(Client client, uint32_t request, const std::vector<uint8_t> &payload) override {
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
      std::unique_lock<std::mutex> g(lock);
      Reply r = reapUrb(client);
      if (r.error == EAGAIN && wakeFd < 0) {
        // The node is a plain file, so libusb's poll never waits: answering
        // "nothing yet" after 1 ms keeps its event loop from spinning.
        g.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return r;
    }
    std::lock_guard<std::mutex> g(lock);
    if (unplugged && request != USBDEVFS_DISCARDURB)
      return failed(ENODEV);
    uint32_t value = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      Reply r;
      uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                      USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      r.data.resize(sizeof caps);
      memcpy(r.data.data(), &caps, sizeof caps);
      return r;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
      if (!take(payload, value))
        return failed(EFAULT);
      return claimOrRelease(client, request, value);
    case USBDEVFS_GETDRIVER: // no kernel driver is bound
    case USBDEVFS_IOCTL: return failed(ENODATA);
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET: return {};
    case USBDEVFS_CLEAR_HALT:
      take(payload, value);
      if (value == config.inEndpoint) {
        stalledIn = false;
        clearHaltIn++;
      } else if (config.hasOutEndpoint && value == config.outEndpoint) {
        stalledOut = false;
        clearHaltOut++;
      } else {
        return failed(ENOENT);
      }
      return {};
    case USBDEVFS_SUBMITURB: return submitUrb(client, payload);
    case USBDEVFS_DISCARDURB: return discardUrb(payload);
    default: return failed(ENOTTY);
    }
  }
};

UsbDevice::UsbDevice(UsbTestbed &testbed, const UsbDeviceConfig &config, uint8_t bus, uint8_t address)
    : config_(config), bus_(bus), address_(address), impl_(new Impl) {
  Impl &d = *impl_;
  d.testbed = UMOCKDEV_TESTBED(g_object_ref(testbed.raw()));
  d.config = config;
  d.buildDescriptors();
  unsigned minor = (bus - 1u) * 128u + (address - 1u);
  char path[128];
  snprintf(path, sizeof path, "/sys/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", bus, bus, address);
  d.syspath = path;
  snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus, address);
  d.devnode = path;
  d.bus = bus;
  d.address = address;
  d.root = testbed.rootDir();

  char *record =
      g_strdup_printf("P: %s\n"
                      "N: bus/usb/%03u/%03u\n"
                      "E: DEVNAME=/dev/bus/usb/%03u/%03u\n"
                      "E: DEVTYPE=usb_device\n"
                      "E: DRIVER=usb\n"
                      "E: PRODUCT=%x/%x/100\n"
                      "E: TYPE=0/0/0\n"
                      "E: BUSNUM=%03u\n"
                      "E: DEVNUM=%03u\n"
                      "E: MAJOR=189\n"
                      "E: MINOR=%u\n"
                      "E: SUBSYSTEM=usb\n"
                      "A: idVendor=%04x\\n\n"
                      "A: idProduct=%04x\\n\n"
                      "A: bcdDevice=0100\\n\n"
                      "A: busnum=%u\\n\n"
                      "A: devnum=%u\\n\n"
                      "A: speed=480\\n\n"
                      "A: bConfigurationValue=1\\n\n"
                      "A: bNumConfigurations=1\\n\n"
                      "A: bNumInterfaces= 2\\n\n"
                      "A: manufacturer=%s\\n\n"
                      "A: product=%s\\n\n"
                      "A: serial=%s\\n\n"
                      "A: dev=189:%u\\n\n"
                      "H: descriptors=%s\n",
                      d.syspath.c_str() + strlen("/sys"), bus, address, bus, address, config.vendorId, config.productId,
                      bus, address, minor, config.vendorId, config.productId, bus, address, config.manufacturer.c_str(),
                      config.product.c_str(), config.serial.c_str(), minor, hex(d.descriptors).c_str());
  // The channel must be open before the device becomes visible.
  std::string channels = d.root + "/" QWUSBFS_CHANNEL_DIR;
  g_mkdir_with_parents(channels.c_str(), 0755);
  snprintf(path, sizeof path, "/%03u-%03u", bus, address);
  d.worker = std::thread([&d] { d.workLoop(); });
  d.server = std::make_unique<UsbfsServer>(channels + path, d);
  GError *error = nullptr;
  if (!umockdev_testbed_add_from_string(d.testbed, record, &error))
    warn(error, "add_from_string");
  g_free(record);
  d.makeWakeNode(testbed.rootDir() + d.devnode);
}

UsbDevice::~UsbDevice() {
  unplug();
  impl_->server.reset();
  impl_->stopWorker();
  g_object_unref(impl_->testbed);
}

void UsbDevice::setOutHandler(OutHandler handler) {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->outHandler = std::move(handler);
}

void UsbDevice::attachPeer(ModulePeer &peer) {
  peer.setSink([this](const uint8_t *data, size_t length) { queueIn(data, length); });
  setOutHandler([&peer](const uint8_t *data, size_t length) { peer.receive(data, length); });
}

void UsbDevice::queueIn(const uint8_t *data, size_t length) {
  std::lock_guard<std::mutex> g(impl_->lock);
  if (impl_->unplugged)
    return;
  impl_->inData.insert(impl_->inData.end(), data, data + length);
  impl_->feedPendingIn();
}

void UsbDevice::stall(uint8_t endpoint) {
  std::lock_guard<std::mutex> g(impl_->lock);
  if (endpoint == config_.inEndpoint) {
    impl_->stalledIn = true;
    while (!impl_->pendingIn.empty()) {
      impl_->finish(impl_->pendingIn.front(), -EPIPE, 0);
      impl_->pendingIn.pop_front();
    }
  } else if (endpoint == config_.outEndpoint) {
    impl_->stalledOut = true;
  }
}

void UsbDevice::failTransfers(uint8_t endpoint, int status, unsigned count, unsigned partial) {
  std::lock_guard<std::mutex> g(impl_->lock);
  Failure f{status, count, partial};
  if (endpoint == config_.inEndpoint) {
    impl_->failIn = f;
    // An IN transfer already waiting is the first to fail.
    while (impl_->failIn.count > 0 && !impl_->pendingIn.empty()) {
      impl_->failIn.count--;
      impl_->finish(impl_->pendingIn.front(), status, 0);
      impl_->pendingIn.pop_front();
    }
  } else {
    impl_->failOut = f;
  }
}

void UsbDevice::unplug() {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (impl_->unplugged)
      return;
    impl_->unplugged = true;
    while (!impl_->pendingIn.empty()) {
      impl_->finish(impl_->pendingIn.front(), -ESHUTDOWN, 0);
      impl_->pendingIn.pop_front();
    }
    impl_->updateSignal();
  }
  // umockdev builds the uevent from sysfs, so it goes out before removal.
  umockdev_testbed_uevent(impl_->testbed, impl_->syspath.c_str(), "remove");
  umockdev_testbed_remove_device(impl_->testbed, impl_->syspath.c_str());
  impl_->server->stopListening(); // open files go on, and get ENODEV
}

void UsbDevice::hostProcessEnded() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->releaseClaims(nullptr);
  impl_->dropTransfers(nullptr); // nothing left to reap
}

bool UsbDevice::unplugged() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->unplugged;
}

bool UsbDevice::claimed(unsigned interfaceNumber) const {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->pruneVanished();
  return (impl_->claimed >> (interfaceNumber & 31)) & 1;
}

unsigned UsbDevice::serialReads() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->serialReads;
}

unsigned UsbDevice::clearHaltCount(uint8_t endpoint) const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return endpoint == config_.inEndpoint    ? impl_->clearHaltIn
         : endpoint == config_.outEndpoint ? impl_->clearHaltOut
                                           : 0;
}

std::vector<size_t> UsbDevice::outTransferSizes() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->outSizes;
}

std::vector<uint8_t> UsbDevice::outBytes() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->outData;
}

// ---------------------------------------------------------------- kernel node

struct KernelNode::Impl {
  UMockdevTestbed *testbed = nullptr;
  UMockdevIoctlBase *handler = nullptr;
  std::string devnode, file;
  mutable std::mutex lock;
  std::deque<uint8_t> inData;
  std::vector<uint8_t> written;
  size_t writeCalls = 0, readCalls = 0;
  ModulePeer *peer = nullptr;

  static gboolean onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    Impl &n = *static_cast<Impl *>(self);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    long got = 0;
    {
      std::lock_guard<std::mutex> g(n.lock);
      n.readCalls++;
      while (got < arg->data_len && !n.inData.empty()) {
        arg->data[got++] = n.inData.front();
        n.inData.pop_front();
      }
    }
    umockdev_ioctl_client_complete(client, got, 0);
    return TRUE;
  }

  static gboolean onWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    Impl &n = *static_cast<Impl *>(self);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    ModulePeer *peer;
    {
      std::lock_guard<std::mutex> g(n.lock);
      n.writeCalls++;
      n.written.insert(n.written.end(), arg->data, arg->data + arg->data_len);
      peer = n.peer;
    }
    std::vector<uint8_t> copy(arg->data, arg->data + arg->data_len);
    umockdev_ioctl_client_complete(client, arg->data_len, 0);
    if (peer != nullptr)
      peer->receive(copy.data(), copy.size());
    return TRUE;
  }
};

KernelNode::KernelNode(UsbTestbed &testbed, const std::string &name) : impl_(new Impl) {
  Impl &n = *impl_;
  n.testbed = UMOCKDEV_TESTBED(g_object_ref(testbed.raw()));
  n.devnode = "/dev/" + name;
  n.file = testbed.rootDir() + n.devnode;
  g_mkdir_with_parents((testbed.rootDir() + "/dev").c_str(), 0755);
  int fd = open(n.file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0)
    close(fd);
  n.handler = umockdev_ioctl_base_new();
  g_signal_connect(n.handler, "handle-read", G_CALLBACK(Impl::onRead), &n);
  g_signal_connect(n.handler, "handle-write", G_CALLBACK(Impl::onWrite), &n);
  GError *error = nullptr;
  if (!umockdev_testbed_attach_ioctl(n.testbed, n.devnode.c_str(), n.handler, &error))
    warn(error, "attach_ioctl");
}

KernelNode::~KernelNode() {
  GError *error = nullptr;
  if (!umockdev_testbed_detach_ioctl(impl_->testbed, impl_->devnode.c_str(), &error))
    warn(error, "detach_ioctl");
  unlink(impl_->file.c_str());
  g_signal_handlers_disconnect_by_data(impl_->handler, impl_.get());
  g_object_unref(impl_->handler);
  g_object_unref(impl_->testbed);
}

void KernelNode::attachPeer(ModulePeer &peer) {
  peer.setSink([this](const uint8_t *data, size_t length) { queueIn(std::vector<uint8_t>(data, data + length)); });
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->peer = &peer;
}

void KernelNode::queueIn(const std::vector<uint8_t> &data) {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->inData.insert(impl_->inData.end(), data.begin(), data.end());
}

std::vector<uint8_t> KernelNode::written() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->written;
}

size_t KernelNode::writeCalls() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->writeCalls;
}

size_t KernelNode::readCalls() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->readCalls;
}

// ---------------------------------------------------------------- testbed

UsbTestbed::UsbTestbed() { testbed_ = umockdev_testbed_new(); }

UsbTestbed::~UsbTestbed() {
  nodes_.clear();
  devices_.clear();
  if (testbed_ != nullptr)
    g_object_unref(testbed_);
}

bool UsbTestbed::preloaded() {
  const char *preload = getenv("LD_PRELOAD");
  return preload != nullptr && strstr(preload, "libumockdev-preload.so") != nullptr &&
         strstr(preload, QWUSBEMU_HOST_PRELOAD) != nullptr;
}

void UsbTestbed::reexecUnderPreload(char **argv) {
  const char *preload = getenv("LD_PRELOAD");
  // Ours first: it names each process's hot-plug socket and carries its
  // usbfs ioctls (see host_preload.c).
  std::string value = std::string(QWUSBEMU_HOST_PRELOAD);
  if (preload == nullptr || strstr(preload, "libumockdev-preload.so") == nullptr)
    value += ":libumockdev-preload.so.0";
  if (preload != nullptr && *preload != '\0')
    value += std::string(":") + preload;
  setenv("LD_PRELOAD", value.c_str(), 1);
  // AddressSanitizer insists on coming first among the preloaded libraries.
  const char *asan = getenv("ASAN_OPTIONS");
  std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
  setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
  execv("/proc/self/exe", argv);
  perror("re-executing under libumockdev-preload.so.0");
}

bool UsbTestbed::ok() const { return testbed_ != nullptr && preloaded() && umockdev_in_mock_environment(); }

std::string UsbTestbed::rootDir() const {
  char *root = umockdev_testbed_get_root_dir(testbed_);
  std::string r = root != nullptr ? root : "";
  g_free(root);
  return r;
}

UsbDevice &UsbTestbed::plug(const UsbDeviceConfig &config) {
  std::lock_guard<std::mutex> g(lock_);
  uint8_t address = nextAddress_;
  nextAddress_ = nextAddress_ >= 127 ? 2 : nextAddress_ + 1; // a re-plugged device gets a new address
  devices_.emplace_back(new UsbDevice(*this, config, 1, address));
  return *devices_.back();
}

KernelNode &UsbTestbed::addKernelNode(const std::string &name) {
  std::lock_guard<std::mutex> g(lock_);
  nodes_.emplace_back(new KernelNode(*this, name));
  return *nodes_.back();
}

} // namespace qwemu
