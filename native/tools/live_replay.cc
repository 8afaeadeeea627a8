// live_replay FILE.ibt [--speed 1|2|max] [--path FILE] [--first-tick N] [--lead-in S] [--times LOG]
//
// Publishes an IBT recording into the simulator's shared-memory layout, tick by tick at the
// file's rate (or faster), so that dashboards and tests run without the simulator: on Windows
// (and under wine) into the simulator's named mapping with its event, or into the file given
// by --path; --lead-in S waits S seconds (default 1) between the layout and the first record, so
// that readers waiting for the simulator attach in time for every tick. Ctrl-C stops it; the status
// flag is cleared when it ends. `corvex replay` does the same from Python; this program is the
// Windows build that needs no Python.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/byte_source.h"
#include "core/live_publish.h"
#include "core/reader.h"
#include "core/shared_memory.h"
#include "live_tool.h"

namespace {

int usage() {
  std::fputs(
      "usage: live_replay FILE.ibt [--speed 1|2|max] [--path FILE] [--first-tick N] "
      "[--times LOG]\n",
      stderr);
  return 2;
}

int fail(const std::string& what, const corvex::IbtError& error) {
  std::fprintf(stderr, "live_replay: %s: %s\n", what.c_str(), error.display().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string input, path, times;
  corvex::ReplayOptions options;
  options.lead_in = 1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--speed" && has_value) {
      const std::string speed = argv[++i];
      options.speed = speed == "max" ? 0.0 : std::strtod(speed.c_str(), nullptr);
      if (speed != "max" && !(options.speed > 0)) return usage();
    } else if (arg == "--path" && has_value) {
      path = live_tool::native_path(argv[++i]);
    } else if (arg == "--first-tick" && has_value) {
      options.first_tick = std::atoi(argv[++i]);
    } else if (arg == "--lead-in" && has_value) {
      options.lead_in = std::strtod(argv[++i], nullptr);
    } else if (arg == "--times" && has_value) {
      times = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && input.empty()) {
      input = live_tool::native_path(arg);
    } else {
      return usage();
    }
  }
  if (input.empty()) return usage();
  live_tool::install_stop_handler();

  auto source = corvex::open_file(input);
  if (!source) return fail(input, source.error());
  auto file = corvex::open_ibt(std::move(*source));
  if (!file) return fail(input, file.error());
  auto memory = path.empty() ? corvex::create_live_mapping(0) : corvex::create_live_file(path);
  if (!memory) return fail(path.empty() ? "the shared memory" : path, memory.error());

  live_tool::TimeLog log(times);
  if (log.failed(times)) {
    std::fprintf(stderr, "live_replay: cannot write %s\n", times.c_str());
    return 1;
  }
  options.should_stop = [] { return live_tool::stop_requested.load(); };
  options.published = [&log](int32_t tick) { log.note(tick); };
  auto report = corvex::replay(*file, std::move(*memory), options);
  if (!report) return fail("replay", report.error());
  std::printf("published %llu of %llu records in %.3f s%s\n",
              static_cast<unsigned long long>(report->published),
              static_cast<unsigned long long>(file->record_count()), report->seconds,
              report->stopped ? " (stopped)" : "");
  return report->stopped ? 130 : 0;
}
