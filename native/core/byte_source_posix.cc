// POSIX files: opened once, read with pread at explicit offsets, so that any number of threads can
// read blocks of one file at once and a file cut short underneath gives a short read, not a fault.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "core/byte_source.h"
#include "core/posix_io.h"

namespace corvex {

Result<void> pread_full(int fd, uint64_t offset, std::span<uint8_t> out, uint64_t size) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t got =
        ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IbtError::os(errno));
    }
    if (got == 0) return std::unexpected(cut_short_error(offset + done, size));
    done += static_cast<size_t>(got);
  }
  return {};
}

namespace {

class PosixFile final : public ByteSource {
 public:
  PosixFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;
  ~PosixFile() override { ::close(fd_); }

  uint64_t size() const override { return size_; }

  Result<std::span<const uint8_t>> read(uint64_t offset, size_t length,
                                        uint8_t* scratch) const override {
    CORVEX_RETURN_IF_ERROR(pread_full(fd_, offset, std::span<uint8_t>(scratch, length), size_));
    return std::span<const uint8_t>(scratch, length);
  }

 private:
  int fd_;
  uint64_t size_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> open_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  const std::string name(path);
  // Non-blocking, so that opening a FIFO cannot wait for a writer; reads of a regular file
  // ignore the flag.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(IbtError::os(errno));
  struct stat st{};
  const int code = ::fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? ENODEV : 0;
  if (code != 0) {
    ::close(fd);
    return std::unexpected(IbtError::os(code));
  }
  try {
    return std::make_unique<PosixFile>(fd, static_cast<uint64_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return std::unexpected(IbtError::out_of_memory("could not allocate a file source"));
  }
}

}  // namespace corvex
