// Module discovery: link specifiers, the dispatch by link type and the
// searches for one module.
#include <cstdlib>
#include <cstring>

#include "discover_internal.h"

linkSpec *cLinkSpec_Create(linkType type) {
  linkSpec *spec = static_cast<linkSpec *>(calloc(1, sizeof(linkSpec)));
  if (spec != nullptr)
    spec->type = type;
  return spec;
}

linkSpec *cLinkSpec_Copy(const linkSpec *spec) {
  if (spec == nullptr)
    return nullptr;
  linkSpec *copy = static_cast<linkSpec *>(malloc(sizeof(linkSpec)));
  if (copy != nullptr)
    memcpy(copy, spec, sizeof(linkSpec));
  return copy;
}

cErr cLinkSpec_Destroy(linkSpec **spec) {
  if (spec == nullptr || *spec == nullptr)
    return cErrParam;
  free(*spec);
  *spec = nullptr;
  return cErrNone;
}

bool _isSameSpec(const linkSpec *a, const linkSpec *b) {
  return a->type == b->type && a->serialNumber == b->serialNumber && a->ipAddress == b->ipAddress && a->port == b->port;
}

int cDiscovery_EnumerateModules(linkType type, cDiscoveryCallback callback, void *reference,
                                uint32_t interfaceAddress) {
  if (callback == nullptr)
    return 0;
  switch (type) {
  case linkTypeUSB: return _enumerateUSB(callback, reference);
  case linkTypeTCPIP: return _enumerateTCPIP(callback, reference, interfaceAddress);
  case linkTypeCEther:
  case linkTypeCEtherUSB:
  case linkTypeCEtherTCPIP:
  case linkTypeCEtherSerial: return cDiscovery_Enumerate_cEtherModules(callback, reference, interfaceAddress);
  default: return 0; // none, serial (nothing to search) and invalid types
  }
}

namespace {

struct FindRequest {
  linkSpec *result;
  bool anySerial; // the first module with a non-zero serial number
};

int sFindCallback(const linkSpec *spec, bool *counted, void *reference) {
  FindRequest *request = static_cast<FindRequest *>(reference);
  bool match = request->anySerial ? spec->serialNumber != 0 : spec->serialNumber == request->result->serialNumber;
  if (!match)
    return 1;
  memcpy(request->result, spec, sizeof(linkSpec));
  *counted = true;
  return 0;
}

linkSpec *sFind(linkType type, uint32_t serialNumber, bool anySerial, uint32_t interfaceAddress) {
  linkSpec *spec = cLinkSpec_Create(type);
  if (spec == nullptr)
    return nullptr;
  spec->serialNumber = serialNumber;
  FindRequest request{spec, anySerial};
  if (cDiscovery_EnumerateModules(type, sFindCallback, &request, interfaceAddress) == 0)
    cLinkSpec_Destroy(&spec);
  return spec;
}

} // namespace

linkSpec *cDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress) {
  return sFind(type, serialNumber, false, interfaceAddress);
}

linkSpec *cDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress) {
  return sFind(type, 0, true, interfaceAddress);
}
