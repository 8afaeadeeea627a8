#include "core/telemetry.h"

#include <new>

#include "core/time_column.h"

namespace corvex {

uint64_t result_bytes(const IbtFile& file, unsigned threads) {
  const uint64_t rows = file.record_count();
  // Each term is below 2^31 x 2^31 x a small factor, so the sum cannot wrap.
  return align_up(rows * sizeof(int64_t)) + ChannelGather::bytes_needed(file.vars(), rows) +
         LapGather::bytes_needed(rows) + pass_scratch_bytes(file.region(), threads);
}

namespace {

Result<void> check_budget(const IbtFile& file, const ReadOptions& options) {
  const uint64_t need = result_bytes(file, options.pass.threads);
  if (need <= options.limit.bytes) return {};
  return std::unexpected(IbtError::out_of_memory(
      "reading it would need " + std::to_string(need) + " bytes for its columns; the limit is " +
      std::to_string(options.limit.bytes) + " bytes (" + options.limit.source + ")"));
}

Result<Telemetry> read_all(const IbtFile& file, const ReadOptions& options) {
  CORVEX_ASSIGN_OR_RETURN(TimeGather time, TimeGather::prepare(file));
  const DataRegion region = file.region();
  CORVEX_ASSIGN_OR_RETURN(ChannelGather channels, ChannelGather::prepare(file.vars(), region));
  auto laps = LapGather::prepare(file);

  std::vector<RowSink*> sinks{&time};
  for (RowSink* sink : channels.sinks()) sinks.push_back(sink);
  if (laps) {
    for (RowSink* sink : laps->sinks()) sinks.push_back(sink);
  }
  CORVEX_RETURN_IF_ERROR(run_record_pass(region, sinks, options.pass));

  Telemetry result;
  result.rows = file.record_count();
  result.timecodes = time.column();
  result.channels = channels.finish();
  if (laps) {
    result.laps = laps->finish(result.timecodes);
  } else {
    result.laps = std::unexpected(std::move(laps).error());
  }
  return result;
}

}  // namespace

Result<Telemetry> read_telemetry(const IbtFile& file, const ReadOptions& options) {
  // The time column's own checks come first, so that a file without a usable SessionTime is
  // reported as such whatever its size.
  CORVEX_RETURN_IF_ERROR(TimeGather::check(file));
  CORVEX_RETURN_IF_ERROR(check_budget(file, options));
  try {
    return read_all(file, options);
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate memory for the result"));
  }
}

}  // namespace corvex
