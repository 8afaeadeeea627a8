// libFuzzer harness over the C++ core: the input bytes go through the road of an ibt call (a byte
// source, open_ibt, the record pass, the Arrow producer) and everything built is checked:
// - every value of the time column, every channel and the lap table against a reading of the
//   raw bytes made here, by the rules of the format rather than by the core's code;
// - every batch handed out against the columnar format's rules (validate_export), and every
//   release callback for marking its structure released;
// - the same results, byte for byte, from bytes in memory on one thread, from a copy on three
//   threads and from the bytes written to a file and read by path on two threads;
// - every element of every array variable against the raw bytes, and their batches (fixed-size
//   lists) like the channels';
// - a salvaging open: the whole records present after the data offset, exactly when the header
//   counts more than the file holds or 0 while records follow, and every value of what it reads;
// - the input opened as a live snapshot: accepted exactly when its buffer table is sound (1 to 4
//   buffers, each inside the input, none overlapping), read from the buffer with the first
//   highest tick count, and every value of that record;
// - what the headers-only reading (probe) hands out: the stored blocks and the session info
//   bytes against slices of the input, the channel fields' schema against the rules, and the
//   facts of a failure (its finding, the whole records of a cut file, a live snapshot's buffers)
//   against the header's own numbers and the one rule for a live snapshot;
// - the input read as live memory: latest() succeeds exactly when the snapshot opens and a buffer
//   is readable by the ring's rule (a tick count of 0 or more, fewer than num_buf - 1 others
//   newer or equal), its record is that buffer's bytes, and its batch and a block's batch obey
//   the columnar format; next() never fails but with a header error.
// Errors are fine; crashes, sanitizer reports and wrong values are findings.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/arrays.h"
#include "core/arrow_export.h"
#include "core/byte_source.h"
#include "core/live.h"
#include "core/reader.h"
#include "core/snapshot.h"
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

// The channels of `set` are the variables that `wanted` picks, in file order, in groups none of
// which is empty; `check` is called with each. Returns how many there are.
template <class Wanted, class Check>
size_t check_grouped(const IbtFile& file, const corvex::ChannelSet& set, const char* empty,
                     Wanted wanted, Check check) {
  std::vector<const VarHeader*> want;
  for (const VarHeader& var : file.vars()) {
    if (wanted(var)) want.push_back(&var);
  }
  size_t k = 0;
  for (const corvex::ChannelGroup& group : set) {
    FUZZ_CHECK(!group.empty(), empty);
    for (const corvex::Channel& channel : group) {
      FUZZ_CHECK(k < want.size() && channel.var == want[k], std::to_string(k));
      check(*channel.var, channel.values);
      ++k;
    }
  }
  FUZZ_CHECK(k == want.size(), std::to_string(k));
  return k;
}

void check_channels(const IbtFile& file, const Raw& raw, const corvex::Telemetry& t) {
  check_grouped(
      file, t.channels, "empty group", [](const VarHeader& var) { return var.count == 1; },
      [&](const VarHeader& var, const corvex::Column& values) {
        FUZZ_CHECK(values.bytes == corvex::column_bytes(var.var_type, raw.records), var.name);
        for (uint64_t r = 0; r < raw.records; ++r) {
          FUZZ_CHECK(cell_matches(var, values.data(), raw.at(var, r), r), var.name);
        }
      });
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
  for (size_t i = 0; i < laps.rows; ++i) {
    const corvex::LapRow row = laps.row(i);
    FUZZ_CHECK(row.num == expected.num[i], std::to_string(i));
    FUZZ_CHECK(row.start_time == expected.start[i] && row.end_time == expected.end[i],
               std::to_string(i));
    FUZZ_CHECK(row.lap_type == expected.type[i], std::string(row.lap_type));
    FUZZ_CHECK(row.session == expected.session[i], std::to_string(i));
  }
}

