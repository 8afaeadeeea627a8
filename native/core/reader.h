// The validated IBT file: the main header, the disk sub-header, the variable headers, the session
// info text and where the data region of fixed-size sample records lies. All fields are
// little-endian.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/byte_source.h"
#include "core/error.h"
#include "core/var_header.h"

namespace corvex {

// Where the sample records are: record i starts at `offset` + i x buf_len of the source.
struct DataRegion {
  const ByteSource* source;
  uint64_t offset;
  uint64_t buf_len;
  uint64_t record_count;
  uint64_t size() const { return buf_len * record_count; }  // 31-bit x 31-bit: no overflow
};

class IbtFile {
 public:
  IbtFile(IbtFile&&) noexcept = default;
  IbtFile& operator=(IbtFile&&) noexcept = default;

  int32_t tick_rate() const { return tick_rate_; }
  int64_t session_start_date() const { return session_start_date_; }
  double start_time() const { return start_time_; }
  double end_time() const { return end_time_; }
  int32_t lap_count() const { return lap_count_; }
  uint64_t record_count() const { return static_cast<uint64_t>(session_record_count_); }
  uint64_t record_length() const { return static_cast<uint64_t>(buf_len_); }

  const std::vector<VarHeader>& vars() const { return vars_; }
  // The variable registered under exactly this name; the last header wins on duplicates.
  const VarHeader* find_var(std::string_view name) const;
  const std::string& session_info() const { return session_info_; }

  // The record_count x buf_len bytes from buf_offset; validated to lie inside the file.
  DataRegion region() const;

 private:
  friend Result<IbtFile> open_ibt(std::unique_ptr<ByteSource> source);
  IbtFile() = default;

  std::unique_ptr<ByteSource> source_;
  int32_t tick_rate_ = 0, buf_len_ = 0, buf_offset_ = 0;
  int64_t session_start_date_ = 0;
  double start_time_ = 0, end_time_ = 0;
  int32_t lap_count_ = 0, session_record_count_ = 0;
  std::vector<VarHeader> vars_;
  std::unordered_map<std::string, size_t> index_;
  std::string session_info_;
};

// Validates the whole layout in a fixed order, reading only the headers and the session info,
// and takes ownership of the source.
Result<IbtFile> open_ibt(std::unique_ptr<ByteSource> source);

// Checks that reading `width` bytes at `offset` of every record stays inside the data region.
// Only variables declared with fewer bytes than they are read with (count 0, or a narrower
// type) can fail this; the failure names the variable and the first record that would overrun.
Result<void> check_read_in_region(const DataRegion& region, const VarHeader& var, uint64_t width);

}  // namespace corvex
