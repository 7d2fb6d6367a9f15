// Replacing a file so that it is never left torn: the bytes go to a new file
// in the same directory, are flushed to the disk, and that file is renamed
// over the old one. A reader, or a process killed half-way, sees the old
// contents or the new ones.
#pragma once

#include <cstddef>
#include <string>

#include "quillwork/cErr.h"

// cErrNotFound when the temporary file cannot be created (system error in
// *sys_error), cErrIO when writing, flushing or renaming fails; the temporary
// file is removed on every failure.
cErr store_write_atomic(const std::string &path, const void *data, size_t length, int *sys_error = nullptr);

// The name prefix of the temporary files; it begins with "." so that listings
// of stored builds pass over a file left by a killed process.
constexpr const char *STORE_TEMP_PREFIX = ".tmp-";
