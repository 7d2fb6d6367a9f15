/* Hot-plug events and usbfs ioctls for every host process on the emulated bus.
 *
 * Preloaded before libumockdev-preload.so.0 in every process that runs on
 * the testbed (UsbTestbed::reexecUnderPreload puts it there; children inherit
 * it). umockdev turns a process's uevent netlink socket into a Unix datagram
 * socket named after its descriptor number, "$UMOCKDEV_DIR/event<fd>", and
 * the testbed sends every uevent to each "event<digits>..." socket there. Two
 * processes whose sockets have the same number would share one name: one of
 * them binds, the other hears nothing. Here each such socket gets a name of
 * its own, "event<pid>-<fd>", removed again when the descriptor is closed
 * (names a killed process left behind are cleared at the next bind).
 *
 * It also carries the process's usbfs ioctls on emulated USB device nodes to
 * their devices, one exchange each, and the connection of an open file ends
 * with the file or its process (see usbfs_channel.h).
 *
 * Built without sanitizers: uninstrumented programs (a shell between the
 * simulator and the program under test) load it too. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "usbfs_channel.h"

#define MAX_TRACKED 16

static pthread_mutex_t sLock = PTHREAD_MUTEX_INITIALIZER;
static struct {
  int fd;
  char path[sizeof(((struct sockaddr_un *)0)->sun_path)];
} sTracked[MAX_TRACKED];
static int sTrackedCount;

/* The C library's own function, past umockdev's wrapper. */
static void *sLibc(const char *name) {
  static void *libc;
  if (libc == NULL)
    libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  return libc != NULL ? dlsym(libc, name) : NULL;
}

/* A socket umockdev made in place of a uevent netlink socket: the caller
 * binds a netlink address to what is really a Unix socket. */
static int sIsEmulatedUevent(int fd, const struct sockaddr *addr) {
  int domain = 0;
  socklen_t length = sizeof domain;
  if (addr == NULL || addr->sa_family != AF_NETLINK || getenv("UMOCKDEV_DIR") == NULL)
    return 0;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_UNIX;
}

/* The next close(): umockdev's, then the C library's. */
static int close_fn_next(int fd) {
  typedef int (*close_fn)(int);
  static close_fn next;
  if (next == NULL)
    next = (close_fn)dlsym(RTLD_NEXT, "close");
  return next(fd);
}

static void sForget(int fd);

/* Removes the event sockets of processes that have ended. */
static void sClearStale(const char *root) {
  DIR *dir = opendir(root);
  struct dirent *e;
  if (dir == NULL)
    return;
  while ((e = readdir(dir)) != NULL) {
    int pid = 0, fd = 0;
    char path[sizeof(((struct sockaddr_un *)0)->sun_path)];
    if (sscanf(e->d_name, "event%d-%d", &pid, &fd) != 2 || pid <= 0 || pid == getpid())
      continue;
    if (kill(pid, 0) != 0 && errno == ESRCH && snprintf(path, sizeof path, "%s/%s", root, e->d_name) < (int)sizeof path)
      unlink(path);
  }
  closedir(dir);
}

