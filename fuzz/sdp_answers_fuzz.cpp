// The i.MX boot ROM's answers as both transports read them, and the loader
// fed any answers: every read stays inside what was received and the
// results are the documented codes.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

// Each read hands out the next piece of the input: its first byte is the
// piece's length.
class FedTransport : public SDPLoader_Interface {
public:
  FedTransport(const uint8_t *data, size_t size, bool hid) : data_(data), size_(size), hid_(hid) {}
  bool init() override { return true; }
  ssize_t writeData(const std::vector<uint8_t> &bytes) override { return ssize_t(bytes.size()); }
  ssize_t readData(std::vector<uint8_t> &out, int) override {
    if (at_ >= size_)
      return 0;
    size_t want = data_[at_];
    ++at_;
    size_t n = std::min<size_t>(want, size_ - at_);
    out.insert(out.end(), data_ + at_, data_ + at_ + n);
    at_ += n;
    return ssize_t(n);
  }
  bool getDataFromBuffer(const std::vector<uint8_t> &received, size_t index, uint32_t &value) override {
    return hid_ ? hidParser_.getDataFromBuffer(received, index, value)
                : serialParser_.getDataFromBuffer(received, index, value);
  }

private:
  const uint8_t *data_;
  size_t size_, at_ = 0;
  bool hid_;
  HID_SDPLoader hidParser_{0, 0};
  Serial_SDPLoader serialParser_{"/nonexistent"};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  // The parsers on the whole input as one answer (exactly sized: ASan sees
  // a read past it).
  std::vector<uint8_t> answer(data + 1, data + size);
  HID_SDPLoader hid(0, 0);
  Serial_SDPLoader serial("/nonexistent");
  for (size_t index : {size_t(0), size_t(data[0] % 20)}) {
    uint32_t a = 0, b = 0;
    hid.getDataFromBuffer(answer, index, a);
    serial.getDataFromBuffer(answer, index, b);
  }

  std::vector<uint8_t> image(data[0] * 9, 0x5A);
  for (bool overHid : {true, false}) {
    SDPLoader loader;
    loader.setLoader(new FedTransport(data + 1, size - 1, overHid));
    if (loader.init() != cErrNone)
      __builtin_trap();
    int written = loader.writeLoader(image, 0x20000000);
    if (written != 0 && written != 2 && written != 3 && written != 4)
      __builtin_trap();
    SDPLoader second;
    second.setLoader(new FedTransport(data + 1, size - 1, overHid));
    second.init();
    uint64_t fingerprint = 0;
    int got = second.getFingerprint(fingerprint);
    if (got != 0 && got != 2 && got != 7)
      __builtin_trap();
  }
  return 0;
}
