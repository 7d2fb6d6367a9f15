// The i.MX boot ROM's USB HID device as an SDP transport (hidapi, hidraw back
// end). Reports go out whole, report ID first; answers are a 4-byte HAB
// report (ID 3) and a 64-byte response report (ID 4).
#pragma once

#include <cstdint>

#include "recovery/SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
public:
  HID_SDPLoader(uint16_t vid, uint16_t pid);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader &) = delete;
  HID_SDPLoader &operator=(const HID_SDPLoader &) = delete;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t> &data) override;
  ssize_t readData(std::vector<uint8_t> &out, int waitMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t> &received, size_t index, uint32_t &value) override;

private:
  hid_device_ *handle_ = nullptr;
  uint16_t vid_;
  uint16_t pid_;
  bool hidInitialised_ = false;
};
