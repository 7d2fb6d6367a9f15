// File streams: the file handle itself is the stream's reference.
#include "quillwork/cFile.h"
#include "quillwork/cStream.h"

namespace {

cErr sFileGet(uint8_t *byte, void *reference) {
  size_t count = 0;
  return cFile_Read(static_cast<cFile>(reference), byte, 1, &count);
}

cErr sFileWrite(const uint8_t *data, size_t length, void *reference) {
  return cFile_Write(static_cast<cFile>(reference), data, length, nullptr);
}

cErr sFilePut(uint8_t byte, void *reference) { return sFileWrite(&byte, 1, reference); }

cErr sFileDelete(void *reference) {
  cFile file = static_cast<cFile>(reference);
  return cFile_Close(&file);
}

cErr sCreate(const char *path, unsigned mode, cStream **stream) {
  if (stream == nullptr)
    return cErrResource;
  *stream = nullptr;
  cFile file = cFile_Open(path, mode);
  if (file == nullptr)
    return cErrResource;
  *stream = mode == cFILE_READ ? cStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                               : cStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (*stream == nullptr) {
    cFile_Close(&file);
    return cErrResource;
  }
  return cErrNone;
}

} // namespace

cErr cStream_CreateFileInput(const char *path, cStream **stream) { return sCreate(path, cFILE_READ, stream); }

cErr cStream_CreateFileOutput(const char *path, cStream **stream) { return sCreate(path, cFILE_WRITE, stream); }
