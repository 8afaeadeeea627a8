#include "core/tables.h"

#include <array>
#include <string_view>
#include <unordered_map>

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

// An array variable's column: a fixed-size list of `count` values, its elements the child.
ExportColumn list_column(const Channel& channel) {
  const VarHeader& var = *channel.var;
  ExportColumn column{var.name, "+w", channel_metadata(var), {}, var.count};
  column.children.push_back(ExportColumn{"item", arrow_format(var.var_type), {}, {channel.values}});
  return column;
}

}  // namespace

ExportBatch channel_batch(const Column& timecodes, uint64_t rows, const ChannelGroup& group) {
  ExportBatch batch;
  batch.length = rows;
  batch.columns.reserve(group.size() + 1);
  batch.columns.push_back(ExportColumn{"timecodes", "l", {}, {timecodes}});
  for (const Channel& channel : group) {
    if (channel.var->count > 1) {
      batch.columns.push_back(list_column(channel));
      continue;
    }
    batch.columns.push_back(ExportColumn{channel.var->name,
                                         arrow_format(channel.var->var_type),
                                         channel_metadata(*channel.var),
                                         {channel.values}});
  }
  return batch;
}

ExportBatch channel_fields(const std::vector<VarHeader>& vars) {
  ExportBatch batch;
  std::unordered_map<std::string_view, size_t> position;
  for (const VarHeader& var : vars) {
    if (!ColumnSink::takes(var)) continue;
    ExportColumn column{var.name, arrow_format(var.var_type), channel_metadata(var), {}};
    const auto [at, fresh] = position.try_emplace(var.name, batch.columns.size());
    if (fresh) {
      batch.columns.push_back(std::move(column));
    } else {
      batch.columns[at->second] = std::move(column);
    }
  }
  return batch;
}

ExportBatch variable_fields(const std::vector<VarHeader>& vars) {
  ExportBatch batch;
  batch.columns.reserve(vars.size());
  for (const VarHeader& var : vars) {
    batch.columns.push_back(
        ExportColumn{var.name, arrow_format(var.var_type), channel_metadata(var), {}});
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
