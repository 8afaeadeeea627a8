// The session info text: a YAML-shaped description of the session that the simulator writes
// into the file. The reader cuts it out and decodes it; it does not parse it as YAML.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_source.h"
#include "core/error.h"

namespace corvex {

// The session info as the file holds it: the bytes cut out of the region, and their text.
struct SessionInfo {
  std::string bytes;  // as stored (older files write names in Windows-1252)
  std::string text;   // the bytes decoded as UTF-8 with replacement
};

// Reads the region [offset, offset + length) of the file and cuts the text out of it.
Result<SessionInfo> extract_session_info(const ByteSource& file, uint64_t offset, uint64_t length);

// The bytes of the text in a session info region: from the first "---" (or the first non-NUL
// byte when there is none), without the trailing NULs.
std::span<const uint8_t> session_info_span(std::span<const uint8_t> region);

struct WeekendField {
  std::string_view key;    // metadata key, e.g. "track_name"
  std::string_view value;  // a view into the scanned text
};

// Every line of the text that, once trimmed, starts with one of the nine weekend prefixes
// ("TrackName: " and so on), in text order. A key may occur more than once.
std::vector<WeekendField> scan_weekend_fields(std::string_view text);

}  // namespace corvex
