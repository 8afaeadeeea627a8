#include "core/reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "core/bytes.h"
#include "core/layout.h"
#include "core/session_info.h"
#include "core/snapshot.h"

namespace corvex {

namespace {

// The texts of the header errors in this file ("File too small for ...", "... must be
// non-negative, got ...", "Variable '...' ...", "Unsupported IBT version: ...") reach Python as
// they are and callers match them word for word: change none of them.
std::string too_small(std::string_view what, uint64_t length, uint64_t need) {
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

template <class T>
Result<void> check_non_negative(layout::Field<T> field, int32_t value) {
  return check_non_negative(field.name, value);
}

// Decodes the headers a batch at a time, so that the bytes held at once stay small however many
// headers the file declares (the block was checked to lie inside the file).
Result<std::vector<VarHeader>> decode_var_headers(const ByteSource& file, uint64_t offset,
                                                  uint64_t count) {
  constexpr uint64_t kBatch = 512;
  std::vector<VarHeader> vars;
  vars.reserve(std::min<uint64_t>(count, 4096));  // grows with what is really decoded
  std::vector<uint8_t> scratch(file.in_memory() ? 0 : std::min(count, kBatch) * kVarHeaderSize);
  for (uint64_t first = 0; first < count; first += kBatch) {
    const uint64_t n = std::min(kBatch, count - first);
    CORVEX_ASSIGN_OR_RETURN(const auto block,
                            file.read(offset + first * kVarHeaderSize,
                                      static_cast<size_t>(n * kVarHeaderSize), scratch.data()));
    for (uint64_t i = 0; i < n; ++i) {
      CORVEX_ASSIGN_OR_RETURN(
          auto var, decode_var_header(block.subspan(i * kVarHeaderSize).first<kVarHeaderSize>()));
      vars.push_back(std::move(var));
    }
  }
  return vars;
}

// What a caller needs to explain why `source` did not open as a recording: its size, and whether
// it is a live snapshot by the one rule (which reads the headers again: failures only).
void add_failure_facts(IbtError& error, const ByteSource& source) {
  if (error.kind() != ErrorKind::InvalidHeader) return;
  auto facts = std::make_shared<FileFacts>(error.facts() != nullptr ? *error.facts() : FileFacts{});
  facts->size = source.size();
  if (auto buffers = live_snapshot_buffers(source)) {
    error.set_finding(Finding::LiveSnapshot);
    facts->live_buffers = std::move(*buffers);
  }
  error.set_facts(std::move(facts));
}

Result<void> check_placement(const std::vector<VarHeader>& vars, int32_t buf_len) {
  for (const VarHeader& var : vars) {
    CORVEX_RETURN_IF_ERROR(check_non_negative(layout::kVarOffset, var.offset));
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

DataRegion IbtFile::region() const {
  return DataRegion{source_.get(), static_cast<uint64_t>(buf_offset_), record_length(),
                    record_count()};
}

Result<IbtFile> IbtFile::open_layout(const ByteSource& source, const uint8_t* head) {
  using namespace layout;
  const uint64_t length = source.size();
  IbtFile file;
  file.tick_rate_ = read(head, kTickRate);
  const int32_t session_info_len = read(head, kSessionInfoLen);
  const int32_t session_info_offset = read(head, kSessionInfoOffset);
  const int32_t num_vars = read(head, kNumVars);
  const int32_t var_header_offset = read(head, kVarHeaderOffset);
  file.buf_len_ = read(head, kBufLen);
  file.buf_offset_ = read(head, kBufOffset);
  file.header_ = StoredHeader{.version = read(head, kVersion),
                              .tick_rate = file.tick_rate_,
                              .session_info_len = session_info_len,
                              .session_info_offset = session_info_offset,
                              .num_vars = num_vars,
                              .var_header_offset = var_header_offset,
                              .num_buf = read(head, kNumBuf),
                              .buf_len = file.buf_len_,
                              .buf_offset = file.buf_offset_};
  file.facts_.size = length;

  CORVEX_RETURN_IF_ERROR(check_non_negative(kVarHeaderOffset, var_header_offset));
  CORVEX_RETURN_IF_ERROR(check_non_negative(kNumVars, num_vars));
  const auto var_count = static_cast<uint64_t>(num_vars);
  const auto var_offset = static_cast<uint64_t>(var_header_offset);
  const uint64_t vars_end = var_count * layout::kVarHeaderSize + var_offset;
  if (length < vars_end) {
    return invalid_header(Finding::Truncated,
                          too_small(std::to_string(var_count) + " variable headers at offset " +
                                        std::to_string(var_offset),
                                    length, vars_end));
  }
  CORVEX_ASSIGN_OR_RETURN(file.vars_, decode_var_headers(source, var_offset, var_count));

  CORVEX_RETURN_IF_ERROR(check_non_negative(kSessionInfoOffset, session_info_offset));
  CORVEX_RETURN_IF_ERROR(check_non_negative(kSessionInfoLen, session_info_len));
  CORVEX_ASSIGN_OR_RETURN(file.session_info_,
                          extract_session_info(source, static_cast<uint64_t>(session_info_offset),
                                               static_cast<uint64_t>(session_info_len)));

  CORVEX_RETURN_IF_ERROR(check_non_negative(kBufLen, file.buf_len_));
  CORVEX_RETURN_IF_ERROR(check_placement(file.vars_, file.buf_len_));
  // The rest of the rule for a live snapshot, now that the layout it shares is sound.
  if (auto buffers = live_buffer_table(head, length, file.buf_len_)) {
    file.facts_.live_buffers = std::move(*buffers);
  }
  return file;
}

void IbtFile::finish(std::unique_ptr<ByteSource> source) {
  index_.reserve(vars_.size());
  for (size_t i = 0; i < vars_.size(); ++i) index_[vars_[i].name] = i;
  source_ = std::move(source);
}

Result<IbtFile> open_recording(const ByteSource& source, const OpenOptions& options) {
  using namespace layout;
  const uint64_t length = source.size();
  std::array<uint8_t, kHeadersEnd> scratch{};
  CORVEX_ASSIGN_OR_RETURN(
      const auto head,
      source.read(0, static_cast<size_t>(std::min<uint64_t>(length, kHeadersEnd)), scratch.data()));
  if (length < kMainHeaderSize) {
    return invalid_header(Finding::NotIbt, too_small("header", length, kMainHeaderSize));
  }
  const auto version = read(head.data(), kVersion);
  if (version != 1 && version != 2) {
    return invalid_header(Finding::NotIbt, "Unsupported IBT version: " + std::to_string(version));
  }
  if (length < kHeadersEnd) {
    return invalid_header(Finding::Truncated, too_small("disk sub-header", length, kHeadersEnd));
  }

  CORVEX_ASSIGN_OR_RETURN(IbtFile file, IbtFile::open_layout(source, head.data()));
  file.session_start_date_ = read(head.data(), kSessionStartDate);
  file.start_time_ = read(head.data(), kStartTime);
  file.end_time_ = read(head.data(), kEndTime);
  file.lap_count_ = read(head.data(), kLapCount);
  file.session_record_count_ = read(head.data(), kSessionRecordCount);
  file.header_.session_start_date = file.session_start_date_;
  file.header_.start_time = file.start_time_;
  file.header_.end_time = file.end_time_;
  file.header_.lap_count = file.lap_count_;
  file.header_.session_record_count = file.session_record_count_;

  CORVEX_RETURN_IF_ERROR(check_non_negative(kBufOffset, file.buf_offset_));
  CORVEX_RETURN_IF_ERROR(check_non_negative(kSessionRecordCount, file.session_record_count_));
  // 31-bit x 31-bit + 31-bit fits easily in 64 bits.
  const auto start = static_cast<uint64_t>(file.buf_offset_);
  const uint64_t data_end = start + file.record_length() * file.record_count();
  // The whole records from the data offset to the end of the file, at most 2^31 - 1 of them.
  const uint64_t stride = file.record_length();
  const uint64_t present =
      length <= start || stride == 0 ? 0 : std::min<uint64_t>((length - start) / stride, INT32_MAX);
  file.facts_.whole_records = present;
  const bool cut = length < data_end;
  const bool unclosed = file.session_record_count_ == 0 && present > 0;
  if (options.salvage && present > 0 && (cut || unclosed)) {
    file.salvage_ = SalvageReport{true, file.record_count(), length - start - present * stride};
    file.session_record_count_ = static_cast<int32_t>(present);
  } else if (cut) {
    IbtError error = IbtError::invalid_header(
        Finding::Truncated,
        too_small(std::to_string(file.session_record_count_) + " records", length, data_end));
    auto facts = std::make_shared<FileFacts>();
    facts->whole_records = present;
    error.set_facts(std::move(facts));
    return std::unexpected(std::move(error));
  }
  return file;
}

Result<IbtFile> open_ibt(std::unique_ptr<ByteSource> source, const OpenOptions& options) {
  Result<IbtFile> file = open_recording(*source, options);
  if (!file) {
    add_failure_facts(file.error(), *source);
    return file;
  }
  file->finish(std::move(source));
  return file;
}

namespace {

// `length` bytes at `offset` of the source, which the open checked to lie inside it.
Result<std::vector<uint8_t>> copy_block(const ByteSource& source, uint64_t offset,
                                        uint64_t length) {
  if (offset > source.size() || length > source.size() - offset) {
    return std::unexpected(IbtError::io("a block of the headers lies past the end of the file"));
  }
  std::vector<uint8_t> out(static_cast<size_t>(length));
  CORVEX_ASSIGN_OR_RETURN(const auto bytes,
                          source.read(offset, static_cast<size_t>(length), out.data()));
  if (bytes.data() != out.data()) std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

}  // namespace

Result<RawBlocks> read_raw_blocks(const IbtFile& file) {
  const StoredHeader& header = file.header();
  const ByteSource& source = file.source();
  RawBlocks blocks;
  const uint64_t fixed = file.snapshot() ? layout::kMainHeaderSize : layout::kHeadersEnd;
  CORVEX_ASSIGN_OR_RETURN(blocks.headers, copy_block(source, 0, fixed));
  // Both fields were checked non-negative; 31-bit x 144 + 31-bit cannot overflow.
  CORVEX_ASSIGN_OR_RETURN(
      blocks.var_headers,
      copy_block(source, static_cast<uint64_t>(header.var_header_offset),
                 static_cast<uint64_t>(header.num_vars) * layout::kVarHeaderSize));
  CORVEX_ASSIGN_OR_RETURN(blocks.session_info,
                          copy_block(source, static_cast<uint64_t>(header.session_info_offset),
                                     static_cast<uint64_t>(header.session_info_len)));
  return blocks;
}

Result<void> check_read_in_region(const DataRegion& region, const VarHeader& var, uint64_t width) {
  const uint64_t n = region.record_count;
  if (n == 0) return {};
  const uint64_t stride = region.buf_len;
  const uint64_t size = region.size();
  const uint64_t offset = static_cast<uint64_t>(var.offset);
  // Positions grow with the record index, so only the tail of the region can overrun; find
  // the first record whose read would.
  if ((n - 1) * stride + offset + width <= size) return {};
  const uint64_t need = offset + width;
  // need <= size here implies a non-empty region and so a non-zero stride.
  const uint64_t first_bad = need > size ? 0 : (size - need) / stride + 1;
  return invalid_header("Variable '" + var.name + "' read of " + std::to_string(width) +
                        " bytes at offset " + std::to_string(offset) + " in record " +
                        std::to_string(first_bad) + " passes the end of the data region (" +
                        std::to_string(size) + " bytes)");
}

}  // namespace corvex
