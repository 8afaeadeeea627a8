#include "core/live.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "core/arrays.h"
#include "core/bytes.h"
#include "core/channel.h"
#include "core/snapshot.h"
#include "core/tables.h"
#include "core/time_column.h"

namespace corvex {

namespace {

using Clock = std::chrono::steady_clock;

// An invalid layout or unreadable memory is waited out this long (a writer may be rewriting its
// header) before next() reports it.
constexpr auto kInvalidGrace = std::chrono::milliseconds(1000);
// How often a file is looked at again while its writer is away or its layout is invalid.
constexpr auto kRefreshEvery = std::chrono::milliseconds(200);
// For this long without a record a connected writer counts as quiet (see next()).
constexpr auto kQuietFor = std::chrono::milliseconds(1000);
// For this long after a record the writer counts as active (see next()).
constexpr auto kActiveFor = std::chrono::milliseconds(200);
// How often should_stop is asked while waiting.
constexpr auto kStopEvery = std::chrono::milliseconds(50);
// Copies torn by the writer in a row before the reader gives up.
constexpr int kCopyAttempts = 1000;
// Layout reads that the writer changed under us in a row before the reader gives up.
constexpr int kLayoutAttempts = 50;

// The shared memory as a byte source for the snapshot checks: every read is a copy.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::shared_ptr<SharedMemory> memory)
      : memory_(std::move(memory)), size_(memory_->size()) {}
  uint64_t size() const override { return size_; }
  Result<std::span<const uint8_t>> read(uint64_t offset, size_t length,
                                        uint8_t* scratch) const override {
    if (offset > size_ || length > size_ - offset) {
      return std::unexpected(IbtError::io("read past the end of the live memory"));
    }
    CORVEX_RETURN_IF_ERROR(memory_->read(offset, std::span<uint8_t>(scratch, length)));
    return std::span<const uint8_t>(scratch, length);
  }

 private:
  std::shared_ptr<SharedMemory> memory_;
  uint64_t size_;
};

int32_t field(const LiveHeader& header, size_t offset) {
  return load_le<int32_t>(header.data() + offset);
}

Result<std::vector<uint8_t>> read_bytes(const SharedMemory& memory, uint64_t offset,
                                        uint64_t length) {
  // Checked before anything is allocated: the header may have changed since it was validated.
  if (offset > memory.size() || length > memory.size() - offset) {
    return std::unexpected(IbtError::io("read past the end of the live memory"));
  }
  std::vector<uint8_t> out(static_cast<size_t>(length));
  CORVEX_RETURN_IF_ERROR(memory.read(offset, out));
  return out;
}

int64_t elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

}  // namespace

int32_t header_tick(const LiveHeader& header, size_t i) {
  return field(header, layout::kBufferDescriptors + i * layout::kBufferDescriptorSize);
}

bool same_layout(const LiveHeader& a, const LiveHeader& b) {
  // The status flag says whether a writer is there, not what the layout is.
  if (std::memcmp(a.data(), b.data(), kStatusOffset) != 0) return false;
  size_t from = kStatusOffset + 4;
  for (size_t i = 0; i < static_cast<size_t>(kMaxLiveBuffers); ++i) {
    const size_t tick = layout::kBufferDescriptors + i * layout::kBufferDescriptorSize;
    if (std::memcmp(a.data() + from, b.data() + from, tick - from) != 0) return false;
    from = tick + 4;
  }
  return std::memcmp(a.data() + from, b.data() + from, a.size() - from) == 0;
}

LiveReader::LiveReader(std::shared_ptr<SharedMemory> memory) : memory_(std::move(memory)) {}

Result<LiveHeader> LiveReader::read_header() const {
  LiveHeader header{};
  if (memory_->size() < header.size()) {
    return invalid_header("File too small for header: " + std::to_string(memory_->size()) +
                          " bytes (need 112)");
  }
  CORVEX_RETURN_IF_ERROR(memory_->read(0, header));
  return header;
}

