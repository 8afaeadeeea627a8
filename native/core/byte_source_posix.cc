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

// The type of a file that is not a regular one, as the refusal names it.
std::string file_type(mode_t mode) {
  if (S_ISDIR(mode)) return "directory";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISSOCK(mode)) return "socket";
  return "special file";
}

FileIdentity identity_of(const struct stat& st) {
#if defined(__APPLE__)
  const struct timespec mtime = st.st_mtimespec;
#else
  const struct timespec mtime = st.st_mtim;
#endif
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_size),
                      int64_t{mtime.tv_sec} * 1'000'000'000 + int64_t{mtime.tv_nsec}};
}

class PosixFile final : public ByteSource {
 public:
  PosixFile(int fd, const struct stat& st)
      : fd_(fd), size_(static_cast<uint64_t>(st.st_size)), identity_(identity_of(st)) {}
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;
  ~PosixFile() override { ::close(fd_); }

  uint64_t size() const override { return size_; }

  Result<std::span<const uint8_t>> read(uint64_t offset, size_t length,
                                        uint8_t* scratch) const override {
    CORVEX_RETURN_IF_ERROR(pread_full(fd_, offset, std::span<uint8_t>(scratch, length), size_));
    return std::span<const uint8_t>(scratch, length);
  }

  std::optional<FileIdentity> identity() const override { return identity_; }

 private:
  int fd_;
  uint64_t size_;
  FileIdentity identity_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> open_file(std::string_view path) {
  CORVEX_RETURN_IF_ERROR(check_file_name(path));
  const std::string name(path);
  // A directory, FIFO, device or socket is refused before it is opened: opening some devices
  // acts on them. When the look fails, the open below reports why.
  struct stat st{};
  if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    return std::unexpected(not_a_file_error(file_type(st.st_mode)));
  }
  // Non-blocking, so that a FIFO put in the file's place meanwhile cannot wait for a writer;
  // reads of a regular file ignore the flag.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(IbtError::os(errno));
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    return std::unexpected(IbtError::os(code));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::unexpected(not_a_file_error(file_type(st.st_mode)));
  }
  try {
    return std::make_unique<PosixFile>(fd, st);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return std::unexpected(IbtError::out_of_memory("could not allocate a file source"));
  }
}

}  // namespace corvex
