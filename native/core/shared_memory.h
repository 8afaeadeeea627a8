// The memory that live telemetry passes through: the simulator's named shared-memory mapping and
// its "new data" event on Windows, or a file of the same layout anywhere (a snapshot, the file a
// replay writes, the bridge's mirror under /dev/shm). Another process changes these bytes while
// we read them, so nothing here hands out a view: every read is a copy into the caller's memory,
// bounded by the size the memory had when it was opened, and a file cut underneath gives an I/O
// error, never a fault (files are read and written at explicit offsets, not mapped).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/error.h"

namespace corvex {

class SharedMemory {
 public:
  virtual ~SharedMemory() = default;

  // The bytes the memory had when it was opened (or last refreshed); reads stay below it.
  virtual uint64_t size() const = 0;

  // Copies [offset, offset + out.size()) into `out`. Fails past size() or when a file was cut.
  virtual Result<void> read(uint64_t offset, std::span<uint8_t> out) const = 0;

  // Writes `bytes` at `offset` (memory opened for publishing only); a file grows as needed.
  virtual Result<void> write(uint64_t offset, std::span<const uint8_t> bytes) = 0;

  // Waits at most `milliseconds` for the writer's signal; true when it came. Memory without an
  // event (a file) sleeps for a short poll interval (1 ms) and returns false: the caller polls.
  virtual bool wait_signal(unsigned milliseconds) = 0;

  // Tells waiting readers that new data is there (the event; nothing for a file).
  virtual void signal() = 0;

  // Publishing: makes the memory visible under its name once its first image is complete (a
  // file written under a temporary name is renamed into place). Nothing for a mapping.
  virtual Result<void> commit() { return {}; }

  // Reading: looks again at what is behind the name (a file replaced by a new writer is opened
  // afresh, one that grew is seen at its new size). True when anything changed.
  virtual Result<bool> refresh() { return false; }
};

// The simulator's names for its telemetry mapping and its "new data" event.
inline constexpr std::wstring_view kLiveMappingName = L"Local\\IRSDKMemMapFileName";
inline constexpr std::wstring_view kLiveEventName = L"Local\\IRSDKDataValidEvent";
// The mapping's size as the simulator creates it; tools that map it assume at least this much.
inline constexpr uint64_t kLiveMappingSize = uint64_t{1164} * 1024;

// A file of the live layout (UTF-8 path), opened for reading.
Result<std::unique_ptr<SharedMemory>> open_live_file(std::string_view path);

// A file of the live layout to publish into: written under a unique temporary name in the target's
// directory, readable and writable by its owner only, and renamed onto `path` by commit(). A
// publisher dropped before commit() removes its temporary file.
Result<std::unique_ptr<SharedMemory>> create_live_file(std::string_view path);

// Windows: the simulator's mapping and event, opened for reading. Elsewhere an error that says
// to pass the path of a file instead.
Result<std::unique_ptr<SharedMemory>> open_live_mapping();

// Windows: the mapping (at least `size` bytes, never less than kLiveMappingSize) and event
// created for publishing, as the simulator does. Fails when another publisher holds them.
Result<std::unique_ptr<SharedMemory>> create_live_mapping(uint64_t size);

}  // namespace corvex