// Every batch this result would hand to Python, made, validated and released; the lap table's
// too unless `laps` is false (the result of read_arrays has none).
void check_exports(const corvex::Telemetry& t, bool laps = true) {
  std::vector<corvex::ExportBatch> batches;
  for (const auto& group : t.channels) {
    batches.push_back(corvex::channel_batch(t.timecodes, t.rows, group));
  }
  if (laps && t.laps) batches.push_back(corvex::lap_batch(*t.laps));
  for (corvex::ExportBatch& batch : batches) {
    ArrowSchema schema{};
    ArrowArray array{};
    FUZZ_CHECK(corvex::export_schema(batch, &schema).has_value(), "export_schema");
    FUZZ_CHECK(corvex::export_array(batch, &array).has_value(), "export_array");
    auto valid = corvex::validate_export(batch, schema, array);
    FUZZ_CHECK(valid.has_value(), valid ? "" : valid.error().display());
    // A consumer may move a child out and release the parent; the child must stay whole. The
    // values of the last list column are moved out too, from a level further down.
    ArrowArray moved = *array.children[0];
    array.children[0]->release = nullptr;
    ArrowArray moved_values{};
    for (int64_t i = array.n_children - 1; i > 0; --i) {
      if (array.children[i]->n_children == 1) {
        moved_values = *array.children[i]->children[0];
        array.children[i]->children[0]->release = nullptr;
        break;
      }
    }
    array.release(&array);
    FUZZ_CHECK(array.release == nullptr && moved.release != nullptr, "release");
    moved.release(&moved);
    FUZZ_CHECK(moved.release == nullptr, "child release");
    if (moved_values.release != nullptr) {
      // Still readable after its parents are gone (the sanitizers watch this read).
      if (moved_values.length > 0) {
        volatile uint8_t first = *static_cast<const uint8_t*>(moved_values.buffers[1]);
        (void)first;
      }
      moved_values.release(&moved_values);
      FUZZ_CHECK(moved_values.release == nullptr, "grandchild release");
    }
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

// Another reading gives the same result, byte for byte (the lap tables too unless `laps` is false).
void check_same(const corvex::Result<corvex::Telemetry>& got,
                const corvex::Result<corvex::Telemetry>& want, const char* what, bool laps = true) {
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
  if (!laps) return;
  FUZZ_CHECK(got->laps.has_value() == want->laps.has_value(), what);
  if (!want->laps) return;
  FUZZ_CHECK(got->laps->rows == want->laps->rows, what);
  FUZZ_CHECK(same_column(got->laps->lap_type_data, want->laps->lap_type_data), what);
  FUZZ_CHECK(same_column(got->laps->start_time, want->laps->start_time), what);
  FUZZ_CHECK(same_column(got->laps->session, want->laps->session), what);
}

// Every element of every array variable (count above 1), by the rules: row r, element j of a
// variable of n elements is value r x n + j of its column, a bit for Bool (any non-zero byte is
// true), otherwise the element's bytes as they are.
void check_arrays(const IbtFile& file, const Raw& raw, const corvex::Telemetry& t) {
  const size_t k = check_grouped(
      file, t.channels, "empty array group", [](const VarHeader& var) { return var.count > 1; },
      [&](const VarHeader& var, const corvex::Column& values) {
        const auto n = static_cast<uint64_t>(var.count);
        const uint64_t width = corvex::element_size(var.var_type);
        const bool bits = var.var_type == VarType::Bool;
        const uint64_t elements = raw.records * n;
        FUZZ_CHECK(raw.fits(var, n * width), var.name);
        FUZZ_CHECK(values.bytes == (bits ? (elements + 7) / 8 : elements * width), var.name);
        const uint8_t* column = values.data();
        for (uint64_t r = 0; r < raw.records; ++r) {
          for (uint64_t j = 0; j < n; ++j) {
            const uint8_t* src = raw.at(var, r) + j * width;
            const uint64_t e = r * n + j;
            const bool same = bits ? ((column[e / 8] >> (e % 8)) & 1) == (src[0] != 0 ? 1 : 0)
                                   : std::memcmp(column + e * width, src, width) == 0;
            FUZZ_CHECK(same, var.name + " " + std::to_string(e));
          }
        }
      });
  if (k > 0) check_time(file, raw, t);
}

// The arrays of an opened file, checked, and the same from the other two readings.
void check_array_reading(const IbtFile& file, const uint8_t* data, bool channels_read,
                         const IbtFile* copied, const IbtFile* by_path) {
  const Raw raw = raw_of(file, data);
  auto arrays = corvex::read_arrays(file, options(1));
  // The arrays need only the time column's checks, which a successful channel read passed.
  FUZZ_CHECK(arrays.has_value() || !channels_read, arrays ? "" : arrays.error().display());
  if (arrays) {
    check_arrays(file, raw, *arrays);
    check_exports(*arrays, false);
  } else {
    FUZZ_CHECK(arrays.error().kind() == corvex::ErrorKind::InvalidHeader, arrays.error().display());
  }
  if (copied) check_same(corvex::read_arrays(*copied, options(3)), arrays, "arrays, 3", false);
  if (by_path) check_same(corvex::read_arrays(*by_path, options(2)), arrays, "arrays, 2", false);
}

// A file read through its records: values, laps, batches and arrays.
void check_reading(const IbtFile& file, const uint8_t* data, size_t size) {
  const Raw raw = raw_of(file, data);
  FUZZ_CHECK(raw.region + raw.size <= data + size, "region inside the file");
  auto telemetry = corvex::read_telemetry(file, options(1));
  if (telemetry) {
    check_time(file, raw, *telemetry);
    check_channels(file, raw, *telemetry);
    check_laps(file, raw, *telemetry);
    check_exports(*telemetry);
  } else {
    FUZZ_CHECK(telemetry.error().kind() == corvex::ErrorKind::InvalidHeader,
               telemetry.error().display());
  }
  check_array_reading(file, data, telemetry.has_value(), nullptr, nullptr);
}

int32_t field32(const uint8_t* data, size_t offset) { return load<int32_t>(data + offset); }

// A salvaging open of the input, against the plain one and the header's own numbers.
void check_salvage(const uint8_t* data, size_t size, const corvex::Result<IbtFile>& plain) {
  auto source = corvex::borrowed_source(std::span<const uint8_t>(data, size));
  FUZZ_CHECK(source.has_value(), "");
  auto salvaged = corvex::open_ibt(std::move(*source), corvex::OpenOptions{.salvage = true});
  FUZZ_CHECK(salvaged.has_value() || !plain.has_value(), salvaged.error().display());
  if (!salvaged) {
    // Salvage changes only the last check, so a failure is the plain open's failure.
    FUZZ_CHECK(salvaged.error().display() == plain.error().display(), salvaged.error().display());
    return;
  }
  const corvex::SalvageReport& report = salvaged->salvage();
  if (!report.applied) {
    FUZZ_CHECK(plain.has_value() && salvaged->record_count() == plain->record_count(), "count");
    return;
  }
  const auto stored = static_cast<uint64_t>(field32(data, 140));
  const auto start = static_cast<uint64_t>(field32(data, 52));
  const auto stride = static_cast<uint64_t>(field32(data, 36));
  FUZZ_CHECK(stride > 0 && start < size, "salvaged without records");
  const uint64_t present = std::min<uint64_t>((size - start) / stride, INT32_MAX);
  FUZZ_CHECK(present > 0 && salvaged->record_count() == present, "whole records");
  FUZZ_CHECK(report.header_records == stored, "header count");
  FUZZ_CHECK(stored == 0 || start + stored * stride > size, "salvaged a file that fits");
  FUZZ_CHECK(!plain.has_value() || stored == 0, "salvaged a file that opens");
  FUZZ_CHECK(report.dropped_bytes == size - start - present * stride, "dropped bytes");
  check_reading(*salvaged, data, size);
}

// The buffer table of a snapshot by the rules, read straight from the input.
struct RawTable {
  bool sound = false;
  std::vector<std::pair<int32_t, int32_t>> buffers;  // tick count, offset
  size_t newest = 0;
};

RawTable raw_table(const uint8_t* data, size_t size) {
  RawTable table;
  if (size < 112) return table;
  const int32_t count = field32(data, 32);
  const int64_t length = field32(data, 36);
  if (count < 1 || count > 4 || length < 0) return table;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t tick = field32(data, 48 + 16 * static_cast<size_t>(i));
    const int32_t offset = field32(data, 52 + 16 * static_cast<size_t>(i));
    if (offset < 0 || int64_t{offset} + length > static_cast<int64_t>(size)) return table;
    for (const auto& [other_tick, other] : table.buffers) {
      if (length > 0 && offset < int64_t{other} + length && other < int64_t{offset} + length) {
        return table;
      }
    }
    if (table.buffers.empty() || tick > table.buffers[table.newest].first) {
      table.newest = table.buffers.size();
    }
    table.buffers.emplace_back(tick, offset);
  }
  table.sound = true;
  return table;
}

void check_live(const uint8_t* data, size_t size, bool snapshot_opens);

// The input opened as a live snapshot; whether it opened.
bool check_snapshot(const uint8_t* data, size_t size, const corvex::Result<IbtFile>& plain) {
  auto source = corvex::borrowed_source(std::span<const uint8_t>(data, size));
  FUZZ_CHECK(source.has_value(), "");
  auto snapshot = corvex::open_snapshot(std::move(*source));
  check_live(data, size, snapshot.has_value());
  const RawTable table = raw_table(data, size);
  // A recording that opens has sound headers, so only its buffer table decides.
  if (plain) FUZZ_CHECK(snapshot.has_value() == table.sound, "buffer table");
  if (!snapshot) {
    FUZZ_CHECK(snapshot.error().kind() == corvex::ErrorKind::InvalidHeader,
               snapshot.error().display());
    return false;
  }
  FUZZ_CHECK(table.sound, "unsound buffer table accepted");
  const auto& buffers = snapshot->snapshot();
  FUZZ_CHECK(buffers.has_value() && buffers->newest == table.newest, "newest buffer");
  FUZZ_CHECK(buffers->buffers.size() == table.buffers.size(), "buffer count");
  for (size_t i = 0; i < table.buffers.size(); ++i) {
    FUZZ_CHECK(buffers->buffers[i].tick_count == table.buffers[i].first &&
                   buffers->buffers[i].offset == table.buffers[i].second,
               std::to_string(i));
  }
  const auto region = snapshot->region();
  FUZZ_CHECK(region.record_count == 1 &&
                 region.offset == static_cast<uint64_t>(table.buffers[table.newest].second),
             "snapshot region");
  check_reading(*snapshot, data, size);
  return true;
}

// The session info bytes by the rule: from the first "---" of the region (or its first non-NUL
// byte, or its start), without trailing NULs.
std::string cut_by_rule(const uint8_t* region, size_t length) {
  size_t start = length;
  for (size_t i = 0; i + 3 <= length; ++i) {
    if (region[i] == '-' && region[i + 1] == '-' && region[i + 2] == '-') {
      start = i;
      break;
    }
  }
  if (start == length) {
    start = 0;
    while (start < length && region[start] == 0) ++start;
    if (start == length) start = 0;
  }
  size_t stop = length;
  while (stop > start && region[stop - 1] == 0) --stop;
  return std::string(reinterpret_cast<const char*>(region) + start, stop - start);
}

bool same_bytes(const std::vector<uint8_t>& got, const uint8_t* data, size_t size, int32_t offset,
                uint64_t length) {
  return offset >= 0 && static_cast<uint64_t>(offset) + length <= size && got.size() == length &&
         (length == 0 || std::memcmp(got.data(), data + offset, length) == 0);
}

// The one rule for a live snapshot: a sound buffer table of two or more buffers in a file that
// opens as a snapshot.
bool live_by_rule(const RawTable& table, bool opens_as_snapshot) {
  return opens_as_snapshot && table.sound && table.buffers.size() >= 2;
}

bool same_buffers(const std::vector<corvex::LiveBuffer>& got, const RawTable& table) {
  if (got.size() != table.buffers.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i].tick_count != table.buffers[i].first || got[i].offset != table.buffers[i].second) {
      return false;
    }
  }
  return true;
}

