#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "quillwork/cFile.h"

namespace {
constexpr uint16_t kFileCheck = 0xFEED;
}

struct cFileRecord {
  FILE *stream;
  unsigned mode;
  uint16_t check;
};

#define cVALIDFILE(f) ((f) != nullptr && (f)->check == kFileCheck)

namespace {

bool pathTooLong(const char *path) { return strnlen(path, cFILE_MAXPATH + 1) > cFILE_MAXPATH; }
bool canRead(cFile f) { return f->mode == cFILE_READ || f->mode == cFILE_APPEND; }
bool canWrite(cFile f) { return f->mode == cFILE_WRITE || f->mode == cFILE_APPEND; }

} // namespace

bool cFile_Exists(const char *path) {
  if (path == nullptr || pathTooLong(path))
    return false;
  struct stat st;
  if (stat(path, &st) != 0)
    return false;
  return !S_ISDIR(st.st_mode);
}

cFile cFile_Open(const char *path, unsigned mode) {
  static const char *const kModes[] = {"rb", "wb", "ab+"};
  if (path == nullptr || path[0] == '\0' || pathTooLong(path) || mode > cFILE_APPEND)
    return nullptr;
  cFile f = new (std::nothrow) cFileRecord;
  if (f == nullptr)
    return nullptr;
  f->stream = fopen(path, kModes[mode]);
  if (f->stream == nullptr) {
    delete f;
    return nullptr;
  }
  if (mode == cFILE_APPEND)
    fseek(f->stream, 0, SEEK_END);
  f->mode = mode;
  f->check = kFileCheck;
  return f;
}

cErr cFile_Close(cFile *file) {
  if (file == nullptr)
    return cErrParam;
  cFile f = *file;
  *file = nullptr;
  if (!cVALIDFILE(f))
    return cErrParam;
  fclose(f->stream);
  f->check = 0;
  delete f;
  return cErrNone;
}

cErr cFile_Read(cFile file, void *buffer, size_t length, size_t *count) {
  if (!cVALIDFILE(file) || buffer == nullptr)
    return cErrParam;
  if (!canRead(file))
    return cErrMode;
  size_t n = fread(buffer, 1, length, file->stream);
  if (count)
    *count = n;
  if (n == 0 && length != 0)
    return cErrEOF;
  return cErrNone;
}

cErr cFile_Write(cFile file, const void *data, size_t length, size_t *count) {
  if (!cVALIDFILE(file) || data == nullptr)
    return cErrParam;
  if (!canWrite(file))
    return cErrMode;
  size_t n = fwrite(data, 1, length, file->stream);
  if (count)
    *count = n;
  if (n == 0 && length != 0)
    return cErrIO;
  return cErrNone;
}

cErr cFile_Seek(cFile file, unsigned long offset, unsigned origin) {
  if (!cVALIDFILE(file))
    return cErrParam;
  long current = ftell(file->stream);
  if (current < 0)
    return cErrIO;
  if (fseek(file->stream, 0, SEEK_END) != 0)
    return cErrIO;
  long size = ftell(file->stream);
  if (size < 0 || fseek(file->stream, current, SEEK_SET) != 0)
    return cErrIO;
  unsigned long base = origin == cFILE_SEEK_CUR   ? static_cast<unsigned long>(current)
                       : origin == cFILE_SEEK_END ? static_cast<unsigned long>(size)
                                                  : 0ul;
  // Seeking past the end is refused.
  if (offset > static_cast<unsigned long>(size) || base > static_cast<unsigned long>(size) - offset)
    return cErrRange;
  if (fseek(file->stream, static_cast<long>(base + offset), SEEK_SET) != 0)
    return cErrIO;
  return cErrNone;
}

cErr cFile_GetSize(cFile file, size_t *size) {
  if (size == nullptr || !cVALIDFILE(file))
    return cErrParam;
  *size = 0;
  long current = ftell(file->stream);
  if (current < 0 || fseek(file->stream, 0, SEEK_END) != 0)
    return cErrIO;
  long end = ftell(file->stream);
  if (end < 0 || fseek(file->stream, current, SEEK_SET) != 0)
    return cErrIO;
  *size = static_cast<size_t>(end);
  return cErrNone;
}

cErr cFile_Delete(const char *path) {
  if (path == nullptr)
    return cErrParam;
  if (pathTooLong(path))
    return cErrFileNameLength;
  if (remove(path) == 0)
    return cErrNone;
  switch (errno) {
  case ENOENT: return cErrNotFound;
  case EACCES:
  case EPERM: return cErrPermission;
  default: return cErrIO;
  }
}

cErr cFile_ReadLine(cFile file, char *buffer, size_t size, size_t *length) {
  if (length)
    *length = 0;
  if (buffer != nullptr && size != 0)
    buffer[0] = '\0';
  // A buffer of fewer than two bytes cannot hold any character of a line;
  // refusing it keeps a caller that loops on cErrOverrun from spinning.
  if (!cVALIDFILE(file) || buffer == nullptr || size < 2 || length == nullptr)
    return cErrParam;
  if (!canRead(file))
    return cErrMode;
  int limit = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
  if (fgets(buffer, limit, file->stream) == nullptr) {
    buffer[0] = '\0';
    return ferror(file->stream) ? cErrIO : cErrEOF;
  }
  size_t n = strlen(buffer);
  *length = n;
  if (n == static_cast<size_t>(limit) - 1 && buffer[n - 1] != '\n')
    return cErrOverrun;
  return cErrNone;
}

cErr cFile_SetUnbuffered(cFile file) {
  if (!cVALIDFILE(file))
    return cErrParam;
  if (!canWrite(file))
    return cErrMode;
  if (setvbuf(file->stream, nullptr, _IONBF, 0) != 0)
    return cErrMode;
  return cErrNone;
}

cErr cFile_GetPosition(cFile file, size_t *position) {
  if (!cVALIDFILE(file))
    return cErrParam;
  long pos = ftell(file->stream);
  if (pos < 0)
    return cErrIO;
  if (position != nullptr && pos > 0)
    *position = static_cast<size_t>(pos);
  return cErrNone;
}

cErr cFile_Printf(cFile file, const char *format, ...) {
  if (!cVALIDFILE(file) || format == nullptr)
    return cErrParam;
  if (!canWrite(file))
    return cErrMode;
  va_list ap;
  va_start(ap, format);
  int rc = vfprintf(file->stream, format, ap);
  va_end(ap);
  return rc < 0 ? cErrIO : cErrNone;
}
