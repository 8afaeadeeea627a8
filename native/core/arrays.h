// Array variables (count above 1): every element of every record, gathered by the record pass into
// one column per variable, the elements of a record side by side (row r, element j at r x count
// + j), so that the column is the child of an Arrow fixed-size list. They are read on request, by
// a pass of their own that also fills the time column their tables share; a plain read of the
// channels never touches them.
#pragma once

#include <cstdint>
#include <vector>

#include "core/channel.h"
#include "core/error.h"
#include "core/gather.h"
#include "core/reader.h"
#include "core/record_pass.h"
#include "core/telemetry.h"

namespace corvex {

// Whether a variable is read as an array rather than a channel.
inline bool is_array(const VarHeader& var) { return var.count > 1; }

// Bytes of an array column of `rows` records (packed bits for Bool). count x element size is at
// most buf_len (31 bits), so the product with a 31-bit row count cannot wrap.
uint64_t array_column_bytes(const VarHeader& var, uint64_t rows);

// An array variable's elements being gathered into their column.
class ArraySink final : public VarSink {
 public:
  using VarSink::VarSink;
  static bool takes(const VarHeader& var) { return is_array(var); }
  static uint64_t column_bytes(const VarHeader& var, uint64_t rows) {
    return array_column_bytes(var, rows);
  }
  void gather(const RecordBlock& block) override;
};

// Every array variable's column, grouped like the channels.
using ArrayGather = GroupedGather<ArraySink>;

// The memory read_arrays takes at most: the time column, the array columns and the read buffers.
uint64_t array_result_bytes(const IbtFile& file, unsigned threads);

// The time column and every array variable's column, from one pass over the records; `channels`
// holds the arrays (Channel::var has count above 1) and `laps` stays empty. Without array
// variables nothing is read: `channels` is empty and so is the time column. Fails like
// read_telemetry: the time column's checks, the memory limit, a variable outside its record, a read
// error.
Result<Telemetry> read_arrays(const IbtFile& file, const ReadOptions& options);

}  // namespace corvex