Result<void> LiveReader::load_layout(const LiveHeader& first) {
  LiveHeader header = first;
  for (int attempt = 0; attempt < kLayoutAttempts; ++attempt) {
    if (attempt > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      CORVEX_ASSIGN_OR_RETURN(header, read_header());
    }
    if (field(header, kSessionInfoUpdateOffset) == kSessionInfoBeingWritten) continue;
    CORVEX_ASSIGN_OR_RETURN(IbtFile file, open_snapshot(std::make_unique<MemorySource>(memory_)));
    // The raw headers and text, at the places this header gives (open_snapshot read its own
    // copy of the header; the comparison below tells whether the two were the same).
    const auto var_offset =
        static_cast<uint64_t>(layout::read(header.data(), layout::kVarHeaderOffset));
    const auto var_count = static_cast<uint64_t>(layout::read(header.data(), layout::kNumVars));
    const auto info_offset =
        static_cast<uint64_t>(layout::read(header.data(), layout::kSessionInfoOffset));
    const auto info_length =
        static_cast<uint64_t>(layout::read(header.data(), layout::kSessionInfoLen));
    auto vars = read_bytes(*memory_, var_offset, var_count * layout::kVarHeaderSize);
    auto info = vars ? read_bytes(*memory_, info_offset, info_length) : vars;
    CORVEX_ASSIGN_OR_RETURN(const LiveHeader after, read_header());
    if (!same_layout(header, after) || file.vars().size() != var_count) continue;
    if (!vars) return std::unexpected(std::move(vars).error());
    if (!info) return std::unexpected(std::move(info).error());
    while (!info->empty() && info->back() == 0) info->pop_back();

    auto made = std::make_shared<LiveLayout>(
        LiveLayout{std::move(file), header, std::move(*vars), std::move(*info), 0, 0, 0, {}});
    made->version = layout::read(header.data(), layout::kVersion);
    if (const auto& ring = made->file.snapshot()) made->ring = ring->buffers;
    made->session_info_update = field(header, kSessionInfoUpdateOffset);
    made->generation = ++generations_;
    layout_ = std::move(made);
    return {};
  }
  return invalid_header("the live layout kept changing while it was read (" +
                        std::to_string(kLayoutAttempts) + " attempts)");
}

Result<bool> LiveReader::follow(const LiveHeader& header) {
  if (layout_ && same_layout(header, layout_->header)) return false;
  const bool had_layout = static_cast<bool>(layout_);
  if (auto loaded = load_layout(header); !loaded) {
    // A file that grew or was replaced holds the new layout: look at it again once.
    auto changed = memory_->refresh();
    if (!changed || !*changed) return std::unexpected(std::move(loaded).error());
    CORVEX_ASSIGN_OR_RETURN(const LiveHeader again, read_header());
    CORVEX_RETURN_IF_ERROR(load_layout(again));
  }
  if (had_layout) pending_new_layout_ = true;
  return true;
}

Result<bool> LiveReader::connected() {
  CORVEX_ASSIGN_OR_RETURN(const LiveHeader header, read_header());
  const bool on = (field(header, kStatusOffset) & kConnectedFlag) != 0;
  if (on) CORVEX_RETURN_IF_ERROR(follow(header));
  return on;
}

std::optional<std::pair<int32_t, size_t>> LiveReader::pick(const LiveHeader& header,
                                                           std::optional<int32_t> after,
                                                           bool oldest) const {
  const size_t n = layout_->buffers().size();
  std::optional<std::pair<int32_t, size_t>> best;
  for (size_t i = 0; i < n; ++i) {
    const int32_t tick = header_tick(header, i);
    if (tick < 0) continue;  // being written, or never written
    // With every other buffer newer, this one is the next the writer refills. A tie counts as
    // newer: which of two equal ticks the writer filled last cannot be told.
    size_t newer = 0;
    for (size_t j = 0; j < n; ++j) newer += j != i && header_tick(header, j) >= tick ? 1 : 0;
    if (n > 1 && newer >= n - 1) continue;
    if (after || oldest) {
      if ((!after || tick > *after) && (!best || tick < best->first)) best = std::pair{tick, i};
    } else if (!best || tick > best->first) {
      best = std::pair{tick, i};
    }
  }
  return best;
}

Result<std::optional<int32_t>> LiveReader::copy(const LiveHeader& header, size_t index,
                                                uint8_t* out) {
  const LiveLayout& current = *layout_;
  const int32_t before = header_tick(header, index);
  const auto offset = static_cast<uint64_t>(current.buffers()[index].offset);
  CORVEX_RETURN_IF_ERROR(
      memory_->read(offset, std::span<uint8_t>(out, static_cast<size_t>(current.buf_len()))));
  CORVEX_ASSIGN_OR_RETURN(const LiveHeader after, read_header());
  if (!same_layout(header, after) || header_tick(after, index) != before) return std::nullopt;
  const size_t n = current.buffers().size();
  size_t newer = 0;
  for (size_t j = 0; j < n; ++j) newer += j != index && header_tick(after, j) >= before ? 1 : 0;
  if (n > 1 && newer >= n - 1) return std::nullopt;
  return before;
}

