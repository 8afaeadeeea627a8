// Channel tables: one Arrow record batch per scalar variable, holding the shared time column and
// the variable's values, with the variable's unit, description and interpolation hint attached.
#pragma once

#include <arrow/array.h>
#include <arrow/record_batch.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/record_pass.h"
#include "core/var_header.h"

namespace corvex {

using ChannelTable = std::shared_ptr<arrow::RecordBatch>;
using ChannelSet = std::vector<std::pair<std::string, ChannelTable>>;

// One channel table for one variable (read as a scalar: its first element).
Result<ChannelTable> build_channel(const std::string& name,
                                   const std::shared_ptr<arrow::Int64Array>& timecodes,
                                   const VarHeader& var, const DataRegion& region);

// A table for every variable whose count is exactly 1, in file order. The region is read in
// blocks that stay in cache, each block once for all channels.
Result<ChannelSet> build_channels(const std::vector<VarHeader>& vars,
                                  const std::shared_ptr<arrow::Int64Array>& timecodes,
                                  const DataRegion& region);

class ColumnSink;

// The value columns of every scalar variable, filled by a record pass that may serve other
// sinks too (the time column and the lap inputs read the same blocks).
class ChannelGather {
 public:
  // Checks every scalar variable's place and allocates its column.
  static Result<ChannelGather> prepare(const std::vector<VarHeader>& vars,
                                       const DataRegion& region);
  ChannelGather(ChannelGather&&) noexcept;
  ChannelGather& operator=(ChannelGather&&) noexcept;
  ~ChannelGather();

  // One sink per column, valid while this object lives.
  std::vector<RowSink*> sinks();
  // The channel set, once the pass has filled every column.
  Result<ChannelSet> finish(const std::shared_ptr<arrow::Int64Array>& timecodes) const;

 private:
  ChannelGather() = default;
  std::vector<ColumnSink> columns_;
  uint64_t rows_ = 0;
};

}  // namespace corvex
