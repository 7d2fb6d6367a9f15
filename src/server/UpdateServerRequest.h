// The update server's query vocabulary ("/cgi/u?op=..."): free functions that
// each take the server URL last (null means the default URL).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// Build number text -> version text; the first entry for a build wins.
using BuildList = std::map<std::string, std::string>;

namespace UpdateServerRequest {

// Cuts a version text at every "."; anything but exactly three parts gives an
// empty vector.
std::vector<std::string> SplitQuillworkVersion(const std::string &version);

// The list's pairs, newest version first.
std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(const BuildList &builds);

} // namespace UpdateServerRequest
