// The link registry: a list of entries, newest first, under the process-wide
// mutex "cLink_Managed". Identifiers start at 1 and only grow.
#include "cLinkManagerInternal.h"

namespace {

struct Registry {
  cMutex mutex;
  cLinkEntryPtr head;
  uint32_t nextIdentifier = 1;
  uint32_t clientNumber = 0;
};

// Made on first use and never destroyed: links may be used until the process
// ends.
Registry &sRegistry() {
  static Registry *registry = [] {
    Registry *r = new Registry;
    r->mutex = cMutex_Create("cLink_Managed");
    return r;
  }();
  return *registry;
}

class Locked {
public:
  Locked() : r_(sRegistry()) { cMutex_Lock(r_.mutex); }
  ~Locked() { cMutex_Unlock(r_.mutex); }
  Registry *operator->() { return &r_; }

private:
  Registry &r_;
};

template <typename Match> cLinkEntryPtr sFind(Locked &r, Match match) {
  for (cLinkEntryPtr e = r->head; e != nullptr; e = e->next)
    if (match(*e))
      return e;
  return nullptr;
}

} // namespace

uint32_t sCreate2(uint32_t identity0, uint32_t identity1, uint32_t identity2, linkType type) {
  cLinkEntryPtr entry = std::make_shared<cLinkEntry>(); // zeroed, use count 0
  entry->identity0 = identity0;
  entry->identity1 = identity1;
  entry->identity2 = identity2;
  entry->type = type;
  Locked r;
  if (r->nextIdentifier == 0) // after four billion links: give no more out
    return 0;
  entry->identifier = r->nextIdentifier++;
  entry->next = r->head;
  r->head = entry;
  return entry->identifier;
}

uint32_t sCreate(uint32_t identity0, uint32_t identity1, linkType type) {
  return sCreate2(identity0, identity1, 0, type);
}

cLinkEntryPtr sLookupEntryByID(uint32_t identifier) {
  if (identifier == 0)
    return nullptr;
  Locked r;
  return sFind(r, [&](const cLinkEntry &e) { return e.identifier == identifier; });
}

cLinkEntryPtr sLookupEntryByIdentifier(uint32_t identity0, linkType type) {
  Locked r;
  return sFind(r, [&](const cLinkEntry &e) { return e.identity0 == identity0 && e.type == type; });
}

cLinkEntryPtr sLookupEntryByTrident(uint32_t identity0, uint32_t identity1, uint32_t identity2) {
  Locked r;
  return sFind(r, [&](const cLinkEntry &e) {
    return e.identity0 == identity0 && e.identity1 == identity1 && e.identity2 == identity2;
  });
}

cLinkEntryPtr sUseEntryByIdentifier(uint32_t identity0, linkType type, bool refuseServed, bool *served) {
  Locked r;
  *served = false;
  cLinkEntryPtr e =
      sFind(r, [&](const cLinkEntry &x) { return x.identity0 == identity0 && x.type == type && x.useCount > 0; });
  if (e == nullptr)
    return nullptr;
  if (refuseServed && e->server != nullptr) {
    *served = true;
    return e;
  }
  e->useCount++;
  return e;
}

cLinkEntryPtr sUseEntryByID(uint32_t identifier) {
  if (identifier == 0)
    return nullptr;
  Locked r;
  cLinkEntryPtr e = sFind(r, [&](const cLinkEntry &x) { return x.identifier == identifier && x.useCount > 0; });
  if (e != nullptr)
    e->useCount++;
  return e;
}

namespace {

cLinkEntryPtr sUnlink(Locked &r, uint32_t identifier) {
  cLinkEntryPtr previous;
  for (cLinkEntryPtr e = r->head; e != nullptr; previous = e, e = e->next) {
    if (e->identifier != identifier)
      continue;
    (previous != nullptr ? previous->next : r->head) = e->next;
    e->next = nullptr;
    return e;
  }
  return nullptr;
}

} // namespace

cLinkEntryPtr sExtractEntry(uint32_t identifier) {
  Locked r;
  return sUnlink(r, identifier);
}

int sChangeUseCount(const cLinkEntryPtr &entry, int delta) {
  Locked r;
  entry->useCount = (int16_t)(entry->useCount + delta);
  return entry->useCount;
}

cLinkEntryPtr sReleaseUse(uint32_t identifier, bool *known) {
  Locked r;
  cLinkEntryPtr e = sFind(r, [&](const cLinkEntry &x) { return x.identifier == identifier; });
  *known = e != nullptr;
  if (e == nullptr)
    return nullptr;
  e->useCount--;
  return e->useCount > 0 ? nullptr : sUnlink(r, identifier);
}

cLinkRecord *sGetLink(const cLinkEntryPtr &entry) { return entry != nullptr ? &entry->link : nullptr; }

uint32_t sNextClientNumber() {
  Locked r;
  return r->clientNumber++;
}
