// Reading live telemetry: the simulator's shared memory (or a file of its layout) while another
// process writes it. The memory holds the main header, the variable headers, the session info and
// a ring of 1 to 4 record buffers, each stamped in the header with the tick count of the record it
// holds; the writer fills the oldest buffer and then stamps it.
//
// Nothing the writer does can make the reader read outside the memory or hand out a record mixed
// from two ticks:
// - the header is read afresh for every record; when anything in it but the tick counts changed,
//   the whole layout is validated again (the checks of a snapshot: version, variable headers,
//   session info, 1 to 4 buffers each inside the memory, none overlapping) before a record is read;
// - a record is copied, then the header is read again: the copy counts only when the layout is
//   unchanged, its buffer still carries the tick it had before the copy, and the writer cannot
//   have started to refill it (fewer than num_buf - 1 other buffers hold newer or equal ticks);
//   otherwise it is read again. A writer that marks a buffer it is filling (a negative tick count,
//   as the publisher in core/live_publish.h does) is caught even with one buffer.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/arrow_export.h"
#include "core/error.h"
#include "core/gather.h"
#include "core/layout.h"
#include "core/reader.h"
#include "core/shared_memory.h"

namespace corvex {

// The header's status field: bit 0 is set while the simulator (or a publisher) is connected.
inline constexpr size_t kStatusOffset = 4;
inline constexpr size_t kSessionInfoUpdateOffset = 12;
inline constexpr int32_t kConnectedFlag = 1;
// A session info update counter of this value means the text is being rewritten.
inline constexpr int32_t kSessionInfoBeingWritten = -1;

using LiveHeader = std::array<uint8_t, layout::kMainHeaderSize>;

// The tick count of buffer `i` in a header.
int32_t header_tick(const LiveHeader& header, size_t i);
// Whether two headers describe the same layout: every byte equal but the status flag and the
// buffers' tick counts.
bool same_layout(const LiveHeader& a, const LiveHeader& b);

// A validated layout: what its records are read with, and what a publisher needs to write it
// again (the raw variable headers and session info text).
struct LiveLayout {
  IbtFile file;  // variables, session info text, tick rate; snapshot() gives the buffers
  LiveHeader header;
  std::vector<uint8_t> var_headers;   // num_vars x 144 bytes, as the memory holds them
  std::vector<uint8_t> session_info;  // the text region without its trailing NULs
  int32_t version = 0;
  int32_t session_info_update = 0;
  uint64_t generation = 0;       // 1 for the first layout a reader saw, then counting up
  std::vector<LiveBuffer> ring;  // the buffer table, as validated

  int32_t tick_rate() const { return file.tick_rate(); }
  uint64_t buf_len() const { return file.record_length(); }
  const std::vector<LiveBuffer>& buffers() const { return ring; }
};

// Records read in tick order, all of one layout.
struct LiveRecords {
  std::shared_ptr<const LiveLayout> layout;
  std::vector<uint8_t> bytes;  // count x buf_len, then 8 spare bytes
  std::vector<int32_t> ticks;
  uint64_t missed = 0;      // ticks skipped before (and between) these records
  bool new_layout = false;  // the first records of a layout that replaced another
  bool restarted = false;   // the tick counts went back (a new session) before these records
  bool ended = false;       // the writer disconnected after these records (there may be none)

  uint64_t count() const { return ticks.size(); }
  const uint8_t* record(uint64_t i) const { return bytes.data() + i * layout->buf_len(); }
};

struct WaitOptions {
  // How long to wait for the records; negative: as long as it takes.
  int64_t timeout_ms = -1;
  // Asked every few tens of milliseconds while waiting; true ends the wait with Cancelled.
  std::function<bool()> should_stop;
  // When no record was read yet: start at the oldest record the ring still holds, not the
  // newest (a mirror that must pass every tick on).
  bool from_oldest = false;
};

class LiveReader {
 public:
  explicit LiveReader(std::shared_ptr<SharedMemory> memory);

  // Reads the header: whether its status flag says connected. Validates a changed layout.
  Result<bool> connected();
  // The layout records are read with now; null until one was validated.
  std::shared_ptr<const LiveLayout> layout() const { return layout_; }

  // The newest record now (one record), whether or not the writer is still connected. Fails
  // when there is no valid layout or no record yet.
  Result<LiveRecords> latest();

  // Up to `count` records after the last one read (the newest first, when none was read yet), in
  // tick order, each read once; waits for them as the options say. Returns fewer when the layout
  // changes, the writer disconnects (`ended`, said once, with or without records) or the tick
  // counts go back (the next call starts anew), or the time is up (possibly none). An invalid
  // layout that persists for a second is an error.
  Result<LiveRecords> next(uint64_t count, const WaitOptions& options);

