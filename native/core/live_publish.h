// Publishing live telemetry: writing the simulator's shared-memory layout, a record a tick, into
// a named mapping (the replay on Windows) or a file (the replay elsewhere, the bridge's mirror).
//
// The memory: the 112-byte main header, zeros to 144, the variable headers, the session info
// text (with room to grow) and four record buffers, each 64-byte aligned. Readers can rely on:
// - the status flag is set only once everything else is in place, and cleared before a new
//   layout is written (and when publishing ends);
// - a buffer's tick count is set to -1 before the buffer is refilled and to the record's tick
//   once it is whole, so a copy made meanwhile is never taken for a whole record;
// - the session info update counter is -1 while the text is rewritten, then counts up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/live.h"
#include "core/reader.h"
#include "core/shared_memory.h"

namespace corvex {

// What a publisher writes besides the records.
struct LiveImage {
  int32_t version = 2;
  int32_t tick_rate = 60;
  int32_t buf_len = 0;
  std::vector<uint8_t> var_headers;   // num_vars x 144 bytes
  std::vector<uint8_t> session_info;  // the text
};

// The image of a recording (its raw variable headers and session info) and of a live layout.
Result<LiveImage> image_of(const IbtFile& file);
LiveImage image_of(const LiveLayout& layout);

class LivePublisher {
 public:
  // Writes the whole image with the status flag clear, puts the memory in place under its name
  // (commit) and sets the flag.
  static Result<LivePublisher> start(std::unique_ptr<SharedMemory> memory, LiveImage image);
  LivePublisher(LivePublisher&&) noexcept = default;
  LivePublisher& operator=(LivePublisher&&) noexcept = default;

  // A new layout: the flag cleared, everything written again, the flag set.
  Result<void> restart(LiveImage image);
  // One record (buf_len bytes) under tick count `tick` (non-negative), then the signal.
  Result<void> publish(int32_t tick, std::span<const uint8_t> record);
  // New session info text; a text too long for its room restarts the layout.
  Result<void> update_session_info(std::span<const uint8_t> text);
  // Clears the status flag and signals: readers see the writer gone.
  Result<void> stop();

  const LiveImage& image() const { return image_; }
  SharedMemory& memory() { return *memory_; }

 private:
  LivePublisher(std::unique_ptr<SharedMemory> memory, LiveImage image)
      : memory_(std::move(memory)), image_(std::move(image)) {}
  Result<void> write_all();
  Result<void> write_i32(uint64_t offset, int32_t value);

  std::unique_ptr<SharedMemory> memory_;
  LiveImage image_;
  uint64_t info_offset_ = 0, info_room_ = 0, first_buffer_ = 0, stride_ = 0;
  int32_t info_update_ = 0;
  size_t next_ = 0;
};

// The bytes a publisher's memory takes for an image.
uint64_t published_size(const LiveImage& image);

struct ReplayOptions {
  // Times the file's own rate; 0 publishes as fast as the memory takes the records.
  double speed = 1.0;
  // The tick count of the first record; the others follow one by one.
  int32_t first_tick = 1;
  // Seconds between the layout appearing (status flag set) and the first record, for readers
  // that wait for the simulator to attach in time for every tick.
  double lead_in = 0;
  // Asked every few tens of milliseconds; true stops the replay (the status flag is cleared).
  std::function<bool()> should_stop;
  // Told how many records are published, now and then.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Told each tick count right after its record is published (timing logs); may be empty.
  std::function<void(int32_t tick)> published;
};

struct ReplayReport {
  uint64_t published = 0;
  double seconds = 0;
  bool stopped = false;
};

// Publishes every record of `file` into `memory`, tick by tick at the file's tick rate times the
// speed, then clears the status flag. After a stall of the machine the remaining records keep
// their spacing (they come later), as the simulator's ticks would, rather than catching up.
Result<ReplayReport> replay(const IbtFile& file, std::unique_ptr<SharedMemory> memory,
                            const ReplayOptions& options);

}  // namespace corvex
