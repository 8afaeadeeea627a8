#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace corvex {

// Decodes UTF-8 with replacement: each maximal invalid subsequence becomes one U+FFFD,
// the Unicode Standard's rule (the same result as Python's bytes.decode("utf-8", "replace")).
std::string decode_utf8_lossy(std::span<const uint8_t> bytes);

// The bytes before the first NUL, or all of them when there is none.
std::span<const uint8_t> until_nul(std::span<const uint8_t> field);

}  // namespace corvex
