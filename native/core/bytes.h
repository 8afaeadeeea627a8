// Little-endian loads from unaligned positions of the file's bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace corvex {

static_assert(std::endian::native == std::endian::little, "IBT files are little-endian");

template <class T>
inline T load_le(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace corvex