// A recording that opened, as probe hands it out.
void check_probe(const IbtFile& file, const uint8_t* data, size_t size, bool live) {
  auto blocks = corvex::read_raw_blocks(file);
  FUZZ_CHECK(blocks.has_value(), blocks ? "" : blocks.error().display());
  const int32_t var_offset = field32(data, 28), num_vars = field32(data, 24);
  const int32_t info_offset = field32(data, 20), info_len = field32(data, 16);
  FUZZ_CHECK(same_bytes(blocks->headers, data, size, 0, 144), "raw headers");
  FUZZ_CHECK(same_bytes(blocks->var_headers, data, size, var_offset,
                        uint64_t{144} * static_cast<uint64_t>(num_vars)),
             "raw variable headers");
  FUZZ_CHECK(
      same_bytes(blocks->session_info, data, size, info_offset, static_cast<uint64_t>(info_len)),
      "raw session info");
  FUZZ_CHECK(
      file.session_info_bytes() == cut_by_rule(data + info_offset, static_cast<size_t>(info_len)),
      "session info bytes");
  const auto& facts = file.facts();
  FUZZ_CHECK(facts.size == size, "size");
  const uint64_t start = static_cast<uint64_t>(field32(data, 52));
  const uint64_t stride = static_cast<uint64_t>(field32(data, 36));
  const uint64_t whole =
      size <= start || stride == 0 ? 0 : std::min<uint64_t>((size - start) / stride, INT32_MAX);
  FUZZ_CHECK(facts.whole_records == whole, "whole records");
  FUZZ_CHECK(facts.live_buffers.empty() != live, "live snapshot rule");
  if (live) FUZZ_CHECK(same_buffers(facts.live_buffers, raw_table(data, size)), "live buffers");
  // The channel fields: one per scalar name, each exported and released cleanly.
  const corvex::ExportBatch fields = corvex::channel_fields(file.vars());
  // Each name where its first scalar header puts it, typed as its last scalar header says.
  std::vector<std::pair<std::string, VarType>> names;
  for (const VarHeader& var : file.vars()) {
    if (var.count != 1) continue;
    auto same = std::find_if(names.begin(), names.end(),
                             [&](const auto& entry) { return entry.first == var.name; });
    if (same == names.end()) {
      names.emplace_back(var.name, var.var_type);
    } else {
      same->second = var.var_type;
    }
  }
  FUZZ_CHECK(fields.columns.size() == names.size(), "channel fields");
  for (size_t i = 0; i < names.size(); ++i) {
    FUZZ_CHECK(
        fields.columns[i].name == names[i].first &&
            std::string_view(fields.columns[i].format) == corvex::arrow_format(names[i].second),
        names[i].first);
  }
  for (const corvex::ExportBatch& batch : {fields, corvex::variable_fields(file.vars())}) {
    ArrowSchema schema{};
    FUZZ_CHECK(corvex::export_schema(batch, &schema).has_value(), "export_schema");
    FUZZ_CHECK(schema.n_children == static_cast<int64_t>(batch.columns.size()), "fields");
    schema.release(&schema);
    FUZZ_CHECK(schema.release == nullptr, "schema release");
  }
}

