#include "store/BirdFile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <zlib.h>

#include "app/Log.h"
#include "quillwork/cFile.h"

namespace {

uint32_t _be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t _le32(const uint8_t *p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void _put_le32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(v >> (8 * i));
}

// Copies the first `length` bytes of a block into a blank-padded info text.
void _info_copy(const uint8_t *data, uint32_t length, char (&text)[BIRD_INFO_SIZE]) {
  memset(text, ' ', sizeof text);
  memcpy(text, data, length < sizeof text ? length : sizeof text);
}

bool _has_address(uint8_t type) { return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE; }

} // namespace

BirdFile::BirdFile(const std::string &file_path) : path(file_path) {
  if (!Load())
    throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(const BirdFile &other) { copyFrom(other); }

BirdFile &BirdFile::operator=(const BirdFile &other) {
  if (this != &other)
    copyFrom(other);
  return *this;
}

BirdFile::BirdFile(BirdFile &&other) noexcept { *this = std::move(other); }

BirdFile &BirdFile::operator=(BirdFile &&other) noexcept {
  if (this == &other)
    return *this;
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  block_count = other.block_count;
  blocks = std::move(other.blocks); // the pointers stay valid: the buffer moves with them
  has_serial_offsets = other.has_serial_offsets;
  serial_number_offset = other.serial_number_offset;
  descriptor_offset = other.descriptor_offset;
  data = std::move(other.data);
  data_size = other.data_size;
  other.reset();
  return *this;
}

void BirdFile::copyFrom(const BirdFile &other) {
  path = other.path;
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  block_count = other.block_count;
  has_serial_offsets = other.has_serial_offsets;
  serial_number_offset = other.serial_number_offset;
  descriptor_offset = other.descriptor_offset;
  data_size = other.data_size;
  data.reset();
  if (other.data) {
    data = std::make_unique<uint8_t[]>(other.data_size ? other.data_size : 1);
    memcpy(data.get(), other.data.get(), other.data_size);
  }
  // Blocks point into their file's buffer: rebase them onto the copy.
  blocks = other.blocks;
  for (BirdBlock &b : blocks) {
    if (other.data && b.data >= other.data.get() && b.data <= other.data.get() + other.data_size)
      b.data = data.get() + (b.data - other.data.get());
  }
}

void BirdFile::reset() {
  signature = 0;
  version = 0;
  checksum = 0;
  block_count = 0;
  blocks.clear();
  has_serial_offsets = false;
  serial_number_offset = 0;
  descriptor_offset = 0;
  data.reset();
  data_size = 0;
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  reset();
  if (!cFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return false;
  }
  cFile file = cFile_Open(path.c_str(), cFILE_READ);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  size_t size = 0;
  cErr err = cFile_GetSize(file, &size);
  if (err != cErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
    cFile_Close(&file);
    return false;
  }

  bool loaded = false;
  // The inflated body must fit a 32-bit size at the fixed ratio, so a larger
  // file can never load: refuse it before reading it into memory.
  if (size > UINT32_MAX / BIRD_FILE_INFLATE_RATIO) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", cErrSize, path.c_str());
  } else {
    std::vector<uint8_t> buffer(size);
    size_t total = 0;
    err = cErrNone;
    while (total < size) {
      size_t count = 0;
      err = cFile_Read(file, buffer.data() + total, size - total, &count);
      total += count;
      if (err != cErrNone || count == 0)
        break;
    }
    if (err != cErrNone && err != cErrEOF)
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
    else if (total != size)
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), total,
               size);
    else
      loaded = LoadFromMemory(buffer.data(), size);
  }
  cFile_Close(&file);
  return loaded;
}

bool BirdFile::LoadFromMemory(const uint8_t *file, size_t length) {
  reset();
  if (file != nullptr && length > BIRD_FILE_HEADER_SIZE) {
    signature = _be32(file);
    version = (uint32_t(file[4]) << 8) | file[5];
  }
  // A file of no more than its header has an empty body, which zlib refuses.
  size_t body = length > BIRD_FILE_HEADER_SIZE ? length - BIRD_FILE_HEADER_SIZE : 0;
  bool ok = DecompressData(body ? file + BIRD_FILE_HEADER_SIZE : nullptr, body);
  if (ok) {
    // Count and size mismatches are logged by the scan and do not fail the load.
    ScanBlocks(data.get(), data_size);
    FindSerialNumberOffsets();
  }
  for (const BirdBlock &b : blocks) {
    if (b.type == BLOCK_SERIAL_OFFSETS) {
      has_serial_offsets = true;
      FindSerialNumberOffsets();
      break;
    }
  }
  return ok;
}

