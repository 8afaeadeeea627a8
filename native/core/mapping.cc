#include "core/mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace corvex {

namespace {

// Closes a descriptor on every path out of map_file.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

size_t page_size() {
  static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Fresh anonymous memory costs one page fault per 4 KiB page on first write, which for a copy of
// a few hundred megabytes takes longer than the copy itself. Asking for 2 MiB pages and faulting
// them all in with one call cuts that to a fraction. Both are advice: a kernel that refuses
// either leaves the copy to fault page by page, as it would without them.
void prepare_for_copy(void* base, size_t length) {
#ifdef MADV_HUGEPAGE
  ::madvise(base, length, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  ::madvise(base, length, MADV_POPULATE_WRITE);
#endif
}

}  // namespace

MappedView::MappedView(MappedView&& other) noexcept
    : base_(other.base_),
      mapped_(other.mapped_),
      size_(other.size_),
      file_backed_(other.file_backed_) {
  other.base_ = nullptr;
  other.mapped_ = other.size_ = 0;
}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
  if (this != &other) {
    release();
    base_ = other.base_;
    mapped_ = other.mapped_;
    size_ = other.size_;
    file_backed_ = other.file_backed_;
    other.base_ = nullptr;
    other.mapped_ = other.size_ = 0;
  }
  return *this;
}

MappedView::~MappedView() { release(); }

void MappedView::release() noexcept {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  base_ = nullptr;
}

const uint8_t* MappedView::release_pages(const uint8_t* from, const uint8_t* to) const {
  if (!file_backed_ || base_ == nullptr) return from;
  const auto base = reinterpret_cast<uintptr_t>(base_);
  const uintptr_t page = page_size();
  // Whole pages only, counted from the page-aligned start of the mapping.
  const uintptr_t start =
      base + (reinterpret_cast<uintptr_t>(from) - base + page - 1) / page * page;
  const uintptr_t stop = base + (reinterpret_cast<uintptr_t>(to) - base) / page * page;
  if (stop <= start) return from;
  ::madvise(reinterpret_cast<void*>(start), stop - start, MADV_DONTNEED);
  return reinterpret_cast<const uint8_t*>(stop);
}

Result<MappedView> map_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(IbtError::io("file name contained an unexpected NUL byte"));
  }
  const std::string name(path);
  // Non-blocking, so that a FIFO cannot hold the call (and the interpreter lock) in open until
  // a writer appears; the mapping then refuses it. Regular files ignore the flag.
  FileDescriptor fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::unexpected(IbtError::os(errno));
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(IbtError::os(errno));
  const auto size = static_cast<size_t>(st.st_size);
  // A mapping cannot be empty; an empty file maps one byte and keeps a view of length 0.
  const size_t mapped = size == 0 ? 1 : size;
  void* base = ::mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return std::unexpected(IbtError::os(errno));
  return MappedView(base, mapped, size, /*file_backed=*/true);
}

Result<MappedView> map_copy(std::span<const uint8_t> bytes) {
  const size_t size = bytes.size();
  const size_t mapped = size == 0 ? 1 : size;
  void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return std::unexpected(IbtError::os(errno));
  MappedView view(base, mapped, size, /*file_backed=*/false);
  prepare_for_copy(base, mapped);
  if (size != 0) std::memcpy(base, bytes.data(), size);
  // mmap returns page-aligned memory, so the range starts at the mapping itself.
  const size_t pages = (mapped + page_size() - 1) / page_size() * page_size();
  if (::mprotect(base, pages, PROT_READ) != 0) return std::unexpected(IbtError::os(errno));
  return view;
}

}  // namespace corvex