  // How long latest() waits for a buffer being written when no other holds a record (50 ms).
  void set_patience(std::chrono::milliseconds patience) { patience_ = patience; }

  // The tick of the last record read, and every tick skipped so far.
  std::optional<int32_t> last_tick() const { return last_tick_; }
  uint64_t missed_total() const { return missed_total_; }

 private:
  Result<LiveHeader> read_header() const;
  // Validates the layout the header describes and makes it current.
  Result<void> load_layout(const LiveHeader& header);
  // Brings the layout up to date with `header`; true when it changed.
  Result<bool> follow(const LiveHeader& header);
  // The smallest readable tick after `after` (when absent: the newest, or the oldest with
  // `oldest`), and its buffer.
  std::optional<std::pair<int32_t, size_t>> pick(const LiveHeader& header,
                                                 std::optional<int32_t> after,
                                                 bool oldest = false) const;
  // Copies buffer `index` into `out`; the tick when the copy is whole, nullopt to read again.
  Result<std::optional<int32_t>> copy(const LiveHeader& header, size_t index, uint8_t* out);

  std::shared_ptr<SharedMemory> memory_;
  std::shared_ptr<const LiveLayout> layout_;
  uint64_t generations_ = 0;
  std::optional<int32_t> last_tick_;
  uint64_t missed_total_ = 0;
  bool pending_new_layout_ = false;
  bool pending_restart_ = false;
  bool was_connected_ = false;
  std::chrono::milliseconds patience_{50};
  std::chrono::steady_clock::time_point last_record_{};   // when next() last read a record
  std::chrono::steady_clock::time_point last_refresh_{};  // when next() last looked behind the name
  // When the header or layout became unreadable, across calls; the epoch while it is fine.
  std::chrono::steady_clock::time_point invalid_since_{};
};

// Follows live memory on a thread of its own: a reader that drains the ring as the writer fills
// it, whatever its consumer is busy with (a pause of a few ticks would otherwise cost records),
// and keeps what it read until next() takes it. At most `capacity` records wait; older ones are
// dropped and counted as missed.
class LiveFollower {
 public:
  // `from_oldest`: start at the oldest record the ring holds rather than the newest.
  LiveFollower(std::shared_ptr<SharedMemory> memory, uint64_t capacity, bool from_oldest = false);
  LiveFollower(const LiveFollower&) = delete;
  LiveFollower& operator=(const LiveFollower&) = delete;
  ~LiveFollower();

  // As LiveReader::next, from what the thread read: up to `count` records in tick order, fewer
  // at a change of layout or a restart, none when nothing came in time. The thread's error is
  // reported once everything it read before has been taken.
  Result<LiveRecords> next(uint64_t count, const WaitOptions& options);
  uint64_t missed_total() const;
  std::optional<int32_t> last_tick() const;

 private:
  void run();

  LiveReader reader_;
  uint64_t capacity_;
  bool from_oldest_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<LiveRecords> queue_;
  uint64_t queued_ = 0;
  uint64_t missed_ = 0;
  std::optional<int32_t> last_tick_;
  std::optional<IbtError> error_;
  bool stopping_ = false;
  std::thread thread_;
};

// The record batch of some records: "timecodes" (SessionTime in ms) and every variable in file
// order with the field the file reader gives it (a channel's primitive column, an array's
// fixed-size list); of duplicate names the last header's column, at the first one's place.
Result<ExportBatch> live_batch(const LiveRecords& records);

// Columns of the live batch's schema with room for `slots` records, filled one record at a time:
// the single records of latest() are rows of one block that is handed to pyarrow once, each
// record then a one-row slice of it, so that a record costs a slice, not a schema's worth of
// imported columns. A row is written once, before any slice shows it, and never again; rows are
// 8 apart, so that no two records share a byte of a Boolean column's bits.
class LiveBlock {
 public:
  static Result<LiveBlock> make(std::shared_ptr<const LiveLayout> layout, uint64_t slots);

  const std::shared_ptr<const LiveLayout>& layout() const { return layout_; }
  // The whole block (every slot's rows), for the one hand-off.
  const ExportBatch& batch() const { return batch_; }
  bool full() const { return used_ == slots_; }
  // Writes a record of the layout into the next slot and returns its row.
  uint64_t put(const uint8_t* record);

 private:
  LiveBlock() = default;
  std::shared_ptr<const LiveLayout> layout_;
  ExportBatch batch_;
  ChannelGroup columns_;  // in the batch's order, after timecodes
  Column timecodes_;
  uint64_t time_offset_ = 0;
  uint64_t slots_ = 0, used_ = 0;
};

}  // namespace corvex
