// The validated IBT file: the main header, the disk sub-header, the variable headers, the session
// info text and where the data region of fixed-size sample records lies. All fields are
// little-endian.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/byte_source.h"
#include "core/error.h"
#include "core/file_facts.h"
#include "core/session_info.h"
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

struct OpenOptions {
  // Read the whole records that are present when the header's record count is larger than the
  // file holds, or is 0 while whole records follow the data offset (a recording that was cut, or
  // never closed). At least one whole record must be present; otherwise the file is refused as
  // it would be without this option.
  bool salvage = false;
};

// What a salvaging open changed: the record count the header stores, and the bytes after the
// last whole record (a half record) that were left out.
struct SalvageReport {
  bool applied = false;
  uint64_t header_records = 0;
  uint64_t dropped_bytes = 0;
};

// The fixed header fields as the file stores them (the disk sub-header's read as 0 for a live
// snapshot, which has none); the salvage and snapshot readings change only the effective values
// of IbtFile.
struct StoredHeader {
  int32_t version = 0, tick_rate = 0;
  int32_t session_info_len = 0, session_info_offset = 0;
  int32_t num_vars = 0, var_header_offset = 0;
  int32_t num_buf = 0, buf_len = 0, buf_offset = 0;
  int64_t session_start_date = 0;
  double start_time = 0, end_time = 0;
  int32_t lap_count = 0, session_record_count = 0;
};

// The buffer table of a live telemetry snapshot and the buffer that was read (the newest).
struct SnapshotBuffers {
  std::vector<LiveBuffer> buffers;
  size_t newest = 0;
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
  const std::string& session_info() const { return session_info_.text; }
  // The bytes the session info text was decoded from, as stored.
  const std::string& session_info_bytes() const { return session_info_.bytes; }
  const StoredHeader& header() const { return header_; }
  // The source's length, the whole records after the data offset (at most 2^31 - 1; 0 for a
  // snapshot) and, when the one rule of core/snapshot.h takes the file for a live snapshot, its
  // buffer table.
  const FileFacts& facts() const { return facts_; }
  const ByteSource& source() const { return *source_; }

  // The record_count x buf_len bytes from buf_offset; validated to lie inside the file.
  DataRegion region() const;

  // Set when a salvaging open read fewer or more records than the header says.
  const SalvageReport& salvage() const { return salvage_; }
  // Set for a live telemetry snapshot (open_snapshot): its one record is the newest buffer.
  const std::optional<SnapshotBuffers>& snapshot() const { return snapshot_; }

 private:
  friend Result<IbtFile> open_ibt(std::unique_ptr<ByteSource> source, const OpenOptions& options);
  friend Result<IbtFile> open_snapshot(std::unique_ptr<ByteSource> source);
  friend Result<IbtFile> open_snapshot_layout(const ByteSource& source);
  friend Result<IbtFile> open_recording(const ByteSource& source, const OpenOptions& options);
  IbtFile() = default;
  // What recordings and snapshots share, read from the main header `head` (at least its 112
  // bytes) and checked in this order: the variable headers, the session info, buf_len and each
  // variable's place in the record.
  static Result<IbtFile> open_layout(const ByteSource& source, const uint8_t* head);
  // The name index and the source, once every check has passed.
  void finish(std::unique_ptr<ByteSource> source);

  std::unique_ptr<ByteSource> source_;
  int32_t tick_rate_ = 0, buf_len_ = 0, buf_offset_ = 0;
  int64_t session_start_date_ = 0;
  double start_time_ = 0, end_time_ = 0;
  int32_t lap_count_ = 0, session_record_count_ = 0;
  std::vector<VarHeader> vars_;
  std::unordered_map<std::string, size_t> index_;
  SessionInfo session_info_;
  StoredHeader header_;
  FileFacts facts_;
  SalvageReport salvage_;
  std::optional<SnapshotBuffers> snapshot_;
};

// Validates the whole layout in a fixed order, reading only the headers and the session info,
// and takes ownership of the source. A failure carries the facts (file_facts.h) of what was found:
// the file's size, the whole records present when the records are cut, and the finding
// LiveSnapshot with the buffer table when the file is a live snapshot by the rule of
// core/snapshot.h.
Result<IbtFile> open_ibt(std::unique_ptr<ByteSource> source, const OpenOptions& options = {});

// The fixed headers (the first 144 bytes, or the 112 of a snapshot), the variable header block and
// the whole session info region as the file stores them, read again from the file's source: what
// a content hash of the session covers.
struct RawBlocks {
  std::vector<uint8_t> headers, var_headers, session_info;
};
Result<RawBlocks> read_raw_blocks(const IbtFile& file);

// Checks that reading `width` bytes at `offset` of every record stays inside the data region.
// Only variables declared with fewer bytes than they are read with (count 0, or a narrower
// type) can fail this; the failure names the variable and the first record that would overrun.
Result<void> check_read_in_region(const DataRegion& region, const VarHeader& var, uint64_t width);

}  // namespace corvex
