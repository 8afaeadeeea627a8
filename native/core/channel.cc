#include "core/channel.h"

#include <arrow/buffer.h>
#include <arrow/type.h>
#include <arrow/util/key_value_metadata.h>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/bytes.h"

namespace corvex {

namespace {

std::shared_ptr<arrow::DataType> arrow_type(VarType type) {
  switch (type) {
    case VarType::Char:
      return arrow::uint8();
    case VarType::Bool:
      return arrow::boolean();
    case VarType::Int:
      return arrow::int32();
    case VarType::BitField:
      return arrow::uint32();
    case VarType::Float:
      return arrow::float32();
    case VarType::Double:
      return arrow::float64();
  }
  return arrow::null();
}

bool interpolates(VarType type) { return type == VarType::Float || type == VarType::Double; }

uint64_t value_buffer_size(VarType type, uint64_t rows) {
  return type == VarType::Bool ? (rows + 7) / 8 : rows * element_size(type);
}

}  // namespace

// A value column being filled: the variable and its output buffer.
class ColumnSink final : public RowSink {
 public:
  ColumnSink(const VarHeader& var, std::shared_ptr<arrow::Buffer> buffer)
      : var_(&var), buffer_(std::move(buffer)) {}
  void gather(const DataRegion& region, uint64_t begin, uint64_t end) override;
  const VarHeader& var() const { return *var_; }
  const std::shared_ptr<arrow::Buffer>& buffer() const { return buffer_; }

