// A link server's front end reads every client frame as a packet. Any bytes:
// the frame lives in a buffer of exactly its size, so a read beyond its end
// is caught; an accepted frame must give a well-formed packet holding the
// frame's own bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cServerInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<uint8_t> frame(data, data + size);
  cPacket packet;
  bool accepted = cServer_FrameToPacket(frame.empty() ? nullptr : frame.data(), frame.size(), &packet);
  bool wellFormed = size >= 2 && size <= cPACKET_MAXBYTES && data[1] <= size - 2;
  if (accepted != wellFormed)
    abort();
  if (!accepted)
    return 0;
  if (!cVALIDPACKET(&packet) || packet.address != data[0] || packet.length != data[1] ||
      packet.count != packet.length + 2 || memcmp(packet.data, data + 2, packet.length) != 0)
    abort();
  return 0;
}
