// Turning the caller's `source` into an opened file: a path is opened and read as it is needed,
// an exact bytes object is read where it lies, other bytes and file-like objects are copied once.
#pragma once

#include "core/reader.h"
#include "extension/errors.h"
#include "extension/pyref.h"

namespace corvex::py {

struct AcquiredSource {
  PyRef keep_alive;  // the bytes object the file reads in place, held for the call
  IbtFile file;
  SourceLabel label;
};

// How the bytes are opened: as a recording (open_ibt with its options) or as a live telemetry
// snapshot (open_snapshot).
struct OpenRequest {
  OpenOptions options;
  bool snapshot = false;
  // Also open paths that are not UTF-8: a str with lone surrogates (how Python spells a file
  // name that is not UTF-8) or a path-like whose __fspath__ returns bytes, by the file system's
  // bytes. ibt keeps refusing them; the package's own reading calls ask for them.
  bool any_path = false;
};

// Raises when the source cannot be classified, read or opened.
AcquiredSource acquire_source(PyObject* source, const OpenRequest& request = {});

}  // namespace corvex::py
