// Discovering modules and identifying each one.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "app/Log.h"
#include "quillwork/Entity.h"
#include "quillwork/Module.h"
#include "quillwork/cDefs.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cVersion.h"
#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"

using Corvatek::Quillwork::I2CClass;
using Corvatek::Quillwork::Module;
using Corvatek::Quillwork::SystemClass;

namespace {

const auto Error = UpdaterDisplayInterface::Error;
constexpr uint32_t kLocalInterface = 0x0100007F; // 127.0.0.1 as stored
constexpr uint8_t kDescriptorBuild = 0xFF;
// Modules identified at once by a discovery.
constexpr size_t kIdentifyThreads = 16;

int _discovered_device(const linkSpec *spec, bool *counted, void *context) {
  DeviceInfo info;
  info.spec = *spec;
  static_cast<std::vector<DeviceInfo> *>(context)->push_back(info);
  *counted = true;
  return 1;
}

struct LinkSearch {
  uint32_t serial;
  linkType found;
};

int _discovered_link(const linkSpec *spec, bool *counted, void *context) {
  auto *search = static_cast<LinkSearch *>(context);
  *counted = true;
  if (spec->serialNumber != search->serial)
    return 1;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->found = spec->type;
  return 0;
}

} // namespace

cErr _disableEther(Module &module, UpdaterDisplayInterface &display) {
  cEtherConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  cErr err = module.setConfig(config);
  if (err != cErrNone)
    display.message(Error, "Failed to SET network configuration");
  return err;
}

uint32_t _get_build_number(Module &module) {
  Corvatek::Quillwork::Link *link = module.getLink();
  if (link == nullptr)
    return 0;
  uint8_t request[1] = {kDescriptorBuild};
  if (link->sendPacket(module.getModuleAddress(), cmdDESCRIPTOR, 1, request) != cErrNone)
    return 0;
  uint8_t match[2] = {cmdDESCRIPTOR, kDescriptorBuild};
  uint8_t length = sizeof match;
  uint8_t answer[cPACKET_MAXDATA];
  if (link->receivePacket(module.getModuleAddress(), match, &length, answer) != cErrNone || length != 6)
    return 0;
  return cUEI_RetrieveInt(answer + 2);
}

cErr _get_version(Module &module, DeviceInfo &info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  cErr err = system.getVersion(&version);
  if (err != cErrNone)
    return err;
  info.version_major = static_cast<uint8_t>(cVersion_ParseMajor(version));
  info.version_minor = static_cast<uint8_t>(cVersion_ParseMinor(version));
  info.version_patch = cVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != cErrNone)
    return err;
  info.spec.moduleAddress = address;
  err = system.getRouter(&address);
  if (err != cErrNone)
    return err;
  info.spec.routerAddress = address;
  return cErrNone;
}

cErr _get_device_name(Module &module, DeviceInfo &info) {
  if (!cVersion_IsAtLeastCompare(info.version_major, info.version_minor, info.version_patch, 2, 10, 4))
    return cErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[32];
  uint32_t count = 0;
  cErr err = system.getName(name, sizeof name, &count);
  if (err == cErrNone)
    info.device_name.assign(reinterpret_cast<const char *>(name), count);
  return err;
}

// Opens one discovered module and reads what the list shows of it.
static void _identify_device(DeviceInfo &info, UpdaterDisplayInterface &display) {
  info.model_name = cDefs_GetModelName(info.spec.model);
  Module module(2, 0);
  cErr err = _disableEther(module, display);
  if (err == cErrNone) {
    err = module.connectFromSpec(info.spec);
    info.error = err;
  }
  if (err == cErrNone && module.isConnected()) {
    info.build_number = _get_build_number(module);
    info.error = _get_version(module, info);
    if (info.error == cErrNone)
      info.error = _get_device_name(module, info);
  }
  module.disconnect();
}

linkType _discover_link_type(uint32_t serial) {
  LinkSearch search{serial, 0};
  cDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search, kLocalInterface);
  if (search.found == 0)
    cDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search, kLocalInterface);
  return search.found;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> transports;
  if (type == 0)
    transports = {linkTypeUSB, linkTypeTCPIP};
  else
    transports = {type};
  for (linkType t : transports)
    cDiscovery_EnumerateModules(t, _discovered_device, &devices, kLocalInterface);

  // Each module is opened and asked on its own link, several at once (most
  // of the time goes to waiting for the modules); the list keeps the order
  // in which they were found.
  std::atomic<size_t> next{0};
  auto identify = [&] {
    for (size_t i = next++; i < devices.size(); i = next++)
      _identify_device(devices[i], display);
  };
  std::vector<std::thread> helpers;
  size_t wanted = std::min<size_t>(kIdentifyThreads, devices.size());
  for (size_t i = 1; i < wanted; ++i) {
    try {
      helpers.emplace_back(identify);
    } catch (const std::system_error &) {
      break; // the threads there are do the rest
    }
  }
  identify();
  for (std::thread &t : helpers)
    t.join();
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_QWNetwork_Devices(uint32_t router_serial, linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == 0)
    type = _discover_link_type(router_serial);
  linkSpec *found = cDiscovery_FindModule(type, router_serial, kLocalInterface);
  if (found == nullptr)
    return devices;
  std::unique_ptr<linkSpec, void (*)(linkSpec *)> routerSpec(found, [](linkSpec *s) { cLinkSpec_Destroy(&s); });

  Log::log(DEBUG_Updater, "Found Link Module");
  Module router(2, 0);
  _disableEther(router, display);
  cErr err = router.connectFromSpec(*routerSpec);
  if (err != cErrNone) {
    display.message(Error, "Error %d on connectFromSpec", err);
    return devices;
  }
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != cErrNone) {
    display.message(Error, "Error %d on route to me", err);
  } else {
    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(3);
    uint8_t routerAddress = router.getModuleAddress();
    const uint8_t probe[2] = {0, 0};
    for (unsigned address = 2; address <= 252; address += 2) {
      if (address == routerAddress)
        continue;
      Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
      if (i2c.write(static_cast<uint8_t>(address), 2, probe) != cErrNone)
        continue;
      Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
      Module module(static_cast<uint8_t>(address), false, 0);
      _disableEther(module, display);
      if (module.connectThroughLinkModule(router) != cErrNone)
        continue;
      SystemClass system;
      system.init(&module, 0);
      uint32_t serial = 0;
      if (system.getSerialNumber(&serial) != cErrNone) {
        module.disconnect();
        continue;
      }
      Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
      DeviceInfo info;
      // The router's spec from its IPv4 address on; the rest is this module's.
      memcpy(reinterpret_cast<uint8_t *>(&info.spec) + offsetof(linkSpec, ipAddress),
             reinterpret_cast<const uint8_t *>(routerSpec.get()) + offsetof(linkSpec, ipAddress),
             sizeof(linkSpec) - offsetof(linkSpec, ipAddress));
      info.spec.type = type;
      info.spec.serialNumber = serial;
      info.spec.routerAddress = routerAddress;
      info.spec.routerSerialNumber = router_serial;
      info.network_address = static_cast<uint16_t>(address);
      info.build_number = _get_build_number(module);
      info.error = _get_version(module, info);
      uint8_t model = 0;
      cErr modelErr = system.getModel(&model);
      if (modelErr != cErrNone) {
        info.error = modelErr;
      } else {
        info.spec.model = model;
        info.model_name = cDefs_GetModelName(model);
      }
      module.disconnect();
      devices.push_back(info);
    }
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
