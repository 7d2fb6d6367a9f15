#include "app/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

unsigned Log::package_bitmask = 0;
FILE *Log::fh = nullptr;
bool Log::timestamped = false;
const char *const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char *const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char *format, ...) {
  if (!IsActive(package) || format == nullptr)
    return;
  if (timestamped && strlen(format) > 10) {
    char stamp[128];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    size_t n = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
    fwrite(stamp, 1, n, stdout);
    fputs(SEPARATOR, stdout);
  }
  char text[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (fh == nullptr || n < 0)
    return;
  size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  // One write per line, so lines from several threads do not interleave.
  fwrite(text, 1, len, fh);
}
