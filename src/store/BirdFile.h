// BIRD firmware files: a 6-byte header ("bird" and a format version) and a
// zlib body holding typed blocks (loader and firmware images with their load
// addresses, a 64-byte info text, serial-number offsets, the loader entry).
//
// A BirdFile owns the inflated body; its BirdBlocks point into it, so a block
// is valid only while the file that produced it lives and is not reloaded.
// Every multi-byte value in the file is big-endian, except the serial number
// patched into a firmware image, which the module reads as a little-endian
// word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
constexpr size_t BIRD_FILE_HEADER_SIZE = 6;
// The inflated body may be at most this many times the compressed body.
constexpr size_t BIRD_FILE_INFLATE_RATIO = 8;
constexpr size_t BIRD_INFO_SIZE = 64;
constexpr size_t BIRD_INFO_FIELD_SIZE = 16;

struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;       // 0-7: the top three bits of the type byte, shifted down
  uint32_t length = 0;     // bytes of data
  uint32_t address = 0;    // loader and firmware blocks: the first data word
  uint8_t *data = nullptr; // inside the owning BirdFile's body

  // Loader and firmware images: the bytes after the address word.
  uint8_t *payload() const { return data + 4; }
  uint32_t payload_length() const { return length >= 4 ? length - 4 : 0; }
};

class BirdFile {
public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_ENTRY = 5,
  };

  BirdFile() = default;
  // Loads the file; throws std::runtime_error("Failed to load bird data").
  explicit BirdFile(const std::string &path);
  BirdFile(const BirdFile &other);
  BirdFile &operator=(const BirdFile &other);
  BirdFile(BirdFile &&other) noexcept;
  BirdFile &operator=(BirdFile &&other) noexcept;
  ~BirdFile() = default;

  bool Load();
  // Parses a whole file image (header and compressed body) held in memory;
  // Load reads the file and hands it here.
  bool LoadFromMemory(const uint8_t *file, size_t length);
  // Parses an inflated body into the block list; the blocks point into data.
  bool ScanBlocks(uint8_t *data, size_t length);
  bool DecompressData(const uint8_t *data, size_t length);

  std::vector<BirdBlock> FindBlocks(uint8_t type) const;
  bool FindSerialNumberOffsets();
  bool ReplaceSerialNumber(uint32_t serial);
  // Reverses the chained XOR of firmware payloads kept for boot-loader
  // recovery; the key is the chip's four-word fingerprint.
  bool DecodeFirmwareBlocks(const uint32_t (&key)[4]);
  // Rewrites the checksum word of the vector table of firmware blocks loaded
  // at address 0, so that words 0-7 add up to zero as the LPC boot ROM wants.
  bool UpdateVectorChecksum();

  uint32_t GetSerialNumber() const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  // The model text of the info block, trailing blanks cut.
  std::string GetModel() const;
  bool ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }
  bool ValidateModel(const std::string &model) const;
  bool ValidateData(const uint8_t *pattern, size_t length) const;
  bool DumpBlocks(uint8_t type) const;

  // Cheap header check of a file on disk; needs no loaded file.
  static bool VerifyFile(const std::string &path);

  const std::string &Path() const { return path; }
  uint32_t Signature() const { return signature; }
  uint32_t FormatVersion() const { return version; }
  uint32_t Checksum() const { return checksum; }
  uint32_t BlockCount() const { return block_count; }
  const std::vector<BirdBlock> &Blocks() const { return blocks; }
  bool HasSerialOffsets() const { return has_serial_offsets; }
  uint32_t SerialNumberAddress() const { return serial_number_offset; }
  uint32_t DescriptorAddress() const { return descriptor_offset; }
  const uint8_t *Data() const { return data.get(); }
  uint32_t DataSize() const { return data_size; }

private:
  // The info block's 64 bytes, blank-padded when the block is shorter; false
  // without an info block.
  bool infoText(char (&text)[BIRD_INFO_SIZE]) const;
  void reset();
  void copyFrom(const BirdFile &other);

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t block_count = 0;
  std::vector<BirdBlock> blocks;
  bool has_serial_offsets = false;
  uint32_t serial_number_offset = 0;
  uint32_t descriptor_offset = 0;
  std::unique_ptr<uint8_t[]> data;
  uint32_t data_size = 0;
};
