// A column that a record pass fills: its values live at a 64-byte aligned offset of a buffer that
// may hold other columns too (the channels of one group share one allocation).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/buffer.h"

namespace corvex {

struct Column {
  std::shared_ptr<Buffer> memory;
  uint64_t offset = 0;  // a multiple of 64
  uint64_t bytes = 0;   // the values' bytes (for Boolean, the packed bits)
  uint8_t* data() const { return memory->data() + offset; }
};

// Columns of the given byte sizes, allocated one block per group (`group_ends` holds the index
// one past each group's last column), each at a 64-byte aligned offset of its block with the
// padding up to the next column cleared: the pass writes every value byte, and no stale memory
// may reach the caller.
Result<std::vector<Column>> allocate_grouped(std::span<const uint64_t> bytes,
                                             std::span<const size_t> group_ends);

// A column of its own buffer.
inline Result<Column> allocate_column(uint64_t bytes) {
  CORVEX_ASSIGN_OR_RETURN(auto memory, Buffer::allocate(bytes));
  return Column{std::move(memory), 0, bytes};
}

}  // namespace corvex
