#include "birdtool/BirdWriter.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace birdwriter {

namespace {

void put_be32(Bytes &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(uint8_t(v >> shift));
}

uint32_t get_be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void set_error(std::string *error, const std::string &text) {
  if (error)
    *error = text;
}

void key_stream(const uint32_t (&key)[4], uint8_t (&stream)[16]) {
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i)
      stream[4 * w + i] = uint8_t(key[w] >> (24 - 8 * i));
}

std::string field(const std::string &text) {
  std::string f = text.substr(0, 16);
  f.resize(16, ' ');
  return f;
}

const char *type_name(uint8_t type) {
  switch (type) {
  case TYPE_LOADER: return "LOADER";
  case TYPE_FIRMWARE: return "FIRMWARE";
  case TYPE_SERIAL_OFFSETS: return "SERIAL_OFFSETS";
  case TYPE_INFO: return "INFO";
  case TYPE_LOADER_ENTRY: return "LOADER_ENTRY";
  default: return "other";
  }
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

} // namespace

// ---- encoders ----

Bytes ImageData(uint32_t address, const Bytes &payload) {
  Bytes data;
  data.reserve(4 + payload.size());
  put_be32(data, address);
  data.insert(data.end(), payload.begin(), payload.end());
  return data;
}

Bytes InfoData(const Info &info) {
  std::string text = field(info.build) + field(info.version) + field(info.serial) + field(info.model);
  return Bytes(text.begin(), text.end());
}

Bytes SerialOffsetsData(uint32_t serial_address, uint32_t descriptor_address) {
  Bytes data;
  put_be32(data, serial_address);
  put_be32(data, descriptor_address);
  return data;
}

Bytes WordData(uint32_t word) {
  Bytes data;
  put_be32(data, word);
  return data;
}

uint32_t Checksum(const uint8_t *data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i)
    sum += data[i];
  return sum;
}

void ScrambleBytes(uint8_t *data, size_t length, const uint32_t (&key)[4]) {
  uint8_t stream[16];
  key_stream(key, stream);
  uint8_t previous = 0;
  for (size_t i = 0; i < length; ++i) {
    uint8_t plain = data[i];
    data[i] = uint8_t(plain ^ stream[i % 16] ^ previous);
    previous = plain;
  }
}

void UnscrambleBytes(uint8_t *data, size_t length, const uint32_t (&key)[4]) {
  uint8_t stream[16];
  key_stream(key, stream);
  uint8_t previous = 0;
  for (size_t i = 0; i < length; ++i) {
    data[i] = uint8_t(data[i] ^ stream[i % 16] ^ previous);
    previous = data[i];
  }
}

// ---- Image ----

Image &Image::Loader(uint32_t address, const Bytes &payload, uint8_t flags) {
  return Raw(TYPE_LOADER, flags, ImageData(address, payload));
}

Image &Image::Firmware(uint32_t address, const Bytes &payload, uint8_t flags) {
  return Raw(TYPE_FIRMWARE, flags, ImageData(address, payload));
}

Image &Image::SerialOffsets(uint32_t serial_address, uint32_t descriptor_address) {
  return Raw(TYPE_SERIAL_OFFSETS, 0, SerialOffsetsData(serial_address, descriptor_address));
}

Image &Image::AddInfo(const Info &info) { return Raw(TYPE_INFO, 0, InfoData(info)); }

Image &Image::LoaderEntry(uint32_t address) { return Raw(TYPE_LOADER_ENTRY, 0, WordData(address)); }

Image &Image::Raw(uint8_t type, uint8_t flags, const Bytes &data) {
  blocks.push_back(Block{type, flags, data});
  return *this;
}

void Image::Scramble(const uint32_t (&key)[4]) {
  for (Block &b : blocks)
    if (b.type == TYPE_FIRMWARE && b.data.size() > 4)
      ScrambleBytes(b.data.data() + 4, b.data.size() - 4, key);
}

