// The reference update server's content: a plain directory that a person
// fills by hand (README.md describes the layout). It is read afresh for every
// request, so edits take effect at once and nothing is cached.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace qwserver {

// One answer: the HTTP status and the text body.
struct Reply {
  int status = 200;
  std::string body;
};

// The query parameters of one request (the first value of each key).
using Query = std::map<std::string, std::string>;

class UpdateDirectory {
public:
  explicit UpdateDirectory(std::string root) : root_(std::move(root)) {}

  // Answers one "/cgi/u" request. Success is status 200 with a body whose
  // first line is "ok"; a request the server understands but cannot satisfy
  // (unknown module, build or fingerprint) is status 200 with a first line
  // "error: ..."; a malformed request is status 400.
  Reply answer(const Query &query) const;

  const std::string &root() const { return root_; }

private:
  struct Device {
    std::string dir;
    std::string build;    // the build the module should run
    std::string firmware; // firmware identifier
  };
  // The device directory of a serial number, with its settings; nothing when
  // the server does not know the module.
  std::optional<Device> device(uint32_t serial) const;
  // Build number text -> path of its BIRD file.
  std::map<std::string, std::string> builds(const std::string &dir) const;

  Reply ping() const;
  Reply queryBuild(uint32_t serial) const;
  Reply buildList(uint32_t serial) const;
  Reply build(uint32_t serial, const std::string &firmware, const std::string &build) const;
  Reply recovery(const uint32_t (&fingerprint)[4]) const;
  Reply token(uint32_t serial) const;

  std::string root_;
};

// Parses 1 to 8 hexadecimal digits, nothing else.
bool ParseHex32(const std::string &text, uint32_t &value);

} // namespace qwserver
