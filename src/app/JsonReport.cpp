#include "app/JsonReport.h"

#include "quillwork/cDefs.h"
#include "quillwork/cErr.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"

namespace {

std::string hex8(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%08X", value);
  return text;
}

const char *transportName(int type) {
  switch (type) {
  case 1: return "USB";
  case 2: return "TCPIP";
  case 3: return "serial";
  case 0: return "any";
  default: return "link server";
  }
}

} // namespace

JsonReport::JsonReport() { doc_["schema"] = 1; }

void JsonReport::begin(const char *name) {
  std::lock_guard<std::mutex> guard(lock_);
  command_ = name;
  firstError_.clear();
  doc_[command_] = nlohmann::ordered_json::object();
  doc_[command_]["ok"] = true;
}

void JsonReport::end(bool ok, const char *fallback) {
  std::lock_guard<std::mutex> guard(lock_);
  if (command_.empty())
    return;
  nlohmann::ordered_json &member = doc_[command_];
  member["ok"] = ok;
  if (!ok) {
    member["message"] = firstError_.empty() ? std::string(fallback) : firstError_;
    commandFailed_ = true;
  }
  command_.clear();
  firstError_.clear();
}

void JsonReport::devices(const std::vector<DeviceInfo> &list, int type, uint32_t router_serial) {
  std::lock_guard<std::mutex> guard(lock_);
  nlohmann::ordered_json &member = doc_[command_];
  member["transport"] = transportName(type);
  if (router_serial != 0)
    member["router_serial"] = hex8(router_serial);
  nlohmann::ordered_json devices = nlohmann::ordered_json::array();
  for (const DeviceInfo &d : list) {
    const linkSpec &s = d.spec;
    nlohmann::ordered_json e;
    e["serial"] = hex8(s.serialNumber);
    e["transport"] = transportName(s.type);
    e["address"] = s.moduleAddress;
    e["router"] = s.routerAddress;
    if (d.network_address != 0)
      e["network_address"] = d.network_address;
    e["model"] = s.model;
    e["model_name"] = cDefs_GetModelName(s.model);
    char version[48];
    snprintf(version, sizeof version, "%d.%d.%u", d.version_major, d.version_minor, d.version_patch);
    e["version"] = version;
    e["build"] = d.build_number;
    if (s.type == 2) {
      const uint8_t *o = reinterpret_cast<const uint8_t *>(&s.ipAddress);
      char ip[32];
      snprintf(ip, sizeof ip, "%d.%d.%d.%d", o[0], o[1], o[2], o[3]);
      e["ip_address"] = ip;
    }
    e["name"] = d.device_name;
    e["in_loader"] = s.serialNumber == DEFAULT_LOADER_SERIAL;
    if (d.error != 0) {
      e["error"] = d.error;
      e["error_text"] = cError_GetErrorText(static_cast<unsigned>(d.error));
    }
    devices.push_back(std::move(e));
  }
  member["devices"] = std::move(devices);
}

void JsonReport::builds(const BuildList &list, uint32_t serial) {
  std::lock_guard<std::mutex> guard(lock_);
  nlohmann::ordered_json &member = doc_[command_];
  member["serial"] = hex8(serial);
  nlohmann::ordered_json builds = nlohmann::ordered_json::array();
  for (const auto &[build, version] : UpdateServerRequest::SortBuildsByVersion(list))
    builds.push_back({{"build", build}, {"version", version}});
  member["builds"] = std::move(builds);
}

void JsonReport::fingerprint(const Fingerprint &fingerprint) {
  nlohmann::ordered_json words = nlohmann::ordered_json::array();
  for (uint32_t w : fingerprint.words)
    words.push_back(hex8(w));
  std::lock_guard<std::mutex> guard(lock_);
  doc_[command_]["words"] = std::move(words);
}

void JsonReport::error(const char *text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (doc_.contains("hints"))
    for (const auto &h : doc_["hints"])
      if (h == text)
        return; // a hint is not the command's failure
  if (firstError_.empty())
    firstError_ = text;
}

bool JsonReport::errorShown() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !firstError_.empty();
}

void JsonReport::finish(int status) {
  std::lock_guard<std::mutex> guard(lock_);
  doc_["ok"] = status == 0;
  doc_["status"] = status;
  if (status != 0 && !commandFailed_ && !firstError_.empty())
    doc_["message"] = firstError_;
}

std::string JsonReport::text() const {
  std::lock_guard<std::mutex> guard(lock_);
  return doc_.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

nlohmann::ordered_json &JsonReport::slot(const char *section, const char *key) {
  nlohmann::ordered_json &member = doc_[command_];
  return section != nullptr ? member[section][key] : member[key];
}

void JsonReport::recordCount(const char *section, const char *key, uint64_t value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!command_.empty())
    slot(section, key) = value;
}

void JsonReport::recordSeconds(const char *section, const char *key, double value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!command_.empty())
    slot(section, key) = value;
}

void JsonReport::recordText(const char *section, const char *key, const std::string &value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!command_.empty())
    slot(section, key) = value;
}

void JsonReport::hint(const std::string &text) {
  std::lock_guard<std::mutex> guard(lock_);
  doc_["hints"].push_back(text);
}

JsonDisplay::JsonDisplay(UpdaterDisplayInterface &console, JsonReport &report) : console_(console), report_(report) {
  results = &report;
}

void JsonDisplay::error_message(const char *text) {
  console_.error_message(text);
  report_.error(text);
}
