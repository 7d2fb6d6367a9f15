#include "recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include "app/Log.h"

namespace {
// A device that keeps sending would keep readData reading: it stops after
// this many reports (an answer is two).
constexpr int kMaxReportsPerRead = 64;
constexpr size_t kHabReportBytes = 5;       // ID 3 + 4 bytes of HAB mode
constexpr size_t kCompleteAnswerBytes = 70; // a HAB report and a 65-byte response report
} // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vid, uint16_t pid) : vid_(vid), pid_(pid) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle_)
    hid_close(handle_);
  if (hidInitialised_)
    hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle_)
    return true;
  if (!hidInitialised_) {
    if (hid_init() != 0)
      return false;
    hidInitialised_ = true;
  }
  handle_ = hid_open(vid_, pid_, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void *>(handle_));
  return handle_ != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t> &data) {
  if (!handle_)
    return -1;
  return hid_write(handle_, data.data(), data.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t> &out, int waitMs) {
  if (!handle_)
    return -1;
  ssize_t total = 0;
  uint8_t buffer[SDPLoader::MAX_READ_BYTES];
  for (int reports = 0; reports < kMaxReportsPerRead; ++reports) {
    int n = hid_read_timeout(handle_, buffer, sizeof buffer, waitMs);
    if (n <= 0)
      break;
    size_t keep = size_t(n);
    if (buffer[0] == SDPLoader::REPORT_HAB && keep > kHabReportBytes)
      keep = kHabReportBytes;
    out.insert(out.end(), buffer, buffer + keep);
    total += ssize_t(keep);
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t> &received, size_t index, uint32_t &value) {
  if (received.size() != kCompleteAnswerBytes || index > 15)
    return false;
  // The response words follow the HAB report and the response report's ID.
  size_t at = kHabReportBytes + 1 + 4 * index;
  value |= uint32_t(received[at]) | uint32_t(received[at + 1]) << 8 | uint32_t(received[at + 2]) << 16 |
           uint32_t(received[at + 3]) << 24;
  return true;
}
