#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <stdexcept>

#include "app/Log.h"
#include "quillwork/cVersion.h"

namespace UpdateServerRequest {

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
