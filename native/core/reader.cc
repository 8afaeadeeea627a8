#include "core/reader.h"

#include <arrow/buffer.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "core/bytes.h"
#include "core/session_info.h"

namespace corvex {

namespace {

std::string too_small(std::string_view what, size_t length, uint64_t need) {
  return "File too small for " + std::string(what) + ": " + std::to_string(length) +
         " bytes (need " + std::to_string(need) + ")";
}

Result<void> check_non_negative(std::string_view name, int32_t value) {
  if (value < 0) {
    return invalid_header(std::string(name) + " must be non-negative, got " +
                          std::to_string(value));
  }
  return {};
}

Result<std::vector<VarHeader>> decode_var_headers(std::span<const uint8_t> file, uint64_t offset,
                                                  uint64_t count) {
  std::vector<VarHeader> vars;
  // The block was checked to lie inside the file, so the count is bounded by its size.
  vars.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    const auto record = file.subspan(offset + i * kVarHeaderSize).first<kVarHeaderSize>();
    CORVEX_ASSIGN_OR_RETURN(auto var, decode_var_header(record));
    vars.push_back(std::move(var));
  }
  return vars;
}

Result<void> check_placement(const std::vector<VarHeader>& vars, int32_t buf_len) {
  for (const VarHeader& var : vars) {
    CORVEX_RETURN_IF_ERROR(check_non_negative("var offset", var.offset));
    const uint64_t size = var.byte_size();
    if (static_cast<uint64_t>(var.offset) + size > static_cast<uint64_t>(buf_len)) {
      return invalid_header("Variable '" + var.name + "' offset " + std::to_string(var.offset) +
                            " + size " + std::to_string(size) + " exceeds buffer length " +
                            std::to_string(buf_len));
    }
  }
  return {};
}

}  // namespace

const VarHeader* IbtFile::find_var(std::string_view name) const {
  const auto it = index_.find(std::string(name));
  return it == index_.end() ? nullptr : &vars_[it->second];
}

std::span<const uint8_t> IbtFile::data_region() const {
  return bytes().subspan(static_cast<size_t>(buf_offset_), record_count() * record_length());
}

DataRegion IbtFile::region() const {
  return DataRegion{data_region(), record_length(), record_count(), &view_};
}

Result<IbtFile> open_ibt(MappedView view) {
  const auto b = view.bytes();
  const size_t length = b.size();
  if (length < kMainHeaderSize) return invalid_header(too_small("header", length, 112));
  const auto version = load_le<int32_t>(b.data());
  if (version != 1 && version != 2) {
    return invalid_header("Unsupported IBT version: " + std::to_string(version));
  }
  if (length < kHeadersEnd) return invalid_header(too_small("disk sub-header", length, 144));

  IbtFile file;
  file.version_ = version;
  file.tick_rate_ = load_le<int32_t>(b.data() + 8);
  file.session_info_len_ = load_le<int32_t>(b.data() + 16);
  file.session_info_offset_ = load_le<int32_t>(b.data() + 20);
  file.num_vars_ = load_le<int32_t>(b.data() + 24);
  file.var_header_offset_ = load_le<int32_t>(b.data() + 28);
  file.buf_len_ = load_le<int32_t>(b.data() + 36);
  file.buf_offset_ = load_le<int32_t>(b.data() + 52);
  file.session_start_date_ = load_le<int64_t>(b.data() + 112);
  file.start_time_ = load_le<double>(b.data() + 120);
  file.end_time_ = load_le<double>(b.data() + 128);
  file.lap_count_ = load_le<int32_t>(b.data() + 136);
  file.session_record_count_ = load_le<int32_t>(b.data() + 140);

  CORVEX_RETURN_IF_ERROR(check_non_negative("var_header_offset", file.var_header_offset_));
  CORVEX_RETURN_IF_ERROR(check_non_negative("num_vars", file.num_vars_));
  const auto num_vars = static_cast<uint64_t>(file.num_vars_);
  const auto var_offset = static_cast<uint64_t>(file.var_header_offset_);
  const uint64_t vars_end = num_vars * kVarHeaderSize + var_offset;
  if (length < vars_end) {
    return invalid_header(too_small(
        std::to_string(num_vars) + " variable headers at offset " + std::to_string(var_offset),
        length, vars_end));
  }
  CORVEX_ASSIGN_OR_RETURN(file.vars_, decode_var_headers(b, var_offset, num_vars));

  CORVEX_RETURN_IF_ERROR(check_non_negative("session_info_offset", file.session_info_offset_));
  CORVEX_RETURN_IF_ERROR(check_non_negative("session_info_len", file.session_info_len_));
  CORVEX_ASSIGN_OR_RETURN(file.session_info_,
                          extract_session_info(b, static_cast<uint64_t>(file.session_info_offset_),
                                               static_cast<uint64_t>(file.session_info_len_)));

  CORVEX_RETURN_IF_ERROR(check_non_negative("buf_len", file.buf_len_));
  CORVEX_RETURN_IF_ERROR(check_placement(file.vars_, file.buf_len_));

  CORVEX_RETURN_IF_ERROR(check_non_negative("buf_offset", file.buf_offset_));
  CORVEX_RETURN_IF_ERROR(check_non_negative("session_record_count", file.session_record_count_));
  // 31-bit x 31-bit + 31-bit fits easily in 64 bits.
  const uint64_t data_end =
      static_cast<uint64_t>(file.buf_offset_) + file.record_length() * file.record_count();
  if (length < data_end) {
    return invalid_header(
        too_small(std::to_string(file.session_record_count_) + " records", length, data_end));
  }

  file.index_.reserve(file.vars_.size());
  for (size_t i = 0; i < file.vars_.size(); ++i) file.index_[file.vars_[i].name] = i;
  file.view_ = std::move(view);
  return file;
}

