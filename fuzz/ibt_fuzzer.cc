// libFuzzer harness over the C++ core: the input bytes go through the road of an ibt call (a byte
// source, open_ibt, the record pass, the Arrow producer) and everything built is checked:
// - every value of the time column, every channel and the lap table against a reading of the
//   raw bytes made here, by the rules of the format rather than by the core's code;
// - every batch handed out against the columnar format's rules (validate_export), and every
//   release callback for marking its structure released;
// - the same results, byte for byte, from bytes in memory on one thread, from a copy on three
//   threads and from the bytes written to a file and read by path on two threads.
// Errors are fine; crashes, sanitizer reports and wrong values are findings.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/arrow_export.h"
#include "core/byte_source.h"
#include "core/reader.h"
#include "core/tables.h"
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

// The raw bytes of the data region, read straight from the input.
struct Raw {
  const uint8_t* region;
  uint64_t size, stride, records;
  // Whether `width` bytes at `offset` of every record lie inside the region.
  bool fits(const VarHeader& var, uint64_t width) const {
    return records == 0 ||
           (records - 1) * stride + static_cast<uint64_t>(var.offset) + width <= size;
  }
  const uint8_t* at(const VarHeader& var, uint64_t record) const {
    return region + record * stride + static_cast<uint64_t>(var.offset);
  }
};

Raw raw_of(const IbtFile& file, const uint8_t* data) {
  const auto region = file.region();
  return Raw{data + region.offset, region.size(), region.buf_len, region.record_count};
}

corvex::ReadOptions options(unsigned threads) {
  corvex::ReadOptions options;
  options.pass.threads = threads;
  options.pass.threaded_from = threads > 1 ? 0 : corvex::kThreadedPassFrom;
  return options;
}

