// A small producer of the Arrow C data interface: record batches of primitive and UTF-8 columns
// without validity bitmaps, described by plain values and handed out as an ArrowArrayStream
// that yields one batch. Every structure handed out owns what it points at (the column memory
// through shared references), so the consumer may keep it as long as it likes; each release
// callback frees its own part exactly once and marks the structure released.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/arrow_c.h"
#include "core/column.h"
#include "core/error.h"

namespace corvex {

struct ExportColumn {
  std::string name;
  const char* format;    // a primitive format ("C", "b", "i", "I", "l", "f", "g") or "u" (utf8)
  std::string metadata;  // in the binary form of encode_metadata; empty for none
  // The buffers after the (absent) validity bitmap: the values, or the offsets and characters.
  std::vector<Column> buffers;
};

struct ExportBatch {
  uint64_t length = 0;
  std::vector<ExportColumn> columns;
};

using MetadataItem = std::pair<std::string_view, std::string_view>;

// Key/value metadata in the interface's binary form: a 32-bit count, then each key and value as
// a 32-bit length and its bytes, in native byte order.
std::string encode_metadata(std::span<const MetadataItem> items);

// The batch's schema and array. On failure nothing is left to release.
Result<void> export_schema(const ExportBatch& batch, ArrowSchema* out);
Result<void> export_array(const ExportBatch& batch, ArrowArray* out);

// A stream that yields the batch once and then ends; it owns the batch.
Result<void> export_stream(ExportBatch batch, ArrowArrayStream* out);

// Checks a schema and array this producer made for `batch` against the rules of the columnar
// format: formats and child counts agree, every buffer is present, 64-byte aligned and lies in
// memory that holds all the bytes its length needs, UTF-8 offsets rise from 0 within their
// characters, and the metadata decodes to exactly its bytes.
Result<void> validate_export(const ExportBatch& batch, const ArrowSchema& schema,
                             const ArrowArray& array);

}  // namespace corvex