void Image::Unscramble(const uint32_t (&key)[4]) {
  for (Block &b : blocks)
    if (b.type == TYPE_FIRMWARE && b.data.size() > 4)
      UnscrambleBytes(b.data.data() + 4, b.data.size() - 4, key);
}

Bytes Image::Body(const PackOptions &options) const {
  Bytes body;
  put_be32(body, options.reported_count.value_or(uint32_t(blocks.size())));
  for (const Block &b : blocks) {
    body.push_back(uint8_t((b.type & 0x1F) | ((b.flags & 0x07) << 5)));
    put_be32(body, uint32_t(b.data.size()));
    body.insert(body.end(), b.data.begin(), b.data.end());
  }
  if (!options.omit_checksum)
    put_be32(body, options.checksum.value_or(Checksum(body.data(), body.size())));
  body.insert(body.end(), options.trailing.begin(), options.trailing.end());
  return body;
}

Bytes Image::Pack(const PackOptions &options) const { return PackBody(Body(options), options); }

bool Image::Write(const std::string &path, const PackOptions &options, std::string *error) const {
  return WriteFileAtomically(path, Pack(options), error);
}

Bytes Compress(const Bytes &body, int level) {
  uLongf size = compressBound(uLong(body.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, body.data(), uLong(body.size()), level) != Z_OK)
    return Bytes();
  out.resize(size);
  return out;
}

Bytes PackBody(const Bytes &body, const PackOptions &options) {
  int level = options.level < 0 ? 0 : options.level > 9 ? 9 : options.level;
  Bytes compressed = Compress(body, level);
  // Very regular images compress beyond the reader's ratio limit; a faster
  // level, and at worst stored blocks, always fit.
  while (options.fit_ratio && level > 0 && body.size() > compressed.size() * INFLATE_RATIO_LIMIT) {
    level = level > 1 ? 1 : 0;
    compressed = Compress(body, level);
  }
  Bytes file(options.signature, options.signature + 4);
  file.push_back(options.version[0]);
  file.push_back(options.version[1]);
  file.insert(file.end(), compressed.begin(), compressed.end());
  return file;
}

// ---- inspection ----

bool Unpack(const Bytes &file, Parsed &parsed, std::string *error) {
  parsed = Parsed();
  if (file.size() < 6) {
    set_error(error, "file shorter than its 6-byte header");
    return false;
  }
  parsed.signature = get_be32(file.data());
  parsed.version = uint16_t((file[4] << 8) | file[5]);
  parsed.compressed_size = file.size() - 6;

  constexpr size_t limit = size_t(1) << 30;
  Bytes body;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    set_error(error, "zlib initialisation failed");
    return false;
  }
  zs.next_in = const_cast<Bytef *>(file.data() + 6);
  zs.avail_in = uInt(parsed.compressed_size);
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (body.size() >= limit) {
      rc = Z_MEM_ERROR;
      break;
    }
    size_t used = body.size();
    body.resize(used + 65536);
    zs.next_out = body.data() + used;
    zs.avail_out = 65536;
    rc = inflate(&zs, Z_NO_FLUSH);
    body.resize(used + (65536 - zs.avail_out));
    if (rc == Z_BUF_ERROR && zs.avail_in == 0)
      break; // input ended before the stream did
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    set_error(error, format("zlib stream unreadable (%d)", rc));
    return false;
  }
  parsed.body_size = body.size();
  if (parsed.body_size > parsed.compressed_size * INFLATE_RATIO_LIMIT)
    parsed.problems.push_back(
        format("body inflates to more than %zu times its compressed size: loaders refuse it", INFLATE_RATIO_LIMIT));

  const size_t n = body.size();
  if (n < 4) {
    parsed.problems.push_back("body too short for the block count");
    return true;
  }
  parsed.reported_count = get_be32(body.data());
  size_t pos = 4;
  while (n - pos > 4) {
    Block b;
    b.type = body[pos] & 0x1F;
    b.flags = uint8_t(body[pos] >> 5);
    uint32_t length = get_be32(body.data() + pos + 1);
    if (length > n - pos - 5) {
      parsed.problems.push_back(format("block %zu (length %u) runs %zu bytes past the body", parsed.blocks.size(),
                                       length, size_t(length) - (n - pos - 5)));
      return true;
    }
    b.data.assign(body.begin() + long(pos + 5), body.begin() + long(pos + 5 + length));
    parsed.blocks.push_back(std::move(b));
    pos += 5 + length;
  }
  if (n - pos >= 4) {
    parsed.has_checksum = true;
    parsed.checksum = get_be32(body.data() + pos);
    parsed.computed_checksum = Checksum(body.data(), pos);
    pos += 4;
  } else {
    parsed.problems.push_back("no room for the checksum word");
  }
  if (pos < n)
    parsed.problems.push_back(format("%zu bytes after the checksum", n - pos));
  if (parsed.blocks.size() != parsed.reported_count)
    parsed.problems.push_back(format("%zu blocks found, %u reported", parsed.blocks.size(), parsed.reported_count));
  return true;
}

