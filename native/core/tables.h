// The tables a file yields, as batches for the Arrow producer: one batch per channel group (the
// time column "timecodes" first, then one column per channel, named after its variable and
// carrying its unit, description and interpolation hint; an array variable's column is a
// fixed-size list of its count), and the lap table.
#pragma once

#include "core/arrow_export.h"
#include "core/channel.h"
#include "core/laps.h"

namespace corvex {

ExportBatch channel_batch(const Column& timecodes, uint64_t rows, const ChannelGroup& group);

// The fields a file's channel tables will have, without values (a batch of no rows, for its
// schema): one per channel name, where the channels dictionary of a reading puts it (the first
// header of a name) and as its last header of that name describes it.
ExportBatch channel_fields(const std::vector<VarHeader>& vars);

// One field per variable header, in file order: its name, the Arrow type of one element and the
// metadata a channel of it carries (a batch of no rows, for its schema).
ExportBatch variable_fields(const std::vector<VarHeader>& vars);

// Five non-nullable columns without metadata: num (int32), start_time and end_time (int64),
// lap_type (utf8) and session (int32).
ExportBatch lap_batch(const LapTable& laps);

}  // namespace corvex