Result<LiveRecords> LiveReader::latest() {
  const auto start = Clock::now();
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    CORVEX_ASSIGN_OR_RETURN(const LiveHeader header, read_header());
    CORVEX_RETURN_IF_ERROR(follow(header));
    const auto picked = pick(header, std::nullopt);
    if (!picked) {
      // Every buffer may be being written just now (a ring of one): a moment to finish it.
      if (Clock::now() - start < patience_) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      return std::unexpected(IbtError::io("no record has been published yet"));
    }
    LiveRecords out;
    out.layout = layout_;
    out.bytes.resize(static_cast<size_t>(layout_->buf_len() + 8));
    CORVEX_ASSIGN_OR_RETURN(const auto tick, copy(header, picked->second, out.bytes.data()));
    if (!tick) continue;
    out.ticks.push_back(*tick);
    out.new_layout = std::exchange(pending_new_layout_, false);
    last_tick_ = tick;
    return out;
  }
  return std::unexpected(IbtError::io("could not read a whole record: the writer overwrote it " +
                                      std::to_string(kCopyAttempts) + " times in a row"));
}

Result<LiveRecords> LiveReader::next(uint64_t count, const WaitOptions& options) {
  const auto start = Clock::now();
  auto last_stop_check = start;
  Clock::time_point& last_refresh = last_refresh_;
  Clock::time_point& invalid_since = invalid_since_;
  int torn = 0;
  LiveRecords out;

  // Waits a little: for the writer's signal, or a short poll.
  auto pause = [&](int64_t cap_ms) -> Result<bool> {
    if (options.should_stop && Clock::now() - last_stop_check >= kStopEvery) {
      last_stop_check = Clock::now();
      if (options.should_stop()) return std::unexpected(IbtError::cancelled());
    }
    int64_t slice = cap_ms;
    if (options.timeout_ms >= 0) {
      const int64_t left = options.timeout_ms - elapsed_ms(start);
      if (left <= 0) return false;
      slice = std::min(slice, left);
    }
    memory_->wait_signal(static_cast<unsigned>(std::max<int64_t>(slice, 1)));
    return true;
  };
  auto refresh_now = [&] {
    if (Clock::now() - last_refresh < kRefreshEvery) return;
    last_refresh = Clock::now();
    // A file that is gone for now is looked for again later.
    [[maybe_unused]] const Result<bool> refreshed = memory_->refresh();
  };
  // A header or layout that cannot be read: waited out for a while, then reported.
  auto trouble = [&](IbtError error) -> Result<bool> {
    if (error.kind() == ErrorKind::Cancelled || error.kind() == ErrorKind::OutOfMemory) {
      return std::unexpected(std::move(error));
    }
    if (invalid_since == Clock::time_point{}) invalid_since = Clock::now();
    if (Clock::now() - invalid_since >= kInvalidGrace) return std::unexpected(std::move(error));
    refresh_now();
    return pause(5);
  };

  while (out.count() < count) {
    auto header = read_header();
    if (!header) {
      if (out.count() > 0) return out;
      CORVEX_ASSIGN_OR_RETURN(const bool go_on, trouble(std::move(header).error()));
      if (!go_on) return out;
      continue;
    }
    const bool on = (field(*header, kStatusOffset) & kConnectedFlag) != 0;
    // A writer that stopped may have left records in the ring that were not read yet.
    const bool left_over = !on && layout_ && same_layout(*header, layout_->header) &&
                           pick(*header, last_tick_).has_value() && last_tick_.has_value();
    if (!on && !left_over) {
      invalid_since = Clock::time_point{};
      if (std::exchange(was_connected_, false) || out.count() > 0) {
        out.ended = true;  // the writer stopped: said once
        return out;
      }
      refresh_now();
      CORVEX_ASSIGN_OR_RETURN(const bool go_on, pause(20));
      if (!go_on) return out;
      continue;
    }
    auto changed = follow(*header);
    if (!changed) {
      if (out.count() > 0) return out;
      CORVEX_ASSIGN_OR_RETURN(const bool go_on, trouble(std::move(changed).error()));
      if (!go_on) return out;
      continue;
    }
    invalid_since = Clock::time_point{};
    was_connected_ = was_connected_ || on;
    if (*changed && out.count() > 0) return out;  // the next call starts with the new layout
    if (!out.layout) {
      out.layout = layout_;
      out.new_layout = std::exchange(pending_new_layout_, false);
      out.restarted = std::exchange(pending_restart_, false);
    }
    const auto picked = pick(*header, last_tick_, options.from_oldest);
    if (!picked) {
      const auto newest = pick(*header, std::nullopt);
      if (last_tick_ && newest && newest->first < *last_tick_) {
        // The tick counts went back: a new session. Its records start a batch of their own.
        last_tick_.reset();
        if (out.count() > 0) {
          pending_restart_ = true;
          return out;
        }
        out.restarted = true;
        continue;
      }
      // While records come, the signal is waited for a millisecond at a time: a signal that
      // came just before the wait began costs at most that.
      const bool active = Clock::now() - last_record_ < kActiveFor;
      // A writer that went quiet while still saying connected may have been replaced (a
      // bridge that crashed and started again writes a new file): look behind the name.
      if (Clock::now() - last_record_ > kQuietFor) refresh_now();
      CORVEX_ASSIGN_OR_RETURN(const bool go_on, pause(active ? 1 : 20));
      if (!go_on) return out;
      continue;
    }
    const uint64_t stride = layout_->buf_len();
    out.bytes.resize(static_cast<size_t>((out.count() + 1) * stride + 8));
    CORVEX_ASSIGN_OR_RETURN(const auto tick,
                            copy(*header, picked->second, out.bytes.data() + out.count() * stride));
    if (!tick) {
      if (++torn >= kCopyAttempts) {
        return std::unexpected(
            IbtError::io("could not read a whole record: the writer overwrote it " +
                         std::to_string(kCopyAttempts) + " times in a row"));
      }
      continue;
    }
    torn = 0;
    if (last_tick_) {
      const auto skipped = static_cast<uint64_t>(int64_t{*tick} - int64_t{*last_tick_} - 1);
      out.missed += skipped;
      missed_total_ += skipped;
    }
    last_tick_ = tick;
    last_record_ = Clock::now();
    out.ticks.push_back(*tick);
  }
  return out;
}

