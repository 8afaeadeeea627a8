// The validated IBT file: the main header, the disk sub-header, the variable headers, the session
// info text and the data region of fixed-size sample records. All fields are little-endian.
#pragma once

#include <arrow/array.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/mapping.h"
#include "core/record_pass.h"
#include "core/var_header.h"

namespace corvex {

inline constexpr size_t kMainHeaderSize = 112;
inline constexpr size_t kHeadersEnd = 144;  // main header + disk sub-header

class IbtFile {
 public:
  IbtFile(IbtFile&&) noexcept = default;
  IbtFile& operator=(IbtFile&&) noexcept = default;

  std::span<const uint8_t> bytes() const { return view_.bytes(); }

  int32_t version() const { return version_; }
  int32_t tick_rate() const { return tick_rate_; }
  int32_t session_info_len() const { return session_info_len_; }
  int32_t session_info_offset() const { return session_info_offset_; }
  int32_t num_vars() const { return num_vars_; }
  int32_t var_header_offset() const { return var_header_offset_; }
  int32_t buf_len() const { return buf_len_; }
  int32_t buf_offset() const { return buf_offset_; }
  int64_t session_start_date() const { return session_start_date_; }
  double start_time() const { return start_time_; }
  double end_time() const { return end_time_; }
  int32_t lap_count() const { return lap_count_; }
  int32_t session_record_count() const { return session_record_count_; }

  uint64_t record_count() const { return static_cast<uint64_t>(session_record_count_); }
  uint64_t record_length() const { return static_cast<uint64_t>(buf_len_); }

  const std::vector<VarHeader>& vars() const { return vars_; }
  // The variable registered under exactly this name; the last header wins on duplicates.
  const VarHeader* find_var(std::string_view name) const;
  const std::string& session_info() const { return session_info_; }

  // The record_count x buf_len bytes from buf_offset; validated to lie inside the file.
  std::span<const uint8_t> data_region() const;
  // The same with its record layout, for a record pass.
  DataRegion region() const;

 private:
  friend Result<IbtFile> open_ibt(MappedView view);
  IbtFile() = default;

  MappedView view_;
  int32_t version_ = 0, tick_rate_ = 0, session_info_len_ = 0, session_info_offset_ = 0;
  int32_t num_vars_ = 0, var_header_offset_ = 0, buf_len_ = 0, buf_offset_ = 0;
  int64_t session_start_date_ = 0;
  double start_time_ = 0, end_time_ = 0;
  int32_t lap_count_ = 0, session_record_count_ = 0;
  std::vector<VarHeader> vars_;
  std::unordered_map<std::string, size_t> index_;
  std::string session_info_;
};

// Validates the whole layout in a fixed order and takes ownership of the view.
Result<IbtFile> open_ibt(MappedView view);

// Checks that reading `width` bytes at `offset` of every record stays inside the data region.
// Only variables declared with fewer bytes than they are read with (count 0, or a narrower
// type) can fail this; the failure names the variable and the first record that would overrun.
Result<void> check_read_in_region(const IbtFile& file, const VarHeader& var, uint64_t width);

// The time column: SessionTime of every record in whole milliseconds, as one Int64 array.
Result<std::shared_ptr<arrow::Int64Array>> build_timecodes(const IbtFile& file);

// The time column filled by a record pass shared with other sinks.
class TimeGather final : public RowSink {
 public:
  // Finds SessionTime, checks its type and that its reads stay in the region, and allocates.
  static Result<TimeGather> prepare(const IbtFile& file);
  void gather(const DataRegion& region, uint64_t begin, uint64_t end) override;
  std::shared_ptr<arrow::Int64Array> finish() const;

 private:
  TimeGather(uint64_t offset, std::shared_ptr<arrow::Buffer> buffer, uint64_t rows)
      : offset_(offset), buffer_(std::move(buffer)), rows_(rows) {}
  uint64_t offset_;
  std::shared_ptr<arrow::Buffer> buffer_;
  uint64_t rows_;
};

// Seconds to milliseconds: rounded half away from zero, NaN to 0, saturated at the int64 limits.
int64_t seconds_to_millis(double seconds);

}  // namespace corvex

namespace corvex {

using Value = std::variant<uint8_t, bool, int32_t, uint32_t, float, double>;

// The first element of a variable in one record, read by its type; fails, reading nothing, when
// the bytes would pass the end of the data region.
Result<Value> read_value(const IbtFile& file, const VarHeader& var, uint64_t record);

}  // namespace corvex
