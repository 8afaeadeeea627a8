#include "core/column.h"

#include <cstring>

namespace corvex {

Result<std::vector<Column>> allocate_grouped(std::span<const uint64_t> bytes,
                                             std::span<const size_t> group_ends) {
  std::vector<Column> columns;
  columns.reserve(bytes.size());
  size_t begin = 0;
  for (const size_t end : group_ends) {
    uint64_t size = 0;
    for (size_t i = begin; i < end; ++i) size += align_up(bytes[i]);
    CORVEX_ASSIGN_OR_RETURN(auto memory, Buffer::allocate(size));
    uint64_t offset = 0;
    for (size_t i = begin; i < end; ++i) {
      std::memset(memory->data() + offset + bytes[i], 0, align_up(bytes[i]) - bytes[i]);
      columns.push_back(Column{memory, offset, bytes[i]});
      offset += align_up(bytes[i]);
    }
    begin = end;
  }
  return columns;
}

}  // namespace corvex