Image ToImage(const Parsed &parsed) {
  Image image;
  image.blocks = parsed.blocks;
  return image;
}

std::string Describe(const Parsed &parsed) {
  std::ostringstream out;
  char sig[5];
  for (int i = 0; i < 4; ++i) {
    char c = char(parsed.signature >> (24 - 8 * i));
    sig[i] = isprint(static_cast<unsigned char>(c)) ? c : '.';
  }
  sig[4] = '\0';
  out << format("signature:      \"%s\" (0x%08X)%s\n", sig, parsed.signature,
                parsed.signature == 0x62697264 ? "" : " - not a BIRD file");
  out << format("format version: %u.%u\n", parsed.version >> 8, parsed.version & 0xFF);
  out << format("body:           %zu bytes compressed, %zu inflated\n", parsed.compressed_size, parsed.body_size);
  out << format("blocks:         %zu found, %u reported\n", parsed.blocks.size(), parsed.reported_count);
  if (parsed.has_checksum)
    out << format("checksum:       0x%08X (byte sum 0x%08X)\n", parsed.checksum, parsed.computed_checksum);
  out << "  #  type              flags  length      address\n";
  for (size_t i = 0; i < parsed.blocks.size(); ++i) {
    const Block &b = parsed.blocks[i];
    std::string address = "-";
    if ((b.type == TYPE_LOADER || b.type == TYPE_FIRMWARE) && b.data.size() >= 4)
      address = format("0x%08X", get_be32(b.data.data()));
    out << format("%3zu  %-14s(%2u) %5u  %-10zu  %s\n", i, type_name(b.type), b.type, b.flags, b.data.size(),
                  address.c_str());
  }
  for (const Block &b : parsed.blocks) {
    if (b.type == TYPE_INFO) {
      std::string text(b.data.begin(), b.data.end());
      text.resize(64, ' ');
      out << "info:\n";
      const char *names[4] = {"build", "version", "serial", "model"};
      for (int f = 0; f < 4; ++f)
        out << format("  %-8s[%s]\n", names[f], text.substr(16 * f, 16).c_str());
      break;
    }
  }
  for (const Block &b : parsed.blocks) {
    if (b.type == TYPE_SERIAL_OFFSETS && b.data.size() >= 8) {
      out << format("serial offsets: serial number 0x%08X, descriptor 0x%08X\n", get_be32(b.data.data()),
                    get_be32(b.data.data() + 4));
      break;
    }
  }
  for (const Block &b : parsed.blocks)
    if (b.type == TYPE_LOADER_ENTRY && b.data.size() >= 4)
      out << format("loader entry:   0x%08X\n", get_be32(b.data.data()));
  for (size_t i = 0; i < parsed.blocks.size(); ++i) {
    const Block &b = parsed.blocks[i];
    if (b.type != TYPE_FIRMWARE)
      continue;
    if (auto m = FindMarker(b.data.data(), b.data.size()))
      out << format("build marker:   build %u, version %s (block %zu)\n", m->build, m->version.c_str(), i);
  }
  for (const std::string &p : parsed.problems)
    out << "problem: " << p << "\n";
  return out.str();
}

