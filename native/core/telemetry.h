// Everything a file's sample records yield, from one pass over them: the time column, the
// channel columns and the lap table.
#pragma once

#include <cstdint>
#include <string>

#include "core/channel.h"
#include "core/column.h"
#include "core/error.h"
#include "core/laps.h"
#include "core/reader.h"
#include "core/record_pass.h"

namespace corvex {

// The most memory a result may take, and what that limit comes from (for the message).
struct MemoryLimit {
  uint64_t bytes = UINT64_MAX;
  std::string source;
};

struct ReadOptions {
  PassOptions pass;
  MemoryLimit limit;
};

struct Telemetry {
  uint64_t rows = 0;
  Column timecodes;  // int64 milliseconds, one per record
  ChannelSet channels;
  // Kept apart so that a lap failure is reported after the channels have been handed on.
  Result<LapTable> laps = LapTable{};
};

// The memory a result of this file takes at most: the columns, the lap inputs and table at their
// worst, and the pass's read buffers. Known before anything is allocated.
uint64_t result_bytes(const IbtFile& file, unsigned threads);

// The records read once, by the threads the options give: each block feeds the time column,
// every channel and the lap inputs while it is in cache. Fails with OutOfMemory before
// allocating when the result would exceed the limit, with the time column's error, a channel
// error or a read error; a lap error lands in `laps`.
Result<Telemetry> read_telemetry(const IbtFile& file, const ReadOptions& options);

}  // namespace corvex