namespace {

// The ticks skipped between records first .. end - 1 of `ticks` (read in rising order).
uint64_t within_gaps(const std::vector<int32_t>& ticks, uint64_t first, uint64_t end) {
  uint64_t gaps = 0;
  for (uint64_t i = first + 1; i < end; ++i) {
    gaps += static_cast<uint64_t>(int64_t{ticks[i]} - int64_t{ticks[i - 1]} - 1);
  }
  return gaps;
}

}  // namespace

LiveFollower::LiveFollower(std::shared_ptr<SharedMemory> memory, uint64_t capacity,
                           bool from_oldest)
    : reader_(std::move(memory)),
      capacity_(std::max<uint64_t>(capacity, 1)),
      from_oldest_(from_oldest) {
  thread_ = std::thread([this] { run(); });
}

LiveFollower::~LiveFollower() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  thread_.join();
}

void LiveFollower::run() {
  WaitOptions options;
  options.timeout_ms = 50;
  options.from_oldest = from_oldest_;
  options.should_stop = [this] {
    const std::lock_guard lock(mutex_);
    return stopping_;
  };
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (stopping_ || error_) return;
    }
    // One record at a time: each is handed on as soon as it is read.
    auto records = reader_.next(1, options);
    const std::lock_guard lock(mutex_);
    if (!records) {
      if (records.error().kind() != ErrorKind::Cancelled) error_ = std::move(records).error();
      ready_.notify_all();
      return;
    }
    if (records->count() == 0 && !records->ended) continue;
    // In the queue a chunk's `missed` counts only the ticks skipped before its first record;
    // those between its records follow from their ticks.
    records->missed -= within_gaps(records->ticks, 0, records->count());
    queued_ += records->count();
    queue_.push_back(std::move(*records));
    // The consumer is not keeping up: the oldest records go, counted as missed.
    while (queued_ > capacity_ && queue_.size() > 1) {
      const LiveRecords& oldest = queue_.front();
      uint64_t lost = oldest.missed;
      if (oldest.count() > 0) {
        lost += static_cast<uint64_t>(int64_t{oldest.ticks.back()} - oldest.ticks.front() + 1);
      }
      queued_ -= oldest.count();
      queue_.pop_front();
      queue_.front().missed += lost;
    }
    ready_.notify_all();
  }
}

