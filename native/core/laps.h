// Lap detection: the sample records split into runs of equal "Lap" values, each run one row of
// the lap table with its start and end on the time column, a lap type and a session number.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/column.h"
#include "core/error.h"
#include "core/reader.h"
#include "core/record_pass.h"

namespace corvex {

// One row of the lap table, read back from its columns.
struct LapRow {
  int32_t num;
  int64_t start_time, end_time;
  std::string_view lap_type;
  int32_t session;
};

// The five columns of the lap table: num (int32), start_time and end_time (int64, ms),
// lap_type (utf8: offsets and characters) and session (int32).
struct LapTable {
  uint64_t rows = 0;
  Column num, start_time, end_time, lap_type_offsets, lap_type_data, session;

  // Row `i`, which must be below `rows`.
  LapRow row(uint64_t i) const;
};

// The lap table of records already split into columns (the recorder's, for one): per record its
// time in ms, its "Lap" value, and, when the session has them, its "OnPitRoad" flag (0 or 1) and
// "LapDistPct" fraction; an empty span stands for a missing variable, as in a file.
Result<LapTable> lap_table_of(std::span<const int64_t> times, std::span<const int32_t> laps,
                              std::span<const uint8_t> on_pit_road,
                              std::span<const float> fractions);

class LapValueSink;
class PitFlagSink;
class FractionSink;

// The per-record lap inputs, filled by a record pass that may serve other sinks too.
class LapGather {
 public:
  // Bytes the per-record inputs and, at worst (a new lap in every record), the table take.
  static uint64_t bytes_needed(uint64_t rows);

  // Looks the three variables up and checks that their reads stay inside the data region.
  static Result<LapGather> prepare(const IbtFile& file);
  LapGather(LapGather&&) noexcept;
  LapGather& operator=(LapGather&&) noexcept;
  ~LapGather();

  // The sinks to run, valid while this object lives; none when there is nothing to detect.
  std::vector<RowSink*> sinks();
  // The lap table, once the pass has run, from the time column the same pass filled.
  Result<LapTable> finish(const Column& timecodes) const;

 private:
  LapGather();
  std::unique_ptr<LapValueSink> laps_;  // absent: no "Lap" or no records
  std::unique_ptr<PitFlagSink> pit_;
  std::unique_ptr<FractionSink> fractions_;
};

}  // namespace corvex
