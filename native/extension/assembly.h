// The stages of an ibt call after the source is open: time column, channel tables handed to
// pyarrow one by one with progress reports, the lap table, the metadata and the LogFile.
#pragma once

#include <string>

#include "core/reader.h"
#include "extension/pyref.h"

namespace corvex::py {

// Returns what corvex.base.LogFile returned, or an empty reference with the exception set.
PyRef assemble_result(const IbtFile& file, const std::string& label, PyObject* progress);

}  // namespace corvex::py
