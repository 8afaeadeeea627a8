// Live telemetry snapshots: the simulator's shared telemetry memory saved to a file. It has the
// main header and the variable headers of a recording, but no disk sub-header, and its sample
// records sit in a small ring of buffers (the buffer table at offset 48: per buffer, the tick
// count of the record it holds and its offset), which the simulator fills in turn.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "core/byte_source.h"
#include "core/error.h"
#include "core/reader.h"

namespace corvex {

// The most buffers the main header has descriptors for.
inline constexpr int32_t kMaxLiveBuffers = 4;

// The buffer table of the main header `head` (its 112 bytes) checked against memory of `length`
// bytes: 1 to 4 buffers, each of `buf_len` bytes inside the memory, no two overlapping. One rule
// for snapshots and for the live ring (core/live.h).
Result<std::vector<LiveBuffer>> check_buffer_table(const uint8_t* head, uint64_t length,
                                                   int32_t buf_len);

// Validates the main header, the variable headers, the session info and the buffer table (1 to
// 4 buffers, each inside the file, no two overlapping) and returns the file as a recording of
// one record: the buffer with the newest tick count (the first of equals). The disk sub-header
// fields (start date and times, lap count) read as 0; snapshot() gives the buffer table.
Result<IbtFile> open_snapshot(std::unique_ptr<ByteSource> source);

// The same checks, on a source the caller keeps.
Result<IbtFile> open_snapshot_layout(const ByteSource& source);

// The one rule for "this file is a live telemetry snapshot", which every caller asks here: the
// main header uses 2 to 4 record buffers (a disk recording uses one) and open_snapshot accepts
// the file. Either function gives the buffer table when the rule holds, and nothing otherwise.
// live_buffer_table answers from the main header `head` of a file whose shared layout
// (IbtFile::open_layout) was accepted, that is from its buffer table alone;
// live_snapshot_buffers reads and checks the headers of `source` itself.
std::optional<std::vector<LiveBuffer>> live_buffer_table(const uint8_t* head, uint64_t length,
                                                         int32_t buf_len);
std::optional<std::vector<LiveBuffer>> live_snapshot_buffers(const ByteSource& source);

}  // namespace corvex
