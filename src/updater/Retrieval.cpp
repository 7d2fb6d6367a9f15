// Builds and tokens from the update server, and the builds kept in the store.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/Log.h"
#include "app/UpdaterResults.h"
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"

namespace {

const auto Info = UpdaterDisplayInterface::Info;
const auto Error = UpdaterDisplayInterface::Error;

// Parses all of text as a decimal number that fits 32 bits.
bool parseDecimal(const std::string &text, uint32_t &value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  errno = 0;
  unsigned long long n = strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || n > 0xFFFFFFFFull)
    return false;
  value = static_cast<uint32_t>(n);
  return true;
}

struct DownloadJob {
  std::string url;
  uint32_t serial = 0;
  std::string firmware;
  std::string build;
  std::string body;
  bool flag = false;
  std::promise<bool> done;
};

} // namespace

uint32_t _build_number(const std::string &text) {
  uint32_t value = 0;
  if (!parseDecimal(text, value)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return value;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display, const std::string &root,
                                                  const char *operation) {
  try {
    return std::make_unique<UpdaterStore>(root);
  } catch (const std::runtime_error &e) {
    display.message(Error, "Failed to Create UpdaterStore in: %s - Exception: %s", operation, e.what());
    return nullptr;
  }
}

bool _valid_build(uint32_t serial, uint32_t build, const std::string &url) {
  BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url.c_str()))
    return false;
  for (const auto &entry : builds)
    if (_build_number(entry.first) == build)
      return true;
  return false;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string &buildText, bool override_check, bool flag) {
  uint32_t build = 0;
  if (!buildText.empty() && !parseDecimal(buildText, build)) {
    display.message(Error, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serial == 0) {
    display.message(Error, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(Error, "Server request failed for %s", server_url.c_str());
    return 0;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "Download_Firmware");
  if (!store)
    return 0;
  UpdaterStoreItem device;
  if (!store->FindDevice(serial, &device)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serial);
    } catch (const std::runtime_error &) {
      display.message(Error, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string serverBuild, firmware;
  if (!UpdateServerRequest::QueryBuild(serial, serverBuild, firmware, server_url.c_str())) {
    display.message(Error, "No build information for device");
    return 0;
  }
  if (build == 0)
    build = _build_number(serverBuild);

  display.message(Info, "Retrieving build %u", build);
  if (override_check) {
    display.message(Info, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(Info, "Validating build %u with server", build);
    if (!_valid_build(serial, build, server_url)) {
      display.message(Error, "No valid build %u", build);
      return 0;
    }
    display.message(Info, "Build %u is valid", build);
  }

  // The request runs on a worker while this thread turns the spinner.
  auto job = std::make_shared<DownloadJob>();
  job->url = server_url;
  job->serial = serial;
  job->firmware = firmware;
  job->build = std::to_string(build);
  job->flag = flag;
  std::future<bool> result = job->done.get_future();
  std::thread worker([job] {
    bool ok =
        UpdateServerRequest::GetBuild(job->serial, job->firmware, job->build, job->body, job->url.c_str(), job->flag);
    job->done.set_value(ok);
  });
  display.update_spinner(true, "Downloading");
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  bool ok = result.get();
  worker.join();
  if (!ok)
    display.message(Error, "Download failed");

  if (job->body.empty()) {
    display.message(Error, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // Only a file that was decoded and written whole counts as downloaded; the
  // settings then record it.
  std::string fileName = job->build + ".bird";
  size_t length = 0;
  unsigned char *bytes = base64_decode(job->body.data(), job->body.size(), &length);
  if (bytes == nullptr) {
    display.message(Error, "Failed to decode the BIRD file received for build %u", build);
    return 0;
  }
  // A truncated or foreign body must not replace a good stored build: only
  // bytes that load as a BIRD file with blocks are stored.
  BirdFile check;
  if (!check.LoadFromMemory(bytes, length) || check.Blocks().empty()) {
    free(bytes);
    display.message(Error, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  std::string when = KeyValueStore::TimeText();
  cErr written = device.WriteFile(fileName, bytes, length);
  free(bytes);
  if (written != cErrNone) {
    display.message(Error, "Failed to write file with %d", written);
    return 0;
  }
  device.settings.Add("LATEST_DOWNLOAD", fileName);
  device.settings.Add("LAST_DOWNLOAD_DATE", when);
  device.settings.Save();
  if (display.results)
    display.results->recordText(nullptr, "path", device.Path() + "/" + fileName);
  return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint &fingerprint, const std::string &buildText, bool override_check) {
  uint32_t build = _build_number(buildText);
  uint32_t serial = 0, serverBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serial, serverBuild, server_url.c_str())) {
    display.message(Error, "Failed to retrieve recovery information from Corvatek update server");
    return 0;
  }
  if (build == 0)
    build = serverBuild;
  return Download_Firmware(serial, std::to_string(build), override_check, false);
}

BuildList Updater::Get_BuildList(uint32_t serial) {
  BuildList builds;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(Error, "Server request failed for %s", server_url.c_str());
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str()))
    display.message(Error, "Failed to retrieve builds for %08X", serial);
  return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
  std::string token;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(Error, "Server request failed for %s", server_url.c_str());
    return token;
  }
  if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str()))
    display.message(Error, "Failed to retrieve jwt for %08X", serial);
  return token;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial) {
  BuildList builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "Get_BuildListLocal");
  if (!store)
    return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem &item : items) {
    std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      std::string path = item.base_path + "/" + item.name;
      if (BirdFile::VerifyFile(path)) {
        // A file that passes the header check but does not load is listed
        // without a version.
        try {
          version = BirdFile(path).GetVersion();
        } catch (const std::runtime_error &) {
          version.clear();
        }
        if (!version.empty())
          Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);
  }
  return builds;
}
