#include "core/live_publish.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "core/bytes.h"
#include "core/layout.h"
#include "core/snapshot.h"

namespace corvex {

namespace {

constexpr uint64_t kAlign = 64;
constexpr uint64_t kVarHeadersAt =
    layout::kHeadersEnd;  // 144: the disk sub-header's room left zero
// Room for the session info to grow before a layout must be rewritten.
constexpr uint64_t kInfoSlack = 64 * 1024;

uint64_t align_to(uint64_t value, uint64_t to) { return (value + to - 1) / to * to; }

struct Places {
  uint64_t info_offset, info_room, first_buffer, stride, size;
};

Places places_of(const LiveImage& image) {
  Places p{};
  p.info_offset = kVarHeadersAt + image.var_headers.size();
  p.info_room = align_to(
      image.session_info.size() + std::max<uint64_t>(image.session_info.size(), kInfoSlack),
      kAlign);
  p.first_buffer = align_to(p.info_offset + p.info_room, kAlign);
  p.stride = align_to(std::max<uint64_t>(static_cast<uint64_t>(image.buf_len), 1), kAlign);
  p.size = p.first_buffer + p.stride * kMaxLiveBuffers;
  return p;
}

// `bytes` at `offset` of `out` (memcpy must not see the null data of an empty vector).
void copy_into(std::vector<uint8_t>& out, uint64_t offset, std::span<const uint8_t> bytes) {
  if (!bytes.empty()) std::memcpy(out.data() + offset, bytes.data(), bytes.size());
}

template <class T>
void put(std::vector<uint8_t>& out, uint64_t offset, T value) {
  std::memcpy(out.data() + offset, &value, sizeof value);
}

Result<int32_t> as_i32(uint64_t value, const char* what) {
  if (value > static_cast<uint64_t>(INT32_MAX)) {
    return invalid_header(std::string(what) + " of " + std::to_string(value) +
                          " bytes does not fit the live layout");
  }
  return static_cast<int32_t>(value);
}

}  // namespace

uint64_t published_size(const LiveImage& image) { return places_of(image).size; }

Result<LiveImage> image_of(const IbtFile& file) {
  const DataRegion region = file.region();
  std::array<uint8_t, layout::kMainHeaderSize> scratch{};
  CORVEX_ASSIGN_OR_RETURN(const auto head, region.source->read(0, scratch.size(), scratch.data()));
  LiveImage image;
  image.version = 2;
  image.tick_rate = file.tick_rate();
  image.buf_len = static_cast<int32_t>(file.record_length());
  // The reader validated these places when it opened the file.
  const auto var_offset =
      static_cast<uint64_t>(layout::read(head.data(), layout::kVarHeaderOffset));
  const uint64_t var_bytes = file.vars().size() * layout::kVarHeaderSize;
  image.var_headers.resize(static_cast<size_t>(var_bytes));
  CORVEX_ASSIGN_OR_RETURN(const auto vars, region.source->read(var_offset, image.var_headers.size(),
                                                               image.var_headers.data()));
  if (vars.data() != image.var_headers.data()) copy_into(image.var_headers, 0, vars);
  const auto info_offset =
      static_cast<uint64_t>(layout::read(head.data(), layout::kSessionInfoOffset));
  const auto info_length =
      static_cast<uint64_t>(layout::read(head.data(), layout::kSessionInfoLen));
  image.session_info.resize(static_cast<size_t>(info_length));
  CORVEX_ASSIGN_OR_RETURN(
      const auto info,
      region.source->read(info_offset, image.session_info.size(), image.session_info.data()));
  if (info.data() != image.session_info.data()) copy_into(image.session_info, 0, info);
  while (!image.session_info.empty() && image.session_info.back() == 0)
    image.session_info.pop_back();
  return image;
}

LiveImage image_of(const LiveLayout& live) {
  LiveImage image;
  image.version = live.version;
  image.tick_rate = live.tick_rate();
  image.buf_len = static_cast<int32_t>(live.buf_len());
  image.var_headers = live.var_headers;
  image.session_info = live.session_info;
  return image;
}

Result<void> LivePublisher::write_i32(uint64_t offset, int32_t value) {
  uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof value);
  return memory_->write(offset, bytes);
}

