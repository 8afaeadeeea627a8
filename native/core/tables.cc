#include "core/tables.h"

#include <array>

namespace corvex {

namespace {

// The three keys every value field carries; callers read them by these names.
std::string channel_metadata(const VarHeader& var) {
  const std::array<MetadataItem, 3> items = {{
      {"units", var.unit},
      {"desc", var.desc},
      {"interpolate", interpolates(var.var_type) ? "True" : "False"},
  }};
  return encode_metadata(items);
}

}  // namespace

ExportBatch channel_batch(const Column& timecodes, uint64_t rows, const ChannelGroup& group) {
  ExportBatch batch;
  batch.length = rows;
  batch.columns.reserve(group.size() + 1);
  batch.columns.push_back(ExportColumn{"timecodes", "l", {}, {timecodes}});
  for (const Channel& channel : group) {
    batch.columns.push_back(ExportColumn{channel.var->name, arrow_format(channel.var->var_type),
                                         channel_metadata(*channel.var), {channel.values}});
  }
  return batch;
}

ExportBatch lap_batch(const LapTable& laps) {
  ExportBatch batch;
  batch.length = laps.rows;
  batch.columns = {
      ExportColumn{"num", "i", {}, {laps.num}},
      ExportColumn{"start_time", "l", {}, {laps.start_time}},
      ExportColumn{"end_time", "l", {}, {laps.end_time}},
      ExportColumn{"lap_type", "u", {}, {laps.lap_type_offsets, laps.lap_type_data}},
      ExportColumn{"session", "i", {}, {laps.session}},
  };
  return batch;
}

}  // namespace corvex
