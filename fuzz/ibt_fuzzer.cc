// libFuzzer harness over the C++ core: the input bytes go through the same road as a call of
// ibt (a read-only copy, open_ibt, the time column, the channel set, the lap table), and every
// table that gets built is validated in full and checked against an independent reading of the
// bytes. The one-pass read_telemetry that the module uses must agree with the stages run one by
// one, from the copy and from a mapping of the same bytes as a file. Errors are fine; crashes,
// sanitizer reports and wrong tables are findings.
#include <arrow/array.h>
#include <arrow/record_batch.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
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
#include "core/telemetry.h"

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

void check_same_batch(const arrow::RecordBatch& got, const arrow::RecordBatch& want,
                      const std::string& what);

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
    // The one-variable builder makes the same table as the block-wise one.
    auto single = corvex::build_channel(name, times, var, file.region());
    FUZZ_CHECK(single.has_value(), single ? name : single.error().display());
    check_same_batch(**single, *batch, "build_channel " + name);
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

std::string describe(const corvex::IbtError& error) { return error.display(); }

// The stages run one by one, as far as they get.
struct Stages {
  corvex::Result<std::shared_ptr<arrow::Int64Array>> times;
  std::optional<corvex::Result<corvex::ChannelSet>> channels;
  std::optional<corvex::Result<std::shared_ptr<arrow::RecordBatch>>> laps;
};

// Equal schemas and equal values, bit for bit: NaN payloads and the sign of zero included.
void check_same_batch(const arrow::RecordBatch& got, const arrow::RecordBatch& want,
                      const std::string& what) {
  const auto options = arrow::EqualOptions::Defaults().nans_equal(true).signed_zeros_equal(false);
  FUZZ_CHECK(got.schema()->Equals(*want.schema(), /*check_metadata=*/true), what);
  FUZZ_CHECK(got.Equals(want, options), what);
  for (int c = 0; c < got.num_columns(); ++c) {
    const auto& a = *got.column_data(c);
    const auto& b = *want.column_data(c);
    const int width = a.type->byte_width();
    if (width <= 0) continue;  // Boolean and Utf8: compared by value above
    const auto bytes = static_cast<size_t>(a.length) * static_cast<size_t>(width);
    FUZZ_CHECK(std::memcmp(a.buffers[1]->data(), b.buffers[1]->data(), bytes) == 0, what);
  }
}

// read_telemetry gives what the stages gave: the same first error, or the same tables.
void check_one_pass(const IbtFile& file, const Stages& stages, const char* source) {
  auto telemetry = corvex::read_telemetry(file);
  if (!stages.times) {
    FUZZ_CHECK(!telemetry && describe(telemetry.error()) == describe(stages.times.error()),
               std::string(source) + ": " + describe(stages.times.error()));
    return;
  }
  FUZZ_CHECK(telemetry.has_value(), std::string(source) + ": " + describe(telemetry.error()));
  FUZZ_CHECK(telemetry->timecodes->Equals(**stages.times), source);
  const auto& set = **stages.channels;
  FUZZ_CHECK(telemetry->channels.size() == set.size(), source);
  for (size_t k = 0; k < set.size(); ++k) {
    FUZZ_CHECK(telemetry->channels[k].first == set[k].first, set[k].first);
    check_same_batch(*telemetry->channels[k].second, *set[k].second, set[k].first);
    FUZZ_CHECK(telemetry->channels[k].second->column(0)->data()->buffers[1] ==
                   telemetry->timecodes->data()->buffers[1],
               set[k].first);
  }
  const auto& laps = *stages.laps;
  FUZZ_CHECK(telemetry->laps.has_value() == laps.has_value(), source);
  if (laps) {
    FUZZ_CHECK((*telemetry->laps)->ValidateFull().ok(), source);
    check_same_batch(**telemetry->laps, **laps, "laps");
  } else {
    FUZZ_CHECK(describe(telemetry->laps.error()) == describe(laps.error()), describe(laps.error()));
  }
}

// The input as a file: a memory file mapped by path, the way a path source is mapped.
void check_file_backed(const uint8_t* data, size_t size, const Stages& stages) {
  const int fd = memfd_create("ibt", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "memfd_create");
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0, "write");
    done += static_cast<size_t>(n);
  }
  auto view = corvex::map_file("/proc/self/fd/" + std::to_string(fd));
  close(fd);
  FUZZ_CHECK(view.has_value(), view ? "" : describe(view.error()));
  FUZZ_CHECK(view->size() == size && std::memcmp(view->data(), data, size) == 0, "mapped bytes");
  auto file = corvex::open_ibt(std::move(*view));
  FUZZ_CHECK(file.has_value(), file ? "" : describe(file.error()));
  check_one_pass(*file, stages, "file");
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

  Stages stages{corvex::build_timecodes(*file), std::nullopt, std::nullopt};
  if (!stages.times) {
    FUZZ_CHECK(stages.times.error().kind() == corvex::ErrorKind::InvalidHeader,
               describe(stages.times.error()));
  } else {
    const auto& times = *stages.times;
    check_timecodes(*file, *times);
    stages.channels = corvex::build_channels(file->vars(), times, file->region());
    // A validated file always yields its channel set.
    FUZZ_CHECK(stages.channels->has_value(),
               *stages.channels ? "" : describe(stages.channels->error()));
    check_channels(*file, times, **stages.channels);
    stages.laps = corvex::build_lap_table(*file, times);
    check_laps(*file, *times, *stages.laps);
  }
  check_one_pass(*file, stages, "copy");
  check_file_backed(data, size, stages);
  return 0;
}
