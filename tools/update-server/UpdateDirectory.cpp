#include "UpdateDirectory.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "server/HTTPRequest.h"
#include "store/BirdFile.h"

namespace fs = std::filesystem;

namespace qwserver {

namespace {

// Largest BIRD file served: its Base64 text must stay well inside what the
// client accepts as one answer.
constexpr uintmax_t kMaxBirdFileBytes = 32u << 20;

Reply refuse(const std::string &reason) { return Reply{200, "error: " + reason + "\n"}; }
Reply malformed(const std::string &reason) { return Reply{400, "error: " + reason + "\n"}; }

std::string hex8(uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08X", value);
  return text;
}

std::string trim(const std::string &text) {
  size_t b = 0, e = text.size();
  while (b < e && isspace(static_cast<unsigned char>(text[b])))
    ++b;
  while (e > b && isspace(static_cast<unsigned char>(text[e - 1])))
    --e;
  return text.substr(b, e - b);
}

// A decimal build number as the client sends and the file names carry it:
// digits without a leading zero, 1 to 4294967295.
bool isBuildNumber(const std::string &text) {
  if (text.empty() || text.size() > 10 || text[0] == '0')
    return false;
  for (char c : text)
    if (!isdigit(static_cast<unsigned char>(c)))
      return false;
  return std::stoull(text) <= UINT32_MAX;
}

// Firmware identifiers travel unencoded in the query string.
bool isIdentifier(const std::string &text) {
  if (text.empty() || text.size() > 64)
    return false;
  for (char c : text)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
      return false;
  return true;
}

// The lines of a small text file without comments ("#" to the end of line)
// and surrounding blanks; empty lines are dropped.
std::vector<std::string> configLines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos)
      line.erase(hash);
    line = trim(line);
    if (!line.empty())
      lines.push_back(line);
  }
  return lines;
}

std::string versionOf(const std::string &path) {
  try {
    return BirdFile(path).GetVersion();
  } catch (const std::exception &) {
    return std::string(); // not a loadable BIRD file: listed without a version
  }
}

} // namespace

bool ParseHex32(const std::string &text, uint32_t &value) {
  if (text.empty() || text.size() > 8)
    return false;
  for (char c : text)
    if (!isxdigit(static_cast<unsigned char>(c)))
      return false;
  value = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
  return true;
}

std::optional<UpdateDirectory::Device> UpdateDirectory::device(uint32_t serial) const {
  Device d;
  d.dir = root_ + "/devices/" + hex8(serial);
  std::error_code ec;
  if (!fs::is_directory(d.dir, ec))
    return std::nullopt;
  d.firmware = "main";
  for (const std::string &line : configLines(d.dir + "/device.conf")) {
    size_t eq = line.find('=');
    if (eq == std::string::npos)
      continue;
    std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "build")
      d.build = value;
    else if (key == "firmware")
      d.firmware = value;
  }
  if (d.build.empty()) {
    // No build named: the newest (highest numbered) one on offer.
    unsigned long long newest = 0;
    for (const auto &entry : builds(d.dir)) {
      unsigned long long n = std::stoull(entry.first);
      if (n > newest) {
        newest = n;
        d.build = entry.first;
      }
    }
  }
  return d;
}

std::map<std::string, std::string> UpdateDirectory::builds(const std::string &dir) const {
  std::map<std::string, std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path &p = it->path();
    std::string stem = p.stem().string();
    if (p.extension() == ".bird" && isBuildNumber(stem) && it->is_regular_file(ec))
      found.emplace(stem, p.string());
  }
  return found;
}

Reply UpdateDirectory::answer(const Query &query) const {
  auto get = [&query](const char *key) -> const std::string * {
    auto it = query.find(key);
    return it == query.end() ? nullptr : &it->second;
  };
  const std::string *op = get("op");
  if (op == nullptr)
    return malformed("no operation");

  uint32_t serial = 0;
  auto needSerial = [&]() {
    const std::string *sn = get("sn");
    return sn != nullptr && ParseHex32(*sn, serial);
  };

  if (*op == "hi")
    return ping();
  if (*op == "qu") {
    if (!needSerial())
      return malformed("sn must be 1 to 8 hexadecimal digits");
    return queryBuild(serial);
  }
  if (*op == "builds") {
    if (!needSerial())
      return malformed("sn must be 1 to 8 hexadecimal digits");
    return buildList(serial);
  }
  if (*op == "bird") {
    if (!needSerial())
      return malformed("sn must be 1 to 8 hexadecimal digits");
    const std::string *fw = get("fw"), *bld = get("bld"), *no_cal = get("no_cal");
    if (fw == nullptr || bld == nullptr)
      return malformed("fw and bld are required");
    if (no_cal != nullptr && *no_cal != "true" && *no_cal != "false")
      return malformed("no_cal must be true or false");
    return build(serial, *fw, *bld);
  }
  if (*op == "fix") {
    const std::string *fp = get("fp");
    if (fp == nullptr)
      return malformed("fp is required");
    // Four words separated by blanks ("%20" in the query).
    std::istringstream words(*fp);
    uint32_t fingerprint[4];
    std::string word;
    int n = 0;
    while (words >> word) {
      if (n == 4 || !ParseHex32(word, fingerprint[n]))
        return malformed("fp must be four hexadecimal words");
      ++n;
    }
    if (n != 4)
      return malformed("fp must be four hexadecimal words");
    return recovery(fingerprint);
  }
  if (*op == "ent_jwt") {
    if (!needSerial())
      return malformed("sn must be 1 to 8 hexadecimal digits");
    return token(serial);
  }
  return malformed("unknown operation");
}

