// Everything a file's sample records yield, from one pass over them: the time column, the
// channel set and the lap table.
#pragma once

#include <arrow/array.h>
#include <arrow/record_batch.h>

#include <memory>

#include "core/channel.h"
#include "core/error.h"
#include "core/reader.h"

namespace corvex {

struct Telemetry {
  std::shared_ptr<arrow::Int64Array> timecodes;
  ChannelSet channels;
  // Kept apart so that a lap failure is reported after the channels have been handed on.
  Result<std::shared_ptr<arrow::RecordBatch>> laps;
};

// The same results as build_timecodes, build_channels and build_lap_table in turn, with the
// records read once: each block feeds the time column, every channel and the lap inputs while
// it is in cache, and the pages of a mapped file are handed back as the pass leaves them.
// Fails with the time column's error, or a channel error; a lap error lands in `laps`.
Result<Telemetry> read_telemetry(const IbtFile& file);

}  // namespace corvex
