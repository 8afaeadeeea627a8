// Columns that the record pass fills, one per variable, allocated in groups that share one block
// of memory, so that a large file's columns come in large, huge-page backed blocks and a small
// file's in one allocation; a group is also the unit handed to Python in one piece. The channels
// (scalar variables) and the arrays (count above 1) are gathered this way, each by its own sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/column.h"
#include "core/error.h"
#include "core/reader.h"
#include "core/record_pass.h"
#include "core/var_header.h"

namespace corvex {

struct Channel {
  const VarHeader* var;
  Column values;
};

using ChannelGroup = std::vector<Channel>;
using ChannelSet = std::vector<ChannelGroup>;

// A group holds columns until it reaches this size; a larger column makes a group of its own.
inline constexpr uint64_t kGroupBytes = uint64_t{8} << 20;

// A column being filled from one variable: the variable and where its values go.
class VarSink : public RowSink {
 public:
  VarSink(const VarHeader& var, uint64_t bytes) : var_(&var), bytes_(bytes) {}
  const VarHeader& var() const { return *var_; }
  uint64_t bytes() const { return bytes_; }
  uint8_t* data() const { return column_.data(); }
  void place(Column column) { column_ = std::move(column); }
  Column take() { return std::move(column_); }

 private:
  const VarHeader* var_;
  uint64_t bytes_;
  Column column_;
};

// open_ibt guarantees that every variable fits its record; this is the last line of defence
// against a broken invariant, since a sink reads count x width bytes of every record.
inline Result<void> check_fits(const VarHeader& var, const DataRegion& region) {
  const uint64_t end = static_cast<uint64_t>(var.offset) + var.byte_size();
  if (var.offset < 0 || (region.record_count > 0 && end > region.buf_len)) {
    return invalid_header("Variable '" + var.name + "' lies outside its sample record");
  }
  return {};
}

// The columns of the variables that `Sink` takes, in file order and grouped. `Sink` derives from
// VarSink and provides `static bool takes(const VarHeader&)` and
// `static uint64_t column_bytes(const VarHeader&, uint64_t rows)`.
template <class Sink>
class GroupedGather {
 public:
  // Bytes the columns of these variables take, padding included.
  static uint64_t bytes_needed(const std::vector<VarHeader>& vars, uint64_t rows) {
    uint64_t total = 0;
    for (const VarHeader& var : vars) {
      if (Sink::takes(var)) total += align_up(Sink::column_bytes(var, rows));
    }
    return total;
  }

  // Checks every variable's place in the record and allocates the columns, group by group.
  static Result<GroupedGather> prepare(const std::vector<VarHeader>& vars,
                                       const DataRegion& region) {
    GroupedGather gather;
    uint64_t group = 0;  // padded bytes of the open group
    for (const VarHeader& var : vars) {
      if (!Sink::takes(var)) continue;
      CORVEX_RETURN_IF_ERROR(check_fits(var, region));
      const uint64_t bytes = Sink::column_bytes(var, region.record_count);
      if (group > 0 && group + align_up(bytes) > kGroupBytes) {
        gather.group_ends_.push_back(gather.sinks_.size());
        group = 0;
      }
      gather.sinks_.emplace_back(var, bytes);
      group += align_up(bytes);
    }
    // A group is closed only just before a sink is added, so the last one is still open here.
    if (!gather.sinks_.empty()) gather.group_ends_.push_back(gather.sinks_.size());
    std::vector<uint64_t> sizes;
    sizes.reserve(gather.sinks_.size());
    for (const Sink& sink : gather.sinks_) sizes.push_back(sink.bytes());
    CORVEX_ASSIGN_OR_RETURN(auto placed, allocate_grouped(sizes, gather.group_ends_));
    for (size_t i = 0; i < placed.size(); ++i) gather.sinks_[i].place(std::move(placed[i]));
    return gather;
  }

  bool empty() const { return sinks_.empty(); }

  // One sink per column, valid while this object lives.
  std::vector<RowSink*> sinks() {
    std::vector<RowSink*> out;
    out.reserve(sinks_.size());
    for (Sink& sink : sinks_) out.push_back(&sink);
    return out;
  }

  // The filled columns, in file order and grouped; call once, after the pass.
  ChannelSet finish() {
    ChannelSet set;
    set.reserve(group_ends_.size());
    size_t begin = 0;
    for (const size_t end : group_ends_) {
      ChannelGroup group;
      group.reserve(end - begin);
      for (size_t i = begin; i < end; ++i) {
        group.push_back(Channel{&sinks_[i].var(), sinks_[i].take()});
      }
      set.push_back(std::move(group));
      begin = end;
    }
    return set;
  }

 private:
  GroupedGather() = default;
  std::vector<Sink> sinks_;
  std::vector<size_t> group_ends_;  // index one past the last column of each group
};

}  // namespace corvex