Result<void> LivePublisher::write_all() {
  const Places p = places_of(image_);
  CORVEX_ASSIGN_OR_RETURN(
      const int32_t num_vars,
      as_i32(image_.var_headers.size() / layout::kVarHeaderSize, "the variable headers"));
  CORVEX_ASSIGN_OR_RETURN(const int32_t info_len,
                          as_i32(image_.session_info.size(), "the session info"));
  CORVEX_ASSIGN_OR_RETURN(const int32_t info_offset,
                          as_i32(p.info_offset, "the session info offset"));
  CORVEX_RETURN_IF_ERROR(as_i32(p.size, "the live memory"));
  info_offset_ = p.info_offset;
  info_room_ = p.info_room;
  first_buffer_ = p.first_buffer;
  stride_ = p.stride;
  next_ = 0;
  info_update_ = info_update_ >= INT32_MAX - 1 ? 1 : info_update_ + 1;

  // Everything up to the first buffer in one piece, the status flag clear and no buffer stamped.
  std::vector<uint8_t> head(static_cast<size_t>(p.first_buffer), 0);
  put<int32_t>(head, layout::kVersion.offset, image_.version);
  put<int32_t>(head, kStatusOffset, 0);
  put<int32_t>(head, layout::kTickRate.offset, image_.tick_rate);
  put<int32_t>(head, kSessionInfoUpdateOffset, info_update_);
  put<int32_t>(head, layout::kSessionInfoLen.offset, info_len);
  put<int32_t>(head, layout::kSessionInfoOffset.offset, info_offset);
  put<int32_t>(head, layout::kNumVars.offset, num_vars);
  put<int32_t>(head, layout::kVarHeaderOffset.offset, static_cast<int32_t>(kVarHeadersAt));
  put<int32_t>(head, layout::kNumBuf.offset, kMaxLiveBuffers);
  put<int32_t>(head, layout::kBufLen.offset, image_.buf_len);
  for (size_t i = 0; i < kMaxLiveBuffers; ++i) {
    const uint64_t at = layout::kBufferDescriptors + i * layout::kBufferDescriptorSize;
    put<int32_t>(head, at, -1);
    put<int32_t>(head, at + 4, static_cast<int32_t>(p.first_buffer + i * p.stride));
  }
  copy_into(head, kVarHeadersAt, image_.var_headers);
  copy_into(head, p.info_offset, image_.session_info);
  // The status flag goes first (cleared), then the rest, so no reader takes a half-written layout.
  CORVEX_RETURN_IF_ERROR(write_i32(kStatusOffset, 0));
  CORVEX_RETURN_IF_ERROR(memory_->write(0, head));
  const std::vector<uint8_t> buffers(static_cast<size_t>(p.stride * kMaxLiveBuffers), 0);
  return memory_->write(p.first_buffer, buffers);
}

Result<LivePublisher> LivePublisher::start(std::unique_ptr<SharedMemory> memory, LiveImage image) {
  if (image.buf_len < 0 || image.var_headers.size() % layout::kVarHeaderSize != 0) {
    return invalid_header("a live image needs whole variable headers and a record length");
  }
  LivePublisher publisher(std::move(memory), std::move(image));
  CORVEX_RETURN_IF_ERROR(publisher.write_all());
  CORVEX_RETURN_IF_ERROR(publisher.memory_->commit());
  CORVEX_RETURN_IF_ERROR(publisher.write_i32(kStatusOffset, kConnectedFlag));
  publisher.memory_->signal();
  return publisher;
}

Result<void> LivePublisher::restart(LiveImage image) {
  image_ = std::move(image);
  CORVEX_RETURN_IF_ERROR(write_all());
  CORVEX_RETURN_IF_ERROR(write_i32(kStatusOffset, kConnectedFlag));
  memory_->signal();
  return {};
}

Result<void> LivePublisher::publish(int32_t tick, std::span<const uint8_t> record) {
  if (tick < 0) return invalid_header("tick counts are non-negative, got " + std::to_string(tick));
  if (record.size() != static_cast<size_t>(image_.buf_len)) {
    return invalid_header("a record of " + std::to_string(record.size()) +
                          " bytes, the layout's are " + std::to_string(image_.buf_len));
  }
  const uint64_t descriptor = layout::kBufferDescriptors + next_ * layout::kBufferDescriptorSize;
  CORVEX_RETURN_IF_ERROR(write_i32(descriptor, -1));
  CORVEX_RETURN_IF_ERROR(memory_->write(first_buffer_ + next_ * stride_, record));
  CORVEX_RETURN_IF_ERROR(write_i32(descriptor, tick));
  memory_->signal();
  next_ = (next_ + 1) % kMaxLiveBuffers;
  return {};
}

