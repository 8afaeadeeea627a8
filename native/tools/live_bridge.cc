// live_bridge OUT [--wait SECONDS] [--from FILE] [--times LOG]
//
// For racers who run the simulator under wine or Proton on Linux: runs inside the simulator's
// prefix, opens its telemetry mapping there and mirrors it, tick by tick, into the file OUT
// (a Unix path such as /dev/shm/corvex-live), which native Linux programs read with
// corvex.live.connect(path=...). OUT is the only file it writes; it is created under a temporary
// name beside OUT, readable and writable by its owner alone, and renamed into place once whole.
// The bridge waits for the simulator (at most --wait seconds, default: as long as it takes) and
// stops when the simulator does (its status flag clear for a second), or on Ctrl-C; then it
// clears the status flag in OUT, so that readers see the simulator gone, and removes OUT.
// --from reads a file of the live layout instead of the mapping (for tests on any platform).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "core/live.h"
#include "core/live_publish.h"
#include "core/shared_memory.h"
#include "live_tool.h"

namespace {

using Clock = std::chrono::steady_clock;

// The least time between two ticks the bridge publishes (a reader of the mirror polls every
// millisecond); at 60 Hz ticks are 16.7 ms apart, so only a backlog is spread out.
constexpr auto kBacklogSpacing = std::chrono::microseconds(2500);

int usage() {
  std::fputs("usage: live_bridge OUT [--wait SECONDS] [--from FILE] [--times LOG]\n", stderr);
  return 2;
}

int fail(const std::string& what, const corvex::IbtError& error) {
  std::fprintf(stderr, "live_bridge: %s: %s\n", what.c_str(), error.display().c_str());
  return 1;
}

void remove_file(const std::string& path) {
#if defined(_WIN32)
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 1), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), size);
  ::DeleteFileW(wide.c_str());
#else
  ::unlink(path.c_str());
#endif
}

// The variable set and record layout are the same: only the session info text changed.
bool same_variables(const corvex::LiveImage& a, const corvex::LiveImage& b) {
  return a.version == b.version && a.tick_rate == b.tick_rate && a.buf_len == b.buf_len &&
         a.var_headers == b.var_headers;
}

// Opens the simulator's memory (or --from), waiting for it as long as `wait_s` allows.
corvex::Result<std::shared_ptr<corvex::SharedMemory>> open_source(const std::string& from,
                                                                  double wait_s) {
  const auto start = Clock::now();
  for (;;) {
    auto memory = from.empty() ? corvex::open_live_mapping() : corvex::open_live_file(from);
    if (memory) return std::shared_ptr<corvex::SharedMemory>(std::move(*memory));
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (live_tool::stop_requested || (wait_s >= 0 && waited >= wait_s)) {
      return std::unexpected(memory.error());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, from, times;
  double wait_s = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--wait" && has_value) {
      wait_s = std::strtod(argv[++i], nullptr);
    } else if (arg == "--from" && has_value) {
      from = live_tool::native_path(argv[++i]);
    } else if (arg == "--times" && has_value) {
      times = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && out.empty()) {
      out = live_tool::native_path(arg);
    } else {
      return usage();
    }
  }
  if (out.empty()) return usage();
  live_tool::install_stop_handler();
  live_tool::TimeLog log(times);
  if (log.failed(times)) {
    std::fprintf(stderr, "live_bridge: cannot write %s\n", times.c_str());
    return 1;
  }

  auto memory = open_source(from, wait_s);
  if (!memory) return fail("the simulator's telemetry", memory.error());
  corvex::LiveReader reader(*memory);
  // The mirror is made as soon as the simulator says it is connected, before its first record,
  // so that readers can attach to it in time for every tick.
  const auto start = Clock::now();
  for (;;) {
    auto on = reader.connected();
    if (on && *on && reader.layout()) break;
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (live_tool::stop_requested || (wait_s >= 0 && waited >= wait_s)) {
      if (!on) return fail("the simulator's telemetry", on.error());
      std::fputs("live_bridge: the simulator did not connect\n", stderr);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  auto target = corvex::create_live_file(out);
  if (!target) return fail(out, target.error());
  auto publisher = corvex::LivePublisher::start(std::move(*target), image_of(*reader.layout()));
  if (!publisher) return fail(out, publisher.error());
  std::shared_ptr<const corvex::LiveLayout> seen;  // the layout the mirror was last written for
  uint64_t mirrored = 0;
  std::fprintf(stderr, "live_bridge: mirroring the simulator's telemetry into %s\n", out.c_str());

  // The ring is drained by a thread of its own, so that writing the mirror never holds it up.
  corvex::LiveFollower follower(*memory, 4096, /*from_oldest=*/true);
  corvex::WaitOptions each;
  each.timeout_ms = 100;
  each.should_stop = [] { return live_tool::stop_requested.load(); };
  std::optional<Clock::time_point> away_since;
  auto last_publish = Clock::now();
  int status = 0;
  for (;;) {
    auto records = follower.next(1, each);  // each tick passed on as soon as it is read
    if (!records) {
      if (records.error().kind() != corvex::ErrorKind::Cancelled) {
        status = fail("the simulator's telemetry", records.error());
      }
      break;
    }
    if (records->count() > 0) {
      away_since.reset();
      if (records->layout != seen) {
        seen = records->layout;
        corvex::LiveImage image = image_of(*seen);
        corvex::Result<void> changed;
        if (!same_variables(image, publisher->image())) {
          changed = publisher->restart(std::move(image));
        } else if (image.session_info != publisher->image().session_info) {
          changed = publisher->update_session_info(image.session_info);
        }
        if (!changed) {
          status = fail(out, changed.error());
          break;
        }
      }
      bool ok = true;
      for (uint64_t i = 0; i < records->count() && ok; ++i) {
        const auto record =
            std::span<const uint8_t>(records->record(i), records->layout->buf_len());
        // Ticks that piled up while the bridge was held up go out a little apart, not in a
        // burst: the mirror's ring is as short as the simulator's, and its readers poll.
        std::this_thread::sleep_until(last_publish + kBacklogSpacing);
        last_publish = Clock::now();
        auto put = publisher->publish(records->ticks[i], record);
        if (!put) {
          status = fail(out, put.error());
          ok = false;
        }
        log.note(records->ticks[i]);
        ++mirrored;
      }
      if (!ok) break;
    } else {
      // Nothing new for a while: has the simulator stopped?
      auto on = reader.connected();
      if (on && *on) {
        away_since.reset();
      } else if (!away_since) {
        away_since = Clock::now();
      } else if (Clock::now() - *away_since > std::chrono::seconds(1)) {
        break;
      }
    }
    if (live_tool::stop_requested) break;
  }
  (void)publisher->stop();
  remove_file(out);
  std::fprintf(stderr, "live_bridge: mirrored %llu ticks; %s\n",
               static_cast<unsigned long long>(mirrored),
               live_tool::stop_requested ? "stopped" : "the simulator stopped");
  return status;
}
