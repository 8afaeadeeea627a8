// Channel columns: the values of every scalar variable, one column each, filled by the record
// pass and allocated in groups (core/gather.h).
#pragma once

#include <cstdint>

#include "core/gather.h"
#include "core/record_pass.h"
#include "core/var_header.h"

namespace corvex {

// The Arrow format string of a variable type's column: "C", "b", "i", "I", "f" or "g".
const char* arrow_format(VarType type);
// Whether the values may be interpolated between samples (floating-point types only).
bool interpolates(VarType type);
// Bytes of a column of `rows` values (packed bits for Bool).
uint64_t column_bytes(VarType type, uint64_t rows);

// A scalar variable's values being gathered into their column.
class ColumnSink final : public VarSink {
 public:
  using VarSink::VarSink;
  static bool takes(const VarHeader& var) { return var.count == 1; }
  static uint64_t column_bytes(const VarHeader& var, uint64_t rows) {
    return corvex::column_bytes(var.var_type, rows);
  }
  void gather(const RecordBlock& block) override;
};

// Every scalar variable's column.
using ChannelGather = GroupedGather<ColumnSink>;

}  // namespace corvex
