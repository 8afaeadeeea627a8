// One pass over the sample records. The data region is split into contiguous ranges of records,
// one per worker thread; each worker reads its range a block at a time (a view when the bytes are
// in memory, otherwise a read into the worker's own buffer, sized to stay in the core's cache)
// and hands every block to each sink in turn, so that the records are read once however many
// columns are filled from them. Sinks write disjoint rows of preallocated outputs, so workers
// never share a cache line of output and nothing is merged afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

#include "core/error.h"
#include "core/reader.h"

namespace corvex {

// Whole records in memory: record `first + i` starts at `records + i x stride`. The bytes after
// the last record (up to 8, less at the end of the region) are readable too, for variables read
// wider than they are declared.
struct RecordBlock {
  const uint8_t* records;
  uint64_t first;
  uint64_t count;
  uint64_t stride;
};

// Fills some output from the rows of each block. `first` is a multiple of 64, so a block never
// shares a byte of a bitmap or an 8-byte word of a 4-byte column with another block.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void gather(const RecordBlock& block) = 0;
};

// Regions smaller than this are read on the calling thread alone: starting threads and polling
// would cost more than they save.
#ifndef CORVEX_THREADED_PASS_FROM  // a build for measuring the threshold may set it
#define CORVEX_THREADED_PASS_FROM (uint64_t{8} << 20)
#endif
inline constexpr uint64_t kThreadedPassFrom = CORVEX_THREADED_PASS_FROM;

struct PassOptions {
  // Worker threads; 1 reads the records on one thread.
  unsigned threads = 1;
  // Regions of at least this many bytes are read by worker threads.
  uint64_t threaded_from = kThreadedPassFrom;
  // Asked by the calling thread, at most every few milliseconds while workers run, whether the
  // pass should stop; a true answer ends it with a Cancelled error. May be empty.
  std::function<bool()> should_stop;
};

// Rows per block for a record length: a multiple of 64 whose records fill about 256 KiB.
uint64_t block_rows(uint64_t buf_len);

// The memory a pass needs besides its sinks' outputs: each worker's read buffer.
uint64_t pass_scratch_bytes(const DataRegion& region, unsigned threads);

Result<void> run_record_pass(const DataRegion& region, std::span<RowSink* const> sinks,
                             const PassOptions& options);

// Orders the streaming stores that sinks may use before the buffers are handed on; every worker
// calls it when it is done.
void finish_streaming_stores();

}  // namespace corvex
