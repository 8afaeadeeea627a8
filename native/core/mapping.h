// Read-only views of a file's bytes: a shared mapping of a file, or an anonymous mapping that
// holds a copy of bytes from elsewhere. Both are owned by one move-only object that unmaps on drop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/error.h"

namespace corvex {

class MappedView {
 public:
  MappedView() = default;
  MappedView(MappedView&& other) noexcept;
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView();

  const uint8_t* data() const { return static_cast<const uint8_t*>(base_); }
  // The file's length; a view of an empty file has size 0 although one byte is mapped.
  size_t size() const { return size_; }
  std::span<const uint8_t> bytes() const { return {data(), size_}; }

  // Tells the kernel that the whole pages in [from, to) will not be read again soon, and
  // returns where the next call should start. A file mapping drops them from this process (the
  // kernel keeps them cached and reads them back if they are touched again), which keeps the
  // resident size of a pass over a large file to what it has yet to read. A copy keeps its
  // pages: dropping them would lose the data.
  const uint8_t* release_pages(const uint8_t* from, const uint8_t* to) const;

 private:
  friend Result<MappedView> map_file(std::string_view path);
  friend Result<MappedView> map_copy(std::span<const uint8_t> bytes);
  MappedView(void* base, size_t mapped, size_t size, bool file_backed)
      : base_(base), mapped_(mapped), size_(size), file_backed_(file_backed) {}
  void release() noexcept;

  void* base_ = nullptr;
  size_t mapped_ = 0;
  size_t size_ = 0;
  bool file_backed_ = false;
};

// Maps the whole file read-only and shared; the descriptor is closed before returning.
Result<MappedView> map_file(std::string_view path);
// Copies bytes into a private anonymous mapping and makes it read-only.
Result<MappedView> map_copy(std::span<const uint8_t> bytes);

}  // namespace corvex
