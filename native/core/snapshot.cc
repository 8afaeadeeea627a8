#include "core/snapshot.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/layout.h"

namespace corvex {

Result<std::vector<LiveBuffer>> check_buffer_table(const uint8_t* head, uint64_t length,
                                                   int32_t buf_len) {
  const int32_t count = layout::read(head, layout::kNumBuf);
  if (count < 1 || count > kMaxLiveBuffers) {
    return invalid_header("A live snapshot holds 1 to " + std::to_string(kMaxLiveBuffers) +
                          " record buffers, the header says " + std::to_string(count));
  }
  std::vector<LiveBuffer> buffers;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* descriptor =
        head + layout::kBufferDescriptors + static_cast<size_t>(i) * layout::kBufferDescriptorSize;
    const LiveBuffer buffer{load_le<int32_t>(descriptor), load_le<int32_t>(descriptor + 4)};
    const std::string name = "Buffer " + std::to_string(i);
    if (buffer.offset < 0) {
      return invalid_header(name + " offset must be non-negative, got " +
                            std::to_string(buffer.offset));
    }
    // 31-bit + 31-bit: no overflow.
    const uint64_t end = static_cast<uint64_t>(buffer.offset) + static_cast<uint64_t>(buf_len);
    if (end > length) {
      return invalid_header(name + " at offset " + std::to_string(buffer.offset) + " + length " +
                            std::to_string(buf_len) + " passes the end of the file (" +
                            std::to_string(length) + " bytes)");
    }
    for (int32_t j = 0; j < i; ++j) {
      const LiveBuffer& other = buffers[static_cast<size_t>(j)];
      // Two ranges of buf_len bytes overlap when their starts are closer than buf_len.
      const int64_t gap = int64_t{buffer.offset} - int64_t{other.offset};
      if (buf_len > 0 && (gap < 0 ? -gap : gap) < buf_len) {
        return invalid_header(name + " at offset " + std::to_string(buffer.offset) +
                              " overlaps buffer " + std::to_string(j) + " at offset " +
                              std::to_string(other.offset) + " (" + std::to_string(buf_len) +
                              " bytes each)");
      }
    }
    buffers.push_back(buffer);
  }
  return buffers;
}

Result<IbtFile> open_snapshot_layout(const ByteSource& source) {
  using namespace layout;
  const uint64_t length = source.size();
  std::array<uint8_t, kMainHeaderSize> scratch{};
  CORVEX_ASSIGN_OR_RETURN(
      const auto head,
      source.read(0, static_cast<size_t>(std::min<uint64_t>(length, kMainHeaderSize)),
                  scratch.data()));
  if (length < kMainHeaderSize) {
    return invalid_header(Finding::NotIbt, "File too small for header: " + std::to_string(length) +
                                               " bytes (need 112)");
  }
  const auto version = read(head.data(), kVersion);
  if (version != 1 && version != 2) {
    return invalid_header(Finding::NotIbt, "Unsupported IBT version: " + std::to_string(version));
  }
  CORVEX_ASSIGN_OR_RETURN(IbtFile file, IbtFile::open_layout(source, head.data()));
  CORVEX_ASSIGN_OR_RETURN(auto buffers, check_buffer_table(head.data(), length, file.buf_len_));
  // The newest record is the one with the highest tick count; the first of equals wins.
  const auto newest = std::max_element(
      buffers.begin(), buffers.end(),
      [](const LiveBuffer& a, const LiveBuffer& b) { return a.tick_count < b.tick_count; });
  file.buf_offset_ = newest->offset;
  file.session_record_count_ = 1;
  file.snapshot_ = SnapshotBuffers{buffers, static_cast<size_t>(newest - buffers.begin())};
  return file;
}

Result<IbtFile> open_snapshot(std::unique_ptr<ByteSource> source) {
  CORVEX_ASSIGN_OR_RETURN(IbtFile file, open_snapshot_layout(*source));
  file.finish(std::move(source));
  return file;
}

std::optional<std::vector<LiveBuffer>> live_buffer_table(const uint8_t* head, uint64_t length,
                                                         int32_t buf_len) {
  if (layout::read(head, layout::kNumBuf) < 2) return std::nullopt;
  auto buffers = check_buffer_table(head, length, buf_len);
  if (!buffers) return std::nullopt;
  return std::move(*buffers);
}

std::optional<std::vector<LiveBuffer>> live_snapshot_buffers(const ByteSource& source) {
  auto file = open_snapshot_layout(source);
  if (!file) return std::nullopt;
  const std::optional<SnapshotBuffers>& table = file->snapshot();
  if (!table || table->buffers.size() < 2) return std::nullopt;
  return table->buffers;
}

}  // namespace corvex
