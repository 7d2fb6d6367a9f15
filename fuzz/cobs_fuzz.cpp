// COBS coding and the COBS framing stream.
//  - decoding arbitrary text never overruns and never grows it;
//  - encoding then decoding gives the input back, in place too;
//  - the framing stream's receive path, fed arbitrary bytes split across
//    reads, hands out only whole, well-formed packets;
//  - whatever is written through one framing stream is read back unchanged
//    through another, as the sequence of complete packets in the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "quillwork/cPacket.h"
#include "quillwork/cStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A transport that gives its bytes in chunks, with "no byte yet" between.
struct Wire {
  std::deque<int> script; // a byte, or -1 for cErrNotReady
  Bytes written;
  static cErr get(uint8_t *byte, void *ref) {
    Wire *w = static_cast<Wire *>(ref);
    if (w->script.empty() || w->script.front() < 0) {
      if (!w->script.empty())
        w->script.pop_front();
      return cErrNotReady;
    }
    *byte = static_cast<uint8_t>(w->script.front());
    w->script.pop_front();
    return cErrNone;
  }
  static cErr put(uint8_t byte, void *ref) {
    static_cast<Wire *>(ref)->written.push_back(byte);
    return cErrNone;
  }
  static cErr write(const uint8_t *data, size_t length, void *ref) {
    Wire *w = static_cast<Wire *>(ref);
    w->written.insert(w->written.end(), data, data + length);
    return cErrNone;
  }
};

// Reads everything the stream hands out until the wire is empty and idle.
Bytes readAll(cStream *s, Wire &w) {
  Bytes out;
  for (int idle = 0; idle < 2;) {
    uint8_t b;
    cErr e = cStream_Read(s, &b, 1);
    if (e == cErrNone)
      out.push_back(b);
    else if (e != cErrNotReady && e != cErrPacket)
      abort();
    idle = e != cErrNone && w.script.empty() ? idle + 1 : 0;
  }
  return out;
}

// The bytes handed out must be a sequence of complete packets.
void checkPackets(const Bytes &out) {
  size_t i = 0;
  while (i < out.size()) {
    if (out[i] == 0 || i + 1 >= out.size() || out[i + 1] > cPACKET_MAXDATA || i + 2 + out[i + 1] > out.size())
      abort();
    i += 2 + out[i + 1];
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Plain coding.
  Bytes decoded(size + 1);
  if (cobs_decode(data, size, decoded.data()) > size)
    abort();
  Bytes encoded(size + size / 254 + 2);
  size_t n = cobs_encode(data, size, encoded.data());
  if (n > encoded.size() || memchr(encoded.data(), 0, n) != nullptr)
    abort();
  Bytes back(n);
  if (cobs_decode(encoded.data(), n, back.data()) != size || memcmp(back.data(), data, size) != 0)
    abort();
  Bytes inplace(data, data + size);
  inplace.resize(encoded.size());
  if (cobs_encode_inplace(inplace.data(), size) != n || memcmp(inplace.data(), encoded.data(), n) != 0)
    abort();
  if (cobs_decode_inplace(inplace.data(), n) != size || memcmp(inplace.data(), data, size) != 0)
    abort();

  // The receive path: the input's low bits choose where reads come up empty.
  {
    Wire w;
    for (size_t i = 0; i < size; ++i) {
      w.script.push_back(data[i]);
      if ((data[i] ^ i) % 7 == 0)
        w.script.push_back(-1);
    }
    cStream *s = nullptr;
    if (cStream_CreateCobsEncoding(Wire::get, Wire::put, Wire::write, nullptr, &w, &s) != cErrNone)
      abort();
    checkPackets(readAll(s, w));
    cStream_Destroy(&s);
  }

  // The write path and back: the packets the input holds (as an assembler
  // that resets after every refused byte finds them) arrive unchanged.
  {
    Wire tx, rx;
    cStream *sender = nullptr, *receiver = nullptr;
    cStream_CreateCobsEncoding(Wire::get, Wire::put, Wire::write, nullptr, &tx, &sender);
    cStream_CreateCobsEncoding(Wire::get, Wire::put, Wire::write, nullptr, &rx, &receiver);
    if (size > 1 && cStream_Write(sender, data, size) != cErrNone)
      abort();
    Bytes expected;
    cPacket *p = cPacket_Create();
    for (size_t i = 0; size > 1 && i < size; ++i) {
      if (cPacket_AddByte(p, data[i]) != cErrNone) {
        cPacket_Reset(p);
        continue;
      }
      if (cPacket_IsComplete(p)) {
        uint8_t bytes[cPACKET_MAXBYTES];
        size_t count = 0;
        cPacket_GetBytes(p, bytes, sizeof bytes, &count);
        expected.insert(expected.end(), bytes, bytes + count);
        cPacket_Reset(p);
      }
    }
    cPacket_Destroy(&p);
    for (uint8_t b : tx.written)
      rx.script.push_back(b);
    if (readAll(receiver, rx) != expected)
      abort();
    cStream_Destroy(&sender);
    cStream_Destroy(&receiver);
  }
  return 0;
}
