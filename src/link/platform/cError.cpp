#include "quillwork/cErr.h"

namespace {

struct ErrorText {
  const char *name;
  const char *description;
};

// Indexed by code; the texts are shown to users and logged, keep them exact.
constexpr ErrorText kErrors[cErrCount] = {
    {"cErrNone", "Success, no error"},
    {"cErrMemory", "Memory allocation"},
    {"cErrParam", "Invalid parameter"},
    {"cErrNotFound", "Not found"},
    {"cErrFileNameLength", "File name too long"},
    {"cErrBusy", "Resource busy"},
    {"cErrIO", "Input/Output error"},
    {"cErrMode", "Invalid Mode"},
    {"cErrWrite", "Write error"},
    {"cErrRead", "Read error"},
    {"cErrEOF", "End of file"},
    {"cErrNotReady", "Not ready, no bytes available"},
    {"cErrPermission", "Insufficient permissions"},
    {"cErrRange", "Value out of range"},
    {"cErrSize", "Invalid Size"},
    {"cErrOverrun", "Buffer/queue overrun"},
    {"cErrParse", "Parse error"},
    {"cErrConfiguration", "Configuration error"},
    {"cErrTimeout", "Timeout occurred"},
    {"cErrInitialization", "Initialization error"},
    {"cErrVersion", "Invalid version"},
    {"cErrUnimplemented", "Functionality unimplemented"},
    {"cErrDuplicate", "Duplicate request"},
    {"cErrCancel", "Cancellation occurred, or did not complete"},
    {"cErrPacket", "Packet byte invalid"},
    {"cErrConnection", "Connection error"},
    {"cErrIndexRange", "Index out of range"},
    {"cErrShortCommand", "Quillwork command to short"},
    {"cErrInvalidEntity", "Invalid entity error"},
    {"cErrInvalidOption", "Invalid option code"},
    {"cErrResource", "Resource unavailable"},
    {"cErrMedia", "Media error"},
    {"cErrAsyncReturn", "Asynchronous return error"},
    {"cErrStreamStale", "Stream value is stale"},
    {"cErrUnknown", "Unknown error"},
};

const ErrorText &lookup(unsigned code) { return kErrors[code < cErrCount ? code : static_cast<unsigned>(cErrUnknown)]; }

} // namespace

const char *cError_GetErrorText(unsigned code) { return lookup(code).name; }

const char *cError_GetErrorDescription(unsigned code) { return lookup(code).description; }
