// Writing and inspecting BIRD firmware files: the library behind `birdtool`,
// also used by tests, fuzz seeds and simulators to make their inputs.
//
// A file is the 4 bytes "bird", two format-version bytes (0x01 0x01) and a
// zlib stream of the body: a big-endian block count, the blocks (a type/flags
// byte, a big-endian length, the data) and a 32-bit checksum word. Loader and
// firmware block data starts with the big-endian load address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdwriter {

using Bytes = std::vector<uint8_t>;

enum BlockType : uint8_t {
  TYPE_LOADER = 0,
  TYPE_FIRMWARE = 1,
  TYPE_SERIAL_OFFSETS = 2,
  TYPE_INFO = 4,
  TYPE_LOADER_ENTRY = 5,
};

// The reader inflates a body to at most this many times its compressed size.
constexpr size_t INFLATE_RATIO_LIMIT = 8;

struct Block {
  uint8_t type = 0;
  uint8_t flags = 0; // 0-7, stored in the top three bits of the type byte
  Bytes data;        // as stored: loader and firmware data begin with the address
};

// The info block's four 16-byte text fields, each blank-padded (or cut) to 16.
struct Info {
  std::string build;   // decimal build number
  std::string version; // version text, e.g. "2.10.3"
  std::string serial;  // 8 hexadecimal digits
  std::string model;   // model name
};

struct PackOptions {
  int level = 9; // zlib compression level 0-9
  // Lower the compression level when needed so that the body inflates to at
  // most INFLATE_RATIO_LIMIT times its compressed size (a loader refuses more);
  // off, the level is used as given.
  bool fit_ratio = true;
  std::optional<uint32_t> reported_count; // default: the number of blocks
  std::optional<uint32_t> checksum;       // default: Checksum() of the body
  Bytes trailing;                         // bytes after the checksum word
  bool omit_checksum = false;             // leave the checksum word out
  char signature[4] = {'b', 'i', 'r', 'd'};
  uint8_t version[2] = {0x01, 0x01};
};

// Block data encoders.
Bytes ImageData(uint32_t address, const Bytes &payload);
Bytes InfoData(const Info &info);
Bytes SerialOffsetsData(uint32_t serial_address, uint32_t descriptor_address);
Bytes WordData(uint32_t word);

// The checksum word the writer stores: the 32-bit sum of every body byte
// before it (readers log it and do not check it).
uint32_t Checksum(const uint8_t *data, size_t length);

// The chained XOR kept on firmware payloads for boot-loader recovery. The key
// stream is the four fingerprint words, most significant byte first; each
// plain byte is stored as plain ^ key[i % 16] ^ previous plain byte (0 at the
// start of a payload).
void ScrambleBytes(uint8_t *data, size_t length, const uint32_t (&key)[4]);
void UnscrambleBytes(uint8_t *data, size_t length, const uint32_t (&key)[4]);

class Image {
public:
  Image &Loader(uint32_t address, const Bytes &payload, uint8_t flags = 0);
  Image &Firmware(uint32_t address, const Bytes &payload, uint8_t flags = 0);
  Image &SerialOffsets(uint32_t serial_address, uint32_t descriptor_address);
  Image &AddInfo(const Info &info);
  Image &LoaderEntry(uint32_t address);
  Image &Raw(uint8_t type, uint8_t flags, const Bytes &data);

  // Applies the chained XOR to (or removes it from) every firmware payload.
  void Scramble(const uint32_t (&key)[4]);
  void Unscramble(const uint32_t (&key)[4]);

  // The inflated body, the whole file, and the file written atomically.
  Bytes Body(const PackOptions &options = {}) const;
  Bytes Pack(const PackOptions &options = {}) const;
  bool Write(const std::string &path, const PackOptions &options = {}, std::string *error = nullptr) const;

  std::vector<Block> blocks;
};

// Header plus compressed body.
Bytes PackBody(const Bytes &body, const PackOptions &options = {});
Bytes Compress(const Bytes &body, int level);

// ---- inspection ----

struct Parsed {
  uint32_t signature = 0;
  uint16_t version = 0;
  size_t compressed_size = 0;
  size_t body_size = 0;
  uint32_t reported_count = 0;
  std::vector<Block> blocks;
  bool has_checksum = false;
  uint32_t checksum = 0;
  uint32_t computed_checksum = 0;
  std::vector<std::string> problems; // what does not add up, in words
};

// Inflates (without the ratio limit, up to 1 GiB) and parses a file image;
// false only when the header or the zlib stream cannot be read at all.
bool Unpack(const Bytes &file, Parsed &parsed, std::string *error = nullptr);
// The parsed blocks as an Image, to transform and pack again.
Image ToImage(const Parsed &parsed);
// A readable listing of the header, the blocks and the info fields.
std::string Describe(const Parsed &parsed);

bool ReadFile(const std::string &path, Bytes &bytes, std::string *error = nullptr);
bool WriteFileAtomically(const std::string &path, const Bytes &bytes, std::string *error = nullptr);

// ---- build marker ----
//
// A 32-byte record a simulated module can find in the firmware it was sent,
// since only loader and firmware payloads reach a module: "QWMARK01", the
// build (big-endian), the version text (16 bytes, NUL-padded), and the
// big-endian 32-bit byte sum of the 28 bytes before it.
constexpr size_t MARKER_SIZE = 32;

struct Marker {
  uint32_t build = 0;
  std::string version;
};

Bytes MarkerBytes(uint32_t build, const std::string &version);
// The first valid marker in the bytes.
std::optional<Marker> FindMarker(const uint8_t *data, size_t length);

// Deterministic firmware-like bytes (words with repeats, compressible about
// 2:1), for tests, benchmarks and simulators.
Bytes SyntheticPayload(size_t size, uint32_t seed);

// ---- description files ----
//
// One block per line, in file order; "#" starts a comment; numbers are
// decimal or 0x-hexadecimal; FILE is a path (relative to the description's
// directory) or "@random:SIZE[:SEED]" for SyntheticPayload bytes.
//   info build=1234 version=2.10.3 serial=0012ABCD model="QW Hub"
//   loader ADDRESS FILE [flags=N]
//   firmware ADDRESS FILE [flags=N] [marker]   (marker: append MarkerBytes of the info)
//   serial-offsets SERIAL_ADDRESS DESCRIPTOR_ADDRESS
//   loader-entry ADDRESS
//   block TYPE FILE [flags=N]
bool ParseDescription(const std::string &text, const std::string &base_directory, Image &image,
                      std::string *error = nullptr);

} // namespace birdwriter
