// usbdevfs emulation for umockdev: the ioctls that libusb's Linux back end
// issues on /dev/bus/usb/BBB/DDD are answered here, on umockdev's worker
// thread. Bulk IN transfers stay pending until the device has data (or libusb
// discards them at their time-out), so libusb's own waiting is exercised.
//
// Completion is an event, as on a real bus: the device node is a FIFO that
// this side keeps full while no URB is waiting to be reaped. libusb polls the
// node for POLLOUT, so its event loop sleeps in poll() (honouring its own
// time-outs) until a transfer finishes, when one page is taken out of the
// FIFO; it is put back once every finished URB has been reaped.
#include "usb_module.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

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

// One submitted URB, with local copies of the client's struct and buffer.
struct Urb {
  UMockdevIoctlData *urbData = nullptr;
  UMockdevIoctlData *bufData = nullptr;
  UMockdevIoctlClient *client = nullptr;
  ~Urb() {
    g_clear_object(&urbData);
    g_clear_object(&bufData);
    g_clear_object(&client);
  }
  usbdevfs_urb *urb() { return reinterpret_cast<usbdevfs_urb *>(urbData->data); }
};

struct Failure {
  int status = 0;
  unsigned count = 0;
  unsigned partial = 0;
};

gboolean completeEagain(gpointer client) {
  umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient *>(client), -1, EAGAIN);
  return G_SOURCE_REMOVE;
}

} // namespace

struct UsbDevice::Impl {
  UMockdevTestbed *testbed = nullptr;
  UMockdevIoctlBase *handler = nullptr;
  UsbDeviceConfig config;
  std::string syspath, devnode;
  std::string root; // the testbed's directory
  unsigned bus = 0, address = 0;
  std::vector<uint8_t> descriptors; // device descriptor, then the configuration

  mutable std::mutex lock; // guards everything below
  OutHandler outHandler;
  bool unplugged = false;
  uint32_t claimed = 0;
  // Who holds each claimed interface: one open file of the node (umockdev's
  // client, one per descriptor in some process). As in the kernel, a claim
  // belongs to the file that made it and goes when that file is closed,
  // also by the end of the process, whatever process that is.
  UMockdevIoctlClient *owner[2] = {nullptr, nullptr};
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

  ~Impl() {
    releaseClaims(nullptr);
    for (Urb *u : pendingIn)
      delete u;
    for (Urb *u : done)
      delete u;
    if (wakeFd >= 0)
      close(wakeFd);
  }

  // Lock held: drops the claims of one client (every claim for null).
  void releaseClaims(UMockdevIoctlClient *client) {
    for (unsigned i = 0; i < 2; i++) {
      if (owner[i] == nullptr || (client != nullptr && owner[i] != client))
        continue;
      g_clear_object(&owner[i]);
      claimed &= ~(1u << i);
    }
    if (client == nullptr)
      claimed = 0;
  }

  // Lock held: forgets a client's transfers (null: everybody's).
  void dropTransfers(UMockdevIoctlClient *client) {
    for (std::deque<Urb *> *q : {&pendingIn, &done})
      for (auto it = q->begin(); it != q->end();) {
        if (client == nullptr || (*it)->client == client) {
          delete *it;
          it = q->erase(it);
        } else {
          ++it;
        }
      }
    updateSignal();
  }

  // Lock held: a holder whose descriptor was closed, or whose process ended
  // (umockdev does not always say so at once), holds nothing any more.
  void pruneVanished() {
    for (UMockdevIoctlClient *c : owner)
      if (c != nullptr && !umockdev_ioctl_client_get_connected(c)) {
        g_object_ref(c);
        releaseClaims(c);
        dropTransfers(c);
        g_object_unref(c);
      }
  }

