#include "core/arrays.h"

#include <cstring>
#include <new>

#include "core/time_column.h"

namespace corvex {

uint64_t array_column_bytes(const VarHeader& var, uint64_t rows) {
  const uint64_t elements = rows * static_cast<uint64_t>(var.count);
  return var.var_type == VarType::Bool ? (elements + 7) / 8 : elements * element_size(var.var_type);
}

void ArraySink::gather(const RecordBlock& block) {
  const auto count = static_cast<uint64_t>(var().count);
  const uint8_t* src = block.records + var().offset;
  if (var().var_type != VarType::Bool) {
    const uint64_t width = count * element_size(var().var_type);
    uint8_t* out = data() + block.first * width;
    for (uint64_t i = 0; i < block.count; ++i) {
      std::memcpy(out + i * width, src + i * block.stride, static_cast<size_t>(width));
    }
    return;
  }
  // One bit per element, least significant first. `first` is a multiple of 64, so a block's
  // first element starts a byte of the bitmap and blocks never share a byte.
  uint8_t* out = data() + block.first * count / 8;
  unsigned bits = 0, filled = 0;
  for (uint64_t i = 0; i < block.count; ++i) {
    const uint8_t* record = src + i * block.stride;
    for (uint64_t j = 0; j < count; ++j) {
      bits |= unsigned{record[j] != 0} << filled;
      if (++filled == 8) {
        *out++ = static_cast<uint8_t>(bits);
        bits = 0;
        filled = 0;
      }
    }
  }
  if (filled > 0) *out = static_cast<uint8_t>(bits);
}

uint64_t array_result_bytes(const IbtFile& file, unsigned threads) {
  const uint64_t rows = file.record_count();
  return align_up(rows * sizeof(int64_t)) + ArrayGather::bytes_needed(file.vars(), rows) +
         pass_scratch_bytes(file.region(), threads);
}

namespace {

Result<Telemetry> gather_arrays(const IbtFile& file, const ReadOptions& options) {
  const DataRegion region = file.region();
  CORVEX_ASSIGN_OR_RETURN(ArrayGather arrays, ArrayGather::prepare(file.vars(), region));
  Telemetry result;
  result.rows = file.record_count();
  if (arrays.empty()) {
    // Nothing to read; an empty time column, so that no column of the result is without memory.
    CORVEX_ASSIGN_OR_RETURN(result.timecodes, allocate_column(0));
    return result;
  }
  CORVEX_ASSIGN_OR_RETURN(TimeGather time, TimeGather::prepare(file));
  std::vector<RowSink*> sinks{&time};
  for (RowSink* sink : arrays.sinks()) sinks.push_back(sink);
  CORVEX_RETURN_IF_ERROR(run_record_pass(region, sinks, options.pass));
  result.timecodes = time.column();
  result.channels = arrays.finish();
  return result;
}

}  // namespace

Result<Telemetry> read_arrays(const IbtFile& file, const ReadOptions& options) {
  CORVEX_RETURN_IF_ERROR(TimeGather::check(file));
  const uint64_t need = array_result_bytes(file, options.pass.threads);
  if (need > options.limit.bytes) {
    return std::unexpected(IbtError::out_of_memory(
        "reading its arrays would need " + std::to_string(need) +
        " bytes for their columns; the limit is " + std::to_string(options.limit.bytes) +
        " bytes (" + options.limit.source + ")"));
  }
  try {
    return gather_arrays(file, options);
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate memory for the arrays"));
  }
}

}  // namespace corvex
