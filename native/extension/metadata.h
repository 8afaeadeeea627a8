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

// What probe(source) returns: the stored header fields, every variable header, the channel schema,
// the session info bytes and the blocks a content hash covers, the file's size, whole records,
// live snapshot buffer table (None unless the one rule holds), identity and salvage report.
PyRef probe_report(const IbtFile& file, const RawBlocks& blocks);

// The details read(source) returns beside the LogFile: the session info bytes, the salvage
// report, the variables that are not channels (count != 1), the identity, the whole records and
// the live snapshot buffer table.
PyRef read_details(const IbtFile& file);

// Sets `key` of the dict to `value`.
void insert(PyObject* dict, std::string_view key, PyRef value);

}  // namespace corvex::py
