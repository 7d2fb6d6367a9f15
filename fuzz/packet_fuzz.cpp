// Packet assembly from arbitrary bytes, driven the way a link's reader drives
// it: reset after every complete packet and after every refused byte. Every
// complete packet must be well formed and survive a round trip through its
// own bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quillwork/cPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  cPacket *packet = cPacket_Create();
  cPacket *again = cPacket_Create();
  for (size_t i = 0; i < size; ++i) {
    cErr err = cPacket_AddByte(packet, data[i]);
    if (err != cErrNone) {
      if (err != cErrPacket && err != cErrOverrun)
        abort();
      cPacket_Reset(packet);
      continue;
    }
    if (!cPacket_IsComplete(packet))
      continue;
    if (packet->address == 0 || packet->length > cPACKET_MAXDATA || packet->count != packet->length + 2)
      abort();
    uint8_t bytes[cPACKET_MAXBYTES];
    size_t count = 0;
    if (cPacket_GetBytes(packet, bytes, sizeof bytes, &count) != cErrNone || count != packet->length + 2u)
      abort();
    // Reassembling its bytes gives the same packet.
    cPacket_Reset(again);
    for (size_t k = 0; k < count; ++k)
      if (cPacket_AddByte(again, bytes[k]) != cErrNone)
        abort();
    if (!cPacket_IsComplete(again) || again->address != packet->address || again->length != packet->length ||
        memcmp(again->data, packet->data, packet->length) != 0)
      abort();
    cPacket *copy = cPacket_Copy(packet);
    cPacket *made = cPacket_CreateWithData(packet->address, packet->length, packet->data);
    if (copy == nullptr || made == nullptr || memcmp(copy, made, sizeof *copy) != 0)
      abort();
    cPacket_Destroy(&copy);
    cPacket_Destroy(&made);
    cPacket_Reset(packet);
  }
  cPacket_Destroy(&packet);
  cPacket_Destroy(&again);
  return 0;
}
