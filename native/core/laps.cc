#include "core/laps.h"

#include <arrow/builder.h>
#include <arrow/type.h>

#include <cmath>
#include <optional>

#include "core/bytes.h"

namespace corvex {

namespace {

// The single-precision values nearest to 0.02 and 0.98; the tests are strict, so NaN and the
// bounds themselves are never inside.
constexpr float kPartialLow = 0.02f;
constexpr float kPartialHigh = 0.98f;

std::shared_ptr<arrow::Schema> lap_schema() {
  return arrow::schema({arrow::field("num", arrow::int32(), false),
                        arrow::field("start_time", arrow::int64(), false),
                        arrow::field("end_time", arrow::int64(), false),
                        arrow::field("lap_type", arrow::utf8(), false),
                        arrow::field("session", arrow::int32(), false)});
}

bool inside_partial_band(float fraction) {
  return fraction > kPartialLow && fraction < kPartialHigh;
}

// Session 0 for the first row; every later row whose lap number is 0 starts the next session.
std::vector<int32_t> number_sessions(const std::vector<LapSegment>& segments) {
  std::vector<int32_t> sessions(segments.size(), 0);
  for (size_t i = 1; i < segments.size(); ++i) {
    sessions[i] = sessions[i - 1] + (segments[i].lap == 0 ? 1 : 0);
  }
  return sessions;
}

bool on_pit_road(const LapInputs& inputs, uint64_t record) {
  return !inputs.on_pit_road.empty() && inputs.on_pit_road[record] != 0;
}

float fraction(const LapInputs& inputs, uint64_t record) {
  return inputs.fractions.empty() ? 0.0f : inputs.fractions[record];
}

Result<std::shared_ptr<arrow::RecordBatch>> make_lap_table(const std::vector<LapSegment>& segments,
                                                           const LapInputs& inputs) {
  arrow::Int32Builder num, session;
  arrow::Int64Builder start, end;
  arrow::StringBuilder lap_type;
  const auto sessions = number_sessions(segments);
  auto status = arrow::Status::OK();
  for (size_t i = 0; i < segments.size() && status.ok(); ++i) {
    const LapSegment& s = segments[i];
    status = num.Append(s.lap);
    if (status.ok()) status = start.Append(s.start_timecode);
    if (status.ok()) status = end.Append(s.end_timecode);
    if (status.ok()) status = lap_type.Append(classify_lap(s, inputs));
    if (status.ok()) status = session.Append(sessions[i]);
  }
  std::vector<std::shared_ptr<arrow::Array>> columns(5);
  if (status.ok()) status = num.Finish(&columns[0]);
  if (status.ok()) status = start.Finish(&columns[1]);
  if (status.ok()) status = end.Finish(&columns[2]);
  if (status.ok()) status = lap_type.Finish(&columns[3]);
  if (status.ok()) status = session.Finish(&columns[4]);
  if (!status.ok()) return std::unexpected(IbtError::arrow(std::move(status)));
  auto batch = arrow::RecordBatch::Make(lap_schema(), static_cast<int64_t>(segments.size()),
                                        std::move(columns));
  if (auto valid = batch->Validate(); !valid.ok()) {
    return std::unexpected(IbtError::arrow(std::move(valid)));
  }
  return batch;
}

}  // namespace

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

Result<std::shared_ptr<arrow::RecordBatch>> empty_lap_table() {
  auto schema = lap_schema();
  std::vector<std::shared_ptr<arrow::Array>> columns;
  for (const auto& field : schema->fields()) {
    auto column = arrow::MakeEmptyArray(field->type());
    if (!column.ok()) return std::unexpected(IbtError::arrow(column.status()));
    columns.push_back(std::move(*column));
  }
  return arrow::RecordBatch::Make(std::move(schema), 0, std::move(columns));
}

// One value per record from the variable's offset, read by `Read`; the reads were checked to
// stay inside the data region when the sink was made.
template <class T, T (*Read)(const uint8_t*)>
class RecordValueSink : public RowSink {
 public:
  RecordValueSink(const VarHeader& var, uint64_t rows)
      : offset_(static_cast<uint64_t>(var.offset)), values_(rows) {}
  void gather(const DataRegion& region, uint64_t begin, uint64_t end) override {
    const uint8_t* src = region.bytes.data() + offset_;
    for (uint64_t i = begin; i < end; ++i) values_[i] = Read(src + i * region.buf_len);
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
  FractionSink(const VarHeader& var, uint64_t rows) : is_double_(var.var_type == VarType::Double) {
    if (is_double_) {
      doubles_.emplace(var, rows);
    } else {
      floats_.emplace(var, rows);
    }
  }
  void gather(const DataRegion& region, uint64_t begin, uint64_t end) override {
    if (is_double_) return doubles_->gather(region, begin, end);
    floats_->gather(region, begin, end);
  }
  std::span<const float> values() const {
    return is_double_ ? doubles_->values() : floats_->values();
  }

 private:
  bool is_double_;
  std::optional<RecordValueSink<float, read_float>> floats_;
  std::optional<RecordValueSink<float, read_double_as_float>> doubles_;
};

LapGather::LapGather() = default;
LapGather::LapGather(LapGather&&) noexcept = default;
LapGather& LapGather::operator=(LapGather&&) noexcept = default;
LapGather::~LapGather() = default;

Result<LapGather> LapGather::prepare(const IbtFile& file) {
  LapGather gather;
  const VarHeader* lap = file.find_var("Lap");
  const uint64_t n = file.record_count();
  if (lap == nullptr || n == 0) return gather;
  CORVEX_RETURN_IF_ERROR(check_read_in_region(file, *lap, 4));
  gather.laps_ = std::make_unique<LapValueSink>(*lap, n);
  if (const VarHeader* pit = file.find_var("OnPitRoad")) {
    CORVEX_RETURN_IF_ERROR(check_read_in_region(file, *pit, 1));
    gather.pit_ = std::make_unique<PitFlagSink>(*pit, n);
  }
  const VarHeader* pct = file.find_var("LapDistPct");
  if (pct != nullptr && (pct->var_type == VarType::Float || pct->var_type == VarType::Double)) {
    CORVEX_RETURN_IF_ERROR(check_read_in_region(file, *pct, element_size(pct->var_type)));
    gather.fractions_ = std::make_unique<FractionSink>(*pct, n);
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

Result<std::shared_ptr<arrow::RecordBatch>> LapGather::finish(
    const std::shared_ptr<arrow::Int64Array>& timecodes) const {
  if (!laps_) return empty_lap_table();
  LapInputs inputs{laps_->values(), {}, {}};
  if (pit_) inputs.on_pit_road = pit_->values();
  if (fractions_) inputs.fractions = fractions_->values();
  const std::span<const int64_t> times(timecodes->raw_values(),
                                       static_cast<size_t>(timecodes->length()));
  if (times.size() != inputs.laps.size()) {
    return invalid_header("Time column has " + std::to_string(times.size()) + " rows, expected " +
                          std::to_string(inputs.laps.size()));
  }
  return make_lap_table(split_laps(inputs.laps, times), inputs);
}

Result<std::shared_ptr<arrow::RecordBatch>> build_lap_table(
    const IbtFile& file, const std::shared_ptr<arrow::Int64Array>& timecodes) {
  CORVEX_ASSIGN_OR_RETURN(LapGather gather, LapGather::prepare(file));
  run_record_pass(file.region(), gather.sinks());
  return gather.finish(timecodes);
}

}  // namespace corvex