// The facts of a failed open against the header's own numbers and the rules.
void check_failure(const corvex::IbtError& error, const uint8_t* data, size_t size, bool live) {
  FUZZ_CHECK(error.kind() == corvex::ErrorKind::InvalidHeader, error.display());
  const corvex::FileFacts* facts = error.facts();
  FUZZ_CHECK(facts != nullptr && facts->size == size, "failure facts");
  const bool not_ibt = size < 112 || (field32(data, 0) != 1 && field32(data, 0) != 2);
  FUZZ_CHECK((error.finding() == corvex::Finding::NotIbt) == not_ibt, error.display());
  FUZZ_CHECK((error.finding() == corvex::Finding::LiveSnapshot) == live, error.display());
  if (live) FUZZ_CHECK(same_buffers(facts->live_buffers, raw_table(data, size)), "buffers");
  const bool records_cut = error.message().find(" records: ") != std::string::npos &&
                           error.message().starts_with("File too small for ");
  if (records_cut) {
    if (!live) FUZZ_CHECK(error.finding() == corvex::Finding::Truncated, error.display());
    const uint64_t start = static_cast<uint64_t>(field32(data, 52));
    const uint64_t stride = static_cast<uint64_t>(field32(data, 36));
    const uint64_t whole = size <= start || stride == 0 ? 0 : (size - start) / stride;
    FUZZ_CHECK(facts->whole_records == std::min<uint64_t>(whole, INT32_MAX), "whole records");
  } else {
    FUZZ_CHECK(!facts->whole_records.has_value(), error.display());
  }
}

