#include "core/var_header.h"

#include "core/bytes.h"
#include "core/layout.h"
#include "core/utf8.h"

namespace corvex {

size_t element_size(VarType type) {
  switch (type) {
    case VarType::Char:
    case VarType::Bool:
      return 1;
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float:
      return 4;
    case VarType::Double:
      return 8;
  }
  return 0;
}

// The type names and the messages of decode_var_header are shown to and matched by callers word
// for word.
std::string_view var_type_name(VarType type) {
  switch (type) {
    case VarType::Char:
      return "Char";
    case VarType::Bool:
      return "Bool";
    case VarType::Int:
      return "Int";
    case VarType::BitField:
      return "BitField";
    case VarType::Float:
      return "Float";
    case VarType::Double:
      return "Double";
  }
  return "?";
}

namespace {

std::string decode_text_field(std::span<const uint8_t> field) {
  return decode_utf8_lossy(until_nul(field));
}

}  // namespace

Result<VarHeader> decode_var_header(std::span<const uint8_t, kVarHeaderSize> record) {
  const auto code = layout::read(record.data(), layout::kVarType);
  if (code < 0 || code > 5) {
    return invalid_header("Unknown variable type: " + std::to_string(code));
  }
  const auto offset = layout::read(record.data(), layout::kVarOffset);
  const auto count = layout::read(record.data(), layout::kVarCount);
  if (count < 0) {
    return invalid_header("Variable count must be non-negative, got " + std::to_string(count));
  }
  return VarHeader{
      .name = decode_text_field(record.subspan<layout::kVarName, layout::kVarNameSize>()),
      .desc = decode_text_field(record.subspan<layout::kVarDesc, layout::kVarDescSize>()),
      .unit = decode_text_field(record.subspan<layout::kVarUnit, layout::kVarUnitSize>()),
      .var_type = static_cast<VarType>(code),
      .offset = offset,
      .count = count,
  };
}

}  // namespace corvex