Result<LiveRecords> LiveFollower::next(uint64_t count, const WaitOptions& options) {
  const auto start = Clock::now();
  std::unique_lock lock(mutex_);
  LiveRecords out;
  for (;;) {
    // Takes the front chunk, or its first records, while it continues `out`.
    while (!queue_.empty() && out.count() < count) {
      LiveRecords& front = queue_.front();
      const bool fresh = front.new_layout || front.restarted;
      if (out.layout && front.count() > 0 && (front.layout != out.layout || fresh)) return out;
      if (!out.layout && front.count() > 0) {
        out.layout = front.layout;
        out.new_layout = front.new_layout;
        out.restarted = front.restarted;
      }
      front.new_layout = front.restarted = false;
      const uint64_t take = std::min(count - out.count(), front.count());
      if (take > 0) {
        const uint64_t skipped = front.missed + within_gaps(front.ticks, 0, take);
        out.missed += skipped;
        missed_ += skipped;
        // What is left of the chunk starts after the last record taken.
        front.missed = take < front.count() ? within_gaps(front.ticks, take - 1, take + 1) : 0;
        const uint64_t stride = front.layout->buf_len();
        const auto bytes = static_cast<std::ptrdiff_t>(take * stride);
        out.bytes.resize(static_cast<size_t>(out.count() * stride));
        out.bytes.insert(out.bytes.end(), front.bytes.begin(), front.bytes.begin() + bytes);
        out.bytes.resize(out.bytes.size() + 8);
        const auto ticks = static_cast<std::ptrdiff_t>(take);
        out.ticks.insert(out.ticks.end(), front.ticks.begin(), front.ticks.begin() + ticks);
        last_tick_ = out.ticks.back();
        queued_ -= take;
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + bytes);
        front.ticks.erase(front.ticks.begin(), front.ticks.begin() + ticks);
      }
      if (front.count() > 0) break;  // `out` is full
      const bool ended = front.ended;
      queue_.pop_front();
      if (ended) {
        out.ended = true;
        return out;  // the writer stopped after these
      }
    }
    if (out.count() >= count) return out;
    if (queue_.empty() && error_) {
      if (out.count() > 0) return out;
      return std::unexpected(*error_);
    }
    const int64_t waited = elapsed_ms(start);
    if (options.timeout_ms >= 0 && waited >= options.timeout_ms) return out;
    int64_t slice = 50;
    if (options.timeout_ms >= 0) slice = std::min(slice, options.timeout_ms - waited);
    ready_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(slice, 1)));
    if (options.should_stop) {
      lock.unlock();
      const bool stop = options.should_stop();
      lock.lock();
      if (stop) return std::unexpected(IbtError::cancelled());
    }
  }
}

uint64_t LiveFollower::missed_total() const {
  const std::lock_guard lock(mutex_);
  return missed_;
}

std::optional<int32_t> LiveFollower::last_tick() const {
  const std::lock_guard lock(mutex_);
  return last_tick_;
}

namespace {

// The variables of a batch: the channels and the arrays of one layout, in file order, with
// duplicate names resolved as the file reader resolves them.
ChannelGroup in_file_order(const std::vector<VarHeader>& vars, ChannelSet channels,
                           ChannelSet arrays) {
  ChannelGroup all;
  for (ChannelSet* set : {&channels, &arrays}) {
    for (ChannelGroup& group : *set) {
      for (Channel& channel : group) all.push_back(std::move(channel));
    }
  }
  std::sort(all.begin(), all.end(),
            [](const Channel& a, const Channel& b) { return a.var < b.var; });
  (void)vars;  // the pointers point into `vars`, so their order is the file order
  ChannelGroup out;
  out.reserve(all.size());
  std::unordered_map<std::string_view, size_t> seen;
  for (Channel& channel : all) {
    const auto [it, fresh] = seen.emplace(channel.var->name, out.size());
    if (fresh) {
      out.push_back(std::move(channel));
    } else {
      out[it->second] = std::move(channel);
    }
  }
  return out;
}

}  // namespace

