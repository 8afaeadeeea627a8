// The stages of an ibt call after the source is open: the record pass (without the interpreter
// lock), the channel tables handed to pyarrow with progress reports, the lap table, the metadata
// and the LogFile; and the same hand-off for the array variables' tables.
#pragma once

#include "core/arrow_export.h"
#include "core/telemetry.h"
#include "extension/pyref.h"
#include "extension/source.h"

namespace corvex::py {

// Returns what corvex.base.LogFile returned.
PyRef assemble_result(const AcquiredSource& source, PyObject* progress, const ReadOptions& options);

// The array variables' tables, a dict of name -> table (timecodes and one fixed-size list column),
// from a pass of their own; errors are raised as assemble_result raises them.
PyRef assemble_arrays(const AcquiredSource& source, const ReadOptions& options);

// The schema of a batch (its fields, their types and metadata) as a pyarrow.Schema; a failure of
// the hand-off is raised as RuntimeError("{type}: {text}").
PyRef import_schema(const ExportBatch& batch);

}  // namespace corvex::py
