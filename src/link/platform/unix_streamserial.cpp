// The serial-port stream (termios). The port is opened raw with reads that
// return at once; get waits for input in poll() for a short bounded time, so
// a reader that polls get in a loop does not spin, and reads what the port
// has into a buffer.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "quillwork/cFile.h"
#include "quillwork/cStream.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kRxSize = 256;

struct SerialRecord {
  uint16_t check;
  char path[cFILE_MAXPATH + 1];
  int fd;
  termios saved;
  // Receive buffer (reader thread only).
  uint8_t rx[kRxSize];
  size_t rxCount;
  size_t rxPosition;
};

SerialRecord *sRecord(void *reference) {
  SerialRecord *record = static_cast<SerialRecord *>(reference);
  return record != nullptr && record->check == kSerialCheck ? record : nullptr;
}

constexpr speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
constexpr uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr unsigned kSpeedCount = sizeof kSpeeds / sizeof kSpeeds[0];

cErr sSerialGet(uint8_t *byte, void *reference) {
  SerialRecord *r = sRecord(reference);
  if (r == nullptr || byte == nullptr)
    return cErrParam;
  if (r->rxPosition < r->rxCount) {
    *byte = r->rx[r->rxPosition++];
    return cErrNone;
  }
  pollfd p = {r->fd, POLLIN, 0};
  int ready = poll(&p, 1, cSTREAM_GET_WAIT_MS);
  if (ready == 0 || (ready < 0 && errno == EINTR))
    return cErrNotReady;
  if (ready < 0)
    return cErrIO;
  ssize_t n = read(r->fd, r->rx, sizeof r->rx);
  if (n > 0) {
    r->rxCount = static_cast<size_t>(n);
    r->rxPosition = 1;
    *byte = r->rx[0];
    return cErrNone;
  }
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
    return cErrIO;
  // Readable but nothing to read: the other end hung up, and poll will say
  // so at once from now on. Wait out the poll time so a polling caller does
  // not spin on a dead line.
  if (p.revents & (POLLHUP | POLLERR))
    poll(nullptr, 0, cSTREAM_GET_WAIT_MS);
  return cErrNotReady;
}

cErr sSerialWrite(const uint8_t *data, size_t length, void *reference) {
  SerialRecord *r = sRecord(reference);
  if (r == nullptr || (data == nullptr && length > 0))
    return cErrParam;
  ssize_t n;
  do
    n = write(r->fd, data, length);
  while (n < 0 && errno == EINTR);
  if (n < 0 || static_cast<size_t>(n) != length)
    return cErrIO;
  // Wait until the bytes have gone out.
  if (tcdrain(r->fd) != 0 && errno != EINTR)
    return cErrIO;
  return cErrNone;
}

cErr sSerialPut(uint8_t byte, void *reference) { return sSerialWrite(&byte, 1, reference); }

cErr sSerialDelete(void *reference) {
  SerialRecord *r = sRecord(reference);
  if (r == nullptr)
    return cErrParam;
  tcsetattr(r->fd, TCSANOW, &r->saved);
  close(r->fd);
  r->check = 0;
  delete r;
  return cErrNone;
}

cErr sOpenErr(int error) {
  switch (error) {
  case ENOENT:
  case ENODEV:
  case ENXIO: return cErrNotFound;
  case EACCES:
  case EPERM: return cErrPermission;
  default: return cErrIO;
  }
}

} // namespace

cErr cStream_SerialBaudIndex(uint32_t baudRate, unsigned *baudIndex) {
  if (baudIndex == nullptr)
    return cErrParam;
  for (unsigned i = 0; i < kSpeedCount; ++i)
    if (kRates[i] == baudRate) {
      *baudIndex = i;
      return cErrNone;
    }
  return cErrParam;
}

cErr cStream_CreateSerial(const char *path, unsigned baudIndex, bool parity, unsigned dataBitsMode, unsigned stopBits,
                          cStream **stream) {
  if (stream != nullptr)
    *stream = nullptr;
  if (path == nullptr || stream == nullptr || dataBitsMode > 1 || stopBits > 1)
    return cErrParam;
  if (strlen(path) > cFILE_MAXPATH)
    return cErrFileNameLength;
  SerialRecord *r = new (std::nothrow) SerialRecord{};
  if (r == nullptr)
    return cErrMemory;
  strcpy(r->path, path);

  // Not as controlling terminal (a session leader would otherwise take the
  // port and die of SIGHUP when it hangs up); non-blocking only for the open,
  // which would otherwise wait for the modem lines.
  r->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (r->fd < 0) {
    cErr err = sOpenErr(errno);
    delete r;
    return err;
  }
  termios settings{};
  int flags = fcntl(r->fd, F_GETFL);
  if (flags < 0 || fcntl(r->fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || tcgetattr(r->fd, &r->saved) != 0) {
    close(r->fd);
    delete r;
    return cErrIO;
  }
  settings.c_cflag = CREAD | CLOCAL | (dataBitsMode == 0 ? CS8 : CS7);
  settings.c_iflag = IGNBRK;
  if (parity) {
    settings.c_cflag |= PARENB; // even
    settings.c_iflag |= IGNPAR;
  }
  if (stopBits == 1)
    settings.c_cflag |= CSTOPB;
  settings.c_oflag = 0;
  settings.c_lflag = 0;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  speed_t speed = baudIndex < kSpeedCount ? kSpeeds[baudIndex] : B0;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
      tcsetattr(r->fd, TCSANOW, &settings) != 0 || tcflush(r->fd, TCIOFLUSH) != 0) {
    tcsetattr(r->fd, TCSANOW, &r->saved);
    close(r->fd);
    delete r;
    return cErrIO;
  }
  r->check = kSerialCheck;
  *stream = cStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, r);
  if (*stream == nullptr) {
    sSerialDelete(r);
    return cErrMemory;
  }
  return cErrNone;
}
