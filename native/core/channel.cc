#include "core/channel.h"

#include <arrow/buffer.h>
#include <arrow/type.h>
#include <arrow/util/key_value_metadata.h>

#include <algorithm>
#include <cstring>

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

// A value column being filled: the variable and its output buffer.
struct Column {
  const VarHeader* var;
  std::shared_ptr<arrow::Buffer> buffer;
};

Result<Column> allocate_column(const VarHeader& var, uint64_t rows) {
  auto buffer = arrow::AllocateBuffer(static_cast<int64_t>(value_buffer_size(var.var_type, rows)));
  if (!buffer.ok()) return std::unexpected(IbtError::arrow(buffer.status()));
  std::shared_ptr<arrow::Buffer> shared(std::move(*buffer));
  // The gather writes every byte of the values (the last bitmap byte included); the allocator's
  // padding after them is zeroed so that no uninitialised memory reaches Python.
  const auto used = static_cast<size_t>(shared->size());
  std::memset(shared->mutable_data() + used, 0, static_cast<size_t>(shared->capacity()) - used);
  return Column{&var, std::move(shared)};
}

// Copies the element at `src` + i x stride into dst[i] for rows [begin, end). The width is a
// template parameter so that each loop is a plain load and store.
template <class T>
void gather(const uint8_t* src, uint64_t stride, uint64_t begin, uint64_t end, uint8_t* dst) {
  auto* out = reinterpret_cast<T*>(dst);
  for (uint64_t i = begin; i < end; ++i) out[i] = load_le<T>(src + i * stride);
}

// Packs the truth of each byte into bits, least significant bit first. `begin` is a multiple of
// 8, so every block starts on a whole byte of the bitmap.
void gather_bits(const uint8_t* src, uint64_t stride, uint64_t begin, uint64_t end, uint8_t* dst) {
  for (uint64_t i = begin; i < end; i += 8) {
    const uint64_t stop = std::min(end, i + 8);
    uint8_t bits = 0;
    for (uint64_t j = i; j < stop; ++j) bits |= static_cast<uint8_t>((src[j * stride] != 0) << (j - i));
    dst[i / 8] = bits;
  }
}

void gather_rows(const Column& column, const DataRegion& region, uint64_t begin, uint64_t end) {
  const uint8_t* src = region.bytes.data() + column.var->offset;
  uint8_t* dst = column.buffer->mutable_data();
  switch (column.var->var_type) {
    case VarType::Char:
      return gather<uint8_t>(src, region.buf_len, begin, end, dst);
    case VarType::Bool:
      return gather_bits(src, region.buf_len, begin, end, dst);
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float:
      return gather<uint32_t>(src, region.buf_len, begin, end, dst);
    case VarType::Double:
      return gather<uint64_t>(src, region.buf_len, begin, end, dst);
  }
}

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
                                        const Column& column, uint64_t rows) {
  const VarHeader& var = *column.var;
  auto metadata = arrow::key_value_metadata({"units", "desc", "interpolate"},
                                            {var.unit, var.desc,
                                             interpolates(var.var_type) ? "True" : "False"});
  auto type = arrow_type(var.var_type);
  auto schema = arrow::schema({arrow::field("timecodes", arrow::int64(), /*nullable=*/false),
                               arrow::field(name, type, /*nullable=*/false, std::move(metadata))});
  auto values = arrow::MakeArray(arrow::ArrayData::Make(
      std::move(type), static_cast<int64_t>(rows), {nullptr, column.buffer}, /*null_count=*/0));
  auto batch = arrow::RecordBatch::Make(std::move(schema), static_cast<int64_t>(rows),
                                        {timecodes, std::move(values)});
  if (auto status = batch->Validate(); !status.ok()) {
    return std::unexpected(IbtError::arrow(std::move(status)));
  }
  return batch;
}

// Rows per block: a multiple of 64 (whole bitmap bytes) whose records fill about 512 KiB.
uint64_t block_rows(uint64_t buf_len) {
  constexpr uint64_t kBlockBytes = 512 * 1024;
  const uint64_t rows = buf_len == 0 ? kBlockBytes : kBlockBytes / buf_len;
  return std::max<uint64_t>(64, rows / 64 * 64);
}

}  // namespace

Result<ChannelTable> build_channel(const std::string& name,
                                   const std::shared_ptr<arrow::Int64Array>& timecodes,
                                   const VarHeader& var, const DataRegion& region) {
  CORVEX_RETURN_IF_ERROR(check_fits(var, region));
  CORVEX_ASSIGN_OR_RETURN(Column column, allocate_column(var, region.record_count));
  gather_rows(column, region, 0, region.record_count);
  return make_channel_table(name, timecodes, column, region.record_count);
}

Result<ChannelSet> build_channels(const std::vector<VarHeader>& vars,
                                  const std::shared_ptr<arrow::Int64Array>& timecodes,
                                  const DataRegion& region) {
  std::vector<Column> columns;
  for (const VarHeader& var : vars) {
    if (var.count != 1) continue;
    CORVEX_RETURN_IF_ERROR(check_fits(var, region));
    CORVEX_ASSIGN_OR_RETURN(Column column, allocate_column(var, region.record_count));
    columns.push_back(std::move(column));
  }
  const uint64_t step = block_rows(region.buf_len);
  for (uint64_t begin = 0; begin < region.record_count; begin += step) {
    const uint64_t end = std::min(region.record_count, begin + step);
    for (const Column& column : columns) gather_rows(column, region, begin, end);
  }
  ChannelSet set;
  set.reserve(columns.size());
  for (const Column& column : columns) {
    CORVEX_ASSIGN_OR_RETURN(auto table,
                            make_channel_table(column.var->name, timecodes, column,
                                               region.record_count));
    set.emplace_back(column.var->name, std::move(table));
  }
  return set;
}

}  // namespace corvex
