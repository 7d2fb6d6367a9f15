// UEI packet classification on arbitrary packets: the tests must agree with
// each other and never read outside the packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "quillwork/cUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  uint8_t length = data[0] % (cPACKET_MAXDATA + 1);
  if (size - 1 < length)
    return 0;
  // The packet's own storage beyond its length holds garbage on purpose: a
  // classifier that reads past the length gives itself away in the checks
  // below only by chance, but the address sanitizer watches the record.
  cPacket *packet = cPacket_CreateWithData(4, length, data + 1);
  for (size_t i = length; i < cPACKET_MAXDATA && 1 + i < size; ++i)
    packet->data[i] = data[1 + i];

  bool notUei = cUEI_isNotUEIPayload(packet);
  if (cUEI_isUEIPayload(packet) == notUei)
    abort();
  if (cUEI_isStreamPacket(packet) &&
      (length <= 4 || notUei || (packet->data[1] & 0xC0) != 0 || !(packet->data[2] & ueiSPECIFIER_STREAM)))
    abort();
  if (cUEI_getBytesFullPacket(packet) != (length == 27 || length == 28))
    abort();
  uint8_t sequence = cUEI_getBytesSequence(packet);
  bool more = cUEI_getBytesContinue(packet);
  if (length == 0 ? (sequence != 0 || more)
                  : (sequence != (packet->data[length - 1] & 0x7F) || more != (packet->data[length - 1] >= 0x80)))
    abort();

  // Byte order helpers round-trip.
  uint8_t buffer[4];
  uint32_t value = length >= 4 ? cUEI_RetrieveInt(packet->data) : 0x01020304u;
  if (cUEI_RetrieveInt(cUEI_StoreInt(buffer, value)) != value)
    abort();
  if (cUEI_RetrieveShort(cUEI_StoreShort(buffer, value)) != (value & 0xFFFF))
    abort();
  cPacket_Destroy(&packet);
  return 0;
}
