#include "core/channel.h"

#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

#include "core/bytes.h"

namespace corvex {

const char* arrow_format(VarType type) {
  switch (type) {
    case VarType::Char:
      return "C";
    case VarType::Bool:
      return "b";
    case VarType::Int:
      return "i";
    case VarType::BitField:
      return "I";
    case VarType::Float:
      return "f";
    case VarType::Double:
      return "g";
  }
  return "n";
}

bool interpolates(VarType type) { return type == VarType::Float || type == VarType::Double; }

uint64_t column_bytes(VarType type, uint64_t rows) {
  return type == VarType::Bool ? (rows + 7) / 8 : rows * element_size(type);
}

namespace {

// Writes 8 bytes of a value column without first reading their cache line: the columns are far
// larger than the caches and nothing reads them again during the call, so the read that a plain
// store makes would double the memory traffic. finish_streaming_stores orders these stores before
// the buffers are handed on.
inline void stream_u64(uint8_t* dst, uint64_t value) {
#if defined(__x86_64__) || defined(_M_X64)
  _mm_stream_si64(reinterpret_cast<long long*>(dst), static_cast<long long>(value));
#else
  std::memcpy(dst, &value, sizeof value);
#endif
}

// In the gathers below, `src` points at the variable's bytes in the block's first record, whose
// row is `first`; `dst` is the start of the column.

void gather_bytes(const uint8_t* src, uint64_t stride, uint64_t first, uint64_t count,
                  uint8_t* dst) {
  for (uint64_t i = 0; i < count; ++i) dst[first + i] = src[i * stride];
}

// 4-byte values, two rows per 8-byte store. `first` is even, so each pair lands on 8 aligned
// bytes of the 64-byte aligned column.
void gather_4(const uint8_t* src, uint64_t stride, uint64_t first, uint64_t count, uint8_t* dst) {
  uint8_t* out = dst + first * 4;
  uint64_t i = 0;
  for (; i + 2 <= count; i += 2, src += 2 * stride) {
    const uint64_t pair = load_le<uint32_t>(src) | uint64_t{load_le<uint32_t>(src + stride)} << 32;
    stream_u64(out + i * 4, pair);
  }
  if (i < count) std::memcpy(out + i * 4, src, 4);
}

void gather_8(const uint8_t* src, uint64_t stride, uint64_t first, uint64_t count, uint8_t* dst) {
  uint8_t* out = dst + first * 8;
  for (uint64_t i = 0; i < count; ++i, src += stride)
    stream_u64(out + i * 8, load_le<uint64_t>(src));
}

// Packs the truth of each byte into bits, least significant bit first. `first` is a multiple of
// 8, so every block starts on a whole byte of the bitmap; only the last byte can be partial.
void gather_bits(const uint8_t* src, uint64_t stride, uint64_t first, uint64_t count,
                 uint8_t* dst) {
  uint8_t* out = dst + first / 8;
  uint64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const uint8_t* p = src + i * stride;
    unsigned bits = 0;
    for (unsigned j = 0; j < 8; ++j) bits |= unsigned{p[j * stride] != 0} << j;
    out[i / 8] = static_cast<uint8_t>(bits);
  }
  if (i == count) return;
  unsigned bits = 0;
  for (uint64_t j = i; j < count; ++j) bits |= unsigned{src[j * stride] != 0} << (j - i);
  out[i / 8] = static_cast<uint8_t>(bits);
}

}  // namespace

void ColumnSink::gather(const RecordBlock& block) {
  const uint8_t* src = block.records + var().offset;
  uint8_t* dst = data();
  switch (var().var_type) {
    case VarType::Char:
      return gather_bytes(src, block.stride, block.first, block.count, dst);
    case VarType::Bool:
      return gather_bits(src, block.stride, block.first, block.count, dst);
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float:
      return gather_4(src, block.stride, block.first, block.count, dst);
    case VarType::Double:
      return gather_8(src, block.stride, block.first, block.count, dst);
  }
}

}  // namespace corvex
