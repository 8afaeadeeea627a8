#include "core/laps.h"

#include <arrow/builder.h>
#include <arrow/type.h>

#include <cmath>

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

// Reads `width` bytes of every record at the variable's offset, after checking that the last
// (and so every) read stays inside the data region.
template <class T, class Convert>
Result<std::vector<T>> gather_each_record(const IbtFile& file, const VarHeader& var,
                                          uint64_t width, Convert convert) {
  CORVEX_RETURN_IF_ERROR(check_read_in_region(file, var, width));
  const uint64_t n = file.record_count();
  const uint64_t stride = file.record_length();
  const uint8_t* src = file.data_region().data() + var.offset;
  std::vector<T> out(n);
  for (uint64_t i = 0; i < n; ++i) out[i] = convert(src + i * stride);
  return out;
}

Result<LapInputs> gather_lap_inputs(const IbtFile& file, const VarHeader& lap_var) {
  LapInputs inputs;
  const uint64_t n = file.record_count();
  // "Lap" is read as 4 bytes whatever its declared type.
  CORVEX_ASSIGN_OR_RETURN(inputs.laps,
                          gather_each_record<int32_t>(file, lap_var, 4, load_le<int32_t>));
  if (const VarHeader* pit = file.find_var("OnPitRoad")) {
    CORVEX_ASSIGN_OR_RETURN(inputs.on_pit_road,
                            gather_each_record<uint8_t>(file, *pit, 1, [](const uint8_t* p) {
                              return static_cast<uint8_t>(*p != 0);
                            }));
  } else {
    inputs.on_pit_road.assign(n, 0);
  }
  const VarHeader* pct = file.find_var("LapDistPct");
  if (pct != nullptr && pct->var_type == VarType::Float) {
    CORVEX_ASSIGN_OR_RETURN(inputs.fractions,
                            gather_each_record<float>(file, *pct, 4, load_le<float>));
  } else if (pct != nullptr && pct->var_type == VarType::Double) {
    CORVEX_ASSIGN_OR_RETURN(inputs.fractions,
                            gather_each_record<float>(file, *pct, 8, [](const uint8_t* p) {
                              return static_cast<float>(load_le<double>(p));
                            }));
  } else {
    inputs.fractions.assign(n, 0.0f);
  }
  return inputs;
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

Result<std::shared_ptr<arrow::RecordBatch>> make_lap_table(
    const std::vector<LapSegment>& segments, const LapInputs& inputs) {
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
  if (inputs.on_pit_road[first] != 0) return "out";
  if (inputs.on_pit_road[last] != 0) return "in";
  if (inside_partial_band(inputs.fractions[first]) || inside_partial_band(inputs.fractions[last])) {
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

Result<std::shared_ptr<arrow::RecordBatch>> build_lap_table(
    const IbtFile& file, const std::shared_ptr<arrow::Int64Array>& timecodes) {
  const VarHeader* lap_var = file.find_var("Lap");
  if (lap_var == nullptr || file.record_count() == 0) return empty_lap_table();
  CORVEX_ASSIGN_OR_RETURN(LapInputs inputs, gather_lap_inputs(file, *lap_var));
  const std::span<const int64_t> times(timecodes->raw_values(),
                                       static_cast<size_t>(timecodes->length()));
  if (times.size() != inputs.laps.size()) {
    return invalid_header("Time column has " + std::to_string(times.size()) + " rows, expected " +
                          std::to_string(inputs.laps.size()));
  }
  return make_lap_table(split_laps(inputs.laps, times), inputs);
}

}  // namespace corvex