Reply UpdateDirectory::ping() const { return Reply{200, "ok\n"}; }

Reply UpdateDirectory::queryBuild(uint32_t serial) const {
  std::optional<Device> d = device(serial);
  if (!d)
    return refuse("unknown device " + hex8(serial));
  if (!isBuildNumber(d->build))
    return refuse("no build for device " + hex8(serial));
  if (!isIdentifier(d->firmware))
    return refuse("bad firmware identifier for device " + hex8(serial));
  return Reply{200, "ok\n" + d->build + "\n" + d->firmware + "\n"};
}

Reply UpdateDirectory::buildList(uint32_t serial) const {
  std::optional<Device> d = device(serial);
  if (!d)
    return refuse("unknown device " + hex8(serial));
  std::string body = "ok\n";
  for (const auto &[number, path] : builds(d->dir))
    body += number + ";" + versionOf(path) + "\n";
  return Reply{200, body};
}

Reply UpdateDirectory::build(uint32_t serial, const std::string &firmware, const std::string &number) const {
  std::optional<Device> d = device(serial);
  if (!d)
    return refuse("unknown device " + hex8(serial));
  if (firmware != d->firmware)
    return refuse("unknown firmware " + firmware + " for device " + hex8(serial));
  std::map<std::string, std::string> all = builds(d->dir);
  auto it = isBuildNumber(number) ? all.find(number) : all.end();
  if (it == all.end())
    return refuse("no build " + number + " for device " + hex8(serial));
  std::error_code ec;
  uintmax_t size = fs::file_size(it->second, ec);
  if (ec || size > kMaxBirdFileBytes)
    return refuse("build " + number + " cannot be served");
  std::ifstream in(it->second, std::ios::binary);
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(size)))
    return refuse("build " + number + " cannot be read");
  size_t length = 0;
  char *text = base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &length);
  if (text == nullptr)
    return refuse("build " + number + " cannot be encoded");
  Reply reply{200, "ok\n"};
  reply.body.append(text, length);
  reply.body += '\n';
  free(text);
  return reply;
}

Reply UpdateDirectory::recovery(const uint32_t (&fingerprint)[4]) const {
  // Lines of "W0 W1 W2 W3 SERIAL [BUILD]"; the first match wins.
  for (const std::string &line : configLines(root_ + "/recovery.conf")) {
    std::istringstream fields(line);
    std::string word[6];
    int n = 0;
    while (n < 6 && fields >> word[n])
      ++n;
    uint32_t w[4], serial = 0;
    if (n < 5 || !ParseHex32(word[0], w[0]) || !ParseHex32(word[1], w[1]) || !ParseHex32(word[2], w[2]) ||
        !ParseHex32(word[3], w[3]) || !ParseHex32(word[4], serial))
      continue;
    if (w[0] != fingerprint[0] || w[1] != fingerprint[1] || w[2] != fingerprint[2] || w[3] != fingerprint[3])
      continue;
    std::string build = n == 6 ? word[5] : std::string();
    if (build.empty()) {
      std::optional<Device> d = device(serial);
      if (d)
        build = d->build;
    }
    if (!isBuildNumber(build))
      return refuse("no recovery build for device " + hex8(serial));
    return Reply{200, "ok\n" + hex8(serial) + "\n" + build + "\n"};
  }
  return refuse("unknown fingerprint");
}

Reply UpdateDirectory::token(uint32_t serial) const {
  std::optional<Device> d = device(serial);
  if (!d)
    return refuse("unknown device " + hex8(serial));
  std::ifstream in(d->dir + "/token.jwt");
  std::string line;
  std::getline(in, line);
  line = trim(line);
  if (line.empty())
    return refuse("no token for device " + hex8(serial));
  return Reply{200, "ok\n" + line + "\n"};
}

} // namespace qwserver
