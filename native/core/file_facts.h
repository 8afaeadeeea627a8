// What an open learns about a file beyond its layout: where it lives (its identity), and the
// facts a caller needs to explain a file that failed to open (attached to the error, see
// Finding in core/error.h) without reading the file again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvex {

// One record buffer of a live telemetry snapshot, as its descriptor in the main header gives it.
struct LiveBuffer {
  int32_t tick_count;
  int32_t offset;
};

// Which file a path source read, from the status of its open handle: a later reading compares
// it to refuse a file that was replaced or changed meanwhile.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // nanoseconds since 1970-01-01 UTC
  bool operator==(const FileIdentity&) const = default;
};

struct FileFacts {
  std::optional<uint64_t> size;           // the file's length in bytes
  std::optional<uint64_t> whole_records;  // whole records after the data offset, when they are cut
  std::vector<LiveBuffer> live_buffers;   // the buffer table of a live snapshot
  std::string file_type;                  // what a NotAFile is: "directory", "FIFO", ...
};

}  // namespace corvex
