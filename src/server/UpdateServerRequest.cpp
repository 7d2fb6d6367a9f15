#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "app/Log.h"
#include "quillwork/cVersion.h"
#include "server/HTTPRequest.h"

namespace UpdateServerRequest {

const char *const default_url = "http://" QW_UPDATE_SERVER_HOST "/cgi/u";

namespace {

using Params = std::map<std::string, std::string>;

// The answer's lines; empty lines (consecutive LFs) are skipped, as a
// tokeniser on LF would.
std::vector<std::string_view> _lines(const std::string &body) {
  std::vector<std::string_view> lines;
  std::string_view rest(body);
  while (!rest.empty()) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    if (!line.empty())
      lines.push_back(line);
    if (lf == std::string_view::npos)
      break;
    rest.remove_prefix(lf + 1);
  }
  return lines;
}

// A value ends at a CR or LF.
std::string _field(std::string_view line) { return std::string(line.substr(0, line.find_first_of("\r\n"))); }

// The first line must begin with "ok" (only those two characters count).
bool _accepted(const std::vector<std::string_view> &lines, const char *operation, const std::string &url) {
  if (lines.empty() || lines[0].substr(0, 2) != "ok") {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation, url.c_str());
    return false;
  }
  return true;
}

// Performs one request; false (after its log line) for a transport failure or
// a status other than 200.
bool _request(const char *operation, const char *url, const Params &params, HTTPResponse &out) {
  try {
    out = HTTPRequest::GET(url != nullptr ? url : default_url, params);
  } catch (const std::exception &e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", operation, e.what());
    return false;
  }
  if (out.get_status() != 200) {
    if (std::string_view(operation) == "ping")
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(out.get_status()),
               out.get_response().c_str());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", operation, static_cast<int>(out.get_status()),
               out.get_response().c_str());
    return false;
  }
  return true;
}

std::string _serial(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

} // namespace

namespace Answer {

bool Ping(std::string &body, const std::string &url) { return _accepted(_lines(body), "ping", url); }

bool QueryBuild(std::string &body, const std::string &url, std::string &build, std::string &firmware) {
  std::vector<std::string_view> lines = _lines(body);
  if (!_accepted(lines, "QueryBuild", url))
    return false;
  if (lines.size() > 1)
    build = _field(lines[1]);
  if (lines.size() > 2)
    firmware = _field(lines[2]);
  return true;
}

bool GetBuild(std::string &body, const std::string &url, std::string &file) {
  std::vector<std::string_view> lines = _lines(body);
  if (!_accepted(lines, "GetBuild", url))
    return false;
  if (lines.size() > 1)
    file = _field(lines[1]);
  return true;
}

bool GetBuildList(std::string &body, const std::string &url, BuildList &builds) {
  std::vector<std::string_view> lines = _lines(body);
  if (!_accepted(lines, "GetBuildList", url))
    return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.size() < 3)
      continue;
    std::string entry(line);
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", entry.c_str());
    size_t end = line.find_first_of(";\r\n");
    std::string build(line.substr(0, end));
    std::string version;
    if (end != std::string_view::npos && line[end] == ';') {
      std::string_view rest = line.substr(end + 1);
      version = std::string(rest.substr(0, rest.find_first_of(";\r\n")));
    }
    if (build.empty())
      continue;
    builds.emplace(build, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
  }
  return true;
}

bool GetRecoveryInfo(std::string &body, const std::string &url, uint32_t &serial, uint32_t &build) {
  std::vector<std::string_view> lines = _lines(body);
  if (!_accepted(lines, "GetRecoveryInfo", url))
    return false;
  std::string text[3];
  for (size_t i = 0; i < 3 && i < lines.size(); ++i)
    text[i] = std::string(lines[i]);
  if (lines.size() > 1)
    serial = static_cast<uint32_t>(strtoul(text[1].c_str(), nullptr, 16));
  if (lines.size() > 2)
    build = static_cast<uint32_t>(strtoul(text[2].c_str(), nullptr, 0));
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", text[0].c_str(), text[1].c_str(),
           text[2].c_str());
  return true;
}