 private:
  const VarHeader* var_;
  std::shared_ptr<arrow::Buffer> buffer_;
};

namespace {

Result<ColumnSink> allocate_column(const VarHeader& var, uint64_t rows) {
  auto buffer = arrow::AllocateBuffer(static_cast<int64_t>(value_buffer_size(var.var_type, rows)));
  if (!buffer.ok()) return std::unexpected(IbtError::arrow(buffer.status()));
  std::shared_ptr<arrow::Buffer> shared(std::move(*buffer));
  // The gather writes every byte of the values (the last bitmap byte included); the allocator's
  // padding after them is zeroed so that no uninitialised memory reaches Python.
  const auto used = static_cast<size_t>(shared->size());
  std::memset(shared->mutable_data() + used, 0, static_cast<size_t>(shared->capacity()) - used);
  return ColumnSink(var, std::move(shared));
}

// Writes 8 bytes of a value column without first reading their cache line: the columns are far
// larger than the caches and nothing reads them again during the call, so the read that a plain
// store makes would double the memory traffic. finish_streaming_stores orders these stores before
// the buffers are handed on.
inline void stream_u64(uint8_t* dst, uint64_t value) {
#if defined(__x86_64__)
  _mm_stream_si64(reinterpret_cast<long long*>(dst), static_cast<long long>(value));
#else
  std::memcpy(dst, &value, sizeof value);
#endif
}

// Copies the byte at `src` + i x stride into dst[i] for rows [begin, end).
void gather_bytes(const uint8_t* src, uint64_t stride, uint64_t begin, uint64_t end, uint8_t* dst) {
  for (uint64_t i = begin; i < end; ++i) dst[i] = src[i * stride];
}

// The same for 4-byte values, two rows per 8-byte store. `begin` is even (a multiple of the block
// size), so each pair lands on 8 aligned bytes of the 64-byte aligned buffer.
void gather_4(const uint8_t* src, uint64_t stride, uint64_t begin, uint64_t end, uint8_t* dst) {
  const uint8_t* p = src + begin * stride;
  uint64_t i = begin;
  for (; i + 2 <= end; i += 2, p += 2 * stride) {
    const uint64_t pair = load_le<uint32_t>(p) | uint64_t{load_le<uint32_t>(p + stride)} << 32;
    stream_u64(dst + i * 4, pair);
  }
  if (i < end) std::memcpy(dst + i * 4, p, 4);
}

void gather_8(const uint8_t* src, uint64_t stride, uint64_t begin, uint64_t end, uint8_t* dst) {
  const uint8_t* p = src + begin * stride;
  for (uint64_t i = begin; i < end; ++i, p += stride) stream_u64(dst + i * 8, load_le<uint64_t>(p));
}

// Packs the truth of each byte into bits, least significant bit first. `begin` is a multiple of
// 8, so every block starts on a whole byte of the bitmap; only the last byte can be partial.
void gather_bits(const uint8_t* src, uint64_t stride, uint64_t begin, uint64_t end, uint8_t* dst) {
  uint64_t i = begin;
  for (; i + 8 <= end; i += 8) {
    const uint8_t* p = src + i * stride;
    unsigned bits = 0;
    for (unsigned j = 0; j < 8; ++j) bits |= unsigned{p[j * stride] != 0} << j;
    dst[i / 8] = static_cast<uint8_t>(bits);
  }
  if (i == end) return;
  unsigned bits = 0;
  for (uint64_t j = i; j < end; ++j) bits |= unsigned{src[j * stride] != 0} << (j - i);
  dst[i / 8] = static_cast<uint8_t>(bits);
}

}  // namespace

void ColumnSink::gather(const DataRegion& region, uint64_t begin, uint64_t end) {
  const uint8_t* src = region.bytes.data() + var_->offset;
  uint8_t* dst = buffer_->mutable_data();
  switch (var_->var_type) {
    case VarType::Char:
      return gather_bytes(src, region.buf_len, begin, end, dst);
    case VarType::Bool:
      return gather_bits(src, region.buf_len, begin, end, dst);
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float:
      return gather_4(src, region.buf_len, begin, end, dst);
    case VarType::Double:
      return gather_8(src, region.buf_len, begin, end, dst);
  }
}

namespace {

// Every read of a scalar lies inside the region when the variable fits its record, which
// open_ibt guarantees; this is the last line of defence against a broken invariant.
Result<void> check_fits(const VarHeader& var, const DataRegion& region) {
  const uint64_t end = static_cast<uint64_t>(var.offset) + element_size(var.var_type);
  if (var.offset < 0 || (region.record_count > 0 && end > region.buf_len) ||
      region.bytes.size() != region.buf_len * region.record_count) {
    return invalid_header("Variable '" + var.name + "' lies outside its sample record");
  }
  return {};
}

Result<ChannelTable> make_channel_table(const std::string& name,
                                        const std::shared_ptr<arrow::Int64Array>& timecodes,
                                        const ColumnSink& column, uint64_t rows) {
  const VarHeader& var = column.var();
  auto metadata = arrow::key_value_metadata(
      {"units", "desc", "interpolate"},
      {var.unit, var.desc, interpolates(var.var_type) ? "True" : "False"});
  auto type = arrow_type(var.var_type);
  auto schema = arrow::schema({arrow::field("timecodes", arrow::int64(), /*nullable=*/false),
                               arrow::field(name, type, /*nullable=*/false, std::move(metadata))});
  auto values = arrow::MakeArray(arrow::ArrayData::Make(
      std::move(type), static_cast<int64_t>(rows), {nullptr, column.buffer()}, /*null_count=*/0));
  auto batch = arrow::RecordBatch::Make(std::move(schema), static_cast<int64_t>(rows),
                                        {timecodes, std::move(values)});
  if (auto status = batch->Validate(); !status.ok()) {
    return std::unexpected(IbtError::arrow(std::move(status)));
  }
  return batch;
}

}  // namespace

Result<ChannelTable> build_channel(const std::string& name,
                                   const std::shared_ptr<arrow::Int64Array>& timecodes,
                                   const VarHeader& var, const DataRegion& region) {
  CORVEX_RETURN_IF_ERROR(check_fits(var, region));
  CORVEX_ASSIGN_OR_RETURN(ColumnSink column, allocate_column(var, region.record_count));
  column.gather(region, 0, region.record_count);
  finish_streaming_stores();
  return make_channel_table(name, timecodes, column, region.record_count);
}

Result<ChannelSet> build_channels(const std::vector<VarHeader>& vars,
                                  const std::shared_ptr<arrow::Int64Array>& timecodes,
                                  const DataRegion& region) {
  CORVEX_ASSIGN_OR_RETURN(ChannelGather gather, ChannelGather::prepare(vars, region));
  run_record_pass(region, gather.sinks());
  return gather.finish(timecodes);
}

Result<ChannelGather> ChannelGather::prepare(const std::vector<VarHeader>& vars,
                                             const DataRegion& region) {
  ChannelGather gather;
  gather.rows_ = region.record_count;
  for (const VarHeader& var : vars) {
    if (var.count != 1) continue;
    CORVEX_RETURN_IF_ERROR(check_fits(var, region));
    CORVEX_ASSIGN_OR_RETURN(ColumnSink column, allocate_column(var, region.record_count));
    gather.columns_.push_back(std::move(column));
  }
  return gather;
}

ChannelGather::ChannelGather(ChannelGather&&) noexcept = default;
ChannelGather& ChannelGather::operator=(ChannelGather&&) noexcept = default;
ChannelGather::~ChannelGather() = default;

std::vector<RowSink*> ChannelGather::sinks() {
  std::vector<RowSink*> sinks;
  sinks.reserve(columns_.size());
  for (ColumnSink& column : columns_) sinks.push_back(&column);
  return sinks;
}

Result<ChannelSet> ChannelGather::finish(
    const std::shared_ptr<arrow::Int64Array>& timecodes) const {
  ChannelSet set;
  set.reserve(columns_.size());
  for (const ColumnSink& column : columns_) {
    CORVEX_ASSIGN_OR_RETURN(auto table,
                            make_channel_table(column.var().name, timecodes, column, rows_));
    set.emplace_back(column.var().name, std::move(table));
  }
  return set;
}

}  // namespace corvex