Result<void> LivePublisher::update_session_info(std::span<const uint8_t> text) {
  if (text.size() > info_room_) {
    LiveImage image = image_;
    image.session_info.assign(text.begin(), text.end());
    return restart(std::move(image));
  }
  CORVEX_ASSIGN_OR_RETURN(const int32_t length, as_i32(text.size(), "the session info"));
  image_.session_info.assign(text.begin(), text.end());
  CORVEX_RETURN_IF_ERROR(write_i32(kSessionInfoUpdateOffset, kSessionInfoBeingWritten));
  CORVEX_RETURN_IF_ERROR(memory_->write(info_offset_, text));
  CORVEX_RETURN_IF_ERROR(write_i32(layout::kSessionInfoLen.offset, length));
  info_update_ = info_update_ >= INT32_MAX - 1 ? 1 : info_update_ + 1;
  CORVEX_RETURN_IF_ERROR(write_i32(kSessionInfoUpdateOffset, info_update_));
  memory_->signal();
  return {};
}

Result<void> LivePublisher::stop() {
  CORVEX_RETURN_IF_ERROR(write_i32(kStatusOffset, 0));
  memory_->signal();
  return {};
}

Result<ReplayReport> replay(const IbtFile& file, std::unique_ptr<SharedMemory> memory,
                            const ReplayOptions& options) {
  using Clock = std::chrono::steady_clock;
  const uint64_t total = file.record_count();
  if (options.speed > 0 && file.tick_rate() <= 0) {
    return invalid_header("the file's tick rate is " + std::to_string(file.tick_rate()) +
                          ", so its records have no pace; replay it as fast as possible instead");
  }
  if (options.first_tick < 0 || total > static_cast<uint64_t>(INT32_MAX - options.first_tick)) {
    return invalid_header("the tick counts of " + std::to_string(total) + " records from " +
                          std::to_string(options.first_tick) + " do not fit 31 bits");
  }
  CORVEX_ASSIGN_OR_RETURN(LiveImage image, image_of(file));
  CORVEX_ASSIGN_OR_RETURN(LivePublisher publisher,
                          LivePublisher::start(std::move(memory), std::move(image)));

  if (options.lead_in > 0) {
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options.lead_in));
    while (Clock::now() < until) {
      if (options.should_stop && options.should_stop()) {
        CORVEX_RETURN_IF_ERROR(publisher.stop());
        return ReplayReport{0, 0, true};
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  const DataRegion region = file.region();
  const uint64_t stride = region.buf_len;
  const uint64_t per_block =
      std::max<uint64_t>(1, (uint64_t{256} << 10) / std::max<uint64_t>(stride, 1));
  std::vector<uint8_t> scratch(static_cast<size_t>(per_block * stride));
  const auto start = Clock::now();
  auto last_poll = start;
  const double seconds_per_tick = options.speed > 0 ? 1.0 / (file.tick_rate() * options.speed) : 0;
  const auto tick =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_per_tick));
  auto origin = start;  // when record 0 is due
  ReplayReport report;
  auto finish = [&]() -> Result<ReplayReport> {
    CORVEX_RETURN_IF_ERROR(publisher.stop());
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report;
  };
  for (uint64_t first = 0; first < total; first += per_block) {
    const uint64_t n = std::min(per_block, total - first);
    CORVEX_ASSIGN_OR_RETURN(const auto block,
                            region.source->read(region.offset + first * stride,
                                                static_cast<size_t>(n * stride), scratch.data()));
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t index = first + i;
      if (seconds_per_tick > 0) {
        const auto due =
            origin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                         static_cast<double>(index) * seconds_per_tick));
        const auto now = Clock::now();
        if (now > due + tick) {
          // Late by more than a tick (the machine stalled): the rest of the file moves back by
          // that much instead of catching up in a burst that readers of the ring could miss.
          origin += now - due;
        } else {
          std::this_thread::sleep_until(due);
        }
      }
      if (Clock::now() - last_poll >= std::chrono::milliseconds(50)) {
        last_poll = Clock::now();
        if (options.should_stop && options.should_stop()) {
          report.stopped = true;
          return finish();
        }
        if (options.progress) options.progress(index, total);
      }
      CORVEX_RETURN_IF_ERROR(publisher.publish(
          options.first_tick + static_cast<int32_t>(index),
          block.subspan(static_cast<size_t>(i * stride), static_cast<size_t>(stride))));
      ++report.published;
      if (options.published) options.published(options.first_tick + static_cast<int32_t>(index));
    }
  }
  if (options.progress) options.progress(total, total);
  return finish();
}

}  // namespace corvex
