// Files: thin wrappers over stdio with the library's handle and error
// conventions. A handle is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillwork/cErr.h"

#define cFILE_MAXPATH 4096

// Open modes.
#define cFILE_READ 0u   // "rb"
#define cFILE_WRITE 1u  // "wb": truncate or create
#define cFILE_APPEND 2u // "ab+": positioned at the end, readable

// Seek origins.
#define cFILE_SEEK_SET 0u
#define cFILE_SEEK_CUR 1u
#define cFILE_SEEK_END 2u

typedef struct cFileRecord *cFile;

bool cFile_Exists(const char *path);
cFile cFile_Open(const char *path, unsigned mode);
cErr cFile_Close(cFile *file);
cErr cFile_Read(cFile file, void *buffer, size_t length, size_t *count);
cErr cFile_Write(cFile file, const void *data, size_t length, size_t *count);
cErr cFile_Seek(cFile file, unsigned long offset, unsigned origin);
cErr cFile_GetSize(cFile file, size_t *size);
cErr cFile_Delete(const char *path);
cErr cFile_ReadLine(cFile file, char *buffer, size_t size, size_t *length);
cErr cFile_SetUnbuffered(cFile file);
cErr cFile_GetPosition(cFile file, size_t *position);
cErr cFile_Printf(cFile file, const char *format, ...) __attribute__((format(printf, 2, 3)));