namespace {

// The time variable, with the file reader's rules and messages.
Result<const VarHeader*> time_variable(const IbtFile& file) {
  const VarHeader* time = file.find_var("SessionTime");
  if (time == nullptr) return invalid_header("Missing SessionTime variable");
  if (time->var_type != VarType::Double) {
    return invalid_header("SessionTime should be double, got " +
                          std::string(var_type_name(time->var_type)));
  }
  return time;
}

// The columns of every variable for `rows` records, in file order.
Result<ChannelGroup> live_columns(const IbtFile& file, uint64_t rows) {
  const DataRegion region{nullptr, 0, file.record_length(), rows};
  CORVEX_ASSIGN_OR_RETURN(ChannelGather channels, ChannelGather::prepare(file.vars(), region));
  CORVEX_ASSIGN_OR_RETURN(ArrayGather arrays, ArrayGather::prepare(file.vars(), region));
  return in_file_order(file.vars(), channels.finish(), arrays.finish());
}

}  // namespace

Result<ExportBatch> live_batch(const LiveRecords& records) {
  const IbtFile& file = records.layout->file;
  const uint64_t rows = records.count();
  const uint64_t stride = file.record_length();
  const DataRegion region{nullptr, 0, stride, rows};
  CORVEX_ASSIGN_OR_RETURN(const VarHeader* time, time_variable(file));
  try {
    CORVEX_ASSIGN_OR_RETURN(Column timecodes, allocate_column(rows * sizeof(int64_t)));
    auto* ms = reinterpret_cast<int64_t*>(timecodes.data());
    for (uint64_t i = 0; i < rows; ++i) {
      ms[i] = seconds_to_millis(load_le<double>(records.record(i) + time->offset));
    }
    CORVEX_ASSIGN_OR_RETURN(ChannelGather channels, ChannelGather::prepare(file.vars(), region));
    CORVEX_ASSIGN_OR_RETURN(ArrayGather arrays, ArrayGather::prepare(file.vars(), region));
    const RecordBlock block{records.bytes.data(), 0, rows, stride};
    for (RowSink* sink : channels.sinks()) sink->gather(block);
    for (RowSink* sink : arrays.sinks()) sink->gather(block);
    finish_streaming_stores();
    return channel_batch(timecodes, rows,
                         in_file_order(file.vars(), channels.finish(), arrays.finish()));
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate a live batch"));
  }
}

Result<LiveBlock> LiveBlock::make(std::shared_ptr<const LiveLayout> layout, uint64_t slots) {
  const IbtFile& file = layout->file;
  CORVEX_ASSIGN_OR_RETURN(const VarHeader* time, time_variable(file));
  LiveBlock block;
  block.slots_ = std::max<uint64_t>(slots, 1);
  const uint64_t rows = block.slots_ * 8;
  try {
    CORVEX_ASSIGN_OR_RETURN(block.timecodes_, allocate_column(rows * sizeof(int64_t)));
    CORVEX_ASSIGN_OR_RETURN(block.columns_, live_columns(file, rows));
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate a live block"));
  }
  // The rows between the slots are never shown, but no stale memory reaches pyarrow either.
  std::memset(block.timecodes_.data(), 0, static_cast<size_t>(block.timecodes_.bytes));
  for (const Channel& channel : block.columns_) {
    std::memset(channel.values.data(), 0, static_cast<size_t>(channel.values.bytes));
  }
  block.time_offset_ = static_cast<uint64_t>(time->offset);
  block.batch_ = channel_batch(block.timecodes_, rows, block.columns_);
  block.layout_ = std::move(layout);
  return block;
}

uint64_t LiveBlock::put(const uint8_t* record) {
  const uint64_t row = used_++ * 8;
  reinterpret_cast<int64_t*>(timecodes_.data())[row] =
      seconds_to_millis(load_le<double>(record + time_offset_));
  for (const Channel& channel : columns_) {
    const VarHeader& var = *channel.var;
    const uint8_t* src = record + var.offset;
    const auto count = static_cast<uint64_t>(var.count);
    if (var.var_type == VarType::Bool) {
      // Row is a multiple of 8, so the record's bits start on a byte of their own.
      uint8_t* bits = channel.values.data() + row * count / 8;
      for (uint64_t k = 0; k < count; ++k) {
        if (src[k] != 0) bits[k / 8] = static_cast<uint8_t>(bits[k / 8] | (1u << (k % 8)));
      }
    } else {
      const uint64_t size = element_size(var.var_type) * count;
      std::memcpy(channel.values.data() + row * size, src, static_cast<size_t>(size));
    }
  }
  return row;
}

}  // namespace corvex
