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

// Reads the region [offset, offset + length) of the file and cuts the text out of it.
Result<std::string> extract_session_info(const ByteSource& file, uint64_t offset,
                                         uint64_t length);

// The text of a session info region: it starts at the first "---" (or the first non-NUL byte
// when there is none), trailing NULs are dropped, and the bytes are decoded as UTF-8 with
// replacement.
std::string cut_session_info(std::span<const uint8_t> region);

struct WeekendField {
  std::string_view key;    // metadata key, e.g. "track_name"
  std::string_view value;  // a view into the scanned text
};

// Every line of the text that, once trimmed, starts with one of the nine weekend prefixes
// ("TrackName: " and so on), in text order. A key may occur more than once.
std::vector<WeekendField> scan_weekend_fields(std::string_view text);

}  // namespace corvex
