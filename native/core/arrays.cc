#include "core/arrays.h"

#include <cstring>
#include <new>

#include "core/time_column.h"

namespace corvex {

uint64_t array_column_bytes(const VarHeader& var, uint64_t rows) {
  const uint64_t elements = rows * static_cast<uint64_t>(var.count);
  return var.var_type == VarType::Bool ? (elements + 7) / 8 : elements * element_size(var.var_type);
}

// The elements of one array variable being gathered into their column.
class ArraySink final : public RowSink {
 public:
  ArraySink(const VarHeader& var, uint64_t bytes) : var_(&var), bytes_(bytes) {}
  void gather(const RecordBlock& block) override;
  const VarHeader& var() const { return *var_; }
  uint64_t bytes() const { return bytes_; }
  void place(Column column) { column_ = std::move(column); }
  Column take() { return std::move(column_); }

 private:
  const VarHeader* var_;
  uint64_t bytes_;
  Column column_;
};

void ArraySink::gather(const RecordBlock& block) {
  const auto count = static_cast<uint64_t>(var_->count);
  const uint8_t* src = block.records + var_->offset;
  if (var_->var_type != VarType::Bool) {
    const uint64_t width = count * element_size(var_->var_type);
    uint8_t* out = column_.data() + block.first * width;
    for (uint64_t i = 0; i < block.count; ++i) {
      std::memcpy(out + i * width, src + i * block.stride, static_cast<size_t>(width));
    }
    return;
  }
  // One bit per element, least significant first. `first` is a multiple of 64, so a block's
  // first element starts a byte of the bitmap and blocks never share a byte.
  uint8_t* out = column_.data() + block.first * count / 8;
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

namespace {

// open_ibt guarantees that every variable fits its record; this is the last line of defence
// against a broken invariant, since the sink copies count x width bytes of every record.
Result<void> check_fits(const VarHeader& var, const DataRegion& region) {
  const uint64_t end = static_cast<uint64_t>(var.offset) + var.byte_size();
  if (var.offset < 0 || (region.record_count > 0 && end > region.buf_len)) {
    return invalid_header("Variable '" + var.name + "' lies outside its sample record");
  }
  return {};
}

}  // namespace

uint64_t ArrayGather::bytes_needed(const std::vector<VarHeader>& vars, uint64_t rows) {
  uint64_t total = 0;
  for (const VarHeader& var : vars) {
    if (is_array(var)) total += align_up(array_column_bytes(var, rows));
  }
  return total;
}

Result<ArrayGather> ArrayGather::prepare(const std::vector<VarHeader>& vars,
                                         const DataRegion& region) {
  ArrayGather gather;
  uint64_t group = 0;
  for (const VarHeader& var : vars) {
    if (!is_array(var)) continue;
    CORVEX_RETURN_IF_ERROR(check_fits(var, region));
    const uint64_t bytes = array_column_bytes(var, region.record_count);
    if (group > 0 && group + align_up(bytes) > kGroupBytes) {
      gather.group_ends_.push_back(gather.sinks_.size());
      group = 0;
    }
    gather.sinks_.emplace_back(var, bytes);
    group += align_up(bytes);
  }
  if (!gather.sinks_.empty()) gather.group_ends_.push_back(gather.sinks_.size());
  std::vector<uint64_t> sizes;
  sizes.reserve(gather.sinks_.size());
  for (const ArraySink& sink : gather.sinks_) sizes.push_back(sink.bytes());
  CORVEX_ASSIGN_OR_RETURN(auto placed, allocate_grouped(sizes, gather.group_ends_));
  for (size_t i = 0; i < placed.size(); ++i) gather.sinks_[i].place(std::move(placed[i]));
  return gather;
}

ArrayGather::ArrayGather(ArrayGather&&) noexcept = default;
ArrayGather& ArrayGather::operator=(ArrayGather&&) noexcept = default;
ArrayGather::~ArrayGather() = default;

std::vector<RowSink*> ArrayGather::sinks() {
  std::vector<RowSink*> sinks;
  sinks.reserve(sinks_.size());
  for (ArraySink& sink : sinks_) sinks.push_back(&sink);
  return sinks;
}

ChannelSet ArrayGather::finish() {
  ChannelSet set;
  size_t begin = 0;
  for (size_t end : group_ends_) {
    ChannelGroup group;
    for (size_t i = begin; i < end; ++i)
      group.push_back(Channel{&sinks_[i].var(), sinks_[i].take()});
    set.push_back(std::move(group));
    begin = end;
  }
  return set;
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