bool GetDeviceJWT(std::string &body, const std::string &url, std::string &token) {
  std::vector<std::string_view> lines = _lines(body);
  if (!_accepted(lines, "GetDeviceJWT", url))
    return false;
  if (lines.size() < 2 || lines[1].size() <= 2)
    return false;
  std::string entry(lines[1]);
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", entry.c_str());
  // The token ends at the line end: a CR inside the header or payload would
  // otherwise end up in the token.
  std::string_view line = lines[1].substr(0, lines[1].find_first_of("\r\n"));
  size_t dot1 = line.find('.');
  if (dot1 == std::string_view::npos)
    return false;
  size_t dot2 = line.find('.', dot1 + 1);
  if (dot2 == std::string_view::npos)
    return false;
  std::string_view header = line.substr(0, dot1);
  std::string_view payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
  std::string_view signature = line.substr(dot2 + 1);
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
    return false;
  token = std::string(header) + "." + std::string(payload) + "." + std::string(signature);
  return true;
}

} // namespace Answer

bool ping(const char *url) {
  HTTPResponse response("");
  if (!_request("ping", url, {{"op", "hi"}, {"rv", "2"}}, response))
    return false;
  return Answer::Ping(response.get_response(), response.get_request());
}

bool QueryBuild(uint32_t serial, std::string &build, std::string &firmware, const char *url) {
  HTTPResponse response("");
  if (!_request("QueryBuild", url, {{"op", "qu"}, {"sn", _serial(serial)}}, response))
    return false;
  return Answer::QueryBuild(response.get_response(), response.get_request(), build, firmware);
}

bool GetBuild(uint32_t serial, const std::string &firmware, const std::string &build, std::string &file,
              const char *url, bool no_cal) {
  file.clear();
  Params params{
      {"op", "bird"}, {"sn", _serial(serial)}, {"fw", firmware}, {"bld", build}, {"no_cal", no_cal ? "true" : "false"}};
  HTTPResponse response("");
  if (!_request("GetBuild", url, params, response))
    return false;
  return Answer::GetBuild(response.get_response(), response.get_request(), file);
}

bool GetBuildList(uint32_t serial, BuildList &builds, const char *url) {
  builds.clear();
  HTTPResponse response("");
  if (!_request("GetBuildList", url, {{"op", "builds"}, {"sn", _serial(serial)}}, response))
    return false;
  return Answer::GetBuildList(response.get_response(), response.get_request(), builds);
}

bool GetRecoveryInfo(const uint32_t (&fingerprint)[4], uint32_t &serial, uint32_t &build, const char *url) {
  // The words travel as one value; "%20" is the encoded space between them.
  char fp[64];
  snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
           fingerprint[3]);
  HTTPResponse response("");
  if (!_request("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", fp}, {"brief", "true"}}, response))
    return false;
  return Answer::GetRecoveryInfo(response.get_response(), response.get_request(), serial, build);
}

bool GetDeviceJWT(uint32_t serial, std::string &token, const char *url) {
  HTTPResponse response("");
  if (!_request("GetDeviceJWT", url, {{"op", "ent_jwt"}, {"sn", _serial(serial)}, {"json", "false"}}, response))
    return false;
  return Answer::GetDeviceJWT(response.get_response(), response.get_request(), token);
}

std::vector<std::string> SplitQuillworkVersion(const std::string &version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot - start));
    if (dot == std::string::npos)
      break;
    start = dot + 1;
  }
  if (parts.size() != 3)
    parts.clear();
  return parts;
}

namespace {

// True when a's version is newer than b's.
bool _sortVersion(const std::pair<std::string, std::string> &a, const std::pair<std::string, std::string> &b) {
  std::vector<std::string> va = SplitQuillworkVersion(a.second);
  std::vector<std::string> vb = SplitQuillworkVersion(b.second);
  if (va.size() != 3 || vb.size() != 3)
    return false;
  try {
    unsigned n[6];
    for (int i = 0; i < 3; ++i) {
      n[i] = static_cast<unsigned>(std::stoi(va[i]));
      n[i + 3] = static_cast<unsigned>(std::stoi(vb[i]));
    }
    return !cVersion_IsAtLeastCompare(n[3], n[4], n[5], n[0], n[1], n[2]);
  } catch (const std::exception &e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return false;
  }
}

} // namespace

std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(const BuildList &builds) {
  std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
  // The comparison is not a strict weak order for malformed versions (they
  // compare "equal" to everything), which std::sort may not tolerate; the
  // stable insertion order below copes with any comparison.
  for (size_t i = 1; i < sorted.size(); ++i) {
    auto item = sorted[i];
    size_t j = i;
    while (j > 0 && _sortVersion(item, sorted[j - 1])) {
      sorted[j] = sorted[j - 1];
      --j;
    }
    sorted[j] = item;
  }
  return sorted;
}

} // namespace UpdateServerRequest