// The input as live memory that nobody writes.
class FixedMemory final : public corvex::SharedMemory {
 public:
  FixedMemory(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  corvex::Result<void> read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) {
      return std::unexpected(corvex::IbtError::io("read past the end"));
    }
    if (!out.empty()) std::memcpy(out.data(), data_ + offset, out.size());
    return {};
  }
  corvex::Result<void> write(uint64_t, std::span<const uint8_t>) override {
    return std::unexpected(corvex::IbtError::io("read only"));
  }
  bool wait_signal(unsigned) override { return false; }
  void signal() override {}

 private:
  const uint8_t* data_;
  size_t size_;
};

void check_batch(const corvex::ExportBatch& batch, const char* what) {
  ArrowSchema schema{};
  ArrowArray array{};
  FUZZ_CHECK(corvex::export_schema(batch, &schema).has_value(), what);
  FUZZ_CHECK(corvex::export_array(batch, &array).has_value(), what);
  const auto valid = corvex::validate_export(batch, schema, array);
  FUZZ_CHECK(valid.has_value(), valid ? what : valid.error().display());
  array.release(&array);
  schema.release(&schema);
}

// The input read as live memory.
void check_live(const uint8_t* data, size_t size, bool snapshot_opens) {
  corvex::LiveReader reader(std::make_shared<FixedMemory>(data, size));
  reader.set_patience(std::chrono::milliseconds(0));
  const RawTable table = raw_table(data, size);
  // The readable buffer with the highest tick, the first of equals.
  std::optional<size_t> expected;
  const size_t n = table.buffers.size();
  for (size_t i = 0; i < n && table.sound; ++i) {
    const int32_t tick = table.buffers[i].first;
    size_t newer = 0;
    for (size_t j = 0; j < n; ++j) newer += j != i && table.buffers[j].first >= tick ? 1 : 0;
    if (tick < 0 || (n > 1 && newer >= n - 1)) continue;
    if (!expected || tick > table.buffers[*expected].first) expected = i;
  }
  // A session info update counter of -1 says the text is being rewritten: no layout yet.
  const bool info_ready = size >= 112 && field32(data, 12) != -1;
  auto latest = reader.latest();
  FUZZ_CHECK(latest.has_value() == (snapshot_opens && info_ready && expected.has_value()),
             latest ? "read a record" : latest.error().display());
  if (latest) {
    const uint64_t length = static_cast<uint64_t>(field32(data, 36));
    const auto offset = static_cast<size_t>(table.buffers[*expected].second);
    FUZZ_CHECK(latest->ticks == std::vector<int32_t>{table.buffers[*expected].first}, "tick");
    FUZZ_CHECK(std::memcmp(latest->record(0), data + offset, static_cast<size_t>(length)) == 0,
               "record bytes");
    auto batch = corvex::live_batch(*latest);
    if (batch) check_batch(*batch, "live batch");
    auto block = corvex::LiveBlock::make(latest->layout, 2);
    FUZZ_CHECK(block.has_value() == batch.has_value(), "block and batch");
    if (block) {
      block->put(latest->record(0));
      check_batch(block->batch(), "live block");
    }
  }
  corvex::WaitOptions now;
  now.timeout_ms = 0;
  auto next = reader.next(2, now);
  if (!next) {
    FUZZ_CHECK(next.error().kind() == corvex::ErrorKind::InvalidHeader ||
                   next.error().kind() == corvex::ErrorKind::Io,
               next.error().display());
  }
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
  check_salvage(data, size, file);
  const bool live = live_by_rule(raw_table(data, size), check_snapshot(data, size, file));
  if (!file) {
    check_failure(file.error(), data, size, live);
    FUZZ_CHECK(by_path.error().finding() == file.error().finding(), by_path.error().display());
    FUZZ_CHECK(copied.error().display() == file.error().display(), copied.error().display());
    FUZZ_CHECK(by_path.error().display() == file.error().display(), by_path.error().display());
    return 0;
  }
  const Raw raw = raw_of(*file, data);
  FUZZ_CHECK(raw.region + raw.size <= data + size, "region inside the file");
  check_probe(*file, data, size, live);
  check_probe(*by_path, data, size, live);

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
  check_array_reading(*file, data, telemetry.has_value(), &*copied, &*by_path);
  return 0;
}
