// Where each fixed field of an IBT file lies: the 112-byte main header at offset 0, the 32-byte
// disk sub-header after it, and the 144-byte variable header. The names are the ones the reader's
// messages use ("buf_len must be non-negative, got -1"), so they must not be renamed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/bytes.h"

namespace corvex::layout {

template <class T>
struct Field {
  using Type = T;
  std::string_view name;
  size_t offset;
};

template <class T>
T read(const uint8_t* block, Field<T> field) {
  return load_le<T>(block + field.offset);
}

// Main header, from the start of the file.
inline constexpr Field<int32_t> kVersion{"version", 0};
inline constexpr Field<int32_t> kTickRate{"tick_rate", 8};
inline constexpr Field<int32_t> kSessionInfoLen{"session_info_len", 16};
inline constexpr Field<int32_t> kSessionInfoOffset{"session_info_offset", 20};
inline constexpr Field<int32_t> kNumVars{"num_vars", 24};
inline constexpr Field<int32_t> kVarHeaderOffset{"var_header_offset", 28};
inline constexpr Field<int32_t> kNumBuf{"num_buf", 32};
inline constexpr Field<int32_t> kBufLen{"buf_len", 36};
// The first of four 16-byte buffer descriptors at 48: its tick count, then its data offset.
inline constexpr size_t kBufferDescriptors = 48;
inline constexpr size_t kBufferDescriptorSize = 16;
inline constexpr Field<int32_t> kBufOffset{"buf_offset", 52};
inline constexpr size_t kMainHeaderSize = 112;

// Disk sub-header, from the start of the file.
inline constexpr Field<int64_t> kSessionStartDate{"session_start_date", 112};
inline constexpr Field<double> kStartTime{"start_time", 120};
inline constexpr Field<double> kEndTime{"end_time", 128};
inline constexpr Field<int32_t> kLapCount{"lap_count", 136};
inline constexpr Field<int32_t> kSessionRecordCount{"session_record_count", 140};
inline constexpr size_t kHeadersEnd = 144;

// Variable header, from the start of each 144-byte record.
inline constexpr Field<int32_t> kVarType{"type", 0};
inline constexpr Field<int32_t> kVarOffset{"var offset", 4};
inline constexpr Field<int32_t> kVarCount{"count", 8};
inline constexpr size_t kVarName = 16, kVarNameSize = 32;
inline constexpr size_t kVarDesc = 48, kVarDescSize = 64;
inline constexpr size_t kVarUnit = 112, kVarUnitSize = 32;
inline constexpr size_t kVarHeaderSize = 144;

}  // namespace corvex::layout
