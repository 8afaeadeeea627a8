// The 144-byte variable headers: one per telemetry variable, giving its type, its place in the
// sample record, its element count and its name, description and unit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"

namespace corvex {

enum class VarType : int32_t { Char = 0, Bool = 1, Int = 2, BitField = 3, Float = 4, Double = 5 };

inline constexpr size_t kVarHeaderSize = 144;  // layout::kVarHeaderSize

// Bytes per element: 1, 1, 4, 4, 4, 8.
size_t element_size(VarType type);
// "Char", "Bool", "Int", "BitField", "Float", "Double".
std::string_view var_type_name(VarType type);

struct VarHeader {
  std::string name;
  std::string desc;
  std::string unit;
  VarType var_type;
  int32_t offset;  // checked non-negative by open_ibt before the file is accepted
  int32_t count;   // non-negative

  // count x element size; cannot overflow for a 31-bit count.
  uint64_t byte_size() const { return static_cast<uint64_t>(count) * element_size(var_type); }
};

// Decodes one header from its 144 bytes: type code first, then count, then the text fields.
Result<VarHeader> decode_var_header(std::span<const uint8_t, kVarHeaderSize> record);

}  // namespace corvex
