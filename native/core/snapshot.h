// Live telemetry snapshots: the simulator's shared telemetry memory saved to a file. It has the
// main header and the variable headers of a recording, but no disk sub-header, and its sample
// records sit in a small ring of buffers (the buffer table at offset 48: per buffer, the tick
// count of the record it holds and its offset), which the simulator fills in turn.
#pragma once

#include <memory>
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

}  // namespace corvex