  // Lock held: true when the process that claimed the interface (it notes
  // itself in the testbed's "claims" directory, see host_preload.c) has
  // ended or no longer has the node open. Without a note: false.
  bool holderGone(unsigned interface) const {
    char path[64];
    snprintf(path, sizeof path, "/claims/%03u-%03u-%u", bus, address, interface);
    FILE *f = fopen((root + path).c_str(), "r");
    int pid = 0;
    if (f == nullptr)
      return false;
    bool read = fscanf(f, "%d", &pid) == 1 && pid > 0;
    fclose(f);
    if (!read)
      return false;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr)
      return errno == ENOENT; // no such process (any more)
    std::string node = root + devnode;
    bool open = false;
    while (dirent *e = readdir(dir)) {
      char target[512];
      ssize_t n = readlinkat(dirfd(dir), e->d_name, target, sizeof target - 1);
      if (n > 0 && std::string(target, (size_t)n) == node)
        open = true;
    }
    closedir(dir);
    return !open;
  }

  // The client's descriptor was closed, or its process ended.
  static void onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    Impl *impl = static_cast<Impl *>(self);
    std::lock_guard<std::mutex> g(impl->lock);
    impl->releaseClaims(client);
    impl->dropTransfers(client);
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
    u->urb()->status = status;
    u->urb()->actual_length = actual;
    done.push_back(u);
    updateSignal();
  }

  // Lock held: hands queued IN data to waiting IN transfers.
  void feedPendingIn() {
    while (!inData.empty() && !pendingIn.empty()) {
      Urb *u = pendingIn.front();
      pendingIn.pop_front();
      size_t n = std::min((size_t)u->urb()->buffer_length, inData.size());
      for (size_t i = 0; i < n; i++) {
        u->bufData->data[i] = inData.front();
        inData.pop_front();
      }
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
    usbdevfs_urb *urb = u->urb();
    if (u->bufData == nullptr || urb->buffer_length < 8) {
      finish(u, -EINVAL, 0);
      return;
    }
    uint8_t *buf = u->bufData->data;
    uint8_t requestType = buf[0], request = buf[1];
    uint16_t value = buf[2] | (buf[3] << 8);
    uint16_t length = buf[6] | (buf[7] << 8);
    size_t room = std::min<size_t>(length, (size_t)urb->buffer_length - 8);
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

  // Lock held. Returns true when an OUT transfer completed; its bytes are
  // then in `out` for the out handler.
  bool submit(Urb *u, std::vector<uint8_t> &out) {
    usbdevfs_urb *urb = u->urb();
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
      control(u);
      return false;
    }
    if (urb->type != USBDEVFS_URB_TYPE_BULK && urb->type != USBDEVFS_URB_TYPE_INTERRUPT) {
      finish(u, -EINVAL, 0);
      return false;
    }
    if (config.hasOutEndpoint && urb->endpoint == config.outEndpoint) {
      if (stalledOut) {
        finish(u, -EPIPE, 0);
        return false;
      }
      size_t length = (size_t)urb->buffer_length;
      if (failOut.count > 0) {
        failOut.count--;
        size_t moved = std::min<size_t>(failOut.partial, length);
        if (moved > 0) {
          outSizes.push_back(moved);
          outData.insert(outData.end(), u->bufData->data, u->bufData->data + moved);
          out.assign(u->bufData->data, u->bufData->data + moved);
        }
        finish(u, failOut.status, (int)moved);
        return moved > 0;
      }
      outSizes.push_back(length);
      if (length > 0) {
        outData.insert(outData.end(), u->bufData->data, u->bufData->data + length);
        out.assign(u->bufData->data, u->bufData->data + length);
      } else {
        out.clear();
      }
      finish(u, 0, (int)length);
      return true;
    }
    if (urb->endpoint == config.inEndpoint) {
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

  static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    return static_cast<Impl *>(self)->ioctl(client);
  }

  gboolean ioctl(UMockdevIoctlClient *client) {
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *error = nullptr;
    long ret = 0;
    int err = 0;
    bool outDone = false;
    std::vector<uint8_t> out;
    OutHandler handler;

    std::unique_lock<std::mutex> g(lock);
    if (unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_DISCARDURB) {
      g.unlock();
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
      if (v != nullptr) {
        *reinterpret_cast<uint32_t *>(v->data) = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                 USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        g_object_unref(v);
      }
      break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
      gsize size = request == USBDEVFS_DISCONNECT_CLAIM ? sizeof(usbdevfs_disconnect_claim) : sizeof(unsigned int);
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, size, &error);
      if (v == nullptr) {
        ret = -1;
        err = EFAULT;
        break;
      }
      unsigned interface =
          request == USBDEVFS_DISCONNECT_CLAIM ? reinterpret_cast<usbdevfs_disconnect_claim *>(v->data)->interface : *reinterpret_cast<unsigned int *>(v->data);
      g_object_unref(v);
      uint32_t bit = 1u << (interface & 31);
      pruneVanished();
      if (interface > 1) {
        ret = -1;
        err = ENOENT;
      } else if (request == USBDEVFS_RELEASEINTERFACE) {
        if (!(claimed & bit) || (owner[interface] != nullptr && owner[interface] != client)) {
          ret = -1;
          err = EINVAL;
        } else {
          claimed &= ~bit;
          g_clear_object(&owner[interface]);
        }
      } else if ((claimed & bit) && owner[interface] != client && holderGone(interface)) {
        UMockdevIoctlClient *gone = UMOCKDEV_IOCTL_CLIENT(g_object_ref(owner[interface]));
        releaseClaims(gone);
        dropTransfers(gone);
        g_object_unref(gone);
        claimed |= bit;
        owner[interface] = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
      } else if (claimed & bit) {
        if (owner[interface] != client) { // the same file claiming again is no error
          ret = -1;
          err = EBUSY;
        }
      } else {
        claimed |= bit;
        owner[interface] = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
      }
      break;
    }
    case USBDEVFS_GETDRIVER: // no kernel driver is bound
    case USBDEVFS_IOCTL:
      ret = -1;
      err = ENODATA;
      break;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET: break;
    case USBDEVFS_CLEAR_HALT: {
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), &error);
      unsigned endpoint = v != nullptr ? *reinterpret_cast<unsigned int *>(v->data) : 0;
      if (v != nullptr)
        g_object_unref(v);
      if (endpoint == config.inEndpoint) {
        stalledIn = false;
        clearHaltIn++;
      } else if (config.hasOutEndpoint && endpoint == config.outEndpoint) {
        stalledOut = false;
        clearHaltOut++;
      } else {
        ret = -1;
        err = ENOENT;
      }
      break;
    }
    case USBDEVFS_SUBMITURB: {
      Urb *u = new Urb;
      u->client = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
      u->urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
      if (u->urbData == nullptr) {
        delete u;
        ret = -1;
        err = EFAULT;
        break;
      }
      if (u->urb()->buffer_length > 0)
        u->bufData = umockdev_ioctl_data_resolve(u->urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                 (gsize)u->urb()->buffer_length, &error);
      outDone = submit(u, out);
      handler = outHandler;
      break;
    }
    case USBDEVFS_DISCARDURB: {
      gulong address = *reinterpret_cast<gulong *>(arg->data); // the client's URB pointer
      ret = -1;
      err = EINVAL;
      for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it) {
        if ((*it)->urbData->client_addr == address) {
          Urb *u = *it;
          pendingIn.erase(it);
          finish(u, -ENOENT, 0); // reaped later as cancelled
          ret = 0;
          err = 0;
          break;
        }
      }
      break;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      Urb *found = nullptr;
      for (auto it = done.begin(); it != done.end(); ++it) {
        if ((*it)->client == client) {
          found = *it;
          done.erase(it);
          break;
        }
      }
      updateSignal();
      if (found == nullptr && !unplugged && wakeFd >= 0) {
        ret = -1; // nothing finished: libusb goes back to its poll
        err = EAGAIN;
        break;
      }
      if (found == nullptr && !unplugged) {
        // The node is a plain file, so libusb's poll never waits: answering
        // "nothing yet" after 1 ms keeps its event loop from spinning.
        g.unlock();
        GSource *t = g_timeout_source_new(1);
        g_source_set_callback(t, completeEagain, g_object_ref(client), g_object_unref);
        g_source_attach(t, g_main_context_get_thread_default());
        g_source_unref(t);
        return TRUE;
      }
      if (found == nullptr) {
        ret = -1;
        err = ENODEV;
        break;
      }
      UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), &error);
      if (v != nullptr) {
        // Points the client's pointer at its URB again and copies the URB
        // and its buffer back into the client's memory.
        umockdev_ioctl_data_set_ptr(v, 0, found->urbData);
        g_object_unref(v);
      }
      delete found;
      break;
    }
    default: ret = -1; err = ENOTTY;
    }
    g.unlock();
    warn(error, "ioctl");
    umockdev_ioctl_client_complete(client, ret, err);
    if (outDone && handler)
      handler(out.data(), out.size());
    return TRUE;
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
  for (unsigned i = 0; i < 2; i++) { // a note an earlier device at this address left
    snprintf(path, sizeof path, "/claims/%03u-%03u-%u", bus, address, i);
    unlink((d.root + path).c_str());
  }

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
  // The handler must be in place before the device becomes visible.
  d.handler = umockdev_ioctl_base_new();
  g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(Impl::onIoctl), &d);
  g_signal_connect(d.handler, "client-vanished", G_CALLBACK(Impl::onVanished), &d);
  GError *error = nullptr;
  if (!umockdev_testbed_attach_ioctl(d.testbed, d.devnode.c_str(), d.handler, &error))
    warn(error, "attach_ioctl");
  error = nullptr;
  if (!umockdev_testbed_add_from_string(d.testbed, record, &error))
    warn(error, "add_from_string");
  g_free(record);
  d.makeWakeNode(testbed.rootDir() + d.devnode);
}

UsbDevice::~UsbDevice() {
  unplug();
  g_signal_handlers_disconnect_by_data(impl_->handler, impl_.get());
  g_object_unref(impl_->handler);
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
  GError *error = nullptr;
  if (!umockdev_testbed_detach_ioctl(impl_->testbed, impl_->devnode.c_str(), &error))
    warn(error, "detach_ioctl");
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
  return preload != nullptr && strstr(preload, "libumockdev-preload.so") != nullptr;
}

void UsbTestbed::reexecUnderPreload(char **argv) {
  const char *preload = getenv("LD_PRELOAD");
  // Ours first: it names each process's hot-plug socket (see host_preload.c).
  std::string value = std::string(QWUSBEMU_HOST_PRELOAD) + ":libumockdev-preload.so.0";
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
