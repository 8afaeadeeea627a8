#include "core/buffer.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvex {

namespace {

// Large blocks come straight from the kernel, asking for 2 MiB pages: a fresh column of a few
// hundred megabytes then costs a few hundred page faults instead of tens of thousands. The
// advice may be refused; the memory is the same either way.
constexpr uint64_t kMappedFrom = uint64_t{2} << 20;

uint8_t* map_anonymous(uint64_t capacity) {
#if defined(__linux__)
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  ::madvise(p, capacity, MADV_HUGEPAGE);
#endif
  return static_cast<uint8_t*>(p);
#else
  (void)capacity;
  return nullptr;
#endif
}

std::string no_memory(uint64_t size) {
  return "could not allocate " + std::to_string(size) + " bytes";
}

}  // namespace

Result<std::shared_ptr<Buffer>> Buffer::allocate(uint64_t size) {
  const uint64_t capacity = align_up(size == 0 ? 1 : size);
  if (capacity > static_cast<uint64_t>(PTRDIFF_MAX)) {
    return std::unexpected(IbtError::out_of_memory(no_memory(size)));
  }
  bool mapped = false;
  uint8_t* data = nullptr;
  if (capacity >= kMappedFrom) {
    data = map_anonymous(capacity);
    mapped = data != nullptr;
  }
  if (data == nullptr) {
    data = static_cast<uint8_t*>(::operator new(static_cast<size_t>(capacity),
                                                std::align_val_t{kBufferAlignment}, std::nothrow));
  }
  if (data == nullptr) return std::unexpected(IbtError::out_of_memory(no_memory(size)));
  // A fresh mapping reads as zeros already; heap memory does not.
  if (!mapped) std::memset(data + size, 0, static_cast<size_t>(capacity - size));
  try {
    return std::make_shared<Buffer>(Token{}, data, size, capacity, mapped);
  } catch (const std::bad_alloc&) {
    Buffer(Token{}, data, size, capacity, mapped);  // frees the block on the way out
    return std::unexpected(IbtError::out_of_memory(no_memory(size)));
  }
}

Buffer::~Buffer() {
#if defined(__linux__)
  if (mapped_) {
    ::munmap(data_, static_cast<size_t>(capacity_));
    return;
  }
#endif
  ::operator delete(data_, std::align_val_t{kBufferAlignment});
}

}  // namespace corvex