bool BirdFile::DecompressData(const uint8_t *source, size_t length) {
  // The old buffer goes: nothing may keep pointing into it.
  blocks.clear();
  block_count = 0;
  has_serial_offsets = false;
  serial_number_offset = 0;
  descriptor_offset = 0;
  data.reset();
  data_size = 0;

  static const uint8_t empty = 0;
  if (source == nullptr)
    source = &empty;
  int rc = Z_MEM_ERROR;
  if (length <= UINT32_MAX / BIRD_FILE_INFLATE_RATIO) {
    uLongf capacity = uLongf(length * BIRD_FILE_INFLATE_RATIO);
    // Not value-initialised: zlib writes what is used, the rest is never read.
    data.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
    if (data) {
      uLongf produced = capacity;
      rc = uncompress(data.get(), &produced, source, uLong(length));
      if (rc == Z_OK)
        data_size = uint32_t(produced);
    }
  }
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    data.reset();
    data_size = 0;
    return false;
  }
  return true;
}

bool BirdFile::ScanBlocks(uint8_t *body, size_t length) {
  block_count = 0;
  blocks.clear();
  checksum = 0;
  if (body == nullptr)
    length = 0;
  uint32_t reported = length >= 4 ? _be32(body) : 0;
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  size_t pos = length >= 4 ? 4 : length;
  bool overrun = false;
  while (length - pos > 4) {
    BirdBlock b;
    b.type = body[pos] & BIRD_FILE_TYPE_MASK;
    b.flags = uint8_t((body[pos] & BIRD_FILE_FLAG_MASK) >> 5);
    b.length = _be32(body + pos + 1);
    b.data = body + pos + 5;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags, int(b.length));
    // A block that runs past the body, or an image too short to hold its
    // address word, ends the scan: it is never handed on.
    if (b.length > length - pos - 5 || (_has_address(b.type) && b.length < 4)) {
      overrun = true;
      break;
    }
    if (_has_address(b.type))
      b.address = _be32(b.data);
    if (b.type == BLOCK_INFO) {
      char text[BIRD_INFO_SIZE];
      _info_copy(b.data, b.length, text);
      for (size_t f = 0; f < BIRD_INFO_SIZE; f += BIRD_INFO_FIELD_SIZE)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", text + f);
    }
    pos += 5 + size_t(b.length);
    ++block_count;
    blocks.push_back(b);
  }

  if (!overrun && length - pos >= 4) {
    checksum = _be32(body + pos);
    pos += 4;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  } else if (!overrun) {
    // No room left for the checksum word: report how far short it fell.
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(length - pos) - 4);
    return false;
  }
  if (pos != length) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(length - pos));
    return false;
  }
  if (block_count != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", int(block_count),
             int(reported));
    return false;
  }
  return true;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock &b : blocks)
    if (b.type == type)
      found.push_back(b);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blocks.empty() || !data)
    return false;
  for (const BirdBlock &b : blocks) {
    if (b.type != BLOCK_SERIAL_OFFSETS)
      continue;
    // A block too short for both words gives no offsets, so a generic image
    // with it cannot be patched (rather than reading past the block).
    if (b.length < 8)
      return false;
    serial_number_offset = _be32(b.data);
    descriptor_offset = _be32(b.data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", int(serial_number_offset),
             int(descriptor_offset));
    return true;
  }
  return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char hex[9];
  snprintf(hex, sizeof hex, "%08X", serial);
  const uint64_t s = serial_number_offset;
  const uint64_t d = descriptor_offset;
  bool result = false;
  for (const BirdBlock &b : blocks) {
    if (b.type != BLOCK_FIRMWARE)
      continue;
    // 64-bit so that an image near the top of the address space cannot wrap.
    const uint64_t start = b.address;
    const uint64_t end = start + b.payload_length();
    uint8_t *payload = b.payload();
    if (s != 0) {
      if (start <= s && s + 4 <= end) {
        uint8_t *word = payload + (s - start);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", _le32(word), serial);
        _put_le32(word, serial);
      }
      result = true;
    }
    if (d != 0 && start <= d && d + 16 <= end) {
      // The low bytes of the eight UTF-16LE code units of the USB serial string.
      uint8_t *descriptor = payload + (d - start);
      for (int i = 0; i < 8; ++i)
        descriptor[2 * i] = uint8_t(hex[i]);
      result = true;
    }
  }
  return result;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t (&key)[4]) {
  uint8_t stream[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i)
      stream[4 * w + i] = uint8_t(key[w] >> (24 - 8 * i));
  for (const BirdBlock &b : blocks) {
    if (b.type != BLOCK_FIRMWARE)
      continue;
    uint8_t *p = b.payload();
    uint8_t previous = 0;
    for (uint32_t i = 0, n = b.payload_length(); i < n; ++i) {
      p[i] = uint8_t(p[i] ^ stream[i % 16] ^ previous);
      previous = p[i];
    }
  }
  return true;
}

