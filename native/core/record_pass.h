// One pass over the sample records: the data region is walked in blocks that fit in the core's
// cache, and every block is handed to each sink in turn, so that the region is read from memory
// once however many columns are filled from it.
#pragma once

#include <cstdint>
#include <span>

#include "core/mapping.h"

namespace corvex {

// Where the sample records are: record i starts at i x buf_len of `bytes`.
struct DataRegion {
  std::span<const uint8_t> bytes;  // exactly buf_len x record_count bytes
  uint64_t buf_len;
  uint64_t record_count;
  // The view the region lies in; a file mapping hands pages back once the pass is past them.
  const MappedView* view = nullptr;
};

// Fills some output from rows [begin, end) of the region. `begin` is a multiple of 64.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void gather(const DataRegion& region, uint64_t begin, uint64_t end) = 0;
};

void run_record_pass(const DataRegion& region, std::span<RowSink* const> sinks);

// Orders the streaming stores that sinks may use before the buffers are handed on.
void finish_streaming_stores();

}  // namespace corvex
