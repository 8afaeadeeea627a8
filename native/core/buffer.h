// Column memory: blocks aligned to 64 bytes, sized in whole 64-byte lines with the padding
// zeroed, shared by the columns that live in them and by the Arrow structures handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/error.h"

namespace corvex {

inline constexpr uint64_t kBufferAlignment = 64;

// Rounds up to a whole number of 64-byte lines; sizes come from validated 31-bit counts and
// widths, far below the point where this could wrap.
constexpr uint64_t align_up(uint64_t size) {
  return (size + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
}

class Buffer {
 public:
  // At least `size` bytes (64 when size is 0, so that the address is never null), every byte
  // past `size` zeroed. Fails with OutOfMemory instead of throwing.
  static Result<std::shared_ptr<Buffer>> allocate(uint64_t size);

  // Only allocate() makes buffers; the token keeps the constructor out of other hands while
  // letting make_shared reach it.
  struct Token {
    explicit Token() = default;
  };
  Buffer(Token, uint8_t* data, uint64_t size, uint64_t capacity, bool mapped)
      : data_(data), size_(size), capacity_(capacity), mapped_(mapped) {}
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  uint8_t* data_;
  uint64_t size_;
  uint64_t capacity_;
  bool mapped_;  // an anonymous mapping rather than heap memory
};

}  // namespace corvex
