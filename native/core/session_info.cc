#include "core/session_info.h"

#include <algorithm>
#include <array>

#include "core/utf8.h"

namespace corvex {

Result<SessionInfo> extract_session_info(const ByteSource& file, uint64_t offset, uint64_t length) {
  // Both values come from 31-bit fields, so the sum cannot overflow.
  const uint64_t end = offset + length;
  if (file.size() < end) {
    return invalid_header(Finding::Truncated,
                          "File too small for session info: " + std::to_string(file.size()) +
                              " bytes (need " + std::to_string(end) + ")");
  }
  std::vector<uint8_t> scratch(file.in_memory() ? 0 : length);
  CORVEX_ASSIGN_OR_RETURN(const auto region,
                          file.read(offset, static_cast<size_t>(length), scratch.data()));
  const std::span<const uint8_t> cut = session_info_span(region);
  return SessionInfo{std::string(cut.begin(), cut.end()), decode_utf8_lossy(cut)};
}

std::span<const uint8_t> session_info_span(std::span<const uint8_t> region) {
  static constexpr std::array<uint8_t, 3> kMarker = {'-', '-', '-'};
  auto start = std::search(region.begin(), region.end(), kMarker.begin(), kMarker.end());
  if (start == region.end()) {
    start = std::find_if(region.begin(), region.end(), [](uint8_t b) { return b != 0; });
    if (start == region.end()) start = region.begin();
  }
  auto stop = region.end();
  while (stop != start && *(stop - 1) == 0) --stop;
  return {start, stop};
}

namespace {

struct Prefix {
  std::string_view text;
  std::string_view key;
};

constexpr std::array<Prefix, 9> kWeekendPrefixes = {{
    {"TrackName: ", "track_name"},
    {"TrackDisplayName: ", "track_display_name"},
    {"TrackCity: ", "track_city"},
    {"TrackCountry: ", "track_country"},
    {"TrackLength: ", "track_length"},
    {"SeriesID: ", "series_id"},
    {"SeasonID: ", "season_id"},
    {"SessionID: ", "session_id"},
    {"SubSessionID: ", "sub_session_id"},
}};

// Length of the Unicode White_Space character that starts at s[i], or 0. The text is valid
// UTF-8, so multi-byte matches are whole characters.
size_t whitespace_at_start(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<uint8_t>(s[0]);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (s.starts_with("\xC2\x85") || s.starts_with("\xC2\xA0")) return 2;
  if (s.size() < 3) return 0;
  if (s.starts_with("\xE1\x9A\x80") || s.starts_with("\xE2\x81\x9F") ||
      s.starts_with("\xE3\x80\x80")) {
    return 3;
  }
  if (s.starts_with("\xE2\x80")) {
    const auto b2 = static_cast<uint8_t>(s[2]);
    if (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) return 3;
  }
  return 0;
}

// Length of the White_Space character that ends s, or 0.
size_t whitespace_at_end(std::string_view s) {
  if (s.empty()) return 0;
  const auto last = static_cast<uint8_t>(s.back());
  if (last < 0x80) return whitespace_at_start(s.substr(s.size() - 1));
  for (size_t width : {size_t{2}, size_t{3}}) {
    if (s.size() >= width && whitespace_at_start(s.substr(s.size() - width)) == width) {
      return width;
    }
  }
  return 0;
}

std::string_view trim_whitespace(std::string_view s) {
  while (size_t w = whitespace_at_start(s)) s.remove_prefix(w);
  while (size_t w = whitespace_at_end(s)) s.remove_suffix(w);
  return s;
}

void scan_line(std::string_view line, std::vector<WeekendField>& out) {
  const std::string_view trimmed = trim_whitespace(line);
  for (const Prefix& prefix : kWeekendPrefixes) {
    if (trimmed.starts_with(prefix.text)) {
      const std::string_view value = trim_whitespace(trimmed.substr(prefix.text.size()));
      if (!value.empty()) out.push_back({prefix.key, value});
      return;
    }
  }
}

}  // namespace

std::vector<WeekendField> scan_weekend_fields(std::string_view text) {
  std::vector<WeekendField> fields;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    scan_line(line, fields);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return fields;
}

}  // namespace corvex
