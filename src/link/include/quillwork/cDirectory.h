// Directories and paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "quillwork/cErr.h"

#define cDIRECTORY_MAXCOMPONENTS 10

typedef struct cDirectoryListData {
  const char *path; // the directory path joined with the entry name
  uint32_t size;    // from the entry's file status
  bool isDirectory;
} cDirectoryListData;

// Returns false to end the listing.
typedef bool (*cDirectoryListCallback)(const cDirectoryListData *entry, void *reference);

// Joins up to ten components (the list ends with a null) into the buffer,
// inserting "/" only where neither side already has one.
cErr cDirectory_BuildPath(char *buffer, size_t size, const char *first, ...) __attribute__((sentinel));
cErr cDirectory_JoinPath(char *buffer, size_t size, const char *directory, const char *name);
bool cDirectory_Exists(const char *path);
cErr cDirectory_Ensure(const char *path, mode_t mode);
cErr cDirectory_List(const char *path, cDirectoryListCallback callback, void *reference);
cErr cDirectory_Delete(const char *path);
cErr cDirectory_DeleteTree(const char *path);
cErr cDirectory_CWD(char *buffer, size_t size);
cErr cDirectory_ExecutableFilePath(char *buffer, size_t size);
cErr cDirectory_GetHomeDirectory(char *buffer, size_t size);
