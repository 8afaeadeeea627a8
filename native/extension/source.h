// Turning the caller's `source` into an opened file: a path is mapped, bytes and file-like
// objects are copied into a read-only anonymous mapping.
#pragma once

#include <optional>
#include <string>

#include "core/reader.h"
#include "extension/pyref.h"

namespace corvex::py {

struct AcquiredSource {
  IbtFile file;
  std::string label;  // the path text as given, or "<bytes>"
};

// Empty, with a Python exception set, when the source cannot be classified, read or opened.
std::optional<AcquiredSource> acquire_source(PyObject* source);

}  // namespace corvex::py