bool ReadFile(const std::string &path, Bytes &bytes, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    set_error(error, "cannot open " + path + ": " + strerror(errno));
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    set_error(error, "cannot read " + path);
    return false;
  }
  return true;
}

namespace {

bool write_all(int fd, const Bytes &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += size_t(n);
  }
  return true;
}

} // namespace

bool WriteFileAtomically(const std::string &path, const Bytes &bytes, std::string *error) {
  // A device, a pipe or a terminal ("/dev/stdout") is written in place:
  // renaming over it would replace the node itself.
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write_all(fd, bytes);
    if (fd >= 0)
      close(fd);
    if (!ok)
      set_error(error, "cannot write " + path + ": " + strerror(errno));
    return ok;
  }
  // A symbolic link keeps pointing where it did: the file it names is replaced.
  std::string target = path;
  if (char *resolved = realpath(path.c_str(), nullptr)) {
    target = resolved;
    free(resolved);
  }
  std::string temp = target + ".tmp-" + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    set_error(error, "cannot create " + temp + ": " + strerror(errno));
    return false;
  }
  bool ok = write_all(fd, bytes) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(temp.c_str(), target.c_str()) != 0) {
    set_error(error, "cannot write " + path + ": " + strerror(errno));
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// ---- marker ----

Bytes MarkerBytes(uint32_t build, const std::string &version) {
  Bytes m = {'Q', 'W', 'M', 'A', 'R', 'K', '0', '1'};
  put_be32(m, build);
  std::string v = version.substr(0, 16);
  m.insert(m.end(), v.begin(), v.end());
  m.resize(28, 0);
  put_be32(m, Checksum(m.data(), 28));
  return m;
}

std::optional<Marker> FindMarker(const uint8_t *data, size_t length) {
  static const uint8_t magic[8] = {'Q', 'W', 'M', 'A', 'R', 'K', '0', '1'};
  if (data == nullptr)
    return std::nullopt;
  for (size_t i = 0; i + MARKER_SIZE <= length; ++i) {
    const uint8_t *p = data + i;
    if (p[0] != 'Q' || memcmp(p, magic, 8) != 0 || get_be32(p + 28) != Checksum(p, 28))
      continue;
    Marker m;
    m.build = get_be32(p + 8);
    m.version.assign(reinterpret_cast<const char *>(p + 12), strnlen(reinterpret_cast<const char *>(p + 12), 16));
    return m;
  }
  return std::nullopt;
}

Bytes SyntheticPayload(size_t size, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  auto next = [&state]() {
    state = state * 1664525u + 1013904223u;
    return state;
  };
  uint32_t dictionary[64];
  for (uint32_t &w : dictionary)
    w = next();
  Bytes out;
  out.reserve(size + 4);
  while (out.size() < size) {
    uint32_t r = next();
    // Half the words repeat from a small set, as instructions and constants do.
    uint32_t word = (r >> 31) ? dictionary[(r >> 20) & 63] : next();
    for (int i = 0; i < 4; ++i)
      out.push_back(uint8_t(word >> (8 * i)));
  }
  out.resize(size);
  return out;
}

// ---- description files ----

namespace {

// Splits a line into words; double quotes group blanks into one word, and a
// "#" that begins a word outside quotes starts a comment.
std::vector<std::string> words_of(const std::string &line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '#' && !quoted && !any)
      return words;
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (any)
        words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any)
    words.push_back(word);
  return words;
}

