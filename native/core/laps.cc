#include "core/laps.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace corvex {

namespace {

// The single-precision values nearest to 0.02 and 0.98; the tests are strict, so NaN and the
// bounds themselves are never inside.
constexpr float kPartialLow = 0.02f;
constexpr float kPartialHigh = 0.98f;

// The longest lap type, "incomplete"; bounds the characters of the lap_type column.
constexpr uint64_t kLongestLapType = 10;

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

bool inside_partial_band(float fraction) {
  return fraction > kPartialLow && fraction < kPartialHigh;
}

bool on_pit_road(const LapInputs& inputs, uint64_t record) {
  return !inputs.on_pit_road.empty() && inputs.on_pit_road[record] != 0;
}

float fraction(const LapInputs& inputs, uint64_t record) {
  return inputs.fractions.empty() ? 0.0f : inputs.fractions[record];
}

// Splits records at every change of the lap value; a lap ends where the next one starts, the
// last one at its own last record.
std::vector<LapSegment> split_laps(std::span<const int32_t> laps, std::span<const int64_t> times) {
  std::vector<LapSegment> segments;
  if (laps.empty()) return segments;
  const uint64_t n = laps.size();
  LapSegment open{0, 0, times[0], 0, laps[0]};
  for (uint64_t k = 1; k < n; ++k) {
    if (laps[k] == open.lap) continue;
    open.end_index = k;
    open.end_timecode = times[k];
    segments.push_back(open);
    open = LapSegment{k, 0, times[k], 0, laps[k]};
  }
  open.end_index = n;
  open.end_timecode = times[n - 1];
  segments.push_back(open);
  return segments;
}

std::string_view classify_lap(const LapSegment& segment, const LapInputs& inputs) {
  if (segment.end_index - segment.start_index < 2) return "incomplete";
  const uint64_t first = segment.start_index;
  const uint64_t last = segment.end_index - 1;
  if (on_pit_road(inputs, first)) return "out";
  if (on_pit_road(inputs, last)) return "in";
  if (inside_partial_band(fraction(inputs, first)) || inside_partial_band(fraction(inputs, last))) {
    return "partial";
  }
  return "full";
}

template <class T>
T* values_of(const Column& column) {
  return reinterpret_cast<T*>(column.data());
}

// Session 0 for the first row; every later row whose lap number is 0 starts the next session.
Result<LapTable> make_lap_table(const std::vector<LapSegment>& segments, const LapInputs& inputs) {
  LapTable table;
  const uint64_t rows = segments.size();
  table.rows = rows;
  std::vector<std::string_view> types;
  types.reserve(rows);
  uint64_t characters = 0;
  for (const LapSegment& segment : segments) {
    types.push_back(classify_lap(segment, inputs));
    characters += types.back().size();
  }
  if (characters > static_cast<uint64_t>(INT32_MAX)) {
    return std::unexpected(IbtError::arrow("the lap_type column would hold " +
                                           std::to_string(characters) +
                                           " bytes, more than 32-bit offsets can address"));
  }
  CORVEX_ASSIGN_OR_RETURN(table.num, allocate_column(rows * 4));
  CORVEX_ASSIGN_OR_RETURN(table.start_time, allocate_column(rows * 8));
  CORVEX_ASSIGN_OR_RETURN(table.end_time, allocate_column(rows * 8));
  CORVEX_ASSIGN_OR_RETURN(table.lap_type_offsets, allocate_column((rows + 1) * 4));
  CORVEX_ASSIGN_OR_RETURN(table.lap_type_data, allocate_column(characters));
  CORVEX_ASSIGN_OR_RETURN(table.session, allocate_column(rows * 4));
  auto* num = values_of<int32_t>(table.num);
  auto* start = values_of<int64_t>(table.start_time);
  auto* end = values_of<int64_t>(table.end_time);
  auto* offsets = values_of<int32_t>(table.lap_type_offsets);
  auto* session = values_of<int32_t>(table.session);
  char* text = reinterpret_cast<char*>(table.lap_type_data.data());
  int32_t offset = 0;
  offsets[0] = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    const LapSegment& s = segments[i];
    num[i] = s.lap;
    start[i] = s.start_timecode;
    end[i] = s.end_timecode;
    session[i] = i == 0 ? 0 : session[i - 1] + (s.lap == 0 ? 1 : 0);
    std::memcpy(text + offset, types[i].data(), types[i].size());
    offset += static_cast<int32_t>(types[i].size());
    offsets[i + 1] = offset;
  }
  return table;
}

}  // namespace

// One value per record from the variable's offset, read by `Read`; the reads were checked to
// stay inside the data region when the sink was made.
template <class T, T (*Read)(const uint8_t*)>
class RecordValueSink : public RowSink {
 public:
  RecordValueSink(const VarHeader& var, uint64_t rows)
      : offset_(static_cast<uint64_t>(var.offset)), values_(rows) {}
  void gather(const RecordBlock& block) override {
    const uint8_t* src = block.records + offset_;
    T* out = values_.data() + block.first;
    for (uint64_t i = 0; i < block.count; ++i) out[i] = Read(src + i * block.stride);
  }
  std::span<const T> values() const { return values_; }

 private:
  uint64_t offset_;
  std::vector<T> values_;
};

namespace {

uint8_t read_flag(const uint8_t* p) { return *p != 0 ? 1 : 0; }
float read_float(const uint8_t* p) { return load_le<float>(p); }
float read_double_as_float(const uint8_t* p) { return static_cast<float>(load_le<double>(p)); }

}  // namespace

