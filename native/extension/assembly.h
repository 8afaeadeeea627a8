// The stages of an ibt call after the source is open: the record pass (without the interpreter
// lock), the channel tables handed to pyarrow with progress reports, the lap table, the metadata
// and the LogFile.
#pragma once

#include "core/telemetry.h"
#include "extension/pyref.h"
#include "extension/source.h"

namespace corvex::py {

// Returns what corvex.base.LogFile returned, or an empty reference with the exception set.
PyRef assemble_result(const AcquiredSource& source, PyObject* progress,
                      const ReadOptions& options);

}  // namespace corvex::py
