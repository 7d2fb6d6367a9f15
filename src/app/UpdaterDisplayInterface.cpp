#include "app/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char *format, ...) {
  if (muted || format == nullptr)
    return;
  char text[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n < 0)
    text[0] = '\0';
  if (level == Error)
    error_message(text);
  else
    info_message(text);
}
