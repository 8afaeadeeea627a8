#include "core/record_pass.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace corvex {

namespace {

constexpr uint64_t kCacheLine = 64;
// Readable bytes past a block's last record: the widest read of a variable declared narrower
// than it is read (8 bytes at an offset up to buf_len) ends at most 8 bytes into the next record.
constexpr uint64_t kTail = 8;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

inline void prefetch(const uint8_t* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 0, 3);
#elif defined(_M_X64)
  _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
#else
  (void)p;
#endif
}

// Asks the memory system for up to `lines` cache lines from `from` on, stopping at `to`; returns
// where the next request should start.
const uint8_t* prefetch_lines(const uint8_t* from, const uint8_t* to, uint64_t lines) {
  for (; lines > 0 && from < to; --lines, from += kCacheLine) prefetch(from);
  return from;
}

// One worker's range of records, [begin, end), read a block at a time.
class RangeReader {
 public:
  RangeReader(const DataRegion& region, std::span<RowSink* const> sinks,
              const std::atomic<bool>& stop)
      : region_(region), sinks_(sinks), stop_(stop), step_(block_rows(region.buf_len)) {}

  Result<void> read(uint64_t begin, uint64_t end) {
    if (!region_.source->in_memory()) {
      scratch_.resize(static_cast<size_t>(std::min(step_, end - begin) * region_.buf_len + kTail));
    }
    for (uint64_t first = begin; first < end; first += step_) {
      if (stop_.load(std::memory_order_relaxed)) return std::unexpected(IbtError::cancelled());
      const uint64_t last = std::min(end, first + step_);
      CORVEX_ASSIGN_OR_RETURN(const auto bytes, block_bytes(first, last));
      const RecordBlock block{bytes.data(), first, last - first, region_.buf_len};
      std::span<const uint8_t> ahead;
      if (region_.source->in_memory() && last < end) {
        CORVEX_ASSIGN_OR_RETURN(ahead, block_bytes(last, std::min(end, last + step_)));
      }
      gather(block, ahead);
    }
    finish_streaming_stores();
    return {};
  }

 private:
  Result<std::span<const uint8_t>> block_bytes(uint64_t first, uint64_t last) {
    const uint64_t start = first * region_.buf_len;
    const uint64_t stop = last * region_.buf_len;
    const uint64_t tail = std::min(kTail, region_.size() - stop);
    return region_.source->read(region_.offset + start, static_cast<size_t>(stop - start + tail),
                                scratch_.data());
  }

  // Fills every sink from the block. For bytes in memory, the next block's lines are requested
  // meanwhile, spread over the sinks, so that its first reads find them in cache; bytes read
  // into the worker's buffer are in cache already.
  void gather(const RecordBlock& block, std::span<const uint8_t> ahead) {
    const uint8_t* next = ahead.data();
    const uint8_t* next_end = ahead.data() + ahead.size();
    const uint64_t lines_per_sink =
        ahead.size() / kCacheLine / std::max<size_t>(sinks_.size(), 1) + 1;
    for (RowSink* sink : sinks_) {
      sink->gather(block);
      if (next != nullptr) next = prefetch_lines(next, next_end, lines_per_sink);
    }
  }

  const DataRegion& region_;
  std::span<RowSink* const> sinks_;
  const std::atomic<bool>& stop_;
  uint64_t step_;
  std::vector<uint8_t> scratch_;
};

Result<void> read_range(const DataRegion& region, std::span<RowSink* const> sinks,
                        const std::atomic<bool>& stop, uint64_t begin, uint64_t end) {
  try {
    RangeReader reader(region, sinks, stop);
    return reader.read(begin, end);
  } catch (const std::bad_alloc&) {
    return std::unexpected(IbtError::out_of_memory("could not allocate a read buffer"));
  }
}

// Contiguous ranges of whole 64-record groups, one per thread (fewer for small regions).
std::vector<std::pair<uint64_t, uint64_t>> split_ranges(uint64_t records, unsigned threads) {
  const uint64_t groups = (records + 63) / 64;
  const uint64_t per = (groups + threads - 1) / threads * 64;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (uint64_t begin = 0; begin < records; begin += per) {
    ranges.emplace_back(begin, std::min(records, begin + per));
  }
  return ranges;
}