// "Lap" is read as 4 bytes whatever its declared type, "OnPitRoad" as 1 byte.
class LapValueSink final : public RecordValueSink<int32_t, load_le<int32_t>> {
  using RecordValueSink::RecordValueSink;
};
class PitFlagSink final : public RecordValueSink<uint8_t, read_flag> {
  using RecordValueSink::RecordValueSink;
};

// "LapDistPct" as a single-precision fraction: a Float as stored, a Double narrowed.
class FractionSink final : public RowSink {
 public:
  // Exactly one of the two sinks is engaged, by the variable's type.
  FractionSink(const VarHeader& var, uint64_t rows) {
    if (var.var_type == VarType::Double) {
      doubles_.emplace(var, rows);
    } else {
      floats_.emplace(var, rows);
    }
  }
  void gather(const RecordBlock& block) override {
    if (doubles_) {
      doubles_->gather(block);
    } else if (floats_) {
      floats_->gather(block);
    }
  }
  std::span<const float> values() const {
    if (doubles_) return doubles_->values();
    if (floats_) return floats_->values();
    return {};
  }

 private:
  std::optional<RecordValueSink<float, read_float>> floats_;
  std::optional<RecordValueSink<float, read_double_as_float>> doubles_;
};

LapGather::LapGather() = default;
LapGather::LapGather(LapGather&&) noexcept = default;
LapGather& LapGather::operator=(LapGather&&) noexcept = default;
LapGather::~LapGather() = default;

uint64_t LapGather::bytes_needed(uint64_t rows) {
  // Inputs: a lap value, a pit flag and a fraction per record. Table at worst: one row per
  // record, with its segment, its type and five columns.
  const uint64_t inputs = rows * (4 + 1 + 4);
  const uint64_t table =
      rows * (sizeof(LapSegment) + sizeof(std::string_view) + 4 + 8 + 8 + 4 + 4 + kLongestLapType);
  return inputs + table;
}

Result<LapGather> LapGather::prepare(const IbtFile& file) {
  LapGather gather;
  const VarHeader* lap = file.find_var("Lap");
  const uint64_t n = file.record_count();
  if (lap == nullptr || n == 0) return gather;
  const DataRegion region = file.region();
  CORVEX_RETURN_IF_ERROR(check_read_in_region(region, *lap, 4));
  const VarHeader* pit = file.find_var("OnPitRoad");
  if (pit != nullptr) CORVEX_RETURN_IF_ERROR(check_read_in_region(region, *pit, 1));
  const VarHeader* pct = file.find_var("LapDistPct");
  if (pct != nullptr && pct->var_type != VarType::Float && pct->var_type != VarType::Double) {
    pct = nullptr;  // any other type reads as 0.0 in every record
  }
  if (pct != nullptr) {
    CORVEX_RETURN_IF_ERROR(check_read_in_region(region, *pct, element_size(pct->var_type)));
  }
  try {
    gather.laps_ = std::make_unique<LapValueSink>(*lap, n);
    if (pit != nullptr) gather.pit_ = std::make_unique<PitFlagSink>(*pit, n);
    if (pct != nullptr) gather.fractions_ = std::make_unique<FractionSink>(*pct, n);
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate the lap inputs"));
  }
  return gather;
}

std::vector<RowSink*> LapGather::sinks() {
  std::vector<RowSink*> sinks;
  if (laps_) sinks.push_back(laps_.get());
  if (pit_) sinks.push_back(pit_.get());
  if (fractions_) sinks.push_back(fractions_.get());
  return sinks;
}

Result<LapTable> lap_table_of(std::span<const int64_t> times, std::span<const int32_t> laps,
                              std::span<const uint8_t> on_pit_road,
                              std::span<const float> fractions) {
  if (times.size() != laps.size()) {
    return invalid_header("Time column has " + std::to_string(times.size()) + " rows, expected " +
                          std::to_string(laps.size()));
  }
  if ((!on_pit_road.empty() && on_pit_road.size() != laps.size()) ||
      (!fractions.empty() && fractions.size() != laps.size())) {
    return invalid_header("the lap inputs have different numbers of rows");
  }
  try {
    const LapInputs inputs{laps, on_pit_road, fractions};
    return make_lap_table(split_laps(inputs.laps, times), inputs);
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate the lap table"));
  }
}

Result<LapTable> LapGather::finish(const Column& timecodes) const {
  if (!laps_) return make_lap_table({}, LapInputs{});
  const std::span<const int64_t> times(reinterpret_cast<const int64_t*>(timecodes.data()),
                                       static_cast<size_t>(timecodes.bytes / 8));
  return lap_table_of(times, laps_->values(), pit_ ? pit_->values() : std::span<const uint8_t>(),
                      fractions_ ? fractions_->values() : std::span<const float>());
}

LapRow LapTable::row(uint64_t i) const {
  const auto begin = load_le<int32_t>(lap_type_offsets.data() + i * 4);
  const auto end = load_le<int32_t>(lap_type_offsets.data() + (i + 1) * 4);
  const std::string_view type(reinterpret_cast<const char*>(lap_type_data.data()) + begin,
                              static_cast<size_t>(end - begin));
  return LapRow{load_le<int32_t>(num.data() + i * 4), load_le<int64_t>(start_time.data() + i * 8),
                load_le<int64_t>(end_time.data() + i * 8), type,
                load_le<int32_t>(session.data() + i * 4)};
}

}  // namespace corvex
