// libFuzzer harness over the C++ core: the input bytes go through the same road as a call of
// ibt (a read-only copy, open_ibt, the time column, the channel set, the lap table), and every
// table that gets built is validated in full and checked against an independent reading of the
// bytes. Errors are fine; crashes, sanitizer reports and wrong tables are findings.
#include <arrow/array.h>
#include <arrow/record_batch.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/channel.h"
#include "core/laps.h"
#include "core/mapping.h"
#include "core/reader.h"
#include "core/session_info.h"

namespace {

using corvex::IbtFile;
using corvex::VarHeader;
using corvex::VarType;

[[noreturn]] void fail(const char* file, int line, const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s %s\n", file, line, what, detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(cond, detail)                            \
  do {                                                      \
    if (!(cond)) fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (false)

template <class T>
T load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Whether `width` bytes at `offset` of every record lie inside the data region.
bool reads_fit(const IbtFile& file, const VarHeader& var, uint64_t width) {
  const uint64_t n = file.record_count();
  if (n == 0) return true;
  const uint64_t region = n * file.record_length();
  return (n - 1) * file.record_length() + static_cast<uint64_t>(var.offset) + width <= region;
}

const uint8_t* value_at(const IbtFile& file, const VarHeader& var, uint64_t record) {
  return file.data_region().data() + record * file.record_length() +
         static_cast<uint64_t>(var.offset);
}

// A handful of records to spot-check: the ends, the middle and their neighbours.
std::vector<uint64_t> probe_records(uint64_t n) {
  std::vector<uint64_t> records;
  for (uint64_t r : {uint64_t{0}, uint64_t{1}, n / 2, n - 2, n - 1}) {
    if (r < n && (records.empty() || records.back() != r)) records.push_back(r);
  }
  return records;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check_file_invariants(const IbtFile& file, size_t length) {
  FUZZ_CHECK(file.vars().size() == static_cast<size_t>(file.num_vars()),
             std::to_string(file.vars().size()));
  const auto region = file.data_region();
  FUZZ_CHECK(region.size() == file.record_count() * file.record_length(), "");
  FUZZ_CHECK(static_cast<uint64_t>(file.buf_offset()) + region.size() <= length, "");
  for (const VarHeader& var : file.vars()) {
    FUZZ_CHECK(var.offset >= 0 && var.count >= 0, var.name);
    FUZZ_CHECK(static_cast<uint64_t>(var.offset) + var.byte_size() <= file.record_length(),
               var.name);
  }
  // Exercised for the metadata path; it must not read past the text.
  for (const auto& field : corvex::scan_weekend_fields(file.session_info())) {
    FUZZ_CHECK(field.value.data() >= file.session_info().data() &&
                   field.value.data() + field.value.size() <=
                       file.session_info().data() + file.session_info().size(),
               std::string(field.key));
  }
}

void check_timecodes(const IbtFile& file, const arrow::Int64Array& times) {
  FUZZ_CHECK(times.ValidateFull().ok(), times.ValidateFull().ToString());
  FUZZ_CHECK(static_cast<uint64_t>(times.length()) == file.record_count(), "");
  FUZZ_CHECK(times.null_count() == 0, "");
  const VarHeader* var = file.find_var("SessionTime");
  FUZZ_CHECK(var != nullptr && var->var_type == VarType::Double, "");
  for (uint64_t r : probe_records(file.record_count())) {
    auto value = corvex::read_value(file, *var, r);
    FUZZ_CHECK(value.has_value(), "read_value failed where build_timecodes read");
    const double seconds = std::get<double>(*value);
    FUZZ_CHECK(same_bits(seconds, load<double>(value_at(file, *var, r))), std::to_string(r));
    FUZZ_CHECK(times.Value(static_cast<int64_t>(r)) == corvex::seconds_to_millis(seconds),
               std::to_string(r));
  }
}

// The value of column `array` at row r agrees with read_value and with the raw bytes.
void check_cell(const IbtFile& file, const VarHeader& var, const arrow::Array& array, uint64_t r) {
  auto value = corvex::read_value(file, var, r);
  FUZZ_CHECK(value.has_value(), var.name + " record " + std::to_string(r));
  const uint8_t* raw = value_at(file, var, r);
  const auto i = static_cast<int64_t>(r);
  switch (var.var_type) {
    case VarType::Char:
      FUZZ_CHECK(static_cast<const arrow::UInt8Array&>(array).Value(i) == std::get<uint8_t>(*value),
                 var.name);
      FUZZ_CHECK(std::get<uint8_t>(*value) == raw[0], var.name);
      break;
    case VarType::Bool:
      FUZZ_CHECK(static_cast<const arrow::BooleanArray&>(array).Value(i) == std::get<bool>(*value),
                 var.name);
      FUZZ_CHECK(std::get<bool>(*value) == (raw[0] != 0), var.name);
      break;
    case VarType::Int:
      FUZZ_CHECK(static_cast<const arrow::Int32Array&>(array).Value(i) == std::get<int32_t>(*value),
                 var.name);
      FUZZ_CHECK(std::get<int32_t>(*value) == load<int32_t>(raw), var.name);
      break;
    case VarType::BitField:
      FUZZ_CHECK(
          static_cast<const arrow::UInt32Array&>(array).Value(i) == std::get<uint32_t>(*value),
          var.name);
      FUZZ_CHECK(std::get<uint32_t>(*value) == load<uint32_t>(raw), var.name);
      break;
    case VarType::Float:
      FUZZ_CHECK(
          same_bits(static_cast<const arrow::FloatArray&>(array).Value(i), std::get<float>(*value)),
          var.name);
      FUZZ_CHECK(same_bits(std::get<float>(*value), load<float>(raw)), var.name);
      break;
    case VarType::Double:
      FUZZ_CHECK(same_bits(static_cast<const arrow::DoubleArray&>(array).Value(i),
                           std::get<double>(*value)),
                 var.name);
      FUZZ_CHECK(same_bits(std::get<double>(*value), load<double>(raw)), var.name);
      break;
  }
}

void check_channels(const IbtFile& file, const std::shared_ptr<arrow::Int64Array>& times,
                    const corvex::ChannelSet& set) {
  std::vector<const VarHeader*> scalars;
  for (const VarHeader& var : file.vars()) {
    if (var.count == 1) scalars.push_back(&var);
  }
  FUZZ_CHECK(set.size() == scalars.size(), std::to_string(set.size()));
  const auto records = probe_records(file.record_count());
  for (size_t k = 0; k < set.size(); ++k) {
    const VarHeader& var = *scalars[k];
    const auto& [name, batch] = set[k];
    FUZZ_CHECK(name == var.name, name);
    const auto status = batch->ValidateFull();
    FUZZ_CHECK(status.ok(), status.ToString());
    FUZZ_CHECK(batch->num_columns() == 2, name);
    FUZZ_CHECK(static_cast<uint64_t>(batch->num_rows()) == file.record_count(), name);
    FUZZ_CHECK(batch->column(0)->data()->buffers[1] == times->data()->buffers[1], name);
    const auto& values = *batch->column(1);
    FUZZ_CHECK(values.null_count() == 0 && !batch->schema()->field(1)->nullable(), name);
    for (uint64_t r : records) check_cell(file, var, values, r);
  }
}

// The lap table as the rules describe it, computed here from the raw bytes.
struct ExpectedLaps {
  bool ok = true;
  std::vector<int32_t> num, session;
  std::vector<int64_t> start, end;
  std::vector<std::string> type;
};

ExpectedLaps expected_laps(const IbtFile& file, const arrow::Int64Array& times) {
  ExpectedLaps out;
  const VarHeader* lap = file.find_var("Lap");
  const uint64_t n = file.record_count();
  if (lap == nullptr || n == 0) return out;
  const VarHeader* pit = file.find_var("OnPitRoad");
  const VarHeader* pct = file.find_var("LapDistPct");
  const bool pct_float = pct != nullptr && pct->var_type == VarType::Float;
  const bool pct_double = pct != nullptr && pct->var_type == VarType::Double;
  if (!reads_fit(file, *lap, 4) || (pit != nullptr && !reads_fit(file, *pit, 1)) ||
      (pct_float && !reads_fit(file, *pct, 4)) || (pct_double && !reads_fit(file, *pct, 8))) {
    out.ok = false;
    return out;
  }
  auto lap_at = [&](uint64_t r) { return load<int32_t>(value_at(file, *lap, r)); };
  auto pit_at = [&](uint64_t r) { return pit != nullptr && *value_at(file, *pit, r) != 0; };
  auto pct_at = [&](uint64_t r) -> float {
    if (pct_float) return load<float>(value_at(file, *pct, r));
    if (pct_double) return static_cast<float>(load<double>(value_at(file, *pct, r)));
    return 0.0f;
  };
  auto inside = [](float f) { return f > 0.02f && f < 0.98f; };
  uint64_t first = 0;
  for (uint64_t k = 1; k <= n; ++k) {
    if (k < n && lap_at(k) == lap_at(first)) continue;
    const uint64_t last = k - 1;
    out.num.push_back(lap_at(first));
    out.start.push_back(times.Value(static_cast<int64_t>(first)));
    out.end.push_back(times.Value(static_cast<int64_t>(k < n ? k : n - 1)));
    if (k - first < 2) {
      out.type.emplace_back("incomplete");
    } else if (pit_at(first)) {
      out.type.emplace_back("out");
    } else if (pit_at(last)) {
      out.type.emplace_back("in");
    } else if (inside(pct_at(first)) || inside(pct_at(last))) {
      out.type.emplace_back("partial");
    } else {
      out.type.emplace_back("full");
    }
    const int32_t previous = out.session.empty() ? 0 : out.session.back();
    out.session.push_back(out.session.empty() ? 0 : previous + (out.num.back() == 0 ? 1 : 0));
    first = k;
  }
  return out;
}

void check_laps(const IbtFile& file, const arrow::Int64Array& times,
                const corvex::Result<std::shared_ptr<arrow::RecordBatch>>& laps) {
  const ExpectedLaps expected = expected_laps(file, times);
  FUZZ_CHECK(laps.has_value() == expected.ok,
             laps.has_value() ? std::string("lap table built") : laps.error().display());
  if (!laps) {
    FUZZ_CHECK(laps.error().kind() == corvex::ErrorKind::InvalidHeader, laps.error().display());
    return;
  }
  const auto& batch = **laps;
  const auto status = batch.ValidateFull();
  FUZZ_CHECK(status.ok(), status.ToString());
  FUZZ_CHECK(batch.num_columns() == 5, "");
  const auto rows = static_cast<size_t>(batch.num_rows());
  FUZZ_CHECK(rows == expected.num.size(), std::to_string(rows));
  const auto& num = static_cast<const arrow::Int32Array&>(*batch.column(0));
  const auto& start = static_cast<const arrow::Int64Array&>(*batch.column(1));
  const auto& end = static_cast<const arrow::Int64Array&>(*batch.column(2));
  const auto& type = static_cast<const arrow::StringArray&>(*batch.column(3));
  const auto& session = static_cast<const arrow::Int32Array&>(*batch.column(4));
  for (size_t i = 0; i < rows; ++i) {
    const auto r = static_cast<int64_t>(i);
    FUZZ_CHECK(num.Value(r) == expected.num[i], std::to_string(i));
    FUZZ_CHECK(start.Value(r) == expected.start[i], std::to_string(i));
    FUZZ_CHECK(end.Value(r) == expected.end[i], std::to_string(i));
    FUZZ_CHECK(type.GetView(r) == expected.type[i], std::to_string(i));
    FUZZ_CHECK(session.Value(r) == expected.session[i], std::to_string(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Arrow's buffers then come from malloc, where AddressSanitizer sees every byte of them.
  setenv("ARROW_DEFAULT_MEMORY_POOL", "system", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto view = corvex::map_copy(std::span<const uint8_t>(data, size));
  FUZZ_CHECK(view.has_value(), view ? "" : view.error().display());
  auto file = corvex::open_ibt(std::move(*view));
  if (!file) {
    FUZZ_CHECK(file.error().kind() == corvex::ErrorKind::InvalidHeader, file.error().display());
    return 0;
  }
  check_file_invariants(*file, size);

  auto times = corvex::build_timecodes(*file);
  if (!times) {
    FUZZ_CHECK(times.error().kind() == corvex::ErrorKind::InvalidHeader, times.error().display());
    return 0;
  }
  check_timecodes(*file, **times);

  const corvex::DataRegion region{file->data_region(), file->record_length(), file->record_count()};
  auto set = corvex::build_channels(file->vars(), *times, region);
  // A validated file always yields its channel set.
  FUZZ_CHECK(set.has_value(), set ? "" : set.error().display());
  check_channels(*file, *times, *set);

  check_laps(*file, **times, corvex::build_lap_table(*file, *times));
  return 0;
}
