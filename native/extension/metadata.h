#pragma once

#include "core/reader.h"
#include "extension/pyref.h"

namespace corvex::py {

// The file-level facts as a dict: the session info text, the weekend fields scanned out of it in
// the order of their first lines (the last value winning), then six header values.
PyRef build_metadata(const IbtFile& file);

}  // namespace corvex::py
