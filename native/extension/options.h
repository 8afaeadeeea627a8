// The settings of one call, from the environment: CORVEX_MAX_THREADS (worker threads of the
// record pass; by default every core the process may use) and CORVEX_MAX_RESULT_BYTES (a memory
// budget below the machine's own limit). Read at every call, so that a change takes effect
// without a restart.
#pragma once

#include "core/telemetry.h"

namespace corvex::py {

// Raises ValueError when a variable holds something other than a positive number.
ReadOptions read_options_from_environment();

}  // namespace corvex::py