// Workers on threads of their own; the calling thread waits, asking `should_stop` between waits.
class WorkerPool {
 public:
  WorkerPool(const DataRegion& region, std::span<RowSink* const> sinks)
      : region_(region), sinks_(sinks) {}

  Result<void> run(const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                   const std::function<bool()>& should_stop) {
    results_.assign(ranges.size(), Result<void>{});
    out_of_memory_.assign(ranges.size(), 0);
    std::vector<std::thread> threads;
    threads.reserve(ranges.size());
    size_t started = 0;
    for (; started < ranges.size(); ++started) {
      if (!start(threads, started, ranges[started])) break;
    }
    // A range that got no thread (the system refused one) is read here instead.
    for (size_t i = started; i < ranges.size(); ++i) {
      results_[i] = read_range(region_, sinks_, stop_, ranges[i].first, ranges[i].second);
      finished(1);
    }
    wait(should_stop, ranges.size());
    for (std::thread& thread : threads) thread.join();
    if (cancelled_) return std::unexpected(IbtError::cancelled());
    for (const char failed : out_of_memory_) {
      if (failed)
        return std::unexpected(IbtError::out_of_memory("could not allocate a read buffer"));
    }
    for (auto& result : results_) {
      if (!result) return result;
    }
    return {};
  }

 private:
  bool start(std::vector<std::thread>& threads, size_t i, std::pair<uint64_t, uint64_t> range) {
    try {
      threads.emplace_back([this, i, range] {
        // An exception must not leave a thread; not even the error's message may be
        // allocatable here, so the failure is marked and its error made after the join.
        try {
          results_[i] = read_range(region_, sinks_, stop_, range.first, range.second);
        } catch (...) {
          out_of_memory_[i] = 1;
        }
        finished(1);
      });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void finished(size_t n) {
    std::lock_guard lock(mutex_);
    done_ += n;
    done_changed_.notify_one();
  }

  void wait(const std::function<bool()>& should_stop, size_t total) {
    std::unique_lock lock(mutex_);
    while (done_ < total) {
      if (done_changed_.wait_for(lock, kPollInterval, [&] { return done_ == total; })) break;
      if (!should_stop || cancelled_) continue;
      lock.unlock();
      const bool stop = should_stop();
      lock.lock();
      if (stop) {
        cancelled_ = true;
        stop_.store(true, std::memory_order_relaxed);
      }
    }
  }

  const DataRegion& region_;
  std::span<RowSink* const> sinks_;
  std::atomic<bool> stop_{false};
  std::vector<Result<void>> results_;
  std::vector<char> out_of_memory_;  // set by a worker whose range failed with an exception
  std::mutex mutex_;
  std::condition_variable done_changed_;
  size_t done_ = 0;
  bool cancelled_ = false;
};

}  // namespace

uint64_t block_rows(uint64_t buf_len) {
  // Measured: 64 KiB to 320 KiB gather equally fast, 1 MiB is markedly slower.
  constexpr uint64_t kBlockBytes = 256 * 1024;
  const uint64_t rows = buf_len == 0 ? kBlockBytes : kBlockBytes / buf_len;
  return std::max<uint64_t>(64, rows / 64 * 64);
}

uint64_t pass_scratch_bytes(const DataRegion& region, unsigned threads) {
  if (region.source->in_memory() || region.record_count == 0) return 0;
  const uint64_t rows = std::min(block_rows(region.buf_len), region.record_count);
  return std::max(1u, threads) * (rows * region.buf_len + kTail);
}

Result<void> run_record_pass(const DataRegion& region, std::span<RowSink* const> sinks,
                             const PassOptions& options) {
  if (region.record_count == 0) return {};
  const unsigned threads = std::max(1u, options.threads);
  if (region.size() < options.threaded_from) {
    const std::atomic<bool> never{false};
    return read_range(region, sinks, never, 0, region.record_count);
  }
  WorkerPool pool(region, sinks);
  return pool.run(split_ranges(region.record_count, threads), options.should_stop);
}

void finish_streaming_stores() {
#if defined(__x86_64__) || defined(_M_X64)
  _mm_sfence();
#endif
}

}  // namespace corvex
