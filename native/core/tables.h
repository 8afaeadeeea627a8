// The tables a file yields, as batches for the Arrow producer: one batch per channel group (the
// time column "timecodes" first, then one column per channel, named after its variable and
// carrying its unit, description and interpolation hint), and the lap table.
#pragma once

#include "core/arrow_export.h"
#include "core/channel.h"
#include "core/laps.h"

namespace corvex {

ExportBatch channel_batch(const Column& timecodes, uint64_t rows, const ChannelGroup& group);

// Five non-nullable columns without metadata: num (int32), start_time and end_time (int64),
// lap_type (utf8) and session (int32).
ExportBatch lap_batch(const LapTable& laps);

}  // namespace corvex
