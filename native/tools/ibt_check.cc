// ibt_check FILE: reads an IBT file with the C++ core alone and prints what it found, in a form
// that does not depend on the platform: the header values, what the open learnt of the file (the
// session info bytes, whole records, live buffers), one line per channel with a checksum
// of its column's bytes, and the lap table. The same file must print the same text on every
// platform the core builds for; `make windows-check` compares a Windows build run under wine
// with the native one.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "core/byte_source.h"
#include "core/reader.h"
#include "core/telemetry.h"

namespace {

// 64-bit FNV-1a: small, fixed and the same everywhere.
uint64_t checksum(const corvex::Column& column) {
  uint64_t hash = 14695981039346656037ull;
  const uint8_t* bytes = column.data();
  for (uint64_t i = 0; i < column.bytes; ++i) {
    hash = (hash ^ bytes[i]) * 1099511628211ull;
  }
  return hash;
}

void print_laps(const corvex::LapTable& laps) {
  std::printf("laps %" PRIu64 "\n", laps.rows);
  for (uint64_t i = 0; i < laps.rows; ++i) {
    const corvex::LapRow row = laps.row(i);
    const std::string type(row.lap_type);
    std::printf("lap %" PRId32 " %" PRId64 " %" PRId64 " %s %" PRId32 "\n", row.num, row.start_time,
                row.end_time, type.c_str(), row.session);
  }
}

int check(const char* path, unsigned threads) {
  auto source = corvex::open_file(path);
  auto file = source ? corvex::open_ibt(std::move(*source))
                     : corvex::Result<corvex::IbtFile>(std::unexpected(source.error()));
  if (!file) {
    std::printf("error %s\n", file.error().display().c_str());
    return 1;
  }
  corvex::ReadOptions options;
  options.pass.threads = threads;
  auto telemetry = corvex::read_telemetry(*file, options);
  if (!telemetry) {
    std::printf("error %s\n", telemetry.error().display().c_str());
    return 1;
  }
  std::printf("records %" PRIu64 " tick_rate %" PRId32 " variables %zu session_info %zu\n",
              telemetry->rows, file->tick_rate(), file->vars().size(), file->session_info().size());
  const corvex::FileFacts& facts = file->facts();
  const std::string& info = file->session_info_bytes();
  uint64_t info_hash = 14695981039346656037ull;
  for (const char c : info) info_hash = (info_hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  std::printf("session_info_bytes %zu %016" PRIx64 " whole_records %" PRIu64 " live_buffers %zu\n",
              info.size(), info_hash, facts.whole_records.value_or(0), facts.live_buffers.size());
  std::printf("timecodes %016" PRIx64 "\n", checksum(telemetry->timecodes));
  for (const corvex::ChannelGroup& group : telemetry->channels) {
    for (const corvex::Channel& channel : group) {
      std::printf("channel %s %s %016" PRIx64 "\n", channel.var->name.c_str(),
                  corvex::arrow_format(channel.var->var_type), checksum(channel.values));
    }
  }
  if (!telemetry->laps) {
    std::printf("laps error %s\n", telemetry->laps.error().display().c_str());
    return 1;
  }
  print_laps(*telemetry->laps);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ibt_check FILE [THREADS]\n");
    return 2;
  }
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);  // the same line ends as everywhere else
#endif
  const unsigned threads = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 2;
  return check(argv[1], threads);
}
