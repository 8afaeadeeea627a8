#include "core/utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace corvex {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

struct LeadByte {
  int continuation_bytes;  // 0 for a byte that cannot start a sequence
  uint8_t first_low;       // allowed range of the first continuation byte
  uint8_t first_high;
};

// The second byte's range is narrowed for E0, ED, F0 and F4 to exclude overlong forms,
// surrogates and code points above U+10FFFF.
LeadByte classify_lead(uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
  if (b == 0xE0) return {2, 0xA0, 0xBF};
  if (b == 0xED) return {2, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
  if (b == 0xF0) return {3, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
  if (b == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

// The index of the first byte at or after `i` that is not ASCII (or the end), eight bytes at a
// time while they last.
size_t ascii_run_end(std::span<const uint8_t> bytes, size_t i) {
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  while (bytes.size() - i >= sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if ((word & kHighBits) != 0) break;
    i += sizeof word;
  }
  while (i < bytes.size() && bytes[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::string decode_utf8_lossy(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      // Session info is almost all ASCII: copy each run of it in one piece.
      const size_t end = ascii_run_end(bytes, i + 1);
      out.append(reinterpret_cast<const char*>(bytes.data() + i), end - i);
      i = end;
      continue;
    }
    const LeadByte info = classify_lead(lead);
    size_t j = i + 1;
    bool complete = info.continuation_bytes > 0;
    uint8_t low = info.first_low, high = info.first_high;
    for (int k = 0; complete && k < info.continuation_bytes; ++k) {
      if (j >= n || bytes[j] < low || bytes[j] > high) {
        complete = false;
        break;
      }
      low = 0x80;
      high = 0xBF;
      ++j;
    }
    if (complete) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), j - i);
    } else {
      // The maximal subpart [i, j) ends before the first byte that cannot continue it.
      out.append(kReplacement);
    }
    i = j;
  }
  return out;
}

std::span<const uint8_t> until_nul(std::span<const uint8_t> field) {
  const auto nul = std::find(field.begin(), field.end(), uint8_t{0});
  return field.first(static_cast<size_t>(nul - field.begin()));
}

}  // namespace corvex