bool BirdFile::UpdateVectorChecksum() {
  // The boot ROM treats the image as valid when vector words 0-7 add up to
  // zero; word 7 is the one reserved for that.
  bool updated = false;
  for (const BirdBlock &b : blocks) {
    if (b.type != BLOCK_FIRMWARE || b.address != 0 || b.payload_length() < 32)
      continue;
    uint8_t *p = b.payload();
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w)
      sum += _le32(p + 4 * w);
    uint32_t value = ~sum + 1;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", _le32(p + 28), value);
    _put_le32(p + 28, value);
    updated = true;
  }
  return updated;
}

bool BirdFile::infoText(char (&text)[BIRD_INFO_SIZE]) const {
  for (const BirdBlock &b : blocks) {
    if (b.type == BLOCK_INFO) {
      _info_copy(b.data, b.length, text);
      return true;
    }
  }
  return false;
}

uint32_t BirdFile::GetSerialNumber() const {
  char text[BIRD_INFO_SIZE];
  if (!infoText(text))
    return 0;
  char field[9];
  memcpy(field, text + 32, 8);
  field[8] = '\0';
  return uint32_t(strtoul(field, nullptr, 16));
}

uint32_t BirdFile::GetBuild() const {
  char text[BIRD_INFO_SIZE];
  if (!infoText(text))
    return 0;
  char field[16];
  memcpy(field, text, 15);
  field[15] = '\0';
  return uint32_t(strtoul(field, nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  char text[BIRD_INFO_SIZE];
  if (!infoText(text))
    return std::string();
  std::string version_text;
  for (size_t i = 16; i < 31 && text[i] != ' ' && text[i] != '\0'; ++i)
    version_text += text[i];
  return version_text;
}

std::string BirdFile::GetModel() const {
  char text[BIRD_INFO_SIZE];
  if (!infoText(text))
    return std::string();
  std::string model(text + 48, strnlen(text + 48, BIRD_INFO_FIELD_SIZE));
  while (!model.empty() && model.back() == ' ')
    model.pop_back();
  return model;
}

bool BirdFile::ValidateModel(const std::string &model) const {
  char text[BIRD_INFO_SIZE];
  if (!infoText(text))
    return false;
  std::string stored = GetModel();
  // A prefix test: an empty name matches any model.
  const char *given = model.c_str();
  if (strncmp(stored.c_str(), given, strlen(given)) != 0)
    return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", stored.c_str(), given);
  return true;
}

bool BirdFile::ValidateData(const uint8_t *pattern, size_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  // An empty pattern says nothing about the image: it is never "found".
  if (pattern != nullptr && length > 0) {
    for (const BirdBlock &b : blocks) {
      if (b.type != BLOCK_FIRMWARE || b.length < length)
        continue;
      for (size_t i = 0; i + length <= b.length; ++i) {
        if (b.data[i] == pattern[0] && memcmp(b.data + i, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock &b : blocks) {
    if (b.type != type)
      continue;
    std::string text;
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06d: ", text.c_str(), int(i));
        text.clear();
      }
      uint8_t c = b.data[i];
      printf("%02X ", c);
      text += isprint(c) ? char(c) : ' ';
    }
    printf(" %s\n", text.c_str());
  }
  printf("\n");
  return true;
}

bool BirdFile::VerifyFile(const std::string &file_path) {
  cFile file = cFile_Open(file_path.c_str(), cFILE_READ);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", file_path.c_str());
    return false;
  }
  uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
  size_t count = 0;
  cErr err = cFile_Read(file, header, sizeof header, &count);
  cFile_Close(&file);
  return err == cErrNone && count == sizeof header && _be32(header) == BIRD_FILE_SIGNATURE && header[4] != 0 &&
         header[5] != 0;
}
