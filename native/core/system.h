// What the machine allows a call: how many cores the process may run on and how much memory it
// can have. Both are read when asked, so that a change of affinity or limits is seen.
#pragma once

#include <cstdint>

#include "core/telemetry.h"

namespace corvex {

// The cores this process may use (its affinity mask where the system has one), at least 1.
unsigned usable_cores();

// The smaller of the physical memory and the process's address-space and data limits, with the
// name of the one that decided.
MemoryLimit system_memory_limit();

}  // namespace corvex
