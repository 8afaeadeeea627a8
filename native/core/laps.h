// Lap detection: the sample records split into runs of equal "Lap" values, each run one row of
// the lap table with its start and end on the time column, a lap type and a session number.
#pragma once

#include <arrow/array.h>
#include <arrow/record_batch.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/reader.h"

namespace corvex {

struct LapSegment {
  uint64_t start_index;  // first record of the lap
  uint64_t end_index;    // one past its last record
  int64_t start_timecode;
  int64_t end_timecode;
  int32_t lap;
};

// What the lap rules need of each record. An empty pit or fraction span stands for a file
// without that variable: never on pit road, fraction 0.0.
struct LapInputs {
  std::span<const int32_t> laps;
  std::span<const uint8_t> on_pit_road;  // 0 or 1 per record
  std::span<const float> fractions;      // lap distance fraction per record
};

class LapValueSink;
class PitFlagSink;
class FractionSink;

// The per-record lap inputs, filled by a record pass that may serve other sinks too.
class LapGather {
 public:
  // Looks the three variables up and checks that their reads stay inside the data region.
  static Result<LapGather> prepare(const IbtFile& file);
  LapGather(LapGather&&) noexcept;
  LapGather& operator=(LapGather&&) noexcept;
  ~LapGather();

  // The sinks to run, valid while this object lives; none when there is nothing to detect.
  std::vector<RowSink*> sinks();
  // The lap table, once the pass has run.
  Result<std::shared_ptr<arrow::RecordBatch>> finish(
      const std::shared_ptr<arrow::Int64Array>& timecodes) const;

 private:
  LapGather();
  std::unique_ptr<LapValueSink> laps_;  // absent: no "Lap" or no records
  std::unique_ptr<PitFlagSink> pit_;
  std::unique_ptr<FractionSink> fractions_;
};

// Splits records at every change of the lap value; a lap ends where the next one starts, the
// last one at its own last record.
std::vector<LapSegment> split_laps(std::span<const int32_t> laps, std::span<const int64_t> times);

// "incomplete", "out", "in", "partial" or "full".
std::string_view classify_lap(const LapSegment& segment, const LapInputs& inputs);

// The five-column lap table with no rows.
Result<std::shared_ptr<arrow::RecordBatch>> empty_lap_table();

Result<std::shared_ptr<arrow::RecordBatch>> build_lap_table(
    const IbtFile& file, const std::shared_ptr<arrow::Int64Array>& timecodes);

}  // namespace corvex
