// Channel columns: the values of every scalar variable, one column each, filled by the record
// pass. Columns are allocated in groups that share one block of memory, so that a large file's
// columns come in large, huge-page backed blocks and a small file's in one allocation; a group
// is also the unit handed to Python in one piece.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/column.h"
#include "core/error.h"
#include "core/record_pass.h"
#include "core/var_header.h"

namespace corvex {

struct Channel {
  const VarHeader* var;
  Column values;
};

using ChannelGroup = std::vector<Channel>;
using ChannelSet = std::vector<ChannelGroup>;

// The Arrow format string of a variable type's column: "C", "b", "i", "I", "f" or "g".
const char* arrow_format(VarType type);
// Whether the values may be interpolated between samples (floating-point types only).
bool interpolates(VarType type);
// Bytes of a column of `rows` values (packed bits for Bool).
uint64_t column_bytes(VarType type, uint64_t rows);

// A group holds columns until it reaches this size; a larger column makes a group of its own.
inline constexpr uint64_t kGroupBytes = uint64_t{8} << 20;

class ColumnSink;

class ChannelGather {
 public:
  // Bytes the columns of these variables take, padding included.
  static uint64_t bytes_needed(const std::vector<VarHeader>& vars, uint64_t rows);

  // Checks every scalar variable's place and allocates the columns, group by group.
  static Result<ChannelGather> prepare(const std::vector<VarHeader>& vars,
                                       const DataRegion& region);
  ChannelGather(ChannelGather&&) noexcept;
  ChannelGather& operator=(ChannelGather&&) noexcept;
  ~ChannelGather();

  // One sink per column, valid while this object lives.
  std::vector<RowSink*> sinks();
  // The filled columns, in file order and grouped; call once, after the pass.
  ChannelSet finish();

 private:
  ChannelGather() = default;
  std::vector<ColumnSink> columns_;
  std::vector<size_t> group_ends_;  // index one past the last column of each group
};

}  // namespace corvex
