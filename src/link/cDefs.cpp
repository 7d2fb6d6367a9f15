#include "quillwork/cDefs.h"

namespace {
// Model numbers 0-23; the gaps are numbers never issued.
constexpr const char *kModelNames[24] = {
    "Unknown",   "QW-Hub4", "QW-Hub8",  "QW-Router",  "QW-Servo4",   "QW-Motor2",  "QW-Sense8", nullptr,
    "QW-Relay4", "QW-DAC2", nullptr,    "QW-Hub4P",   "QW-Stepper1", "QW-Temp4",   nullptr,     "QW-Ether",
    "QW-Wifi",   nullptr,   "QW-Power", "QW-Display", nullptr,       "QW-Gateway", nullptr,     "QW-Hub16",
};
} // namespace

const char *cDefs_GetModelName(uint32_t model) {
  if (model >= sizeof kModelNames / sizeof kModelNames[0] || kModelNames[model] == nullptr)
    return "Unknown";
  return kModelNames[model];
}
