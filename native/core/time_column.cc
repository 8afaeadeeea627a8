#include "core/time_column.h"

#include <cmath>
#include <limits>

#include "core/bytes.h"

namespace corvex {

int64_t seconds_to_millis(double seconds) {
  const double ms = std::round(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  // 2^63 is exactly representable; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (ms >= kLimit) return std::numeric_limits<int64_t>::max();
  if (ms < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

// Its messages reach Python as they are and callers match them word for word.
Result<const VarHeader*> TimeGather::check(const IbtFile& file) {
  const VarHeader* var = file.find_var("SessionTime");
  if (var == nullptr) return invalid_header("Missing SessionTime variable");
  if (var->var_type != VarType::Double) {
    return invalid_header("SessionTime should be double, got " +
                          std::string(var_type_name(var->var_type)));
  }
  CORVEX_RETURN_IF_ERROR(check_read_in_region(file.region(), *var, sizeof(double)));
  return var;
}

Result<TimeGather> TimeGather::prepare(const IbtFile& file) {
  CORVEX_ASSIGN_OR_RETURN(const VarHeader* var, check(file));
  CORVEX_ASSIGN_OR_RETURN(auto column, allocate_column(file.record_count() * sizeof(int64_t)));
  return TimeGather(static_cast<uint64_t>(var->offset), std::move(column));
}

void TimeGather::gather(const RecordBlock& block) {
  auto* out = reinterpret_cast<int64_t*>(column_.data()) + block.first;
  const uint8_t* src = block.records + offset_;
  for (uint64_t i = 0; i < block.count; ++i) {
    out[i] = seconds_to_millis(load_le<double>(src + i * block.stride));
  }
}

}  // namespace corvex
