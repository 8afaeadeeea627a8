// The time column: SessionTime of every record in whole milliseconds, the time base that every
// channel table shares and that lap starts and ends are taken from.
#pragma once

#include <cstdint>

#include "core/column.h"
#include "core/error.h"
#include "core/reader.h"
#include "core/record_pass.h"

namespace corvex {

// Seconds to milliseconds: rounded half away from zero, NaN to 0, saturated at the int64 limits.
int64_t seconds_to_millis(double seconds);

class TimeGather final : public RowSink {
 public:
  // Finds SessionTime and checks its type and that its reads stay in the region.
  static Result<const VarHeader*> check(const IbtFile& file);
  // The same checks, then the column's allocation.
  static Result<TimeGather> prepare(const IbtFile& file);
  void gather(const RecordBlock& block) override;
  const Column& column() const { return column_; }

 private:
  TimeGather(uint64_t offset, Column column) : offset_(offset), column_(std::move(column)) {}
  uint64_t offset_;
  Column column_;
};

}  // namespace corvex
