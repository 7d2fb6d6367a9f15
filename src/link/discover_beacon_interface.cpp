// The beacon-interface setting: CZMQ's process-wide interface name, changed
// and read under one lock that the beacon search and the link server share.
// The lock is taken by one call and released by another, so it is a flag
// (with its owner) guarded by a mutex rather than a mutex held across calls.
// Waiting for it is bounded: a holder that never lets go makes the next taker
// give up after kLockWait instead of hanging.
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <czmq.h>
#include <mutex>
#include <string>
#include <thread>

#include "quillwork/cDiscovery.h"

namespace {

std::mutex sGuard; // guards the two members below and every access to zsys_interface
std::condition_variable sReleased;
bool sHeld = false;
std::thread::id sOwner;
constexpr std::chrono::seconds kLockWait{10};
std::string *sBackup() {
  static std::string *backup = [] {
    auto *b = new std::string;
    b->reserve(_BACKUP_CAPACITY);
    return b;
  }();
  return backup;
}

bool sAcceptable(const char *text) {
  if (text == nullptr || strlen(text) >= _BACKUP_CAPACITY)
    return false;
  if (*text == '\0' || strcmp(text, "*") == 0)
    return true;
  in_addr a;
  return inet_pton(AF_INET, text, &a) == 1;
}

bool sAcquire(std::unique_lock<std::mutex> &g) {
  if (!sReleased.wait_for(g, kLockWait, [] { return !sHeld; }))
    return false;
  sHeld = true;
  sOwner = std::this_thread::get_id();
  return true;
}

// Only the holder releases the lock.
void sRelease() {
  if (sHeld && sOwner == std::this_thread::get_id()) {
    sHeld = false;
    sReleased.notify_one();
  }
}

} // namespace

int zBeaconInterface_setAndLock(const char *interfaceText) {
  if (!sAcceptable(interfaceText))
    return 0;
  std::unique_lock<std::mutex> g(sGuard);
  if (!sAcquire(g))
    return 0;
  zsys_set_interface(interfaceText);
  return 1;
}

int zBeaconInterface_backupSetAndLock(const char *interfaceText) {
  if (!sAcceptable(interfaceText))
    return 0;
  std::unique_lock<std::mutex> g(sGuard);
  if (!sAcquire(g))
    return 0;
  sBackup()->assign(zsys_interface());
  zsys_set_interface(interfaceText);
  return 1;
}

void zBeaconInterface_unlock(void) {
  std::lock_guard<std::mutex> g(sGuard);
  sRelease();
}

void zBeaconInterface_restoreAndUnlock(void) {
  std::lock_guard<std::mutex> g(sGuard);
  if (sHeld && sOwner == std::this_thread::get_id())
    zsys_set_interface(sBackup()->c_str());
  sRelease();
}

std::string zBeaconInterface_get(void) {
  std::lock_guard<std::mutex> g(sGuard);
  return zsys_interface();
}

std::string zBeaconInterface_getAndLock(void) {
  std::unique_lock<std::mutex> g(sGuard);
  sAcquire(g);
  return zsys_interface();
}

std::string zBeaconInterface_getBackup(void) {
  std::lock_guard<std::mutex> g(sGuard);
  return *sBackup();
}

std::string zBeaconInterface_getBackupAndLock(void) {
  std::unique_lock<std::mutex> g(sGuard);
  sAcquire(g);
  return *sBackup();
}