Result<void> check_read_in_region(const IbtFile& file, const VarHeader& var, uint64_t width) {
  const uint64_t n = file.record_count();
  if (n == 0) return {};
  const uint64_t stride = file.record_length();
  const uint64_t region = n * stride;
  const uint64_t offset = static_cast<uint64_t>(var.offset);
  // Positions grow with the record index, so only the tail of the region can overrun; find
  // the first record whose read would.
  if ((n - 1) * stride + offset + width <= region) return {};
  const uint64_t need = offset + width;
  // need <= region here implies a non-empty region and so a non-zero stride.
  const uint64_t first_bad = need > region ? 0 : (region - need) / stride + 1;
  return invalid_header("Variable '" + var.name + "' read of " + std::to_string(width) +
                        " bytes at offset " + std::to_string(offset) + " in record " +
                        std::to_string(first_bad) + " passes the end of the data region (" +
                        std::to_string(region) + " bytes)");
}

int64_t seconds_to_millis(double seconds) {
  const double ms = std::round(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  // 2^63 is exactly representable; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (ms >= kLimit) return std::numeric_limits<int64_t>::max();
  if (ms < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

Result<TimeGather> TimeGather::prepare(const IbtFile& file) {
  const VarHeader* var = file.find_var("SessionTime");
  if (var == nullptr) return invalid_header("Missing SessionTime variable");
  if (var->var_type != VarType::Double) {
    return invalid_header("SessionTime should be double, got " +
                          std::string(var_type_name(var->var_type)));
  }
  CORVEX_RETURN_IF_ERROR(check_read_in_region(file, *var, sizeof(double)));
  const uint64_t n = file.record_count();
  auto buffer = arrow::AllocateBuffer(static_cast<int64_t>(n * sizeof(int64_t)));
  if (!buffer.ok()) return std::unexpected(IbtError::arrow(buffer.status()));
  std::shared_ptr<arrow::Buffer> shared(std::move(*buffer));
  // Only the allocator's padding is not written by the pass; keep it from reaching Python.
  std::memset(shared->mutable_data() + shared->size(), 0,
              static_cast<size_t>(shared->capacity() - shared->size()));
  return TimeGather(static_cast<uint64_t>(var->offset), std::move(shared), n);
}

void TimeGather::gather(const DataRegion& region, uint64_t begin, uint64_t end) {
  auto* out = reinterpret_cast<int64_t*>(buffer_->mutable_data());
  const uint8_t* src = region.bytes.data() + offset_;
  for (uint64_t i = begin; i < end; ++i) {
    out[i] = seconds_to_millis(load_le<double>(src + i * region.buf_len));
  }
}

std::shared_ptr<arrow::Int64Array> TimeGather::finish() const {
  return std::make_shared<arrow::Int64Array>(static_cast<int64_t>(rows_), buffer_);
}

Result<std::shared_ptr<arrow::Int64Array>> build_timecodes(const IbtFile& file) {
  CORVEX_ASSIGN_OR_RETURN(TimeGather gather, TimeGather::prepare(file));
  RowSink* sinks[] = {&gather};
  run_record_pass(file.region(), sinks);
  return gather.finish();
}

Result<Value> read_value(const IbtFile& file, const VarHeader& var, uint64_t record) {
  const uint64_t width = element_size(var.var_type);
  const auto region = file.data_region();
  const uint64_t pos = record < file.record_count()
                           ? record * file.record_length() + static_cast<uint64_t>(var.offset)
                           : region.size();
  if (pos + width > region.size() || record >= file.record_count()) {
    return invalid_header("Variable '" + var.name + "' read in record " + std::to_string(record) +
                          " passes the end of the data region");
  }
  const uint8_t* p = region.data() + pos;
  switch (var.var_type) {
    case VarType::Char:
      return Value(p[0]);
    case VarType::Bool:
      return Value(p[0] != 0);
    case VarType::Int:
      return Value(load_le<int32_t>(p));
    case VarType::BitField:
      return Value(load_le<uint32_t>(p));
    case VarType::Float:
      return Value(load_le<float>(p));
    case VarType::Double:
      return Value(load_le<double>(p));
  }
  return invalid_header("Unknown variable type");
}

}  // namespace corvex
