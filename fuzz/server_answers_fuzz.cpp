// Feeds any body to every answer parser of the update server vocabulary, and
// orders whatever build list comes out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/UpdateServerRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  namespace A = UpdateServerRequest::Answer;
  const std::string input(reinterpret_cast<const char *>(data), size);
  const std::string url = "http://127.0.0.1/cgi/u?op=x&";

  std::string body = input, build = "b", firmware = "f";
  bool accepted = A::Ping(body, url);
  body = input;
  if (A::QueryBuild(body, url, build, firmware) != accepted)
    __builtin_trap(); // every parser agrees on the first line

  body = input;
  std::string file;
  A::GetBuild(body, url, file);

  body = input;
  BuildList builds;
  if (A::GetBuildList(body, url, builds)) {
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    if (sorted.size() != builds.size())
      __builtin_trap();
  }

  body = input;
  uint32_t serial = 0, recovery_build = 0;
  A::GetRecoveryInfo(body, url, serial, recovery_build);

  body = input;
  std::string token;
  if (A::GetDeviceJWT(body, url, token) && (token.size() < 8 || token.find_first_of("\r\n") != std::string::npos))
    __builtin_trap();
  return 0;
}
