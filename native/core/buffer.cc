#include "core/buffer.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvex {

namespace {

// Large blocks come straight from the kernel, in whole 2 MiB pages: a fresh column of a few
// hundred megabytes then costs a few hundred page faults instead of tens of thousands.
constexpr uint64_t kMappedFrom = uint64_t{2} << 20;
constexpr uint64_t kHugePage = uint64_t{2} << 20;

#if defined(__linux__)

// The kernel zeroes every page of a fresh mapping on its first write, which for the columns of a
// long session costs more than filling them. Blocks that a call has released are therefore kept
// a little while for the next call to reuse: handed back with MADV_FREE, so that the kernel may
// still take their pages under memory pressure, and unmapped when they have waited too long or
// when more than kCacheBytes wait. A reused block holds old data; every byte a column exposes is
// written before it is handed out.
constexpr uint64_t kCacheBytes = uint64_t{768} << 20;
constexpr auto kCacheAge = std::chrono::seconds(10);

struct CachedBlock {
  uint8_t* data;
  uint64_t capacity;
  std::chrono::steady_clock::time_point freed;
};

class BlockCache {
 public:
  // A cached block of exactly `capacity` bytes, or nullptr.
  uint8_t* take(uint64_t capacity) {
    std::lock_guard lock(mutex_);
    expire(std::chrono::steady_clock::now());
    for (size_t i = blocks_.size(); i-- > 0;) {
      if (blocks_[i].capacity == capacity) {
        uint8_t* data = blocks_[i].data;
        cached_ -= capacity;
        blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
        return data;
      }
    }
    return nullptr;
  }

  // Keeps the block for reuse, or unmaps it when the cache is full.
  void give(uint8_t* data, uint64_t capacity) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    expire(now);
    if (cached_ + capacity > kCacheBytes || !keep(data, capacity, now)) {
      ::munmap(data, static_cast<size_t>(capacity));
    }
  }

 private:
  bool keep(uint8_t* data, uint64_t capacity, std::chrono::steady_clock::time_point now) {
#ifdef MADV_FREE
    ::madvise(data, static_cast<size_t>(capacity), MADV_FREE);
#endif
    try {
      blocks_.push_back(CachedBlock{data, capacity, now});
    } catch (const std::bad_alloc&) {
      return false;
    }
    cached_ += capacity;
    return true;
  }

  void expire(std::chrono::steady_clock::time_point now) {
    size_t kept = 0;
    for (const CachedBlock& block : blocks_) {
      if (now - block.freed > kCacheAge) {
        ::munmap(block.data, static_cast<size_t>(block.capacity));
        cached_ -= block.capacity;
      } else {
        blocks_[kept++] = block;
      }
    }
    blocks_.resize(kept);
  }

  std::mutex mutex_;
  std::vector<CachedBlock> blocks_;
  uint64_t cached_ = 0;
};

// Never destroyed: blocks may be released by Python objects that outlive static destructors.
BlockCache& block_cache() {
  alignas(BlockCache) static unsigned char storage[sizeof(BlockCache)];
  static BlockCache* cache = ::new (storage) BlockCache();
  return *cache;
}

uint8_t* map_block(uint64_t capacity, bool& reused) {
  reused = false;
  if (uint8_t* data = block_cache().take(capacity)) {
    reused = true;
    return data;
  }
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  ::madvise(p, capacity, MADV_HUGEPAGE);
#endif
  return static_cast<uint8_t*>(p);
}

void unmap_block(uint8_t* data, uint64_t capacity) { block_cache().give(data, capacity); }

#else

uint8_t* map_block(uint64_t, bool& reused) {
  reused = false;
  return nullptr;
}
void unmap_block(uint8_t*, uint64_t) {}

#endif

std::string no_memory(uint64_t size) {
  return "could not allocate " + std::to_string(size) + " bytes";
}

}  // namespace

Result<std::shared_ptr<Buffer>> Buffer::allocate(uint64_t size) {
  uint64_t capacity = align_up(size == 0 ? 1 : size);
  if (capacity > static_cast<uint64_t>(PTRDIFF_MAX) - kHugePage) {
    return std::unexpected(IbtError::out_of_memory(no_memory(size)));
  }
  bool mapped = false, reused = false;
  uint8_t* data = nullptr;
  if (capacity >= kMappedFrom) {
    // Whole huge pages, so that blocks of one size class can be reused for one another.
    capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
    data = map_block(capacity, reused);
    mapped = data != nullptr;
  }
  if (data == nullptr) {
    capacity = align_up(size == 0 ? 1 : size);
    data = static_cast<uint8_t*>(::operator new(static_cast<size_t>(capacity),
                                                std::align_val_t{kBufferAlignment}, std::nothrow));
  }
  if (data == nullptr) return std::unexpected(IbtError::out_of_memory(no_memory(size)));
  // A fresh mapping reads as zeros already; heap memory and reused blocks need the padding of
  // the last line cleared (the rest of a reused block is never handed out).
  if (!mapped || reused) {
    std::memset(data + size, 0, static_cast<size_t>(align_up(size == 0 ? 1 : size) - size));
  }
  try {
    return std::make_shared<Buffer>(Token{}, data, size, capacity, mapped);
  } catch (const std::bad_alloc&) {
    const Buffer owner(Token{}, data, size, capacity, mapped);  // frees the block on the way out
    return std::unexpected(IbtError::out_of_memory(no_memory(size)));
  }
}

Buffer::~Buffer() {
  if (mapped_) {
    unmap_block(data_, capacity_);
    return;
  }
  ::operator delete(data_, std::align_val_t{kBufferAlignment});
}

}  // namespace corvex