// What a millisecond time column holds for a SessionTime in seconds, by the rule: the product
// with 1000 in double precision, rounded half away from zero, NaN as 0, saturated at the int64
// limits (2^63 is the first double past the largest int64).
int64_t millis(double seconds) {
  const double ms = std::round(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  if (ms >= 9223372036854775808.0) return INT64_MAX;
  if (ms < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(ms);
}

void check_time(const IbtFile& file, const Raw& raw, const corvex::Telemetry& t) {
  const VarHeader* var = file.find_var("SessionTime");
  FUZZ_CHECK(var != nullptr && var->var_type == VarType::Double, "");
  FUZZ_CHECK(t.timecodes.bytes == raw.records * 8, "");
  const auto* times = reinterpret_cast<const int64_t*>(t.timecodes.data());
  for (uint64_t r = 0; r < raw.records; ++r) {
    FUZZ_CHECK(times[r] == millis(load<double>(raw.at(*var, r))), std::to_string(r));
  }
}

bool cell_matches(const VarHeader& var, const uint8_t* column, const uint8_t* raw, uint64_t r) {
  switch (var.var_type) {
    case VarType::Char:
      return column[r] == raw[0];
    case VarType::Bool:
      return ((column[r / 8] >> (r % 8)) & 1) == (raw[0] != 0 ? 1 : 0);
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float:
      return std::memcmp(column + r * 4, raw, 4) == 0;
    case VarType::Double:
      return std::memcmp(column + r * 8, raw, 8) == 0;
  }
  return false;
}

void check_channels(const IbtFile& file, const Raw& raw, const corvex::Telemetry& t) {
  std::vector<const VarHeader*> scalars;
  for (const VarHeader& var : file.vars()) {
    if (var.count == 1) scalars.push_back(&var);
  }
  size_t k = 0;
  for (const corvex::ChannelGroup& group : t.channels) {
    FUZZ_CHECK(!group.empty(), "empty group");
    for (const corvex::Channel& channel : group) {
      FUZZ_CHECK(k < scalars.size() && channel.var == scalars[k], std::to_string(k));
      const VarHeader& var = *channel.var;
      FUZZ_CHECK(channel.values.bytes == corvex::column_bytes(var.var_type, raw.records), var.name);
      for (uint64_t r = 0; r < raw.records; ++r) {
        FUZZ_CHECK(cell_matches(var, channel.values.data(), raw.at(var, r), r), var.name);
      }
      ++k;
    }
  }
  FUZZ_CHECK(k == scalars.size(), std::to_string(k));
}

// The lap table as the rules describe it, computed here from the raw bytes.
struct ExpectedLaps {
  bool ok = true;
  std::vector<int32_t> num, session;
  std::vector<int64_t> start, end;
  std::vector<std::string> type;
};

ExpectedLaps expected_laps(const IbtFile& file, const Raw& raw, const int64_t* times) {
  ExpectedLaps out;
  const VarHeader* lap = file.find_var("Lap");
  const uint64_t n = raw.records;
  if (lap == nullptr || n == 0) return out;
  const VarHeader* pit = file.find_var("OnPitRoad");
  const VarHeader* pct = file.find_var("LapDistPct");
  const bool pct_float = pct != nullptr && pct->var_type == VarType::Float;
  const bool pct_double = pct != nullptr && pct->var_type == VarType::Double;
  if (!raw.fits(*lap, 4) || (pit != nullptr && !raw.fits(*pit, 1)) ||
      (pct_float && !raw.fits(*pct, 4)) || (pct_double && !raw.fits(*pct, 8))) {
    out.ok = false;
    return out;
  }
  auto lap_at = [&](uint64_t r) { return load<int32_t>(raw.at(*lap, r)); };
  auto pit_at = [&](uint64_t r) { return pit != nullptr && *raw.at(*pit, r) != 0; };
  auto pct_at = [&](uint64_t r) -> float {
    if (pct_float) return load<float>(raw.at(*pct, r));
    if (pct_double) return static_cast<float>(load<double>(raw.at(*pct, r)));
    return 0.0f;
  };
  auto inside = [](float f) { return f > 0.02f && f < 0.98f; };
  uint64_t first = 0;
  for (uint64_t k = 1; k <= n; ++k) {
    if (k < n && lap_at(k) == lap_at(first)) continue;
    const uint64_t last = k - 1;
    out.num.push_back(lap_at(first));
    out.start.push_back(times[first]);
    out.end.push_back(times[k < n ? k : n - 1]);
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

void check_laps(const IbtFile& file, const Raw& raw, const corvex::Telemetry& t) {
  const auto* times = reinterpret_cast<const int64_t*>(t.timecodes.data());
  const ExpectedLaps expected = expected_laps(file, raw, times);
  FUZZ_CHECK(t.laps.has_value() == expected.ok,
             t.laps ? std::string("lap table built") : t.laps.error().display());
  if (!t.laps) {
    FUZZ_CHECK(t.laps.error().kind() == corvex::ErrorKind::InvalidHeader, t.laps.error().display());
    return;
  }
  const corvex::LapTable& laps = *t.laps;
  FUZZ_CHECK(laps.rows == expected.num.size(), std::to_string(laps.rows));
  const auto* num = reinterpret_cast<const int32_t*>(laps.num.data());
  const auto* start = reinterpret_cast<const int64_t*>(laps.start_time.data());
  const auto* end = reinterpret_cast<const int64_t*>(laps.end_time.data());
  const auto* offsets = reinterpret_cast<const int32_t*>(laps.lap_type_offsets.data());
  const auto* chars = reinterpret_cast<const char*>(laps.lap_type_data.data());
  const auto* session = reinterpret_cast<const int32_t*>(laps.session.data());
  for (size_t i = 0; i < laps.rows; ++i) {
    FUZZ_CHECK(num[i] == expected.num[i], std::to_string(i));
    FUZZ_CHECK(start[i] == expected.start[i] && end[i] == expected.end[i], std::to_string(i));
    const std::string type(chars + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i]));
    FUZZ_CHECK(type == expected.type[i], type);
    FUZZ_CHECK(session[i] == expected.session[i], std::to_string(i));
  }
}

// Every batch this result would hand to Python, made, validated and released.
void check_exports(const corvex::Telemetry& t) {
  std::vector<corvex::ExportBatch> batches;
  for (const auto& group : t.channels) {
    batches.push_back(corvex::channel_batch(t.timecodes, t.rows, group));
  }
  if (t.laps) batches.push_back(corvex::lap_batch(*t.laps));
  for (corvex::ExportBatch& batch : batches) {
    ArrowSchema schema{};
    ArrowArray array{};
    FUZZ_CHECK(corvex::export_schema(batch, &schema).has_value(), "export_schema");
    FUZZ_CHECK(corvex::export_array(batch, &array).has_value(), "export_array");
    auto valid = corvex::validate_export(batch, schema, array);
    FUZZ_CHECK(valid.has_value(), valid ? "" : valid.error().display());
    // A consumer may move a child out and release the parent; the child must stay whole.
    ArrowArray moved = *array.children[0];
    array.children[0]->release = nullptr;
    array.release(&array);
    FUZZ_CHECK(array.release == nullptr && moved.release != nullptr, "release");
    moved.release(&moved);
    FUZZ_CHECK(moved.release == nullptr, "child release");
    schema.release(&schema);
    FUZZ_CHECK(schema.release == nullptr, "schema release");
    // The stream hands the batch out once, then ends.
    ArrowArrayStream stream{};
    FUZZ_CHECK(corvex::export_stream(batch, &stream).has_value(), "export_stream");
    ArrowArray first{}, second{};
    FUZZ_CHECK(stream.get_next(&stream, &first) == 0 && first.release != nullptr, "first");
    FUZZ_CHECK(stream.get_next(&stream, &second) == 0 && second.release == nullptr, "end");
    stream.release(&stream);
    FUZZ_CHECK(stream.release == nullptr, "stream release");
    first.release(&first);  // outlives the stream that made it
  }
}

bool same_column(const corvex::Column& a, const corvex::Column& b) {
  return a.bytes == b.bytes && std::memcmp(a.data(), b.data(), a.bytes) == 0;
}

// Another reading gives the same result, byte for byte.
void check_same(const corvex::Result<corvex::Telemetry>& got,
                const corvex::Result<corvex::Telemetry>& want, const char* what) {
  FUZZ_CHECK(got.has_value() == want.has_value(), what);
  if (!want) {
    FUZZ_CHECK(got.error().display() == want.error().display(), got.error().display());
    return;
  }
  FUZZ_CHECK(same_column(got->timecodes, want->timecodes), what);
  FUZZ_CHECK(got->channels.size() == want->channels.size(), what);
  for (size_t g = 0; g < want->channels.size(); ++g) {
    FUZZ_CHECK(got->channels[g].size() == want->channels[g].size(), what);
    for (size_t c = 0; c < want->channels[g].size(); ++c) {
      FUZZ_CHECK(same_column(got->channels[g][c].values, want->channels[g][c].values), what);
    }
  }
  FUZZ_CHECK(got->laps.has_value() == want->laps.has_value(), what);
  if (!want->laps) return;
  FUZZ_CHECK(got->laps->rows == want->laps->rows, what);
  FUZZ_CHECK(same_column(got->laps->lap_type_data, want->laps->lap_type_data), what);
  FUZZ_CHECK(same_column(got->laps->start_time, want->laps->start_time), what);
  FUZZ_CHECK(same_column(got->laps->session, want->laps->session), what);
}

// The input written to a memory file and opened by path, as a path source is.
corvex::Result<IbtFile> open_as_file(const uint8_t* data, size_t size) {
  const int fd = memfd_create("ibt", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "memfd_create");
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0, "write");
    done += static_cast<size_t>(n);
  }
  auto source = corvex::open_file("/proc/self/fd/" + std::to_string(fd));
  close(fd);
  FUZZ_CHECK(source.has_value(), source ? "" : source.error().display());
  return corvex::open_ibt(std::move(*source));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  auto source = corvex::borrowed_source(bytes);
  FUZZ_CHECK(source.has_value(), "");
  auto file = corvex::open_ibt(std::move(*source));
  auto copy = corvex::copied_source(bytes);
  FUZZ_CHECK(copy.has_value(), "");
  auto copied = corvex::open_ibt(std::move(*copy));
  auto by_path = open_as_file(data, size);
  FUZZ_CHECK(copied.has_value() == file.has_value() && by_path.has_value() == file.has_value(), "");
  if (!file) {
    FUZZ_CHECK(file.error().kind() == corvex::ErrorKind::InvalidHeader, file.error().display());
    FUZZ_CHECK(copied.error().display() == file.error().display(), copied.error().display());
    FUZZ_CHECK(by_path.error().display() == file.error().display(), by_path.error().display());
    return 0;
  }
  const Raw raw = raw_of(*file, data);
  FUZZ_CHECK(raw.region + raw.size <= data + size, "region inside the file");

  auto telemetry = corvex::read_telemetry(*file, options(1));
  if (telemetry) {
    check_time(*file, raw, *telemetry);
    check_channels(*file, raw, *telemetry);
    check_laps(*file, raw, *telemetry);
    check_exports(*telemetry);
  } else {
    FUZZ_CHECK(telemetry.error().kind() == corvex::ErrorKind::InvalidHeader,
               telemetry.error().display());
  }
  check_same(corvex::read_telemetry(*copied, options(3)), telemetry, "copy, 3 threads");
  check_same(corvex::read_telemetry(*by_path, options(2)), telemetry, "file, 2 threads");
  return 0;
}
