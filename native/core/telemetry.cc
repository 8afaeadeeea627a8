#include "core/telemetry.h"

#include "core/laps.h"

namespace corvex {

Result<Telemetry> read_telemetry(const IbtFile& file) {
  CORVEX_ASSIGN_OR_RETURN(TimeGather time, TimeGather::prepare(file));
  const DataRegion region = file.region();
  CORVEX_ASSIGN_OR_RETURN(ChannelGather channels, ChannelGather::prepare(file.vars(), region));
  auto laps = LapGather::prepare(file);

  std::vector<RowSink*> sinks{&time};
  for (RowSink* sink : channels.sinks()) sinks.push_back(sink);
  if (laps) {
    for (RowSink* sink : laps->sinks()) sinks.push_back(sink);
  }
  run_record_pass(region, sinks);

  auto timecodes = time.finish();
  CORVEX_ASSIGN_OR_RETURN(ChannelSet set, channels.finish(timecodes));
  auto lap_table =
      laps ? laps->finish(timecodes)
           : Result<std::shared_ptr<arrow::RecordBatch>>(std::unexpected(std::move(laps).error()));
  return Telemetry{std::move(timecodes), std::move(set), std::move(lap_table)};
}

}  // namespace corvex
