/* Hot-plug events for every host process on the emulated bus.
 *
 * Preloaded before libumockdev-preload.so.0 in every process that runs on
 * the testbed (UsbTestbed::reexecUnderPreload puts it there; children inherit
 * it). umockdev turns a process's uevent netlink socket into a Unix datagram
 * socket named after its descriptor number, "$UMOCKDEV_DIR/event<fd>", and
 * the testbed sends every uevent to each "event<digits>..." socket there. Two
 * processes whose sockets have the same number would share one name: one of
 * them binds, the other hears nothing. Here each such socket gets a name of
 * its own, "event<pid>-<fd>", removed again when the descriptor is closed
 * (names a killed process left behind are cleared at the next bind). It
 * also notes which process holds an interface claim (below).
 *
 * Built without sanitizers: uninstrumented programs (a shell between the
 * simulator and the program under test) load it too. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
  typedef int (*close_fn)(int);
  static close_fn next;
  if (next == NULL)
    next = (close_fn)dlsym(RTLD_NEXT, "close");
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
  return next(fd);
}

/* Interface claims: the emulated device cannot see which process holds its
 * interface, so the holder says so in "$UMOCKDEV_DIR/claims/BBB-DDD-I" (its
 * process ID). When another file wants the interface, the device looks there
 * and lets a claim go whose holder has ended or no longer has the node open,
 * as the kernel releases a claim when its file is closed. */
static void sNoteClaim(int fd, unsigned interface, int claimed) {
  const char *root = getenv("UMOCKDEV_DIR");
  char link[64], node[512], path[600], temp[640];
  unsigned bus = 0, device = 0;
  if (root == NULL)
    return;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, node, sizeof node - 1);
  if (n <= 0)
    return;
  node[n] = '\0';
  size_t rootLength = strlen(root);
  if (strncmp(node, root, rootLength) != 0 || sscanf(node + rootLength, "/dev/bus/usb/%u/%u", &bus, &device) != 2)
    return;
  snprintf(path, sizeof path, "%s/claims", root);
  mkdir(path, 0755);
  snprintf(path, sizeof path, "%s/claims/%03u-%03u-%u", root, bus, device, interface);
  if (!claimed) {
    unlink(path);
    return;
  }
  snprintf(temp, sizeof temp, "%s.%d", path, (int)getpid());
  FILE *f = fopen(temp, "w");
  if (f == NULL)
    return;
  fprintf(f, "%d\n", (int)getpid());
  if (fclose(f) == 0)
    rename(temp, path);
  else
    unlink(temp);
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
  int result = next(fd, request, argument);
  if (result == 0 && argument != NULL && getenv("UMOCKDEV_DIR") != NULL) {
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE)
      sNoteClaim(fd, *(unsigned int *)argument, request == USBDEVFS_CLAIMINTERFACE);
    else if (request == USBDEVFS_DISCONNECT_CLAIM)
      sNoteClaim(fd, ((struct usbdevfs_disconnect_claim *)argument)->interface, 1);
  }
  return result;
}
