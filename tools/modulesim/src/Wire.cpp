#include "modulesim/Wire.h"

namespace modulesim {

std::vector<uint8_t> Packet::bytes() const {
  std::vector<uint8_t> out;
  out.reserve(data.size() + 2);
  out.push_back(address);
  out.push_back(uint8_t(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::optional<Packet> PacketAssembler::add(uint8_t byte) {
  switch (state_) {
  case 0:
    if (byte == 0) {
      ++dropped_;
      return std::nullopt;
    }
    current_ = Packet{byte, {}};
    state_ = 1;
    return std::nullopt;
  case 1:
    if (byte > kMaxData) {
      ++dropped_;
      state_ = 0;
      return std::nullopt;
    }
    want_ = byte;
    if (want_ == 0) {
      state_ = 0;
      return current_;
    }
    state_ = 2;
    return std::nullopt;
  default:
    current_.data.push_back(byte);
    if (current_.data.size() == want_) {
      state_ = 0;
      return current_;
    }
    return std::nullopt;
  }
}

uint8_t crc8(const uint8_t *data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0x8C) : uint8_t(crc >> 1);
  }
  return crc;
}

std::vector<uint8_t> cobsEncode(const std::vector<uint8_t> &in) {
  std::vector<uint8_t> out;
  out.reserve(in.size() + in.size() / 254 + 2);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (uint8_t b : in) {
    if (b == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(b);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  return out;
}

std::optional<std::vector<uint8_t>> cobsDecode(const std::vector<uint8_t> &in) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < in.size()) {
    uint8_t code = in[i++];
    if (code == 0 || i + code - 1 > in.size())
      return std::nullopt;
    for (int k = 1; k < code; ++k) {
      if (in[i] == 0)
        return std::nullopt;
      out.push_back(in[i++]);
    }
    if (code != 0xFF && i < in.size())
      out.push_back(0);
  }
  return out;
}

std::vector<uint8_t> encodeFrame(const Packet &packet) {
  std::vector<uint8_t> raw = packet.bytes();
  raw.push_back(crc8(raw.data(), raw.size()));
  std::vector<uint8_t> frame = cobsEncode(raw);
  frame.push_back(0);
  return frame;
}

std::optional<Packet> FrameDecoder::add(uint8_t byte) {
  // The host never sends frames longer than 33 bytes; anything longer is
  // garbage and is dropped whole at its delimiter.
  constexpr size_t kMaxFrame = 40;
  if (byte != 0) {
    if (buffer_.size() < kMaxFrame)
      buffer_.push_back(byte);
    else
      overlong_ = true;
    return std::nullopt;
  }
  if (buffer_.empty())
    return std::nullopt;
  std::vector<uint8_t> frame;
  frame.swap(buffer_);
  bool overlong = overlong_;
  overlong_ = false;
  auto raw = overlong ? std::nullopt : cobsDecode(frame);
  if (!raw || raw->size() < 3 || (*raw)[1] > kMaxData || raw->size() != size_t((*raw)[1]) + 3 ||
      crc8(raw->data(), raw->size() - 1) != raw->back() || (*raw)[0] == 0) {
    ++bad_;
    return std::nullopt;
  }
  return Packet{(*raw)[0], std::vector<uint8_t>(raw->begin() + 2, raw->end() - 1)};
}

} // namespace modulesim
