// Model numbers and product names.
#pragma once

#include <cstdint>

// The product name of a model number; "Unknown" for numbers without one. The
// text is static.
const char *cDefs_GetModelName(uint32_t model);
