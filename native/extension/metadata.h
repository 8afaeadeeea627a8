#pragma once

#include "core/reader.h"
#include "extension/pyref.h"

namespace corvex::py {

// The file-level facts as a dict: the session info text, the weekend fields scanned out of it in
// the order of their first lines (the last value winning), then six header values.
PyRef build_metadata(const IbtFile& file);

// What a salvaging open changed, {"header_records", "records", "dropped_bytes"}; None when the
// header's record count was used as it is.
PyRef salvage_report(const IbtFile& file);

// A live snapshot's buffer table, {"buffers": [(tick_count, offset), ...], "newest": index};
// None for a recording.
PyRef snapshot_report(const IbtFile& file);

}  // namespace corvex::py
