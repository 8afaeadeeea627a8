// What the POSIX parts of the core share (the file source and the live files): whole reads at
// explicit offsets. POSIX only.
#pragma once

#include <cstdint>
#include <span>

#include "core/error.h"

namespace corvex {

// Fills `out` from the file `fd` at `offset` with pread, retrying interrupted and short reads; a
// file that ends first (cut since it was `size` bytes long) gives cut_short_error.
Result<void> pread_full(int fd, uint64_t offset, std::span<uint8_t> out, uint64_t size);

}  // namespace corvex
