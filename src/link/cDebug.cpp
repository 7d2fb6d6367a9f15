#include "quillwork/cDebug.h"

std::atomic<bool> cQuillworkDebuggingEnable{false};
std::atomic<uint32_t> cQuillworkDebuggingLevel{0};