int bind(int fd, const struct sockaddr *addr, socklen_t length) {
  typedef int (*bind_fn)(int, const struct sockaddr *, socklen_t);
  static bind_fn next;
  if (next == NULL)
    next = (bind_fn)dlsym(RTLD_NEXT, "bind");
  if (!sIsEmulatedUevent(fd, addr))
    return next(fd, addr, length);
  bind_fn libcBind = (bind_fn)sLibc("bind");
  const char *root = getenv("UMOCKDEV_DIR");
  struct sockaddr_un own;
  memset(&own, 0, sizeof own);
  own.sun_family = AF_UNIX;
  if (libcBind == NULL ||
      snprintf(own.sun_path, sizeof own.sun_path, "%s/event%d-%d", root, (int)getpid(), fd) >= (int)sizeof own.sun_path)
    return next(fd, addr, length);
  sClearStale(root);
  unlink(own.sun_path); /* a name this process's number had in an earlier life */
  int result = libcBind(fd, (const struct sockaddr *)&own, sizeof own);
  if (result == 0) {
    pthread_mutex_lock(&sLock);
    if (sTrackedCount < MAX_TRACKED) {
      sTracked[sTrackedCount].fd = fd;
      memcpy(sTracked[sTrackedCount].path, own.sun_path, sizeof own.sun_path);
      __atomic_store_n(&sTrackedCount, sTrackedCount + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&sLock);
  }
  return result;
}

int close(int fd) {
  sForget(fd);
  if (__atomic_load_n(&sTrackedCount, __ATOMIC_ACQUIRE) > 0) {
    pthread_mutex_lock(&sLock);
    for (int i = 0; i < sTrackedCount; i++) {
      if (sTracked[i].fd != fd)
        continue;
      unlink(sTracked[i].path);
      sTracked[i] = sTracked[sTrackedCount - 1];
      __atomic_store_n(&sTrackedCount, sTrackedCount - 1, __ATOMIC_RELEASE);
      break;
    }
    pthread_mutex_unlock(&sLock);
  }
  return close_fn_next(fd);
}

/* usbfs ioctls (usbfs_channel.h): each open file of an emulated USB device
 * node gets its own connection to the device, made at its first usbfs ioctl
 * and closed with the file. */
#define MAX_CHANNELS 256

struct channel {
  int fd;   /* the file's descriptor, -1: a free entry */
  int sock; /* the connection; -1: the device is gone, -2: not an emulated USB node */
  int fifo; /* the node is the device's FIFO (see sNothingToReap) */
  pthread_mutex_t lock;
};
static struct channel sChannels[MAX_CHANNELS];
static int sChannelsUsed; /* entries [0, sChannelsUsed) have been set up */

static int sReadAll(int sock, void *data, size_t length) {
  char *p = data;
  while (length > 0) {
    ssize_t n = recv(sock, p, length, 0); /* not read(): umockdev wraps it */
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return -1;
    p += n;
    length -= (size_t)n;
  }
  return 0;
}

static int sWriteAll(int sock, struct iovec *iov, int count) {
  while (count > 0) {
    struct msghdr m;
    memset(&m, 0, sizeof m);
    m.msg_iov = iov;
    m.msg_iovlen = (size_t)count;
    ssize_t n = sendmsg(sock, &m, MSG_NOSIGNAL); /* a device gone is ENODEV, not SIGPIPE */
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return -1;
    while (count > 0 && (size_t)n >= iov->iov_len) {
      n -= (ssize_t)iov->iov_len;
      iov++;
      count--;
    }
    if (count > 0) {
      iov->iov_base = (char *)iov->iov_base + n;
      iov->iov_len -= (size_t)n;
    }
  }
  return 0;
}

/* The device's socket for an emulated USB node, or -1 (and *ours = 0) for a
 * descriptor that is no such node. */
static int sConnect(int fd, int *ours) {
  const char *root = getenv("UMOCKDEV_DIR");
  char link[64], node[512];
  unsigned bus = 0, device = 0;
  *ours = 0;
  if (root == NULL)
    return -1;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, node, sizeof node - 1);
  if (n <= 0)
    return -1;
  node[n] = '\0';
  size_t rootLength = strlen(root);
  if (strncmp(node, root, rootLength) != 0 || sscanf(node + rootLength, "/dev/bus/usb/%u/%u", &bus, &device) != 2)
    return -1;
  *ours = 1;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (snprintf(address.sun_path, sizeof address.sun_path, "%s/" QWUSBFS_CHANNEL_DIR "/%03u-%03u", root, bus, device) >=
      (int)sizeof address.sun_path)
    return -1;
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock >= 0 && connect(sock, (struct sockaddr *)&address, sizeof address) != 0) {
    close_fn_next(sock);
    sock = -1;
  }
  return sock;
}

/* The entry of fd, locked; set up at the first call for fd. NULL when the
 * table is full. */
static struct channel *sChannel(int fd) {
  struct channel *c = NULL, *free = NULL;
  pthread_mutex_lock(&sLock);
  for (int i = 0; i < sChannelsUsed && c == NULL; i++) {
    if (sChannels[i].fd == fd)
      c = &sChannels[i];
    else if (sChannels[i].fd < 0 && free == NULL)
      free = &sChannels[i];
  }
  if (c == NULL && free == NULL && sChannelsUsed < MAX_CHANNELS) {
    free = &sChannels[sChannelsUsed];
    pthread_mutex_init(&free->lock, NULL);
    __atomic_store_n(&sChannelsUsed, sChannelsUsed + 1, __ATOMIC_RELEASE);
  }
  if (c == NULL && free != NULL) {
    int ours = 0;
    c = free;
    c->fd = fd;
    struct stat st;
    c->sock = sConnect(fd, &ours);
    if (!ours)
      c->sock = -2;
    c->fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
  }
  if (c != NULL)
    pthread_mutex_lock(&c->lock);
  pthread_mutex_unlock(&sLock);
  return c;
}

/* Forgets fd's entry and closes its connection (the device lets the file's
 * claims go). */
static void sForget(int fd) {
  if (__atomic_load_n(&sChannelsUsed, __ATOMIC_ACQUIRE) == 0)
    return;
  pthread_mutex_lock(&sLock);
  for (int i = 0; i < sChannelsUsed; i++) {
    struct channel *c = &sChannels[i];
    if (c->fd != fd)
      continue;
    pthread_mutex_lock(&c->lock);
    if (c->sock >= 0)
      close_fn_next(c->sock);
    c->fd = -1;
    c->sock = -1;
    pthread_mutex_unlock(&c->lock);
  }
  pthread_mutex_unlock(&sLock);
}