bool number(const std::string &text, uint32_t &value) {
  if (text.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-')
    return false;
  value = uint32_t(v);
  return true;
}

bool load_data(const std::string &spec, const std::string &base, Bytes &data, std::string &why) {
  if (spec.rfind("@random:", 0) == 0) {
    uint32_t size = 0, seed = 1;
    std::string rest = spec.substr(8);
    size_t colon = rest.find(':');
    if (!number(rest.substr(0, colon), size) || (colon != std::string::npos && !number(rest.substr(colon + 1), seed))) {
      why = "bad @random size or seed: " + spec;
      return false;
    }
    data = SyntheticPayload(size, seed);
    return true;
  }
  std::string path = (spec.empty() || spec[0] == '/' || base.empty()) ? spec : base + "/" + spec;
  return ReadFile(path, data, &why);
}

} // namespace

bool ParseDescription(const std::string &text, const std::string &base_directory, Image &image, std::string *error) {
  std::istringstream in(text);
  std::string line;
  int line_number = 0;
  Info info;
  bool have_info = false;
  std::vector<size_t> marked; // firmware blocks that get the marker
  auto fail = [&](const std::string &why) {
    set_error(error, format("line %d: ", line_number) + why);
    return false;
  };
  while (std::getline(in, line)) {
    ++line_number;
    std::vector<std::string> w = words_of(line);
    if (w.empty())
      continue;
    const std::string &kind = w[0];
    uint8_t flags = 0;
    bool marker = false;
    std::vector<std::string> args;
    for (size_t i = 1; i < w.size(); ++i) {
      uint32_t v = 0;
      if (w[i].rfind("flags=", 0) == 0) {
        if (!number(w[i].substr(6), v) || v > 7)
          return fail("flags must be 0-7: " + w[i]);
        flags = uint8_t(v);
      } else if (w[i] == "marker") {
        marker = true;
      } else {
        args.push_back(w[i]);
      }
    }
    uint32_t a = 0, b = 0;
    Bytes data;
    std::string why;
    if (kind == "info") {
      for (const std::string &arg : args) {
        size_t eq = arg.find('=');
        std::string key = arg.substr(0, eq), value = eq == std::string::npos ? "" : arg.substr(eq + 1);
        if (key == "build")
          info.build = value;
        else if (key == "version")
          info.version = value;
        else if (key == "serial")
          info.serial = value;
        else if (key == "model")
          info.model = value;
        else
          return fail("unknown info field: " + arg);
      }
      have_info = true;
      image.AddInfo(info);
    } else if (kind == "loader" || kind == "firmware") {
      if (args.size() != 2 || !number(args[0], a))
        return fail(kind + " needs ADDRESS FILE");
      if (!load_data(args[1], base_directory, data, why))
        return fail(why);
      if (kind == "loader") {
        image.Loader(a, data, flags);
      } else {
        image.Firmware(a, data, flags);
        if (marker)
          marked.push_back(image.blocks.size() - 1);
      }
    } else if (kind == "serial-offsets") {
      if (args.size() != 2 || !number(args[0], a) || !number(args[1], b))
        return fail("serial-offsets needs SERIAL_ADDRESS DESCRIPTOR_ADDRESS");
      image.SerialOffsets(a, b);
    } else if (kind == "loader-entry") {
      if (args.size() != 1 || !number(args[0], a))
        return fail("loader-entry needs ADDRESS");
      image.LoaderEntry(a);
    } else if (kind == "block") {
      if (args.size() != 2 || !number(args[0], a) || a > 31)
        return fail("block needs TYPE (0-31) FILE");
      if (!load_data(args[1], base_directory, data, why))
        return fail(why);
      image.Raw(uint8_t(a), flags, data);
    } else {
      return fail("unknown block kind: " + kind);
    }
  }
  if (!marked.empty()) {
    if (!have_info) {
      set_error(error, "a marker needs an info line for its build and version");
      return false;
    }
    Bytes m = MarkerBytes(uint32_t(strtoul(info.build.c_str(), nullptr, 10)), info.version);
    for (size_t i : marked)
      image.blocks[i].data.insert(image.blocks[i].data.end(), m.begin(), m.end());
  }
  return true;
}

} // namespace birdwriter
