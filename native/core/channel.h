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
#include "core/var_header.h"

namespace corvex {

using ChannelTable = std::shared_ptr<arrow::RecordBatch>;
using ChannelSet = std::vector<std::pair<std::string, ChannelTable>>;

// Where the sample records are: record i starts at i x buf_len of the region.
struct DataRegion {
  std::span<const uint8_t> bytes;  // exactly buf_len x record_count bytes
  uint64_t buf_len;
  uint64_t record_count;
};

// One channel table for one variable (read as a scalar: its first element).
Result<ChannelTable> build_channel(const std::string& name,
                                   const std::shared_ptr<arrow::Int64Array>& timecodes,
                                   const VarHeader& var, const DataRegion& region);

// A table for every variable whose count is exactly 1, in file order. The region is read in
// blocks that stay in cache, each block once for all channels.
Result<ChannelSet> build_channels(const std::vector<VarHeader>& vars,
                                  const std::shared_ptr<arrow::Int64Array>& timecodes,
                                  const DataRegion& region);

}  // namespace corvex
