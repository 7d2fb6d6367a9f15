// The update server's query vocabulary ("/cgi/u?op=..."): free functions that
// each take the server URL last (null means the default URL). Every request
// is one GET; the answer is a text body whose first line begins with "ok" on
// success, followed by the operation's values one per line. Every failure is
// a false result and one debug line under DEBUG_ServerComm; outputs are only
// filled on success.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Build number text -> version text; the first entry for a build wins.
using BuildList = std::map<std::string, std::string>;

namespace UpdateServerRequest {

// The maker's update server over plain HTTP.
extern const char *const default_url;

// True when the server answers "ok".
bool ping(const char *url = nullptr);
// The build the module should run and its firmware identifier (each set only
// when the answer carries it).
bool QueryBuild(uint32_t serial, std::string &build, std::string &firmware, const char *url = nullptr);
// The BIRD file of one build as Base64 text; file is cleared first.
bool GetBuild(uint32_t serial, const std::string &firmware, const std::string &build, std::string &file,
              const char *url = nullptr, bool no_cal = false);
// The builds the server offers for a module; builds is cleared first.
bool GetBuildList(uint32_t serial, BuildList &builds, const char *url = nullptr);
// The serial number and recovery build of a module known by its chip
// fingerprint.
bool GetRecoveryInfo(const uint32_t (&fingerprint)[4], uint32_t &serial, uint32_t &build, const char *url = nullptr);
// The module's signed feature token (header.payload.signature).
bool GetDeviceJWT(uint32_t serial, std::string &token, const char *url = nullptr);

// Cuts a version text at every "."; anything but exactly three parts gives an
// empty vector.
std::vector<std::string> SplitQuillworkVersion(const std::string &version);

// The list's pairs, newest version first.
std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(const BuildList &builds);

// The answer parsers behind the requests, apart from the transport so that
// any body can be fed to them. The body is the whole answer of a status-200
// exchange (it may be cut up in place) and url the request, for the log.
namespace Answer {
bool Ping(std::string &body, const std::string &url);
bool QueryBuild(std::string &body, const std::string &url, std::string &build, std::string &firmware);
bool GetBuild(std::string &body, const std::string &url, std::string &file);
bool GetBuildList(std::string &body, const std::string &url, BuildList &builds);
bool GetRecoveryInfo(std::string &body, const std::string &url, uint32_t &serial, uint32_t &build);
bool GetDeviceJWT(std::string &body, const std::string &url, std::string &token);
} // namespace Answer

} // namespace UpdateServerRequest