/* One exchange with the device; returns the ioctl's result, or -2 when the
 * connection broke (the device has gone, or the stream is out of step). */
static int sExchange(int sock, unsigned long request, void *argument) {
  struct qwusbfs_request head = {(uint32_t)request, 0};
  struct qwusbfs_urb urb;
  uint32_t value = 0;
  uint64_t id = 0;
  struct iovec iov[3];
  int count = 1;
  struct usbdevfs_urb *u = argument;
  iov[0].iov_base = &head;
  iov[0].iov_len = sizeof head;
  switch (request) {
  case USBDEVFS_SUBMITURB:
    memset(&urb, 0, sizeof urb);
    urb.id = (uint64_t)(uintptr_t)u;
    urb.type = u->type;
    urb.endpoint = u->endpoint;
    urb.buffer_length = u->buffer_length;
    iov[1].iov_base = &urb;
    iov[1].iov_len = sizeof urb;
    count = 2;
    if (u->buffer_length > 0 && (u->type == USBDEVFS_URB_TYPE_CONTROL || !(u->endpoint & 0x80))) {
      iov[2].iov_base = u->buffer;
      iov[2].iov_len = (size_t)u->buffer_length;
      count = 3;
    }
    break;
  case USBDEVFS_DISCARDURB:
    id = (uint64_t)(uintptr_t)argument;
    iov[1].iov_base = &id;
    iov[1].iov_len = sizeof id;
    count = 2;
    break;
  case USBDEVFS_CLAIMINTERFACE:
  case USBDEVFS_RELEASEINTERFACE:
  case USBDEVFS_CLEAR_HALT:
  case USBDEVFS_DISCONNECT_CLAIM: /* its first member is the interface */
    value = *(unsigned int *)argument;
    iov[1].iov_base = &value;
    iov[1].iov_len = sizeof value;
    count = 2;
    break;
  default: break;
  }
  for (int i = 1; i < count; i++)
    head.length += (uint32_t)iov[i].iov_len;
  struct qwusbfs_reply reply;
  if (sWriteAll(sock, iov, count) != 0 || sReadAll(sock, &reply, sizeof reply) != 0)
    return -2;
  uint32_t left = reply.length;
  if (request == USBDEVFS_GET_CAPABILITIES && left >= sizeof value) {
    if (sReadAll(sock, &value, sizeof value) != 0)
      return -2;
    *(uint32_t *)argument = value;
    left -= sizeof value;
  } else if ((request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) && left >= sizeof urb) {
    if (sReadAll(sock, &urb, sizeof urb) != 0)
      return -2;
    left -= sizeof urb;
    u = (struct usbdevfs_urb *)(uintptr_t)urb.id; /* one this file submitted */
    uint32_t copy = left < (uint32_t)u->buffer_length ? left : (uint32_t)u->buffer_length;
    if (copy > 0 && sReadAll(sock, u->buffer, copy) != 0)
      return -2;
    left -= copy;
    u->status = urb.status;
    u->actual_length = urb.actual_length;
    *(void **)argument = u;
  }
  char rest[256];
  while (left > 0) { /* what this side does not know what to do with */
    uint32_t n = left < sizeof rest ? left : (uint32_t)sizeof rest;
    if (sReadAll(sock, rest, n) != 0)
      return -2;
    left -= n;
  }
  if (reply.result < 0)
    errno = reply.error;
  return reply.result;
}

/* Nothing finished yet, known without asking: the device keeps its node
 * (a FIFO) unwritable while no finished URB waits (usb_module.cpp). */
static int sNothingToReap(const struct channel *c) {
  struct pollfd p = {c->fd, POLLOUT, 0};
  return c->fifo && poll(&p, 1, 0) == 0;
}

int ioctl(int fd, unsigned long request, ...) {
  typedef int (*ioctl_fn)(int, unsigned long, ...);
  static ioctl_fn next;
  va_list list;
  va_start(list, request);
  void *argument = va_arg(list, void *);
  va_end(list);
  if (next == NULL)
    next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  if (_IOC_TYPE(request) != 'U' || getenv("UMOCKDEV_DIR") == NULL)
    return next(fd, request, argument);
  struct channel *c = sChannel(fd);
  if (c == NULL || c->sock == -2) { /* no emulated USB node */
    if (c != NULL)
      pthread_mutex_unlock(&c->lock);
    return next(fd, request, argument);
  }
  int result;
  if (c->sock < 0) { /* the device has left the bus */
    errno = ENODEV;
    result = -1;
  } else if (request == USBDEVFS_REAPURBNDELAY && sNothingToReap(c)) {
    errno = EAGAIN;
    result = -1;
  } else {
    result = sExchange(c->sock, request, argument);
  }
  if (result == -2) { /* from here on the file is one of a device gone */
    close_fn_next(c->sock);
    c->sock = -1;
    errno = ENODEV;
    result = -1;
  }
  pthread_mutex_unlock(&c->lock);
  return result;
}
